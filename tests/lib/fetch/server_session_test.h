#pragma once
// The served view of FetchTest with a remote session that the test server
// can serve over TLS: the test CA trusted, short transfer limits, and the
// session's connections and login dropped after each test.

#include <cstdlib>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_session.h"
#include "lib/fetch/fetch_test_support.h"

namespace fetch_test {

class ServerSessionTest : public FetchTest {
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
};

} // namespace fetch_test
