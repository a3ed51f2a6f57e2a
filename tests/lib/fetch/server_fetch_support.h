#pragma once
// The served view of the fetch tests with the test server over TLS beside
// it: the test CA trusted, short transfer limits, and a session logged in
// to a server with the test's rules (start_remote); the session is ended
// after each test. Metadata still comes from the scripted server unless a
// test installs the remote commands.

#include <cstdlib>
#include <memory>
#include <string>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/fetch/fetch_test_support.h"

namespace fetch_test {

// Ids and statuses in the test server's JSON: the text of oid `n`, and the
// status of object `n` of `mtype` whose element is `elem` (itself when 0).
inline std::string id(unsigned n) { return OstrelAgent_Util::id_text(db_test::oid_of(n)); }
inline std::string vstat(unsigned n, unsigned mtype, unsigned elem = 0) {
    const bool dir = mtype == 2 || mtype == 3;
    return R"({"fstat": {"type": )" + std::to_string(dir ? 2 : 1) + R"(, "mode": )" + std::to_string(dir ? 0755 : 0644) +
           R"(, "nlink": 1}, "mtype": )" + std::to_string(mtype) + R"(, "obj_oid": ")" + id(n) +
           R"(", "elem_oid": ")" + id(elem != 0 ? elem : n) + R"("})";
}

class ServerFetchTest : public FetchTest {
protected:
    void SetUp() override {
        FetchTest::SetUp();
        const fakeserver::Certificates& certs = fakeserver::certificates();
        ASSERT_FALSE(certs.dir.empty()) << certs.error;
        setenv("NORVANE_HOST_CONFIG_DIR", certs.dir.c_str(), 1);
        lib_test::write_file(home.path() + "/.keystore_norvane_ostrel.pem", lib_test::read_file(certs.ca));
        Http_Client_Base::set_time_limits(10, 10);
    }
    void TearDown() override {
        drop_session();
        Http_Client_Base::set_time_limits(Http_Client_Base::DEFAULT_CONNECT_SECONDS,
                                          Http_Client_Base::DEFAULT_STALL_SECONDS);
        FetchTest::TearDown();
    }

    // Forgets the server: its pooled connections and the login.
    static void drop_session() {
        RClient_Session* session = RClient_Session::get_session();
        session->flush_curl_handles();
        session->clear_login();
    }

    // The server with `rules` (a JSON list's items); logged in.
    void start_remote(const std::string& rules) {
        remote.reset(new fakeserver::Fake_Server(
            R"({"base": "/ostrel", "accounts": [{"credentials": "u:p", "jsessionid": "J1", "session": "S1"}],
                "rules": [)" + rules + "]}"));
        ASSERT_TRUE(remote->ok()) << remote->error();
        Login login("u", "p", "", "", "", remote->url(), "", "", "", 0);
        ASSERT_EQ(0, login.run());
    }

    std::unique_ptr<fakeserver::Fake_Server> remote;
};

} // namespace fetch_test
