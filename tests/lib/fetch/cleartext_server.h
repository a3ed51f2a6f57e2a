#pragma once
// The test server as the source of versions' contents, for the tests of
// whatever reads cleartext (the cleartext cache, the namespace, the kernel
// service): the versions' files in a directory of the test's, the server
// trusted through the keystore in the test's HOME, the process's remote
// session logged in to it; logged out again, with no pooled connection
// left, when the object goes away.

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/lib_test_support.h"
#include "platform/qel/qel.h"

namespace cltxt_test {

using lib_test::text;

// The URL suffix of a version's contents in a text mode.
inline std::string suffix(const qel_uuid_s& vob, const qel_oid_s& version, const std::string& mode) {
    return "/cltxt/" + text(vob) + "/" + text(version) + "/" + mode;
}

// The files under `dir` (its subdirectories searched), as paths relative
// to it, in no order.
inline std::vector<std::string> files_under(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> files;
    for (const std::string& name : lib_test::list_dir(dir)) {
        struct stat st;
        if (::lstat((dir + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            for (const std::string& f : files_under(dir + "/" + name, prefix + name + "/")) files.push_back(f);
        } else {
            files.push_back(prefix + name);
        }
    }
    return files;
}

class Cleartext_Server {
public:
    // Starts the server with the versions under `dir` and the scenario's
    // `rules` (the text of a JSON list's items), and logs in. HOME is the
    // test's own.
    explicit Cleartext_Server(const std::string& dir, const std::string& rules = "") : m_versions(dir + "/versions") {
        ::mkdir(m_versions.c_str(), 0700);
        const fakeserver::Certificates& certs = fakeserver::certificates();
        if (certs.dir.empty()) {
            ADD_FAILURE() << certs.error;
            return;
        }
        const char* old = std::getenv("NORVANE_HOST_CONFIG_DIR");
        if (old != nullptr) m_old_config_dir.reset(new std::string(old));
        // The host's CA file and the common keystore are the test CA.
        setenv("NORVANE_HOST_CONFIG_DIR", certs.dir.c_str(), 1);
        lib_test::write_file(std::string(std::getenv("HOME")) + "/.keystore_norvane_ostrel.pem",
                             lib_test::read_file(certs.ca));
        Http_Client_Base::set_time_limits(10, 10);
        m_server.reset(new fakeserver::Fake_Server(
            R"({"base": "/ostrel", "cleartext_dir": ")" + m_versions +
            R"(", "accounts": [{"credentials": "DOM\\alice:pw", "jsessionid": "J1", "session": "S1"}], "rules": [)" +
            rules + "]}"));
        if (!m_server->ok()) {
            ADD_FAILURE() << m_server->error();
            return;
        }
        Login login("alice", "pw", "DOM", "", "", m_server->url(), "", "", "", 0);
        EXPECT_EQ(0, login.run());
    }
    ~Cleartext_Server() {
        RClient_Session* session = RClient_Session::get_session();
        session->flush_curl_handles();
        session->clear_login();
        Http_Client_Base::set_time_limits(Http_Client_Base::DEFAULT_CONNECT_SECONDS,
                                          Http_Client_Base::DEFAULT_STALL_SECONDS);
        if (m_old_config_dir) {
            setenv("NORVANE_HOST_CONFIG_DIR", m_old_config_dir->c_str(), 1);
        } else {
            unsetenv("NORVANE_HOST_CONFIG_DIR");
        }
    }
    Cleartext_Server(const Cleartext_Server&) = delete;
    Cleartext_Server& operator=(const Cleartext_Server&) = delete;

    fakeserver::Fake_Server& server() { return *m_server; }

    // The server's contents of the version in text mode `mode`.
    void add(const qel_uuid_s& vob, const qel_oid_s& version, const std::string& mode, const std::string& contents) {
        std::string dir = m_versions + "/" + text(vob);
        ::mkdir(dir.c_str(), 0700);
        dir += "/" + text(version);
        ::mkdir(dir.c_str(), 0700);
        lib_test::write_file(dir + "/" + mode, contents);
    }

    // The GETs that reached the server for the version (all of them with an
    // empty `path`).
    size_t gets(const std::string& path = "") const {
        size_t n = 0;
        for (const fakeserver::Json& r : m_server->requests())
            if (r["method"].as_string() == "GET" && (path.empty() || r["subpath"].as_string() == path)) ++n;
        return n;
    }

    // A rule for the GET of `path` ("fault" and the like, as JSON members).
    static std::string rule(const std::string& path, const std::string& members) {
        return R"({"match": {"method": "GET", "path": ")" + path + R"("}, )" + members + "}";
    }

private:
    std::string m_versions;
    std::unique_ptr<std::string> m_old_config_dir;
    std::unique_ptr<fakeserver::Fake_Server> m_server;
};

} // namespace cltxt_test
