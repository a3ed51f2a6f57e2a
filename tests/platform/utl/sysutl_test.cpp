#include "platform/utl/sysutl.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/utl/date.h"
#include "platform/utl/temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SysutlUmask, ReadsWithoutChangingAndInstalls) {
    mode_t original = umask(027);
    mode_t seen = 0;
    ASSERT_EQ(sysutl_get_umask(&seen), 0);
    EXPECT_EQ(seen, 027u);
    ASSERT_EQ(sysutl_get_umask(&seen), 0);
    EXPECT_EQ(seen, 027u) << "reading the mask must leave it in place";

    // What the daemon's entry does: clear the user and group bits.
    ASSERT_EQ(sysutl_initialize_umask(0, seen & ~0770u), 0);
    ASSERT_EQ(sysutl_get_umask(&seen), 0);
    EXPECT_EQ(seen, 07u);
    ASSERT_EQ(sysutl_initialize_umask(1, 020), 0);
    ASSERT_EQ(sysutl_get_umask(&seen), 0);
    EXPECT_EQ(seen, 027u) << "keep_current only adds bits";
    umask(original);
}

TEST(SysutlNames, HomeDirectoryHonoursHome) {
    const char* saved = std::getenv("HOME");
    std::string saved_home = saved != nullptr ? saved : "";
    setenv("HOME", "/tmp/elsewhere", 1);
    char buf[1024];
    EXPECT_EQ(sysutl_get_homedir(sysutl_myloginname(), buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "/tmp/elsewhere");
    EXPECT_EQ(sysutl_get_homedir(nullptr, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "/tmp/elsewhere");
    char small[4];
    EXPECT_EQ(sysutl_get_homedir(nullptr, small, sizeof small), 0) << "a home that does not fit";
    EXPECT_EQ(sysutl_get_homedir("no-such-user-ostrel-test", buf, sizeof buf), 0);
    if (saved != nullptr) {
        setenv("HOME", saved_home.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    EXPECT_STRNE(sysutl_myloginname(), "");
}

TEST(SysutlNames, HostNameIsTheSystemsName) {
    char buf[256] = {};
    ASSERT_EQ(gethostname(buf, sizeof buf - 1), 0);
    EXPECT_STREQ(sysutl_myhostname(), buf);
}

TEST(SysutlNames, QualifiedAndPlainUserFormsDiffer) {
    char qualified[256];
    char plain[256];
    ASSERT_EQ(sysutl_usid_to_user(credutl_getusid(), 3, nullptr, qualified, sizeof qualified), 0);
    ASSERT_EQ(sysutl_usid_to_user(credutl_getusid(), 5, nullptr, plain, sizeof plain), 0);
    EXPECT_STRNE(qualified, plain);
    EXPECT_EQ(std::string(qualified), std::string(sysutl_myhostname()) + "\\" + plain);
    EXPECT_EQ(std::strpbrk(plain, "/\\: "), nullptr) << "the plain form goes into file names";
    ASSERT_EQ(sysutl_usid_to_user(credutl_getusid(), 3, "dom", qualified, sizeof qualified), 0);
    EXPECT_EQ(std::string(qualified), std::string("dom\\") + plain);

    credutl_sid_t group;
    credutl_gid_to_sid(getgid(), &group);
    errno = 0;
    EXPECT_EQ(sysutl_usid_to_user(&group, 5, nullptr, plain, sizeof plain), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(sysutl_usid_to_user(credutl_getusid(), 5, nullptr, plain, 1), -1);
    EXPECT_EQ(errno, ERANGE);
}

TEST(SysutlDescriptors, PipeAndCloseOnExec) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(sysutl_pipe(0, fds), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(sysutl_set_cloexec_file(fds[0], 1), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ASSERT_EQ(sysutl_set_cloexec_file(fds[0], 0), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(sysutl_pipe_close(fds[0]), 0);
    EXPECT_EQ(sysutl_pipe_close(fds[1]), 0);
    EXPECT_EQ(sysutl_pipe_close(-1), 0);
    EXPECT_EQ(sysutl_set_cloexec_file(fds[0], 1), -1);
    errno = 0;
    EXPECT_EQ(sysutl_pipe(0x40000000, fds), -1);
    EXPECT_EQ(errno, EINVAL);
}

class SysutlInvoke : public ::testing::Test {
protected:
    // Writes an executable shell script and returns its path.
    std::string script(const std::string& body) {
        std::string path = dir_ / "prog.sh";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0700);
        return path;
    }
    TempDir dir_;
};

TEST_F(SysutlInvoke, RunsWithTheArgumentAndReportsTheExitStatus) {
    std::string prog = script("echo \"$1\" > \"$1/ran\"; exit 3");
    int status = -1;
    ASSERT_EQ(sysutl_invoke_general_redirect(1, prog.c_str(), dir_.path().c_str(), &status), 0);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(read_file(dir_ / "ran"), dir_.path() + "\n");

    prog = script("kill -9 $$");
    ASSERT_EQ(sysutl_invoke_general_redirect(1, prog.c_str(), nullptr, &status), 0);
    EXPECT_EQ(status, 128 + 9);

    errno = 0;
    EXPECT_EQ(sysutl_invoke_general_redirect(1, (dir_ / "missing").c_str(), nullptr, &status), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SysutlInvoke, ProgramStartsWithNoSignalBlockedOrIgnored) {
    // The daemon blocks its termination signals on every thread (a thread
    // waits for them) and ignores SIGPIPE; the program it runs must not
    // inherit either, or TERM could not stop it. cat shows its own status
    // (a shell would reset its mask itself and hide the fault).
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t saved_mask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &saved_mask), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved_pipe {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &saved_pipe), 0);
    fflush(stderr);
    int saved_err = dup(2);
    int err = open((dir_ / "status").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    int status = -1;
    int rc = sysutl_invoke_general_redirect(SYSUTL_REDIRECT_STDOUT_TO_STDERR, "/bin/cat",
                                            "/proc/self/status", &status);
    dup2(saved_err, 2);
    close(saved_err);
    close(err);
    sigaction(SIGPIPE, &saved_pipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(status, 0);

    auto mask_of = [](const std::string& text, const std::string& key) {
        size_t at = text.find("\n" + key + ":\t");
        EXPECT_NE(at, std::string::npos) << key;
        return at == std::string::npos ? ~0ull : std::stoull(text.substr(at + key.size() + 3), nullptr, 16);
    };
    const std::string text = read_file(dir_ / "status");
    EXPECT_EQ(mask_of(text, "SigBlk") & (1ull << (SIGTERM - 1)), 0u) << text;
    EXPECT_EQ(mask_of(text, "SigIgn") & (1ull << (SIGPIPE - 1)), 0u) << text;
}

TEST_F(SysutlInvoke, ChildOutputNeverReachesStandardOutput) {
    std::string prog = script("echo to-stdout; echo to-stderr >&2; read line; echo \"[$line]\"");
    // Catch this process's standard output and error in files for the call.
    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(1);
    int saved_err = dup(2);
    int out = open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    int status = -1;
    int rc = sysutl_invoke_general_redirect(SYSUTL_REDIRECT_STDOUT_TO_STDERR, prog.c_str(), nullptr,
                                            &status);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    close(out);
    close(err);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dir_ / "out"), "");
    EXPECT_EQ(read_file(dir_ / "err"), "to-stdout\nto-stderr\n[]\n") << "stdin is /dev/null";
}

TEST(SysutlNfs, FlushOpensTheDirectory) {
    TempDir dir;
    EXPECT_EQ(sysutl_nfs_flush(dir.path().c_str()), 0);
    errno = 0;
    EXPECT_EQ(sysutl_nfs_flush((dir / "missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(DateUtl, TimevalAndFileNameToken) {
    struct timeval now;
    time_t before = time(nullptr);
    ASSERT_EQ(date_get_timeval(&now), 0);
    EXPECT_GE(now.tv_sec, before);
    // time() may read a coarser clock, a tick behind across a second's edge.
    EXPECT_LE(now.tv_sec, time(nullptr) + 1);
    EXPECT_LT(now.tv_usec, 1000000);

    char token[DATE_TOKEN_SIZE];
    ASSERT_EQ(date_fmt_token_date_time_pname(0, token, sizeof token), token);
    // "YYYY-MM-DDTHHMMSS"
    const std::string shape = "dddd-dd-ddTdddddd";
    ASSERT_EQ(std::strlen(token), shape.size()) << token;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd') {
            EXPECT_TRUE(token[i] >= '0' && token[i] <= '9') << token;
        } else {
            EXPECT_EQ(token[i], shape[i]) << token;
        }
    }
    char earlier[DATE_TOKEN_SIZE];
    char later[DATE_TOKEN_SIZE];
    ASSERT_NE(date_fmt_token_date_time_pname(1700000000, earlier, sizeof earlier), nullptr);
    ASSERT_NE(date_fmt_token_date_time_pname(1700000001, later, sizeof later), nullptr);
    EXPECT_LT(std::strcmp(earlier, later), 0) << "tokens sort in time order";
    char small[8];
    EXPECT_EQ(date_fmt_token_date_time_pname(0, small, sizeof small), nullptr);
}

}  // namespace

// A process gone (its /proc entry too) is ending; a running one, however
// its /proc entry reads, is not.
TEST(SysutlProcess, OnlyAProcessGoneOrDyingCountsAsEnding) {
    EXPECT_EQ(0, sysutl_process_ending(getpid()));
    const pid_t child = fork();
    ASSERT_LE(0, child);
    if (child == 0) _exit(0);
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    EXPECT_EQ(1, sysutl_process_ending(child));
}
