#include "fuse_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fstream>
#include <sstream>

namespace e2e {

bool is_mount_point(const std::string& path) {
    std::ifstream info("/proc/self/mountinfo");
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == path) return true;
    }
    return false;
}

std::string fuse_unusable() {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("FUSE cannot mount here: /dev/fuse: ") + std::strerror(errno);
    ::close(fd);
    return "";
}

namespace {

std::vector<std::string> arguments_of(const std::string& tag, std::vector<std::string> options) {
    options.insert(options.begin(), {tag, "-f"});
    return options;
}

} // namespace

Fuse_Mount::Fuse_Mount(const std::string& korva_fuse, const std::string& korva_root, const std::string& tag,
                       const std::map<std::string, std::string>& env, const std::vector<std::string>& options)
    : m_root(korva_root + "/view/" + tag), m_process(new Process(korva_fuse, arguments_of(tag, options), env)) {}

Fuse_Mount::~Fuse_Mount() {
    if (!m_process->exited()) stop();
    // Whatever happened, no mount may outlive the test: a directory tree
    // removed with a mount in it would be removed through the mount.
    while (is_mount_point(m_root) && ::umount2(m_root.c_str(), MNT_DETACH) == 0) {
    }
}

bool Fuse_Mount::wait_mounted(Millis timeout) {
    return wait_until([&] { return is_mount_point(m_root) || m_process->exited(); }, timeout) &&
           is_mount_point(m_root);
}

std::optional<int> Fuse_Mount::stop() {
    m_process->signal(SIGTERM);
    std::optional<int> status = m_process->wait_exit(Millis(10000));
    if (!status) {
        m_process->signal(SIGKILL);
        m_process->wait_exit(Millis(5000));
    }
    return status;
}

} // namespace e2e
