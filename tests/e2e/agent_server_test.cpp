// The daemon and the remote server (the test server over TLS): an online
// view logs in when it is made or started and out when it ends, an offline
// one never calls; a refused login ends the daemon, and a view that the
// refused MkView made goes with it.

#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_fixture.h"
#include "fakeserver/connect_proxy.h"
#include "pipe_client.h"

namespace e2e {
namespace {

using Lines = std::vector<std::string>;
using E2eServer = AgentTest;

const std::string LOGIN = "POST Ostrel_Norvane::login_rpc credentials";
const std::string LOGOUT = "GET /logout cookie";
const std::string CONFIG_SPEC = "POST Ostrel_Norvane::getconfigspec_rpc cookie";

// The reply's status code and message, once the daemon has answered.
std::pair<std::string, std::string> first_reply(Process& agent) {
    const std::optional<std::string> reply = agent.read_framed_reply();
    EXPECT_TRUE(reply.has_value()) << agent.stderr_text(Millis(0));
    if (!reply) return {};
    lib_test::Reply r = lib_test::read_reply(*reply);
    return {r.attrs["status-code"], r.children["status-message"]};
}

TEST_F(E2eServer, AnOnlineViewLogsInAtItsStartAndOutAtItsEnd) {
    // MkView logs in and fetches the config spec; a client's EndView logs out.
    std::unique_ptr<Process> maker = serve_new_view("s");
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC}));
    {
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage("s"), "tool");
        ASSERT_TRUE(client);
        lib_test::Reply reply = client->call(make_request("EndView", "1"));
        EXPECT_EQ(reply.attrs["status-code"], "0");
    }
    EXPECT_EQ(maker->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT}));

    // StartView online logs in; the EndView of a termination signal logs out.
    const std::string start = "<StartView version=\"1\">" + server_element("p", "true") + "</StartView>";
    std::unique_ptr<Process> again = start_with_request(storage("s"), start);
    EXPECT_EQ(first_reply(*again).first, "0");
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("s")); }, kStartTimeout));
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT, LOGIN}));
    ASSERT_TRUE(again->signal_child(SIGTERM));
    EXPECT_EQ(again->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT, LOGIN, LOGOUT}));

    // Offline: not a call.
    std::unique_ptr<Process> offline = start_with_request(storage("s"), startview_request());
    EXPECT_EQ(first_reply(*offline).first, "0");
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("s")); }, kStartTimeout));
    ASSERT_TRUE(offline->signal_child(SIGTERM));
    EXPECT_EQ(offline->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(server_requests().size(), 5u);
}

// A view made with a proxy reaches the server only through it: every
// connection the server sees came through one of the proxy's tunnels, which
// took the proxy's credentials. The proxy's password shows nowhere.
TEST_F(E2eServer, AViewMadeWithAProxyReachesTheServerOnlyThroughIt) {
    const std::string password = "Pr0xy-s3cret";
    fakeserver::Connect_Proxy proxy("pu", password);
    ASSERT_TRUE(proxy.ok()) << proxy.error();
    std::string request = mkview_request("x");
    request.insert(request.find("</server>"), "<f-proxy-host>127.0.0.1</f-proxy-host><f-proxy-port>" +
                                                  std::to_string(proxy.port()) +
                                                  "</f-proxy-port><proxy-username>pu</proxy-username><proxy-password>" +
                                                  password + "</proxy-password>");
    std::unique_ptr<Process> agent =
        start_with_request(storage("x"), request, {"-trace_level", "5", "-trace_subsystem", "RCLIENT:OSTRELAGENT"});
    EXPECT_EQ(first_reply(*agent).first, "0");
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("x")); }, kStartTimeout));
    {
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage("x"), "tool");
        ASSERT_TRUE(client);
        EXPECT_EQ(client->call(make_request("EndView", "1")).attrs["status-code"], "0");
    }
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT}));

    size_t tunnels = 0;
    for (const fakeserver::Json& record : proxy.log()) {
        if (record["event"].as_string() != "connect") continue;
        EXPECT_EQ(record["answer"].as_long(), 200);
        EXPECT_EQ(record["target"].as_string(), "localhost:" + std::to_string(server().port()));
        EXPECT_EQ(record["user"].as_string(), "pu");
        ++tunnels;
    }
    EXPECT_GE(tunnels, 1u);
    EXPECT_EQ(tunnels, fakeserver::connection_count(server().requests()));

    const std::string traces = all_traces();
    EXPECT_NE(traces.find("p pass ***"), std::string::npos);
    EXPECT_EQ(traces.find(password), std::string::npos) << "the proxy password is in a trace";
    EXPECT_EQ(log_text("x").find(password), std::string::npos);
}

TEST_F(E2eServer, ARefusedLoginEndsTheDaemon) {
    // The server's refusal carries its own status message ("not logged in").
    const std::string refused = "Unable to complete RPC to WAN server.\nnot logged in\n"
                                "Authorization failure, check username and password.\n";

    // The view that MkView made goes again, and its registration with it.
    std::unique_ptr<Process> maker = start_with_request(storage("r"), mkview_request("r", "wrong"));
    EXPECT_EQ(first_reply(*maker), std::make_pair(std::string("20034"), refused));
    EXPECT_EQ(maker->wait_exit(), std::optional<int>(2));
    EXPECT_FALSE(file_exists(storage("r")));
    EXPECT_EQ(journal_calls("tag-r"), (Lines{"register_view tag-r", "unregister_view tag-r"})) << journal();
    EXPECT_EQ(server_requests(), Lines{"POST Ostrel_Norvane::login_rpc refused"});

    // StartView leaves the view as it was, and says why in the log.
    std::unique_ptr<Process> served = serve_new_view("r");
    ASSERT_TRUE(served->signal_child(SIGTERM));
    EXPECT_EQ(served->wait_exit(), std::optional<int>(0));
    const std::string start = "<StartView version=\"1\">" + server_element("wrong") + "</StartView>";
    std::unique_ptr<Process> starter = start_with_request(storage("r"), start);
    EXPECT_EQ(first_reply(*starter), std::make_pair(std::string("20034"), refused));
    EXPECT_EQ(starter->wait_exit(), std::optional<int>(2));
    EXPECT_TRUE(file_exists(storage("r") + "/.ostrel"));
    EXPECT_FALSE(registered("tag-r"));
    const std::string log = log_text("r");
    EXPECT_NE(log.find("WAN RPC \"Ostrel_Norvane::login_rpc\" failed : WAN status code 30002"), std::string::npos)
        << log;
    // One record a line: the message's line ends are written as escapes.
    std::string logged;
    for (const char c : refused) logged += c == '\n' ? std::string("\\n") : std::string(1, c);
    EXPECT_NE(log.find("Unable to connect to server :\"" + logged + "\""), std::string::npos) << log;
}

} // namespace
} // namespace e2e
