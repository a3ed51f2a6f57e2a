// The daemon's first request, run as its starters run it: the request framed
// on standard input, the reply framed on standard output, the watcher's exit
// status, and what the first request leaves in the view storage.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "agent_fixture.h"
#include "pipe_client.h"
#include "platform/korva/korva_channel_client.h"

namespace e2e {
namespace {

using lib_test::read_reply;
using lib_test::Reply;
using E2eStartup = AgentTest;

// Runs one daemon with `request` on `storage`: its reply (which must come
// whole) and exit status.
struct Outcome {
    Reply reply;
    std::string raw;
    int status = -1000;
    std::string stdout_rest;
    std::string stderr_text;
};

Outcome run_once(AgentTest& test, std::unique_ptr<Process> agent) {
    (void)test;
    Outcome outcome;
    const std::optional<std::string> reply = agent->read_framed_reply();
    EXPECT_TRUE(reply.has_value()) << "stdout: " << agent->stdout_text(Millis(0))
                                   << "\nstderr: " << agent->stderr_text(Millis(0));
    if (reply) {
        outcome.raw = *reply;
        outcome.reply = read_reply(*reply);
    }
    const std::optional<int> status = agent->wait_exit();
    EXPECT_TRUE(status.has_value()) << "the daemon did not end";
    if (status) outcome.status = *status;
    outcome.stderr_text = agent->stderr_text();
    return outcome;
}

TEST_F(E2eStartup, UnknownRootIsAnsweredAndTheDaemonExitsTwo) {
    std::unique_ptr<Process> agent =
        start_with_request(storage("v"), "<Frobnicate version=\"1\" tx-id=\"42\"/>");
    Outcome outcome = run_once(*this, std::move(agent));
    ASSERT_TRUE(outcome.reply.parsed) << outcome.raw;
    EXPECT_EQ(outcome.reply.root, "XMLError");
    EXPECT_EQ(outcome.reply.attrs["status-code"], "20020");
    EXPECT_EQ(outcome.reply.attrs["tx-id"], "42");
    EXPECT_EQ(outcome.reply.children["status-message"], "Unrecognized IPC: \"Frobnicate\".\n");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.raw.rfind("<?xml", 0), 0u);
    EXPECT_FALSE(file_exists(storage("v")));
}

TEST_F(E2eStartup, TextThatIsNotXmlGetsTheXmlErrorReply) {
    struct Case {
        const char* text;
        const char* txid;
    };
    const Case cases[] = {
        {"this is not xml tx-id=\"9\"", "9"},
        {"<StartView version=\"1\">", ""},
        {"<!DOCTYPE StartView [<!ENTITY x \"y\">]><StartView version=\"1\"/>", ""},
    };
    for (const Case& c : cases) {
        Outcome outcome = run_once(*this, start_with_request(storage("v"), c.text));
        ASSERT_TRUE(outcome.reply.parsed) << outcome.raw;
        EXPECT_EQ(outcome.reply.root, "XMLError") << c.text;
        EXPECT_EQ(outcome.reply.attrs["status-code"], "20020");
        EXPECT_EQ(outcome.reply.attrs["tx-id"], c.txid);
        EXPECT_EQ(outcome.reply.children["status-message"],
                  std::string("Parse error in \"") + c.text + "\".\n");
        EXPECT_EQ(outcome.status, 2);
    }
}

TEST_F(E2eStartup, RequestLinesAreJoinedAndALongLineRefusesTheRequest) {
    // Written over several lines, with blanks around them, as a starter may.
    std::unique_ptr<Process> agent = start({storage("v")});
    agent->write_stdin("999\n  <Frob version=\"1\" tx-id=\"3\">\r\n\t <a/>  \n</Frob>");
    agent->close_stdin();
    Outcome outcome = run_once(*this, std::move(agent));
    EXPECT_EQ(outcome.reply.attrs["tx-id"], "3");
    EXPECT_EQ(outcome.reply.children["status-message"], "Unrecognized IPC: \"Frob\".\n");

    // A line of 16000 characters does not fit the reader: the request is
    // refused, whatever the rest would have made of it. Here what comes
    // before the line is a whole MkView, which must not run.
    const std::string cut = mkview_request("v");
    agent = start({storage("v")});
    agent->write_stdin("1\n" + cut + "\n<!--" + std::string(16000, '-') + "-->\n");
    agent->close_stdin();
    outcome = run_once(*this, std::move(agent));
    EXPECT_EQ(outcome.reply.root, "Unknown") << outcome.raw;
    EXPECT_EQ(outcome.reply.attrs["status-code"], "20021");
    EXPECT_EQ(outcome.reply.children["status-message"],
              "Request line longer than 15999 characters.\n");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_FALSE(file_exists(storage("v")));
    EXPECT_EQ(journal(), "");
}

TEST_F(E2eStartup, MkViewCreatesTheStorageAndServesIt) {
    std::unique_ptr<Process> agent = serve_new_view("a");
    // The storage as the view object makes it.
    struct stat st;
    ASSERT_EQ(stat(storage("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string metadata = read_file(storage("a") + "/.ostrel");
    EXPECT_EQ(metadata.rfind("versionid=1.0\nview-uuid=" + uuid_for("a") + "\n", 0), 0u) << metadata;
    EXPECT_NE(metadata.find("server-tag=tag-a\n"), std::string::npos);
    EXPECT_TRUE(file_exists(storage("a") + "/.pid"));
    EXPECT_TRUE(file_exists(cache_dir("a") + "/.cltxt_cache"));
    EXPECT_NE(journal().find("register_view tag-a"), std::string::npos) << journal();
    // The log is on once the first request succeeded.
    EXPECT_NE(log_text("a").find("INFO::"), std::string::npos);
    EXPECT_NE(log_text("a").find("Using view \"" + storage("a") + "\""), std::string::npos);

    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(agent->unread_stdout(), "");  // nothing after the reply
    // The database is closed once: the exit hook finds nothing left to close.
    EXPECT_EQ(count_of(log_text("a"), "::Db closed\n"), 1u) << log_text("a");
}

TEST_F(E2eStartup, TheViewsMessageChannelIsOpenWhileTheViewIsServed) {
    std::unique_ptr<Process> agent = serve_new_view("k");
    const std::string socket_path = korva_root + "/views/tag-k/lpc";
    struct stat st;
    ASSERT_EQ(lstat(socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    korva::ChannelClient kernel;
    ASSERT_EQ(kernel.connectPath(socket_path), 0);

    // Unregistering at the end closes the channel and its connections.
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    std::vector<unsigned char> packet;
    EXPECT_EQ(kernel.receive(&packet, 10000), ECONNRESET);
    EXPECT_NE(lstat(socket_path.c_str(), &st), 0);
}

TEST_F(E2eStartup, StartViewOfAnExistingViewAndOfAMissingOne) {
    {
        std::unique_ptr<Process> maker = serve_new_view("b");
        ASSERT_TRUE(maker->signal_child(SIGTERM));
        ASSERT_EQ(maker->wait_exit(), std::optional<int>(0));
    }
    std::unique_ptr<Process> agent = start_with_request(storage("b"), startview_request());
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    Reply r = read_reply(*reply);
    EXPECT_EQ(r.root, "StartView");
    EXPECT_EQ(r.attrs["status-code"], "0");
    EXPECT_FALSE(r.has_attr("tx-id"));
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("b")); }, kStartTimeout));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));

    Outcome missing = run_once(*this, start_with_request(storage("none"), startview_request()));
    EXPECT_EQ(missing.reply.root, "StartView");
    EXPECT_EQ(missing.reply.attrs["status-code"], "20023");
    EXPECT_FALSE(missing.reply.has_child("status-message"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_FALSE(file_exists(storage("none")));
}

TEST_F(E2eStartup, AViewServedByAnotherAgentIsLeftAlone) {
    std::unique_ptr<Process> first = serve_new_view("c");
    const std::string journal_before = journal();

    // A second daemon for the same storage: the lock is taken.
    Outcome second = run_once(*this, start_with_request(storage("c"), startview_request()));
    EXPECT_EQ(second.reply.root, "StartView");
    EXPECT_EQ(second.reply.attrs["status-code"], "3");
    EXPECT_EQ(second.status, 2);
    // Its watcher left the first daemon's listener pipe, and nothing
    // unregistered the view.
    EXPECT_TRUE(is_fifo(listener_pipe("c")));
    EXPECT_EQ(journal(), journal_before);

    // MkView of the served storage: 20018, the storage untouched.
    Outcome third = run_once(*this, start_with_request(storage("c"), mkview_request("c")));
    EXPECT_EQ(third.reply.root, "MkView");
    EXPECT_EQ(third.reply.attrs["status-code"], "20018");
    EXPECT_EQ(third.reply.children["status-message"], "View at \"" + storage("c") + "\" exists.\n");
    EXPECT_EQ(third.status, 2);
    EXPECT_TRUE(is_fifo(listener_pipe("c")));
    EXPECT_EQ(journal(), journal_before);

    // The refused StartView wrote its records (the log is on for a
    // StartView); the refused MkView, whose log was never on, wrote none.
    const std::string log = log_text("c");
    EXPECT_EQ(count_of(log, "::Exiting, status = 3.\n"), 1u) << log;
    EXPECT_NE(log.find("ERROR::"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "::Exiting, status = 2.\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "20018"), 0u) << log;

    ASSERT_TRUE(first->signal_child(SIGTERM));
    EXPECT_EQ(first->wait_exit(), std::optional<int>(0));
    EXPECT_FALSE(file_exists(listener_pipe("c")));
}

TEST_F(E2eStartup, AFailedMkViewLeavesNothingBehind) {
    // The request lacks the server's credentials.
    std::string request = mkview_request("d");
    const std::string credentials = "<username>u</username><password>p</password>";
    request.erase(request.find(credentials), credentials.size());
    Outcome outcome = run_once(*this, start_with_request(storage("d"), request));
    EXPECT_EQ(outcome.reply.attrs["status-code"], "20022");
    EXPECT_EQ(outcome.reply.children["status-message"],
              "Server information is incomplete or invalid for \"" + storage("d") + "\".\n");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_FALSE(file_exists(storage("d")));
}

// A MkView that fails says why in its reply, exits 2, leaves no storage
// behind and no engine complaint on standard error: a login reply cut short
// or without its status, a refused login, and values that would reach a
// file name, a URL or a line of a file.
TEST_F(E2eStartup, AFailedMkViewSaysWhyAndLeavesNothingBehind) {
    const std::string cookies = R"("headers": [["Set-Cookie", "JSESSIONID=J1"], ["Set-Cookie", "Session=S1"]])";
    server_rules = R"({"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "times": 1, "fault": {"drop_after": 50},
                       "reply": {)" + cookies + R"(}},
                      {"match": {"rpc": "Ostrel_Norvane::login_rpc"}, "times": 1,
                       "reply": {)" + cookies + R"(, "status": null}})";
    const auto with = [](std::string request, const std::string& from, const std::string& to) {
        return request.replace(request.find(from), from.size(), to);
    };
    const struct {
        const char* name;
        std::string request;
        const char* status;
        std::string message;
    } cases[] = {
        {"cut", mkview_request("cut"), "20034", "The WAN server's reply was cut short."},
        {"nostatus", mkview_request("nostatus"), "20034", "The WAN server's reply holds no status."},
        {"refused", mkview_request("refused", "wrong"), "20034", "Authorization failure"},
        {"slash", with(mkview_request("slash"), "tag-slash", "tag/slash"), "20021",
         "Value of \"server-tag\" is not valid: \"tag/slash\"."},
        {"dots", with(mkview_request("dots"), "tag-dots", ".."), "20021", "Value of \"server-tag\" is not valid"},
        {"mode", with(mkview_request("mode"), "transparent", "../x"), "20021",
         "Value of \"text-mode\" is not valid: \"../x\"."},
        {"blank", with(mkview_request("blank"), "transparent", "trans parent"), "20021",
         "Value of \"text-mode\" is not valid"},
        {"line", with(mkview_request("line"), "<username>u</username>", "<username>u&#10;x: y</username>"), "20021",
         "Value of \"username\" is not valid: \"u\\nx: y\"."},
        {"proxy", with(mkview_request("proxy"), "</password>", "</password><f-proxy-host>h</f-proxy-host>"
                                                               "<f-proxy-port>8x</f-proxy-port>"),
         "20021", "Value of \"f-proxy-port\" is not valid: \"8x\"."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Process> agent = start_with_request(storage(c.name), c.request);
        Outcome outcome = run_once(*this, std::move(agent));
        EXPECT_EQ(outcome.reply.attrs["status-code"], c.status) << outcome.raw;
        EXPECT_NE(outcome.reply.children["status-message"].find(c.message), std::string::npos) << outcome.raw;
        EXPECT_EQ(outcome.status, 2);
        EXPECT_FALSE(file_exists(storage(c.name)));
        EXPECT_EQ(outcome.stderr_text.find("error"), std::string::npos) << outcome.stderr_text;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Nothing of any of them was registered with the kernel either.
        EXPECT_EQ(journal_calls(std::string("tag-") + c.name).size() % 2, 0u) << journal();
    }
}

TEST_F(E2eStartup, AFailedMkViewUnregistersNothing) {
    // A served view, then MkView of another storage under the same server
    // tag (another uuid) and MkView of another storage whose cache directory
    // is refused: neither registered anything, so neither may unregister the
    // served view's tag on the way out.
    std::unique_ptr<Process> served = serve_new_view("h");

    std::string clash = mkview_request("i");
    clash.replace(clash.find("tag-i"), 5, "tag-h");
    Outcome first = run_once(*this, start_with_request(storage("i"), clash));
    EXPECT_NE(first.reply.attrs["status-code"], "0") << first.raw;
    EXPECT_EQ(first.status, 2);
    EXPECT_FALSE(file_exists(storage("i")));

    ASSERT_EQ(::mkdir(cache_dir("j").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(cache_dir("j") + "/occupied", "x"));
    std::string refused = mkview_request("j");
    refused.replace(refused.find("tag-j"), 5, "tag-h");
    Outcome second = run_once(*this, start_with_request(storage("j"), refused));
    EXPECT_EQ(second.reply.attrs["status-code"], "20051") << second.raw;
    EXPECT_EQ(second.status, 2);

    EXPECT_EQ(journal().find("unregister_view tag-h"), std::string::npos) << journal();

    ASSERT_TRUE(served->signal_child(SIGTERM));
    EXPECT_EQ(served->wait_exit(), std::optional<int>(0));
    EXPECT_NE(journal().find("unregister_view tag-h"), std::string::npos) << journal();
}

// Started as a session leader (under setsid, as a service manager starts
// it), the daemon leads its process group already: it serves all the same.
TEST_F(E2eStartup, ADaemonStartedAsASessionLeaderServes) {
    std::unique_ptr<Process> agent(new Process(
        "/bin/sh", {"-c", "exec setsid --wait '" + std::string(agent_path()) + "' '" + storage("l") + "'"}, agent_env()));
    agent->write_stdin(frame_request(mkview_request("l")));
    agent->close_stdin();
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
    EXPECT_EQ(read_reply(*reply).attrs["status-code"], "0") << *reply;
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("l")); }, kStartTimeout));
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("l"), "tool");
    ASSERT_TRUE(client);
    EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(count_of(log_text("l"), "::Db closed\n"), 1u) << log_text("l");
}

TEST_F(E2eStartup, TheWatcherPassesOnTheDaemonsEnd) {
    // Killed daemon: the watcher exits 2 and removes the listener pipe.
    std::unique_ptr<Process> agent = serve_new_view("e");
    ASSERT_TRUE(agent->signal_child(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(2));
    EXPECT_FALSE(file_exists(listener_pipe("e")));
    // The first request's failure (2) and an orderly end (0) are passed on
    // as well: see the other tests.
}

TEST_F(E2eStartup, ARelativeStorageLocationIsMadeAbsolute) {
    // The starter's working directory is the tree; the daemon's view object
    // and its log use the absolute path.
    std::unique_ptr<Process> agent(new Process(
        "/bin/sh", {"-c", "cd '" + tree.path() + "' && exec '" + agent_path() + "' views/f"},
        agent_env()));
    agent->write_stdin(frame_request(mkview_request("f")));
    agent->close_stdin();
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(read_reply(*reply).attrs["status-code"], "0") << *reply;
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("f")); }, kStartTimeout));
    EXPECT_NE(journal().find(" " + storage("f")), std::string::npos) << journal();
    EXPECT_NE(log_text("f").find("Using view \"" + storage("f") + "\""), std::string::npos);
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
}

TEST_F(E2eStartup, FilesAreCreatedUnderTheInheritedOtherBitsOnly) {
    // The owner and group bits of the inherited mask are dropped; the
    // "other" bits stay in force.
    struct Case {
        const char* name;
        const char* umask;
        unsigned metadata_mode;
    };
    const Case cases[] = {{"m022", "022", 0664}, {"m077", "077", 0660}, {"m770", "770", 0666}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.umask);
        std::unique_ptr<Process> agent(new Process(
            "/bin/sh",
            {"-c", std::string("umask ") + c.umask + " && exec '" + agent_path() + "' '" +
                       storage(c.name) + "'"},
            agent_env()));
        agent->write_stdin(frame_request(mkview_request(c.name)));
        agent->close_stdin();
        ASSERT_TRUE(agent->read_framed_reply().has_value());
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(c.name)); }, kStartTimeout));
        struct stat st;
        ASSERT_EQ(stat((storage(c.name) + "/.ostrel").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.metadata_mode);
        ASSERT_TRUE(agent->signal_child(SIGTERM));
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    }
}

TEST_F(E2eStartup, AMainLoopThatCannotStartExitsFourAndUnregistersTheView) {
    // The daemon built with the test hooks: the request pool's third thread
    // cannot start after the view was made
    // (as under a resource limit, which the sanitizers' address space
    // leaves no room for): the two started end again.
    extra_env["OSTREL_TEST_POOL_START_ERROR"] = "1";
    std::unique_ptr<Process> agent(new Process(OSTREL_AGENT_TEST_HOOKS_PATH, {storage("g")}, agent_env()));
    agent->write_stdin(frame_request(mkview_request("g")));
    agent->close_stdin();
    const std::optional<std::string> reply = agent->read_framed_reply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(read_reply(*reply).attrs["status-code"], "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(4));
    EXPECT_EQ(journal_calls("tag-g"),
              (std::vector<std::string>{"register_view tag-g", "unregister_view tag-g"}))
        << journal();
    EXPECT_NE(log_text("g").find("::Exiting, status = 4.\n"), std::string::npos) << log_text("g");
    EXPECT_FALSE(file_exists(listener_pipe("g")));
}

// The installed daemon answers none of the test hooks: with every fault
// they would force asked for in its environment, it makes its view, serves
// it and ends as usual.
TEST_F(E2eStartup, TheInstalledDaemonAnswersNoTestHook) {
    extra_env["OSTREL_TEST_POOL_START_ERROR"] = "1";
    extra_env["OSTREL_TEST_LISTENER_START_ERROR"] = "11";
    std::unique_ptr<Process> agent = serve_new_view("h");
    if (HasFailure()) return;
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("h"), "hooks");
    ASSERT_TRUE(client);
    EXPECT_EQ(client->call(make_request("EndView", "end")).attrs["status-code"], "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(journal_calls("tag-h"), (std::vector<std::string>{"register_view tag-h", "unregister_view tag-h"}))
        << journal();
}

} // namespace
} // namespace e2e
