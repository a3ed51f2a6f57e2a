// Termination signals end the daemon whenever they come: while it serves
// (through its forced shutdown: the view is unregistered once, the daemon
// and its watcher exit 0, the listener pipe is gone and the log records the
// interruption once), before its first request, while that request runs,
// sent to the watcher alone, when the view cannot be unregistered, and when
// the connection listener cannot start. Two daemons on one storage: the one
// that ends never unregisters the other's view.

#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    // One record of the end, whoever ends the process.
    EXPECT_EQ(count_of(log, "::Exiting, status = "), 1u) << log;
    EXPECT_EQ(log.find("ERROR::"), std::string::npos) << log;
}

std::vector<std::string> served_once(const std::string& tag) {
    return {"register_view " + tag, "unregister_view " + tag};
}

enum class Target { DAEMON, GROUP, WATCHER };

bool send(Process& agent, Target target, int sig) {
    switch (target) {
    case Target::DAEMON:
        return agent.signal_child(sig);
    case Target::GROUP:
        return agent.signal_group(sig);
    case Target::WATCHER:
        return agent.signal(sig);
    }
    return false;
}

TEST_F(E2eShutdown, TermIntAndHupShutTheDaemonDown) {
    struct Case {
        const char* name;
        int sig;
        Target target;
        int repeat;
    };
    const Case cases[] = {
        {"term", SIGTERM, Target::DAEMON, 1},
        {"int", SIGINT, Target::DAEMON, 1},
        {"hup", SIGHUP, Target::DAEMON, 1},
        {"int-to-group", SIGINT, Target::GROUP, 1},  // as a terminal sends it
        {"term-twice", SIGTERM, Target::DAEMON, 2},  // the second signal changes nothing
        // The process that its starter knows (`kill <pid>`, a time-out, a
        // service manager) passes the signal on.
        {"term-to-watcher", SIGTERM, Target::WATCHER, 1},
        {"int-to-watcher", SIGINT, Target::WATCHER, 1},
        {"hup-to-watcher", SIGHUP, Target::WATCHER, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = std::string("tag-") + c.name;
        std::unique_ptr<Process> agent = serve_new_view(c.name);
        const std::optional<pid_t> daemon = agent->child_pid();
        ASSERT_TRUE(daemon.has_value());
        ASSERT_TRUE(send(*agent, c.target, c.sig));
        // A second signal right after the first: the daemon may have ended
        // already, which is fine.
        for (int i = 1; i < c.repeat; ++i) ::kill(*daemon, c.sig);
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
        EXPECT_FALSE(file_exists(listener_pipe(c.name)));
        expect_interrupted_log(log_text(c.name));
        // Unregistered once, by the shutdown itself.
        EXPECT_EQ(journal_calls(tag), served_once(tag)) << journal();
        EXPECT_FALSE(registered(tag));
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

TEST_F(E2eShutdown, TwoDaemonsOnOneStorageKeepTheirOwnRegistrations) {
    const std::string tag = "tag-r";
    std::unique_ptr<Process> first = serve_new_view("r");

    // The first daemon's shutdown stops in its kernel call, storage lock held.
    KernelCallsHeld kernel(korva_root);
    ASSERT_TRUE(kernel.held());
    ASSERT_TRUE(first->signal_child(SIGTERM));
    ASSERT_TRUE(wait_until([&] { return count_of(log_text("r"), "Interrupted") == 1; }, kStartTimeout));
    std::unique_ptr<Process> refused = start_with_request(storage("r"), startview_request());
    const std::optional<std::string> refusal = refused->read_framed_reply();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(lib_test::read_reply(*refusal).attrs["status-code"], "3");
    EXPECT_EQ(refused->wait_exit(), std::optional<int>(2));

    // Let it go on, and start a second daemon as soon as the storage is free:
    // the first one's end must leave the second one's registration alone.
    kernel.release();
    std::unique_ptr<Process> second;
    ASSERT_TRUE(wait_until(
        [&] {
            second = start_with_request(storage("r"), startview_request());
            const std::optional<std::string> reply = second->read_framed_reply();
            return reply && lib_test::read_reply(*reply).attrs["status-code"] == "0";
        },
        kStartTimeout));
    EXPECT_EQ(first->wait_exit(), std::optional<int>(0));
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("r")); }, kStartTimeout));
    EXPECT_EQ(journal_calls(tag),
              (std::vector<std::string>{"register_view " + tag, "unregister_view " + tag,
                                        "register_view " + tag}))
        << journal();
    EXPECT_TRUE(registered(tag));

    // The second daemon still owns its view and ends as usual.
    ASSERT_TRUE(second->signal_child(SIGTERM));
    EXPECT_EQ(second->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(journal_calls(tag).back(), "unregister_view " + tag);
    EXPECT_FALSE(registered(tag));
}

TEST_F(E2eShutdown, ASignalBeforeTheFirstRequestEndsTheDaemonAtOnce) {
    // The starter may never send its request: the signal ends the daemon
    // without a reply, and nothing was made.
    const struct {
        const char* name;
        Target target;
    } cases[] = {{"daemon", Target::DAEMON}, {"watcher", Target::WATCHER}};
    size_t started = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Process> agent =
            start({storage(c.name), "-trace_level", "2", "-trace_subsystem", "OSTRELAGENT"});
        // Waiting for its request, with its signal handling in place.
        ++started;
        ASSERT_TRUE(wait_until(
            [&] { return count_of(all_traces(), "Status before prepare view") == started; },
            kStartTimeout));
        ASSERT_TRUE(send(*agent, c.target, SIGTERM));
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(2));
        EXPECT_EQ(agent->stdout_text(), "");
        EXPECT_FALSE(file_exists(storage(c.name)));
    }
    EXPECT_EQ(journal(), "");
}

TEST_F(E2eShutdown, ASignalWhileTheFirstRequestRunsEndsTheDaemonOnceItIsAnswered) {
    const std::string tag = "tag-m";
    // MkView stops in its kernel registration, its storage made.
    KernelCallsHeld kernel(korva_root);
    ASSERT_TRUE(kernel.held());
    std::unique_ptr<Process> agent = start_with_request(storage("m"), mkview_request("m"));
    ASSERT_TRUE(wait_until([&] { return file_exists(storage("m") + "/.ostrel"); }, kStartTimeout));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    kernel.release();

    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    expect_interrupted_log(log_text("m"));
    EXPECT_EQ(journal_calls(tag), served_once(tag)) << journal();
    EXPECT_FALSE(file_exists(listener_pipe("m")));
}

TEST_F(E2eShutdown, AShutdownThatCannotUnregisterTheViewStillEnds) {
    const std::string tag = "tag-u";
    std::unique_ptr<Process> agent = serve_new_view("u");
    // The kernel refuses the shutdown's unregistration once.
    ASSERT_TRUE(write_file(korva_root + "/inject", "unregister_view 1008 1\n"));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(4));

    const std::string log = log_text("u");
    EXPECT_NE(log.find("ERROR::"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "::Unable to unregister view from KORVA: "), 1u) << log;
    EXPECT_EQ(count_of(log, "::Exiting, status = 20001.\n"), 1u) << log;
    // The daemon tried once more before its storage lock went, and that
    // attempt went through.
    EXPECT_EQ(journal_calls(tag),
              (std::vector<std::string>{"register_view " + tag, "unregister_view " + tag,
                                        "unregister_view " + tag}))
        << journal();
    EXPECT_FALSE(registered(tag));
    EXPECT_FALSE(file_exists(listener_pipe("u")));
}

TEST_F(E2eShutdown, AListenerThatCannotStartEndsTheDaemonCleanly) {
    // The daemon built with the test hooks: the listener's thread cannot
    // start once the view is made; a
    // termination signal may come meanwhile, and its forced shutdown then
    // runs alongside the failed start-up.
    extra_env["OSTREL_TEST_LISTENER_START_ERROR"] = "11";
    const struct {
        const char* name;
        bool signalled;
    } cases[] = {{"l", false}, {"s", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = std::string("tag-") + c.name;
        std::unique_ptr<Process> agent;
        {
            // A signal taken while MkView waits in its kernel registration:
            // the forced shutdown waits for the reply, then starts at once.
            KernelCallsHeld kernel(korva_root);
            ASSERT_TRUE(kernel.held());
            agent.reset(new Process(OSTREL_AGENT_TEST_HOOKS_PATH,
                                    {storage(c.name), "-trace_level", "3", "-trace_subsystem", "OSTRELAGENT"},
                                    agent_env()));
            agent->write_stdin(frame_request(mkview_request(c.name)));
            agent->close_stdin();
            ASSERT_TRUE(wait_until([&] { return file_exists(storage(c.name) + "/.ostrel"); },
                                   kStartTimeout));
            if (c.signalled) {
                const size_t taken = count_of(all_traces(), "::ostrel_agent_shutdown_now::");
                ASSERT_TRUE(agent->signal_child(SIGTERM));
                ASSERT_TRUE(wait_until(
                    [&] {
                        return count_of(all_traces(), "::ostrel_agent_shutdown_now::") > taken;
                    },
                    kStartTimeout));
            }
        }
        const std::optional<std::string> reply = agent->read_framed_reply();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;

        EXPECT_EQ(agent->wait_exit(), std::optional<int>(4));
        EXPECT_EQ(journal_calls(tag), served_once(tag)) << journal();
        EXPECT_FALSE(registered(tag));
        const std::string log = log_text(c.name);
        EXPECT_EQ(count_of(log, "::Exiting, status = 11.\n"), 1u) << log;
        EXPECT_EQ(count_of(log, "::Interrupted...exiting.\n"), c.signalled ? 1u : 0u) << log;
        EXPECT_EQ(count_of(log, "Unable to unregister"), 0u) << log;
        EXPECT_FALSE(file_exists(listener_pipe(c.name)));
    }
}

} // namespace
} // namespace e2e
