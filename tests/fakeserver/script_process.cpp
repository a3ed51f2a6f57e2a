#include "fakeserver/script_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "lib/lib_test_support.h"
#include "lib/test_deadline.h"

extern char** environ;

namespace fakeserver {

namespace {
using Clock = std::chrono::steady_clock;
const std::chrono::milliseconds POLL{5};
const std::chrono::milliseconds STOP_TIMEOUT{5000};
} // namespace

std::string make_temp_dir(const char* prefix) {
    const char* tmp = std::getenv("TMPDIR");
    return make_temp_dir_in(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", prefix);
}

std::string make_temp_dir_in(const std::string& parent, const char* prefix) {
    std::string pattern = parent + "/" + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

bool wait_exit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    Clock::time_point deadline = lib_test::deadline_after(timeout);
    for (;;) {
        int st = 0;
        pid_t got = waitpid(pid, &st, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD)) {
            if (status != nullptr) *status = st;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(POLL);
    }
}

int wait_for_port(pid_t& pid, const std::string& port_file, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    for (;;) {
        const int port = std::atoi(lib_test::read_file(port_file).c_str());
        if (port > 0) return port;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return 0;
        }
        if (Clock::now() >= deadline) return 0;
        std::this_thread::sleep_for(POLL);
    }
}

void stop_group(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    if (!wait_exit(pid, STOP_TIMEOUT)) {
        kill(-pid, SIGKILL);
        wait_exit(pid, STOP_TIMEOUT);
    }
}

std::vector<Json> json_lines(const std::string& path) {
    std::vector<Json> records;
    std::istringstream in(lib_test::read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        Json record;
        if (Json::parse(line, record)) records.push_back(record);
    }
    return records;
}

} // namespace fakeserver
