#pragma once
// The frame of the remote client's tests against the test server over TLS
// on loopback: the test CA as the host's CA file, a temporary HOME for the
// keystores, short transfer time limits, and the session left logged out
// with no pooled handle after each test; for commands, a first login and
// their outcome as check_rpc_status tells it.

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_abstract_cmd.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/lib_test_support.h"

namespace client_test {

// The account of the scenarios: DOM\alice with password pw, cookies J1, S1.
constexpr const char* ACCOUNT = R"({"credentials": "DOM\\alice:pw", "jsessionid": "J1", "session": "S1"})";

inline std::string scenario(const std::string& rules, const std::string& accounts = ACCOUNT) {
    return R"({"base": "/ostrel", "accounts": [)" + accounts + R"(], "rules": [)" + rules + "]}";
}

class Server_Test : public ::testing::Test {
protected:
    void SetUp() override {
        const fakeserver::Certificates& certs = fakeserver::certificates();
        ASSERT_FALSE(certs.dir.empty()) << certs.error;
        // The host's CA file "cacert.pem" is the test CA.
        setenv("NORVANE_HOST_CONFIG_DIR", certs.dir.c_str(), 1);
        for (const char* var : {"NORVANE_NOVERIFY_PEER", "NORVANE_NOVERIFY_HOST", "NORVANE_ENABLE_SSLV3"})
            unsetenv(var);
        session = RClient_Session::get_session();
        ASSERT_NE(session, nullptr);
        Http_Client_Base::set_time_limits(10, 10);
    }

    void TearDown() override {
        session->flush_curl_handles();
        session->clear_login();
        Http_Client_Base::set_time_limits(Http_Client_Base::DEFAULT_CONNECT_SECONDS,
                                          Http_Client_Base::DEFAULT_STALL_SECONDS);
    }

    void start_server(const std::string& scenario_json, const fakeserver::Fake_Server::Options& options = {}) {
        server.reset(new fakeserver::Fake_Server(scenario_json, options));
        ASSERT_TRUE(server->ok()) << server->error();
    }

    // The one request the server logged.
    fakeserver::Json only_request() const {
        std::vector<fakeserver::Json> requests = server->requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? fakeserver::Json() : requests.back();
    }

    lib_test::TempHome home;
    RClient_Session* session = nullptr;
    std::unique_ptr<fakeserver::Fake_Server> server;
};

// Ids from their text form, and back.
using lib_test::oid;
using lib_test::text;
using lib_test::uuid;

// Commands against the server: the test CA as the common keystore, a first
// login as the scenarios' account, check_rpc_status into a scratch log.
class Command_Test : public Server_Test {
protected:
    void SetUp() override {
        Server_Test::SetUp();
        lib_test::write_file(keystore_pem(), lib_test::read_file(fakeserver::certificates().ca));
    }

    std::string keystore_pem() const { return home.path() + "/.keystore_norvane_ostrel.pem"; }

    int login() {
        Login command("alice", "pw", "DOM", "", "", server->url(), "", "", "", 0);
        return command.run();
    }

    // check_rpc_status's result, status and message.
    struct Checked {
        int result;
        int status;
        std::string message;
    };
    Checked check(RClient_Abstract_Cmd& command) {
        Checked c{0, 0, ""};
        c.result = command.check_rpc_status(log, c.message, c.status);
        return c;
    }

    OstrelAgent_Log log{home.path()};
};

} // namespace client_test
