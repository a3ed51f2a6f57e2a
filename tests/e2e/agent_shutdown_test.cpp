// Termination signals shut a serving daemon down through its forced
// shutdown: the view is unregistered, the daemon and its watcher exit 0, the
// listener pipe is gone and the log records the interruption once.

#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "agent_fixture.h"

namespace e2e {
namespace {

using E2eShutdown = AgentTest;

// "WARN::<date>::<pid>::Interrupted...exiting.\n" once, then the exit records.
void expect_interrupted_log(const std::string& log) {
    EXPECT_EQ(count_of(log, "::Interrupted...exiting.\n"), 1u) << log;
    const size_t at = log.find("::Interrupted...exiting.\n");
    ASSERT_NE(at, std::string::npos);
    const size_t line_start = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
    EXPECT_EQ(log.compare(line_start, 6, "WARN::"), 0) << log.substr(line_start);
    EXPECT_NE(log.find("INFO::", at), std::string::npos);
    EXPECT_NE(log.find("::Exiting, status = 0.\n", at), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR::"), std::string::npos) << log;
}

TEST_F(E2eShutdown, TermIntAndHupShutTheDaemonDown) {
    struct Case {
        const char* name;
        int sig;
        bool to_group; // as a terminal sends it, to watcher and daemon alike
        int repeat;
    };
    const Case cases[] = {
        {"term", SIGTERM, false, 1},
        {"int", SIGINT, false, 1},
        {"hup", SIGHUP, false, 1},
        {"int-to-group", SIGINT, true, 1},
        {"term-twice", SIGTERM, false, 2},  // the second signal changes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Process> agent = serve_new_view(c.name);
        const std::optional<pid_t> daemon = agent->child_pid();
        ASSERT_TRUE(daemon.has_value());
        ASSERT_TRUE(c.to_group ? agent->signal_group(c.sig) : agent->signal_child(c.sig));
        // A second signal right after the first: the daemon may have ended
        // already, which is fine.
        for (int i = 1; i < c.repeat; ++i) ::kill(*daemon, c.sig);
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
        EXPECT_FALSE(file_exists(listener_pipe(c.name)));
        expect_interrupted_log(log_text(c.name));
        EXPECT_NE(journal().find("unregister_view tag-" + std::string(c.name)), std::string::npos)
            << journal();
        EXPECT_EQ(agent->unread_stdout(), "");
        // The lock went with the daemon: the view starts again.
        std::unique_ptr<Process> again = start_with_request(storage(c.name), startview_request());
        const std::optional<std::string> reply = again->read_framed_reply();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0");
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(c.name)); }, kStartTimeout));
        ASSERT_TRUE(again->signal_child(SIGTERM));
        EXPECT_EQ(again->wait_exit(), std::optional<int>(0));
    }
}

TEST_F(E2eShutdown, ASignalToTheWatcherAloneLeavesTheDaemonServing) {
    std::unique_ptr<Process> agent = serve_new_view("w");
    ASSERT_TRUE(agent->signal(SIGTERM));
    // Nothing is to happen; give the daemon time to react wrongly.
    EXPECT_FALSE(agent->wait_exit(Millis(500)).has_value());
    EXPECT_TRUE(is_fifo(listener_pipe("w")));
    EXPECT_EQ(count_of(log_text("w"), "Interrupted"), 0u);

    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    expect_interrupted_log(log_text("w"));
}

TEST_F(E2eShutdown, ASignalBeforeTheViewExistsDoesNotStopTheStart) {
    // The daemon waits for its request; a signal now finds no view to end,
    // and the request that follows is served as usual. Its trace says when it waits for the request, with its signal
    // procedures and forced-shutdown thread in place.
    std::unique_ptr<Process> agent =
        start({storage("s"), "-trace_level", "2", "-trace_subsystem", "OSTRELAGENT"});
    ASSERT_TRUE(wait_until([&] { return all_traces().find("Status before prepare view") !=
                                        std::string::npos; },
                           kStartTimeout));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    // The forced EndView found no view.
    ASSERT_TRUE(wait_until([&] { return all_traces().find("forced EndView: 20019") !=
                                        std::string::npos; },
                           kStartTimeout));
    agent->write_stdin(frame_request(mkview_request("s")));
    agent->close_stdin();
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0");
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("s")); }, kStartTimeout));
    // The forced shutdown acts on the first signal only: a later one is not
    // acted on (only a client's EndView ends this daemon now).
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_FALSE(agent->wait_exit(Millis(300)).has_value());
    EXPECT_EQ(count_of(log_text("s"), "Interrupted"), 0u);
    ASSERT_TRUE(agent->signal_child(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(2));
}

} // namespace
} // namespace e2e
