#pragma once
// A private $HOME and $KORVA_ROOT for the view object's tests, the values of
// a MkView request, and readers of what a view leaves on disk.

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_server.h"
#include "lib/lib_test_support.h"
#include "lib/view/ostrelagent_view.h"
#include "platform/korva/korva_control.h"
#include "platform/server/server.h"

namespace view_test {

constexpr const char* UUID = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";
constexpr const char* TAG = "joe_view";
constexpr const char* URL = "https://server.example/ostrel";

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_umask_ = umask(022);
        korva_root = home.path() + "/korva";
        setenv("KORVA_ROOT", korva_root.c_str(), 1);
        storage = home.path() + "/views/joe.vws";
        cache = home.path() + "/cache/joe";
        OstrelAgent_Server::g_server_url = URL;
    }
    void TearDown() override {
        umask(old_umask_);
        unsetenv("KORVA_ROOT");
        OstrelAgent_Server::g_server_url.clear();
    }

    std::unique_ptr<OstrelAgent_View> new_view(const std::string& tag = TAG, const std::string& uuid = UUID) {
        return std::unique_ptr<OstrelAgent_View>(OstrelAgent_View::get_view_from_list(
            storage, cache, uuid, tag, "transparent", "automatic", 0));
    }
    std::unique_ptr<OstrelAgent_View> stg_view() {
        return std::unique_ptr<OstrelAgent_View>(OstrelAgent_View::get_view_from_stg(storage));
    }

    // The nine lines a new view of the fixture's values records.
    std::string expected_metadata(const std::string& url = URL, unsigned cache_size = 4194304) const {
        return std::string("versionid=1.0\n") + "view-uuid=" + UUID + "\n" + "server-tag=" + TAG + "\n" +
               "text-mode=transparent\n" + "view-type=automatic\n" + "preserve-vob-modified-time=false\n" +
               "server-url=" + url + "\n" + "cltxt-cache-dir=" + cache + "\n" +
               "cache-size=" + std::to_string(cache_size) + "\n";
    }
    std::string metadata() const { return lib_test::read_file(storage + "/.ostrel"); }

    korva::Control korva() const { return korva::Control(korva::Root(korva_root)); }
    std::vector<std::vector<std::string>> journal() const { return korva().journal().read(); }

    // Starting the view database moves into the storage; the test steps out
    // again before the home goes.
    lib_test::TempHome home;
    lib_test::KeepWorkingDirectory cwd_;
    std::string korva_root;
    std::string storage;
    std::string cache;

private:
    mode_t old_umask_ = 022;
};

inline mode_t mode_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Whether another process could take the storage lock now: a child tries it
// and reports through its exit status.
inline bool lock_is_free(const std::string& lock_file) {
    pid_t pid = fork();
    if (pid == 0) {
        pid_t owner = 0;
        _exit(server_lock_set(lock_file.c_str(), &owner) >= 0 ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Another live agent: a child process that holds the storage lock until the
// object goes.
class LockHolder {
public:
    explicit LockHolder(const std::string& lock_file) {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            pid_t owner = 0;
            char held = server_lock_set(lock_file.c_str(), &owner) >= 0 ? 'y' : 'n';
            if (write(ready[1], &held, 1) != 1) _exit(2);
            char byte;
            while (read(release[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_fd_ = release[1];
        struct pollfd waiting = {ready[0], POLLIN, 0};
        char held = 'n';
        if (poll(&waiting, 1, 10000) == 1 && read(ready[0], &held, 1) == 1) holding_ = held == 'y';
        close(ready[0]);
    }
    ~LockHolder() {
        if (release_fd_ >= 0) close(release_fd_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holding() const { return holding_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int release_fd_ = -1;
    bool holding_ = false;
};

} // namespace view_test
