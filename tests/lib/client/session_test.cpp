// The remote session: the login credential, the login state, the pool of
// transfer handles (also under concurrent use), and the TLS library's
// thread callbacks.

#include "lib/client/rclient_session.h"

#include <clocale>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/rclient_base64.h"
#include "security/curl_util.h"

namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        session = RClient_Session::get_session();
        ASSERT_NE(session, nullptr);
        session->flush_curl_handles();
        session->clear_login();
    }
    void TearDown() override {
        session->flush_curl_handles();
        session->clear_login();
    }
    void login_as(const std::string& user, const std::string& domain, const std::string& password) {
        session->init("https://h/ostrel", user, domain, password, "", "", "", "", "", 0, "", "");
    }

    RClient_Session* session = nullptr;
};

TEST_F(SessionTest, CredentialIsDomainUserAndPasswordInBase64) {
    std::string old_locale = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    login_as("alice", "", "pw:with:colons");
    EXPECT_EQ(session->encrypted_credential(), Base64::encode("alice:pw:with:colons"));
    login_as("alice", "DOM", "pw");
    EXPECT_EQ(session->encrypted_credential(), Base64::encode("DOM\\alice:pw"));
    // A password the locale's character set cannot carry is sent as given.
    login_as("alice", "", "p\xc3\xa4ss");
    EXPECT_EQ(session->encrypted_credential(), Base64::encode("alice:p\xc3\xa4ss"));
    std::setlocale(LC_CTYPE, old_locale.c_str());
}

TEST_F(SessionTest, LoginState) {
    session->set_jsessionid("J");
    session->set_session_id("");
    EXPECT_TRUE(session->is_authenticated()) << "an empty session id still logs in";
    session->set_session_id("S");
    login_as("alice", "", "pw");
    EXPECT_FALSE(session->is_authenticated()) << "init starts a login";
    EXPECT_EQ(session->get_jsessionid(), "J") << "init keeps the cookies";
    EXPECT_EQ(session->get_session_id(), "S");
    EXPECT_EQ(session->get_url(), "https://h/ostrel");

    session->set_authenticated(true);
    RClient_Session::Header_Values values = session->get_header_values();
    EXPECT_TRUE(values.authenticated);
    EXPECT_EQ(values.jsessionid, "J");
    EXPECT_EQ(values.session_id, "S");
    session->clear_login();
    values = session->get_header_values();
    EXPECT_FALSE(values.authenticated);
    EXPECT_EQ(values.jsessionid + values.session_id, "");
}

TEST_F(SessionTest, HandlePoolIsLastInFirstOut) {
    CURL* a = session->get_curl_handle();
    CURL* b = session->get_curl_handle();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(session->get_handles_in_use(), 2);
    session->release_curl_handle(a);
    session->release_curl_handle(b);
    EXPECT_EQ(session->get_handles_in_use(), 0);
    EXPECT_EQ(session->get_pooled_handles(), 2u);
    EXPECT_EQ(session->get_curl_handle(), b) << "the handle returned last comes first";
    EXPECT_EQ(session->get_curl_handle(), a);
    session->release_curl_handle(a);
    session->release_curl_handle(b);
}

TEST_F(SessionTest, FlushDestroysPooledHandlesAndThoseOutWhenTheyReturn) {
    std::vector<CURL*> handles;
    for (int i = 0; i < 5; ++i) handles.push_back(session->get_curl_handle());
    for (int i = 2; i < 5; ++i) session->release_curl_handle(handles[i]);
    ASSERT_EQ(session->get_pooled_handles(), 3u);

    session->flush_curl_handles();
    EXPECT_EQ(session->get_pooled_handles(), 0u);
    EXPECT_TRUE(session->is_flush_pending());
    session->release_curl_handle(handles[0]);
    EXPECT_EQ(session->get_pooled_handles(), 0u) << "destroyed, not pooled";
    EXPECT_TRUE(session->is_flush_pending());
    session->release_curl_handle(handles[1]);
    EXPECT_FALSE(session->is_flush_pending());
    EXPECT_EQ(session->get_handles_in_use(), 0);

    CURL* later = session->get_curl_handle();
    session->release_curl_handle(later);
    EXPECT_EQ(session->get_pooled_handles(), 1u) << "pooled again after the flush";
    session->flush_curl_handles();
    EXPECT_FALSE(session->is_flush_pending()) << "nothing out: nothing pending";
}

TEST_F(SessionTest, ThreadsShareThePool) {
    const int threads = 8;
    std::vector<std::thread> workers;
    std::vector<std::set<CURL*>> seen(threads);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([this, t, &seen] {
            for (int i = 0; i < 200; ++i) {
                CURL* handle = session->get_curl_handle();
                seen[t].insert(handle);
                session->set_jsessionid("J" + std::to_string(t));
                session->get_header_values();
                session->release_curl_handle(handle);
                if (i == 100 && t == 0) session->flush_curl_handles();
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(session->get_handles_in_use(), 0);
    EXPECT_FALSE(session->is_flush_pending());
    EXPECT_LE(session->get_pooled_handles(), static_cast<size_t>(threads));
}

// The TLS library's thread callbacks: a lock taken and given back can be
// taken by another thread; a lock number outside the table is reported and
// not used.
TEST(TlsSetup, ThreadCallbacksLockAndUnlock) {
    Curl_Util::init_common();
    Curl_Util::init_common();
    norvanethread_openssl_lock(CRYPTO_LOCK, 0, __FILE__, __LINE__);
    norvanethread_openssl_lock(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
    CRYPTO_dynlock_value* dynamic = norvanethread_openssl_dynlock_create(__FILE__, __LINE__);
    ASSERT_NE(dynamic, nullptr);
    norvanethread_openssl_dynlock_lock(CRYPTO_LOCK, dynamic, __FILE__, __LINE__);
    norvanethread_openssl_dynlock_lock(CRYPTO_UNLOCK, dynamic, __FILE__, __LINE__);
    std::thread other([dynamic] {
        norvanethread_openssl_lock(CRYPTO_LOCK, 0, __FILE__, __LINE__);
        norvanethread_openssl_lock(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
        norvanethread_openssl_dynlock_lock(CRYPTO_LOCK, dynamic, __FILE__, __LINE__);
        norvanethread_openssl_dynlock_lock(CRYPTO_UNLOCK, dynamic, __FILE__, __LINE__);
    });
    other.join();
    norvanethread_openssl_dynlock_destroy(dynamic, __FILE__, __LINE__);
    norvanethread_openssl_lock(CRYPTO_LOCK, CRYPTO_num_locks(), __FILE__, __LINE__);
    norvanethread_openssl_lock(CRYPTO_LOCK, -1, __FILE__, __LINE__);
}

} // namespace
