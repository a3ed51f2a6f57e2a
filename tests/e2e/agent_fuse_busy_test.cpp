// A VOB that programs use through the mount stays mounted: a client's
// EndView fails while a process works in the VOB (its working directory, or
// a file it holds open), the view goes on serving it, and once the process
// has gone the same EndView ends the view. A termination signal ends the
// daemon all the same. Each end of the daemon is recorded once in its log.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuse_fixture.h"

namespace e2e {
namespace {

class E2eFuseBusy : public E2eFuse {
protected:
    // The VOB's directory as processes' links name it.
    std::string resolved_src() {
        char* real = ::realpath(src().c_str(), nullptr);
        if (real == nullptr) return src();
        std::string path = real;
        ::free(real);
        return path;
    }

    // Runs `script` with /bin/sh as a process that holds something in the
    // VOB until its standard input closes; null when it never came to hold
    // it.
    std::unique_ptr<Process> holder(const std::string& script) {
        std::unique_ptr<Process> process(new Process("/bin/sh", {"-c", script}));
        const std::string path = resolved_src();
        if (!wait_until([&] { return holds(process->pid(), path) || process->exited(); }, kStartTimeout) ||
            process->exited()) {
            ADD_FAILURE() << script << ": " << process->stderr_text(Millis(0));
            return nullptr;
        }
        return process;
    }

    // Whether process `pid` has its working directory, or an open file, at
    // `path` or beneath it.
    static bool holds(pid_t pid, const std::string& path) {
        const std::string proc = "/proc/" + std::to_string(pid);
        auto under = [&](const std::string& link) {
            char target[4096];
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
            if (n <= 0) return false;
            const std::string text(target, static_cast<size_t>(n));
            return text.compare(0, path.size(), path) == 0 && (text.size() == path.size() || text[path.size()] == '/');
        };
        if (under(proc + "/cwd")) return true;
        const std::vector<std::string> fds = list_dir(proc + "/fd");
        return std::any_of(fds.begin(), fds.end(), [&](const std::string& fd) { return under(proc + "/fd/" + fd); });
    }

    size_t unmounts() const {
        const std::vector<std::string> calls = journal_calls(Vob().tag);
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), "umount_vob " + Vob().tag));
    }
};

TEST_F(E2eFuseBusy, AClientsEndViewFailsWhileAVobIsInUseAndEndsTheViewOnceItIsNot) {
    serve_and_mount();
    if (HasFatalFailure()) return;
    sh(src(), "echo kept > held");
    const std::string vob = src();
    struct Row {
        const char* name;
        std::string script;
    };
    const Row rows[] = {
        {"working directory in the VOB", "cd '" + vob + "' && exec cat"},
        {"working directory below the VOB's root", "cd '" + vob + "/docs' && exec cat"},
        {"a file of the VOB held open", "cd / && exec cat 3<'" + vob + "/held'"},
    };
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage(name), "ender");
    ASSERT_TRUE(client);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Process> user = holder(row.script);
        ASSERT_TRUE(user);
        const size_t before = unmounts();
        const lib_test::Reply reply = client->call(make_request("EndView", "busy"));
        // The kernel refused the unmount, once more after a pause, and the
        // view stays as it was.
        EXPECT_EQ(reply.attrs.at("status-code"), "20001");
        const std::string message = reply.children.count("status-message") ? reply.children.at("status-message") : "";
        EXPECT_NE(message.find("Unable to unmount VOB \"" + Vob().tag + "\": Busy.\n"), std::string::npos) << message;
        EXPECT_NE(message.find("Some VOB(s) could not be unmounted."), std::string::npos) << message;
        EXPECT_EQ(unmounts(), before + 2);
        EXPECT_TRUE(registered(tag()));
        EXPECT_FALSE(agent->exited());
        // The mount keeps serving the VOB, to its user as to others.
        EXPECT_EQ(sh(src(), "cat held && LC_ALL=C ls"), "kept\nREADME\ndocs\nheld\n");
        EXPECT_FALSE(user->exited());
        user->close_stdin();
        EXPECT_EQ(user->wait_exit(), std::optional<int>(0));
    }
    // Nobody uses the VOB now: the view ends.
    const lib_test::Reply reply = client->call(make_request("EndView", "free"));
    EXPECT_EQ(reply.attrs.at("status-code"), "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_FALSE(registered(tag()));
    const std::string log = log_text(name);
    EXPECT_EQ(count_of(log, "::Exiting, status = "), 1u) << log;
    EXPECT_EQ(count_of(log, "::Exiting, status = 0.\n"), 1u) << log;
}

TEST_F(E2eFuseBusy, ATerminationSignalEndsTheDaemonWhileAVobIsInUse) {
    serve_and_mount();
    if (HasFatalFailure()) return;
    std::unique_ptr<Process> user = holder("cd '" + src() + "' && exec cat");
    ASSERT_TRUE(user);
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_FALSE(registered(tag()));
    EXPECT_EQ(unmounts(), 2u) << journal();
    const std::string log = log_text(name);
    EXPECT_EQ(count_of(log, "::Interrupted...exiting.\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "::Exiting, status = "), 1u) << log;
    EXPECT_EQ(count_of(log, "::Exiting, status = 0.\n"), 1u) << log;
    user->close_stdin();
    EXPECT_EQ(user->wait_exit(), std::optional<int>(0));
}

} // namespace
} // namespace e2e
