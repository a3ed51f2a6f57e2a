// The remote client's transport against the test server over TLS on
// loopback: the requests as the server receives them, the transport
// statuses, the session's cookies, the reuse of handles and connections,
// the reply under transfer faults, and the TLS choices. What was sent is
// read from the server's log, never from our own encoder.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_get.h"
#include "lib/client/http_client_post.h"
#include "lib/client/rclient_base64.h"
#include "lib/client/rclient_request_args.h"
#include "lib/client/rclient_request_generator_get.h"
#include "lib/client/rclient_request_generator_post.h"
#include "lib/client/rclient_session.h"
#include "lib/client/reply_reader.h"
#include "lib/client/server_fixture.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/lib_test_support.h"

namespace {

using fakeserver::Fake_Server;
using fakeserver::header_lines;
using fakeserver::Json;
using fakeserver::string_rows;
using Rows = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
namespace S = OstrelAgent_Status;

using client_test::scenario;

const char* const LOGIN_RPC = "Ostrel_Norvane::login_rpc";

// A local port that refuses connections: bound, never listening.
class Refusing_Port {
public:
    Refusing_Port() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~Refusing_Port() { ::close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// The value of the first reply header line holding `key`, up to ";".
std::string cookie(const std::list<std::string>& headers, const std::string& key) {
    for (const std::string& line : headers) {
        size_t at = line.find(key);
        if (at != std::string::npos) return line.substr(at + key.size(), line.find(';', at) - at - key.size());
    }
    return "";
}

class TransportTest : public client_test::Server_Test {
protected:
    // One exchange and what came of it.
    struct Exchange {
        int status = -1;
        std::string error;
        int performed = 0;
        std::list<std::string> headers;
        client_test::Reply_Reader reply;
    };

    // Starts the server and points the session at it, not logged in.
    void start(const std::string& scenario_json, const Fake_Server::Options& options = {}) {
        start_server(scenario_json, options);
        if (server->ok()) use(server->url());
    }

    void use(const std::string& url, const std::string& keystore = "", const std::string& password = "",
             const std::string& primary_group = "", const std::string& groups = "") {
        session->init(url, "alice", "DOM", "pw", primary_group, groups, "", "", "", 0, keystore, password);
        session->clear_login();
    }

    std::unique_ptr<Exchange> post(std::string rpc, std::string args = "") {
        std::unique_ptr<Exchange> exchange(new Exchange);
        {
            RClient_Request_Generator_Post generator(&exchange->reply.cb, &exchange->headers);
            exchange->status = generator.send_request(rpc, args);
            exchange->error = generator.get_error_text();
            exchange->performed = generator.get_performed();
        }
        exchange->reply.finish();
        return exchange;
    }

    std::unique_ptr<Exchange> get(const std::string& path, std::string rpc = "") {
        std::unique_ptr<Exchange> exchange(new Exchange);
        {
            RClient_Request_Generator_Get generator(session->get_url() + path, &exchange->reply.cb,
                                                    &exchange->headers);
            std::string args = "never sent";
            exchange->status = generator.send_request(rpc, args);
            exchange->error = generator.get_error_text();
        }
        exchange->reply.finish();
        return exchange;
    }

};

TEST_F(TransportTest, PostCarriesStandardHeadersFormAndArgumentText) {
    start(scenario(R"({"match": {"rpc": "Ostrel_Norvane::getmetadata_rpc", "args": {"ViewGn": "7"}},
                       "reply": {"parts": [{"id": "Xdr_ObjMetadata", "items": {"Kind": "file"},
                                            "body_text": "blob\r\n"}],
                                 "status": {"code": 0}}})"));
    RClient_Request_Args args;
    args.add_arg("ViewUuid", std::string("a\nb"));
    args.add_arg("ViewGn", 7);
    args.add_arg("Force", true);
    args.add_arg("Recursive");
    std::unique_ptr<Exchange> done = post("Ostrel_Norvane::getmetadata_rpc", args.get_args());
    ASSERT_EQ(done->status, 0) << done->error;
    EXPECT_EQ(done->performed, 1);
    EXPECT_EQ(done->reply.error, 0);
    ASSERT_EQ(done->reply.parts.size(), 1u);
    EXPECT_EQ(done->reply.parts[0].id, "Xdr_ObjMetadata");
    EXPECT_EQ(done->reply.parts[0].body, "blob\r\n");
    EXPECT_TRUE(done->reply.status_seen);
    EXPECT_EQ(done->reply.status.status, 0);
    EXPECT_EQ(done->headers.front(), "HTTP/1.1 200 OK");

    Json request = only_request();
    EXPECT_EQ(request["method"].as_string(), "POST");
    EXPECT_EQ(request["path"].as_string(), "/ostrel");
    EXPECT_EQ(request["auth"].as_string(), "credentials");
    EXPECT_EQ(header_lines(request, "x-quelfo-rpc-name"), Lines{"x-quelfo-rpc-name:Ostrel_Norvane::getmetadata_rpc"});
    EXPECT_EQ(header_lines(request, "User-Agent"), Lines{"User-Agent:OSTRELA / 1.0.0.0"});
    EXPECT_EQ(header_lines(request, "Accept-Encoding"), Lines{"Accept-Encoding:deflate"});
    EXPECT_EQ(header_lines(request, "Expect"), Lines{});
    EXPECT_EQ(header_lines(request, "x-quelfo-login-credentials"),
              Lines{"x-quelfo-login-credentials:" + Base64::encode("DOM\\alice:pw")});
    // Empty group values leave their lines out.
    EXPECT_EQ(header_lines(request, "x-quelfo-login-primary-group"), Lines{});
    EXPECT_EQ(header_lines(request, "x-quelfo-login-groups-list"), Lines{});
    EXPECT_EQ(header_lines(request, "Cookie"), Lines{});
    Lines content_type = header_lines(request, "Content-Type");
    ASSERT_EQ(content_type.size(), 1u);
    EXPECT_EQ(content_type[0].rfind("Content-Type: multipart/form-data; boundary=", 0), 0u) << content_type[0];
    EXPECT_EQ(string_rows(request["form"]),
              (Rows{{"rpc", "Ostrel_Norvane::getmetadata_rpc"},
                    {"rpcargs", "ViewUuid=a%0Ab\nViewGn=7\nForce=1\nRecursive\n"}}));
    EXPECT_EQ(string_rows(request["rpcargs"]), (Rows{{"ViewUuid", "a%0Ab"}, {"ViewGn", "7"}, {"Force", "1"}, {"Recursive"}}));

    // Groups, when there are some, go out in their lines.
    use(server->url(), "", "", "staff", "staff dev");
    ASSERT_EQ(post("Ostrel_Norvane::getmetadata_rpc", "ViewGn=7\n")->status, 0);
    Json second = server->requests().back();
    EXPECT_EQ(header_lines(second, "x-quelfo-login-primary-group"), Lines{"x-quelfo-login-primary-group:staff"});
    EXPECT_EQ(header_lines(second, "x-quelfo-login-groups-list"), Lines{"x-quelfo-login-groups-list:staff dev"});
}

// Login answers the cookies; a logged-in session sends them, and only them;
// a GET carries the headers without a form; after a logout they are refused.
TEST_F(TransportTest, SessionCookiesReplaceTheCredentials) {
    start(scenario(R"({"match": {"method": "GET", "path": "/cltxt/*"},
                       "reply": {"parts": [{"id": "SyncElemData", "body_text": "contents"}]}})"));
    std::unique_ptr<Exchange> login = post(LOGIN_RPC, "min_clnt_proto_ver=6\n");
    ASSERT_EQ(login->status, 0) << login->error;
    EXPECT_EQ(login->reply.status.status, 0);
    // As the command base does with the reply's header lines.
    std::string jsessionid = cookie(login->headers, "JSESSIONID=");
    std::string session_id = cookie(login->headers, "Session=");
    EXPECT_EQ(jsessionid, "J1");
    EXPECT_EQ(session_id, "S1");
    session->set_jsessionid(jsessionid);
    session->set_session_id(session_id);

    std::unique_ptr<Exchange> fetch = get("/cltxt/vob/oid/strip_cr", "Get_ClearText");
    ASSERT_EQ(fetch->status, 0) << fetch->error;
    ASSERT_EQ(fetch->reply.parts.size(), 1u);
    EXPECT_EQ(fetch->reply.parts[0].body, "contents");
    std::unique_ptr<Exchange> logout = get("/logout");
    ASSERT_EQ(logout->status, 0) << logout->error;

    std::unique_ptr<Exchange> refused = post("Ostrel_Norvane::lookup_rpc");
    EXPECT_EQ(refused->status, S::RC_UNAUTHORIZED);
    EXPECT_EQ(refused->error, "Authorization failure, check username and password.\n");
    EXPECT_EQ(refused->reply.status.status, 30002) << "an error answer's body still reaches the reader";

    std::vector<Json> requests = server->requests();
    ASSERT_EQ(requests.size(), 4u);
    const Json& cltxt = requests[1];
    EXPECT_EQ(cltxt["method"].as_string(), "GET");
    EXPECT_EQ(cltxt["path"].as_string(), "/ostrel/cltxt/vob/oid/strip_cr");
    EXPECT_EQ(cltxt["auth"].as_string(), "cookie");
    EXPECT_EQ(header_lines(cltxt, "Cookie"), Lines{"Cookie:JSESSIONID=J1;Session=S1"});
    EXPECT_EQ(header_lines(cltxt, "x-quelfo-login-credentials"), Lines{});
    EXPECT_EQ(header_lines(cltxt, "x-quelfo-rpc-name"), Lines{"x-quelfo-rpc-name:Get_ClearText"});
    EXPECT_EQ(header_lines(cltxt, "Content-Type"), Lines{});
    EXPECT_EQ(string_rows(cltxt["form"]), Rows{});
    const Json& bye = requests[2];
    EXPECT_EQ(bye["builtin"].as_string(), "logout");
    EXPECT_EQ(header_lines(bye, "x-quelfo-rpc-name"), Lines{}) << "an empty procedure name is not sent";
    EXPECT_EQ(header_lines(bye, "User-Agent"), Lines{"User-Agent:OSTRELA / 1.0.0.0"});
    EXPECT_EQ(requests[3]["auth"].as_string(), "refused");
}

// A test changes what the server answers by rewriting its scenario: the
// next request is answered by the new rules (their uses counted afresh),
// the logged-in session stays logged in, and a scenario that does not read
// leaves the one before in force.
TEST_F(TransportTest, TheServerAnswersByItsScenarioAsRewritten) {
    const auto answering = [](const std::string& body, const std::string& times = "") {
        return scenario(R"({"match": {"rpc": "Any"}, )" + times + R"("reply": {"parts": [{"id": "A", "body_text": ")" +
                        body + R"("}]}})");
    };
    start(answering("first", R"("times": 1, )"));
    std::unique_ptr<Exchange> login = post(LOGIN_RPC, "min_clnt_proto_ver=6\n");
    ASSERT_EQ(login->status, 0) << login->error;
    session->set_jsessionid(cookie(login->headers, "JSESSIONID="));
    session->set_session_id(cookie(login->headers, "Session="));
    const auto body_of = [&] {
        std::unique_ptr<Exchange> exchange = post("Any");
        return exchange->reply.parts.size() == 1 ? exchange->reply.parts[0].body : "status " + std::to_string(exchange->status);
    };
    EXPECT_EQ(body_of(), "first");
    EXPECT_NE(body_of(), "first") << "the rule's one use is gone";

    ASSERT_TRUE(server->rewrite(answering("second", R"("times": 1, )")));
    EXPECT_EQ(body_of(), "second");
    ASSERT_TRUE(server->rewrite("{not json"));
    EXPECT_NE(body_of(), "second") << "the rule before, its use gone";
    ASSERT_TRUE(server->rewrite(answering("third")));
    EXPECT_EQ(body_of(), "third");
    EXPECT_EQ(body_of(), "third");

    const std::vector<Json> requests = server->requests();
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[1]["scenario"].as_long(), 0);
    EXPECT_EQ(requests[3]["scenario"].as_long(), 1);
    EXPECT_EQ(requests[4]["scenario"].as_long(), 1);
    EXPECT_EQ(requests[6]["scenario"].as_long(), 2);
    for (const Json& request : requests) EXPECT_NE(request["auth"].as_string(), "refused");
    EXPECT_EQ(requests[6]["auth"].as_string(), "cookie");
    Lines events;
    for (const Json& record : server->log())
        if (record["event"].as_string() != "request" && record["event"].as_string() != "request_end")
            events.push_back(record["event"].as_string());
    EXPECT_EQ(events, (Lines{"scenario", "scenario_error", "scenario"}));
}

TEST_F(TransportTest, HttpStatusesMapToTransportStatuses) {
    const struct {
        int http;
        int status;
        const char* error;
    } cases[] = {
        {200, 0, ""},
        {201, 0, ""},
        {302, S::RC_HTTP_STATUS, "Status code from RPC = 302"},
        {401, S::RC_UNAUTHORIZED, "Authorization failure, check username and password.\n"},
        {403, S::RC_UNAUTHORIZED, "Authorization failure, check username and password.\n"},
        {404, S::RC_NOT_FOUND, "Not found.\n"},
        {500, S::RC_HTTP_STATUS, "Status code from RPC = 500"},
        {418, S::RC_HTTP_STATUS, "Status code from RPC = 418"},
    };
    std::string rules;
    for (const auto& c : cases) {
        std::string code = std::to_string(c.http);
        rules += std::string(rules.empty() ? "" : ",") + R"({"match": {"args": {"http": ")" + code +
                 R"("}}, "fault": {"http": )" + code + R"(}, "reply": {"status": {"code": 7, "message": "m"}}})";
    }
    start(scenario(rules));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.http);
        std::unique_ptr<Exchange> done = post("Any", "http=" + std::to_string(c.http) + "\n");
        EXPECT_EQ(done->status, c.status);
        EXPECT_EQ(done->error, c.error);
        EXPECT_EQ(done->reply.status.status, 7) << "the body arrives whatever the status";
        EXPECT_EQ(done->reply.status.message, "m");
    }
}

// Faults of the transfer: the reply must read as it does without them.
TEST_F(TransportTest, ReplyReadsTheSameUnderTransferFaults) {
    std::string file_body;
    for (int i = 0; file_body.size() < 5000; ++i) file_body += "line " + std::to_string(i) + "\r\n";
    const std::string file = home.path() + "/cleartext";
    lib_test::write_file(file, file_body);
    const std::string reply = R"({"parts": [{"id": "A", "items": {"Kind": "x"}, "body_text": "first\r\nbody"},
                                            {"id": "B", "body_b64": "AAECAw0KDQ=="},
                                            {"id": "C", "body_file": ")" + file + R"("}],
                                  "status": {"code": 12, "message": "server said\r\nno"}})";
    const char* const faults[] = {
        "{}", R"({"chunk": 1})", R"({"split_crlf": true})", R"({"chunk": 5, "split_crlf": true})",
        R"({"deflate": true})", R"({"deflate": true, "chunk": 3})", R"({"part_delay_ms": 5})",
        R"({"hold": {"after_parts": 2, "gate": "open"}, "chunk": 100})",
    };
    std::string rules;
    for (size_t i = 0; i < sizeof faults / sizeof faults[0]; ++i)
        rules += std::string(i == 0 ? "" : ",") + R"({"match": {"args": {"fault": ")" + std::to_string(i) +
                 R"("}}, "fault": )" + faults[i] + R"(, "reply": )" + reply + "}";
    start(scenario(rules));
    server->open_gate("open");
    const std::vector<client_test::Part> expected = {{"A", {}, "first\r\nbody"},
                                                     {"B", {}, std::string("\0\1\2\3\r\n\r", 7)},
                                                     {"C", {}, file_body}};
    for (size_t i = 0; i < sizeof faults / sizeof faults[0]; ++i) {
        SCOPED_TRACE(faults[i]);
        std::unique_ptr<Exchange> done = post("Any", "fault=" + std::to_string(i) + "\n");
        ASSERT_EQ(done->status, 0) << done->error;
        EXPECT_EQ(done->reply.error, 0);
        EXPECT_EQ(done->reply.parts, expected);
        EXPECT_EQ(done->reply.status.status, 12);
        EXPECT_EQ(done->reply.status.message, "server said\r\nno");
        if (std::string(faults[i]) == R"({"chunk": 1})") {
            EXPECT_GT(done->reply.pieces, 1000u) << "the reply arrived in small pieces";
        }
    }
}

// A held reply stops after its first parts until the test opens its gate;
// the server logs the request when it arrives and again when its answer
// has ended.
TEST_F(TransportTest, AHeldReplyGoesOnWhenItsGateOpens) {
    start(scenario(R"({"match": {"rpc": "Held"}, "fault": {"hold": {"after_parts": 1, "gate": "g1"}},
                       "reply": {"parts": [{"id": "A", "body_text": "a"}, {"id": "B", "body_text": "b"}]}})"));
    std::atomic<bool> done{false};
    std::unique_ptr<Exchange> exchange;
    std::thread caller([&] {
        exchange = post("Held");
        done = true;
    });
    const auto arrived = [](const std::vector<Json>& log) {
        return !log.empty() && log[0]["event"].as_string() == "request";
    };
    EXPECT_TRUE(server->wait_for_log(arrived));
    EXPECT_FALSE(done) << "the reply went on without its gate";
    EXPECT_EQ(server->log().size(), 1u) << "no end while held";
    server->open_gate("g1");
    caller.join();
    ASSERT_EQ(exchange->status, 0) << exchange->error;
    EXPECT_EQ(exchange->reply.parts, (std::vector<client_test::Part>{{"A", {}, "a"}, {"B", {}, "b"}}));
    ASSERT_TRUE(server->wait_for_log([](const std::vector<Json>& log) { return log.size() == 2; }));
    Json end = server->log()[1];
    EXPECT_EQ(end["event"].as_string(), "request_end");
    EXPECT_EQ(end["seq"].as_long(), server->requests()[0]["seq"].as_long());
    EXPECT_EQ(end["outcome"].as_string(), "complete");
    EXPECT_EQ(end["gate"].as_string(), "opened");
}

TEST_F(TransportTest, TransferFailuresAreLibraryFailures) {
    start(scenario(R"({"match": {"args": {"case": "stall"}}, "fault": {"delay_ms": 4000}},
                      {"match": {"args": {"case": "short"}}, "fault": {"short": true}},
                      {"match": {"args": {"case": "drop"}}, "fault": {"drop_after": 10}},
                      {"match": {"args": {"case": "drop0"}}, "fault": {"drop_after": 0}},
                      {"match": {"args": {"case": "plain"}}})"));
    // A partial body counts as a complete transfer; the reader finds
    // whether the reply is whole.
    const struct {
        const char* name;
        int reply_error;
    } cut_cases[] = {
        {"short", 0}, // the whole reply, less than announced
        {"drop", S::RC_PREMATURE_EOF},
        {"drop0", S::RC_PREMATURE_EOF},
    };
    for (const auto& c : cut_cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Exchange> cut = post("Any", std::string("case=") + c.name + "\n");
        EXPECT_EQ(cut->status, 0) << cut->error;
        EXPECT_EQ(cut->reply.error, c.reply_error);
    }

    // A reply that stalls past the time limit.
    Http_Client_Base::set_time_limits(10, 1);
    std::unique_ptr<Exchange> stalled = post("Any", "case=stall\n");
    EXPECT_EQ(stalled->status, S::RC_TRANSFER_FAILED);
    EXPECT_EQ(stalled->error.rfind("Error executing request 28 (", 0), 0u) << stalled->error;

    // A reader that refuses the data stops the transfer.
    std::list<std::string> headers;
    RClient_CB refusing([](void*, char*, unsigned int) { return 1; }, nullptr);
    RClient_Request_Generator_Post generator(&refusing, &headers);
    std::string rpc = "Any";
    std::string args = "case=plain\n";
    EXPECT_EQ(generator.send_request(rpc, args), S::RC_TRANSFER_FAILED);
    EXPECT_EQ(generator.get_error_text().rfind("Error executing request 23 (", 0), 0u) << generator.get_error_text();

    // Nobody listening.
    Refusing_Port refusing_port;
    use("https://127.0.0.1:" + std::to_string(refusing_port.port()) + "/ostrel");
    std::unique_ptr<Exchange> refused = post("Any");
    EXPECT_EQ(refused->status, S::RC_TRANSFER_FAILED);
    EXPECT_EQ(refused->error.rfind("Error executing request 7 (", 0), 0u) << refused->error;
}

TEST_F(TransportTest, HandlesAndConnectionsAreReused) {
    start(scenario(R"({"match": {"rpc": "Any"}})"));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(post("Any")->status, 0);
    EXPECT_EQ(fakeserver::connection_count(server->requests()), 1u) << "one connection for all";
    EXPECT_EQ(session->get_pooled_handles(), 1u);
    EXPECT_EQ(session->get_handles_in_use(), 0);

    session->flush_curl_handles();
    ASSERT_EQ(post("Any")->status, 0);
    EXPECT_EQ(fakeserver::connection_count(server->requests()), 2u) << "a flush closes the connection";

    // Threads at once: each on a handle of its own, all given back.
    const int threads = 4;
    std::vector<int> statuses(threads * 3, -1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([this, t, &statuses] {
            for (int i = 0; i < 3; ++i) statuses[t * 3 + i] = post("Any")->status;
        });
    for (std::thread& worker : workers) worker.join();
    for (int status : statuses) EXPECT_EQ(status, 0);
    EXPECT_EQ(session->get_handles_in_use(), 0);
    EXPECT_LE(session->get_pooled_handles(), static_cast<size_t>(threads));
    EXPECT_LE(fakeserver::connection_count(server->requests()), static_cast<size_t>(2 + threads));
}

// The HTTP client below the generators: headers added before init are
// dropped, a GET takes no form, a proxy from the environment is never used
// and set_proxy's is.
TEST_F(TransportTest, HttpClientOptions) {
    start(scenario(R"({"match": {"method": "GET"}})", ""));
    Refusing_Port refusing_port;
    const std::string proxy = "http://127.0.0.1:" + std::to_string(refusing_port.port());
    setenv("https_proxy", proxy.c_str(), 1);
    setenv("HTTPS_PROXY", proxy.c_str(), 1);
    {
        client_test::Reply_Reader reply;
        Http_Client_Get client(server->url() + "/x", session, "", "", &reply.cb, nullptr);
        client.add_header("X-Before-Init:1");
        ASSERT_EQ(client.init(), 0) << client.get_error_message();
        client.add_header("X-After-Init:1");
        client.add_request_field("rpc", "ignored");
        EXPECT_EQ(client.execute(), 0) << client.get_error_message();
        EXPECT_EQ(client.get_performed(), 1);
    }
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");
    Json request = only_request();
    EXPECT_EQ(header_lines(request, "X-Before-Init"), Lines{});
    EXPECT_EQ(header_lines(request, "X-After-Init"), Lines{"X-After-Init:1"});
    EXPECT_EQ(string_rows(request["form"]), Rows{});

    client_test::Reply_Reader reply;
    Http_Client_Get client(server->url() + "/x", session, "", "", &reply.cb, nullptr);
    ASSERT_EQ(client.init(), 0);
    ASSERT_EQ(client.set_proxy("127.0.0.1", refusing_port.port(), "puser", "ppass"), 0);
    EXPECT_EQ(client.execute(), S::RC_TRANSFER_FAILED);
    EXPECT_EQ(server->requests().size(), 1u) << "the request went to the proxy";
}

// What the trace shows of a request that carries the credentials, and of
// one that carries the session's cookies.
TEST_F(TransportTest, CredentialsStayOutOfTheTrace) {
    start(scenario(R"({"match": {"rpc": "Any"}})",
                   R"({"credentials": "alice:Secr3t-pw", "jsessionid": "Jc00kie-x", "session": "Sc00kie-y"})"));
    OstrelAgent_Trace::set_trace("RCLIENT", 5);
    OstrelAgent_Trace::setup_trace_file("tester", 4242);
    session->init(server->url(), "alice", "", "Secr3t-pw", "", "", "proxyuser", "Pr0xy-pw", "", 0, "", "");
    std::unique_ptr<Exchange> done = post("Any");
    ASSERT_EQ(done->status, 0) << done->error;
    EXPECT_EQ(server->requests().back()["auth"].as_string(), "credentials");
    session->set_jsessionid("Jc00kie-x");
    session->set_session_id("Sc00kie-y");
    post("Any"); // the server refuses cookies it never handed out: only the trace counts
    EXPECT_EQ(header_lines(server->requests().back(), "Cookie"), Lines{"Cookie:JSESSIONID=Jc00kie-x;Session=Sc00kie-y"});
    session->init(server->url(), "alice", "", "Secr3t-pw", "", "", "", "", "", 0, "", "brindoma");
    EXPECT_EQ(post("Any")->status, S::RC_TRANSFER_FAILED);
    OstrelAgent_Trace::set_trace("", 0);
    OstrelAgent_Trace::close_trace_file();

    std::string trace;
    for (const std::string& name : lib_test::list_dir(home.path() + "/ostrelagent_trace"))
        trace += lib_test::read_file(home.path() + "/ostrelagent_trace/" + name);
    EXPECT_NE(trace.find("Adding header [x-quelfo-login-credentials:***]"), std::string::npos);
    EXPECT_NE(trace.find("Password ***"), std::string::npos);
    EXPECT_NE(trace.find("p pass ***"), std::string::npos);
    EXPECT_NE(trace.find("keystore path \"\", pwd \"***\""), std::string::npos);
    EXPECT_NE(trace.find("Adding header [Cookie:***]"), std::string::npos);
    EXPECT_NE(trace.find("JSESSIONID ***"), std::string::npos);
    for (const std::string& secret :
         {std::string("Secr3t-pw"), std::string("Pr0xy-pw"), std::string("brindoma"),
          Base64::encode("alice:Secr3t-pw"), std::string("c00kie")})
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " is in the trace";
}

// The keystore choices: the host's CA file, a keystore of trusted
// certificates (with its marker that skips the host-name check), a pinned
// server key, and the environment's switches.
TEST_F(TransportTest, TlsKeystoresAndSwitches) {
    const fakeserver::Certificates& certs = fakeserver::certificates();
    enum Keystore { NONE, COMMON_CA, COMMON_UNTRUSTED, COMMON_CA_HNFAIL, PIN_SERVER, PIN_OTHER, PATH_ONLY, PASSWORD_ONLY };
    const struct {
        const char* name;
        std::string cert;
        Keystore keystore;
        const char* env;
        int status;
    } cases[] = {
        {"the host CA file", certs.server_cert, NONE, nullptr, 0},
        {"a keystore holding the CA", certs.server_cert, COMMON_CA, nullptr, 0},
        {"a keystore replaces the host CA file", certs.server_cert, COMMON_UNTRUSTED, nullptr, S::RC_TRANSFER_FAILED},
        {"a keystore trusting a self-signed server", certs.untrusted_cert, COMMON_UNTRUSTED, nullptr, 0},
        {"a self-signed server", certs.untrusted_cert, NONE, nullptr, S::RC_TRANSFER_FAILED},
        {"a self-signed server without peer check", certs.untrusted_cert, NONE, "NORVANE_NOVERIFY_PEER", 0},
        {"a wrong name", certs.wrong_cert, COMMON_CA, nullptr, S::RC_TRANSFER_FAILED},
        {"a wrong name with the marker", certs.wrong_cert, COMMON_CA_HNFAIL, nullptr, 0},
        {"a wrong name without host check", certs.wrong_cert, NONE, "NORVANE_NOVERIFY_HOST", 0},
        {"a pinned key", certs.untrusted_cert, PIN_SERVER, nullptr, 0},
        {"a pinned key, wrong name", certs.wrong_cert, PIN_SERVER, nullptr, 0},
        {"a wrong pinned key", certs.server_cert, PIN_OTHER, nullptr, S::RC_TRANSFER_FAILED},
        {"SSL version 3 allowed", certs.server_cert, NONE, "NORVANE_ENABLE_SSLV3", 0},
        {"a keystore without its password", certs.server_cert, PATH_ONLY, nullptr, S::RC_TRANSFER_FAILED},
        {"a password without a keystore", certs.server_cert, PASSWORD_ONLY, nullptr, S::RC_TRANSFER_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fake_Server::Options options;
        options.cert = c.cert;
        start(scenario(R"({"match": {"rpc": "Any"}})", ""), options);
        const std::string common = home.path() + "/.keystore_norvane_ostrel.pem";
        const std::string pinned =
            home.path() + "/.keystore_norvane_ostrel_localhost(" + std::to_string(server->port()) + ").der";
        std::string keystore;
        std::string password = "brindoma";
        switch (c.keystore) {
        case NONE: password.clear(); break;
        case COMMON_CA: keystore = common; lib_test::write_file(common, lib_test::read_file(certs.ca)); break;
        case COMMON_UNTRUSTED: keystore = common; lib_test::write_file(common, lib_test::read_file(certs.untrusted_cert)); break;
        case COMMON_CA_HNFAIL:
            keystore = common;
            lib_test::write_file(common, lib_test::read_file(certs.ca));
            lib_test::write_file(common + "_hnfail", "");
            break;
        case PIN_SERVER: keystore = pinned; lib_test::write_file(pinned, lib_test::read_file(certs.server_public)); break;
        case PIN_OTHER: keystore = pinned; lib_test::write_file(pinned, lib_test::read_file(certs.other_public)); break;
        case PATH_ONLY: keystore = common; password.clear(); break;
        case PASSWORD_ONLY: break;
        }
        if (c.env != nullptr) setenv(c.env, "", 1); // present, empty
        use(server->url(), keystore, password);
        std::unique_ptr<Exchange> done = post("Any");
        if (c.env != nullptr) unsetenv(c.env);
        ::remove((common + "_hnfail").c_str());

        EXPECT_EQ(done->status, c.status) << done->error;
        EXPECT_EQ(server->requests().size(), c.status == 0 ? 1u : 0u) << "a refused server sees no request";
        if (c.keystore == PATH_ONLY || c.keystore == PASSWORD_ONLY) {
            EXPECT_EQ(done->error, "Internal error, improper option combination (keystore/password)\n");
        }
        session->flush_curl_handles(); // no connection carries over to the next case
    }
}

} // namespace
