#pragma once
// korva_fuse run by a test or a benchmark, and never a mount left behind.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process_harness.h"

namespace e2e {

// Whether `path` is a mount point now (/proc/self/mountinfo).
bool is_mount_point(const std::string& path);

// Why FUSE cannot mount here, or empty when it can (tests skip then).
std::string fuse_unusable();

// korva_fuse serving view `tag`, in the foreground, with `env`. The mount
// point is the view's root directory under `korva_root`.
class Fuse_Mount {
public:
    // korva_fuse's `options` follow the tag and -f.
    Fuse_Mount(const std::string& korva_fuse, const std::string& korva_root, const std::string& tag,
               const std::map<std::string, std::string>& env, const std::vector<std::string>& options = {});
    // Ends korva_fuse if it still runs and never leaves the mount behind:
    // whatever is mounted on the view's root goes, so another Fuse_Mount of
    // the view is made only once this one is gone.
    ~Fuse_Mount();
    Fuse_Mount(const Fuse_Mount&) = delete;
    Fuse_Mount& operator=(const Fuse_Mount&) = delete;

    // Waits until the view is mounted; false when it is not in time.
    bool wait_mounted(Millis timeout = kStartTimeout);
    const std::string& root() const { return m_root; }
    Process& process() { return *m_process; }
    // Ends it with TERM; its exit status.
    std::optional<int> stop();

private:
    std::string m_root;
    std::unique_ptr<Process> m_process;
};

} // namespace e2e
