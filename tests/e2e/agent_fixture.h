#pragma once
// Runs the real ostrel_agent for end-to-end tests: a private HOME (with its
// configuration file and trace directory), KORVA_ROOT and view storage area
// per test, the remote server that its views log in to (the test server,
// started when a request first names it), the requests that its callers
// write, and readers for what it leaves behind (reply, log, kernel journal,
// trace files, the server's log).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fakeserver/fake_server.h"
#include "lib/reply_test_support.h"
#include "platform/korva/korva_journal.h"
#include "process_harness.h"

namespace e2e {

// The path of the program under test, set by the build.
inline const char* agent_path() { return OSTREL_AGENT_PATH; }

// "length\n" + request + "\n", as the daemon's starters write it.
inline std::string frame_request(const std::string& request) {
    return std::to_string(request.size()) + "\n" + request + "\n";
}

// Holds the simulated kernel's state lock, as a kernel call in progress
// does: every kernel call of every daemon that changes the kernel's state
// (registering, mounting and their undoing) waits until it is released, so
// a test can stop a daemon inside its next such call.
class KernelCallsHeld {
public:
    explicit KernelCallsHeld(const std::string& korva_root) {
        ::mkdir(korva_root.c_str(), 0700);
        m_fd = ::open((korva_root + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) release();
    }
    ~KernelCallsHeld() { release(); }
    KernelCallsHeld(const KernelCallsHeld&) = delete;
    KernelCallsHeld& operator=(const KernelCallsHeld&) = delete;

    bool held() const { return m_fd >= 0; }
    void release() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

class AgentTest : public ::testing::Test {
protected:
    // The daemon the test runs: the installed one unless a test needs the
    // one that answers the test hooks.
    const char* program = agent_path();

    void SetUp() override {
        ASSERT_FALSE(tree.path().empty());
        home = tree / "home";
        korva_root = tree / "korva";
        views = tree / "views";
        ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(views.c_str(), 0700), 0);
    }

    void TearDown() override {
        // A sanitizer report of any daemon of the test fails it, also one
        // whose exit status the test expected anyway.
        for (const std::string& name : list_dir(tree.path()))
            if (name.rfind("sanitizer.", 0) == 0)
                ADD_FAILURE() << name << ":\n" << read_file(tree / name);
    }

    // The environment of a daemon: the test's HOME and KORVA_ROOT, and the
    // reports of a sanitizer build written into the test's tree.
    std::map<std::string, std::string> agent_env() const {
        std::map<std::string, std::string> env = extra_env;
        env["HOME"] = home;
        env["KORVA_ROOT"] = korva_root;
        // The build tree's dictionary and dump program, unless the test
        // gives a server directory of its own.
        env.emplace("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR);
        if (m_server) env["NORVANE_HOST_CONFIG_DIR"] = fakeserver::certificates().dir;
        for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            const char* old = std::getenv(var);
            env[var] = std::string(old != nullptr && *old != '\0' ? std::string(old) + ":" : "") +
                       "log_path=" + (tree / "sanitizer");
        }
        return env;
    }

    // Starts the agent with `args` in the test's environment.
    std::unique_ptr<Process> start(const std::vector<std::string>& args) {
        return std::unique_ptr<Process>(new Process(program, args, agent_env()));
    }

    // Starts the agent for `storage`, writes `request` framed on its standard
    // input and closes it.
    std::unique_ptr<Process> start_with_request(const std::string& storage,
                                                const std::string& request,
                                                std::vector<std::string> extra_args = {}) {
        extra_args.insert(extra_args.begin(), storage);
        std::unique_ptr<Process> agent = start(extra_args);
        agent->write_stdin(frame_request(request));
        agent->close_stdin();
        return agent;
    }

    std::string storage(const std::string& name) const { return views + "/" + name; }
    std::string cache_dir(const std::string& name) const { return tree / ("cache-" + name); }

    // The element rules that the server gives every view whose config spec
    // a test does not set with a rule of its own (as the rule below sends
    // them).
    static constexpr const char* DEFAULT_ELEMENT_RULES = "element * CHECKEDOUT\nelement * /main/LATEST";

    // The remote server of the test's daemons: one account, user "u" with
    // password `server_password`, and the rules a test gives before its
    // first use, then the default config spec; versions' contents from
    // `server_cleartext_dir` when a test names one. The daemons trust it
    // through the common keystore in HOME.
    fakeserver::Fake_Server& server() {
        if (!m_server) {
            m_server.reset(new fakeserver::Fake_Server(server_scenario()));
            EXPECT_TRUE(m_server->ok()) << m_server->error();
            write_file(home + "/.keystore_norvane_ostrel.pem",
                       read_file(fakeserver::certificates().ca));
        }
        return *m_server;
    }
    // Gives the server `rules` in place of the test's rules so far: it
    // answers by them from its next request on (or from its start, when it
    // has not started yet).
    void replace_server_rules(const std::string& rules) {
        server_rules = rules;
        if (m_server) {
            EXPECT_TRUE(m_server->rewrite(server_scenario()));
        }
    }
    // The server's requests of procedure `rpc`, in order.
    std::vector<fakeserver::Json> server_calls(const std::string& rpc) {
        std::vector<fakeserver::Json> calls;
        for (const fakeserver::Json& r : server().requests())
            if (r["rpc"].as_string() == rpc) calls.push_back(r);
        return calls;
    }
    // The GETs of `subpath` (after the base) the server received.
    size_t server_gets(const std::string& subpath) {
        size_t count = 0;
        for (const fakeserver::Json& r : server().requests())
            count += r["method"].as_string() == "GET" && r["subpath"].as_string() == subpath;
        return count;
    }
    // The server's requests, each as "POST <rpc> <auth>" or "GET <path> <auth>".
    std::vector<std::string> server_requests() {
        std::vector<std::string> lines;
        for (const fakeserver::Json& r : server().requests()) {
            const bool get = r["method"].as_string() == "GET";
            lines.push_back(r["method"].as_string() + " " +
                            (get ? r["subpath"].as_string() : r["rpc"].as_string()) + " " +
                            r["auth"].as_string());
        }
        return lines;
    }

    // The "server" element of the view's user "u" with `password`.
    std::string server_element(const std::string& password = "p", const std::string& online = "") {
        return "<server" + (online.empty() ? std::string() : " online=\"" + online + "\"") +
               "><server-url>" + server().url("") + "</server-url>"
               "<username>u</username><password>" + password + "</password></server>";
    }

    std::string mkview_request(const std::string& name, const std::string& password = "p") {
        return "<MkView version=\"1\">"
               "<view-uuid>" + uuid_for(name) + "</view-uuid>"
               "<view-type>automatic</view-type>"
               "<cltxt-cache-dir>" + cache_dir(name) + "</cltxt-cache-dir>"
               "<server-tag>tag-" + name + "</server-tag>"
               "<text-mode>transparent</text-mode>" +
               server_element(password) +
               "</MkView>";
    }

    static std::string startview_request() {
        return "<StartView version=\"1\"><server online=\"false\">"
               "<server-url>https://server.invalid/x</server-url></server></StartView>";
    }

    static std::string uuid_for(const std::string& name) {
        // A fixed uuid per view name: 8-4-4-4-12 hex digits.
        unsigned value = 0;
        for (char c : name) value = value * 31 + static_cast<unsigned char>(c);
        char text[40];
        std::snprintf(text, sizeof text, "%08x-0000-4000-8000-0000%08x", value, value);
        return text;
    }

    // Starts a daemon (with `extra_args`) that creates view `name` and
    // serves it: the reply said 0 and the connection listener's pipe exists.
    std::unique_ptr<Process> serve_new_view(const std::string& name,
                                            std::vector<std::string> extra_args = {}) {
        std::unique_ptr<Process> agent =
            start_with_request(storage(name), mkview_request(name), std::move(extra_args));
        const std::optional<std::string> reply = agent->read_framed_reply();
        EXPECT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
        if (reply) {
            EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;
        }
        EXPECT_TRUE(wait_until([&] { return is_fifo(listener_pipe(name)); }, kStartTimeout))
            << "the daemon did not start serving";
        return agent;
    }

    std::string listener_pipe(const std::string& name) const {
        return storage(name) + "/.ipc/rlistener";
    }
    std::string log_text(const std::string& name) const {
        return read_file(storage(name) + "/log/ostrela.log");
    }
    std::string journal() const { return read_file(korva_root + "/journal"); }
    // The kernel calls so far, each as its fields.
    std::vector<std::vector<std::string>> journal_fields() const {
        return korva::Journal(korva::Root(korva_root)).read();
    }
    // The kernel calls that name view tag `tag`, in order, as "call tag".
    std::vector<std::string> journal_calls(const std::string& tag) const {
        std::vector<std::string> calls;
        for (const std::string& line : split_lines(journal())) {
            std::istringstream fields(line);
            std::string call, first;
            fields >> call >> first;
            if (first == tag) calls.push_back(call + " " + tag);
        }
        return calls;
    }
    // Whether the simulated kernel has view `tag` registered.
    bool registered(const std::string& tag) const {
        return file_exists(korva_root + "/views/" + tag + "/view");
    }
    // The files of view `name`'s cleartext cache ("<oid>-<mode>"), each
    // with its path; files being written ("." names) are left out.
    std::map<std::string, std::string> cleartext_files(const std::string& name) const {
        std::map<std::string, std::string> files;
        std::vector<std::string> dirs = {cache_dir(name) + "/.c"};
        while (!dirs.empty()) {
            const std::string dir = dirs.back();
            dirs.pop_back();
            for (const std::string& entry : list_dir(dir)) {
                const std::string path = dir + "/" + entry;
                struct stat st;
                if (::lstat(path.c_str(), &st) != 0) continue;
                if (S_ISDIR(st.st_mode))
                    dirs.push_back(path);
                else if (S_ISREG(st.st_mode) && entry[0] != '.')
                    files[entry] = path;
            }
        }
        return files;
    }
    // The trace files written under the test's HOME.
    std::vector<std::string> trace_files() const {
        std::vector<std::string> paths;
        for (const std::string& name : list_dir(home + "/ostrelagent_trace"))
            paths.push_back(home + "/ostrelagent_trace/" + name);
        return paths;
    }
    std::string all_traces() const {
        std::string text;
        for (const std::string& path : trace_files()) text += read_file(path);
        return text;
    }

    TempTree tree;
    // More variables for the daemons this test starts.
    std::map<std::string, std::string> extra_env;
    std::string home;
    std::string korva_root;
    std::string views;
    std::string server_rules; // the server's rules, before its first use
    std::string server_password = "p"; // the account's password, before the server's first use
    // The directory of versions' contents (UUID/OID/MODE), before the
    // server's first use; none when empty.
    std::string server_cleartext_dir;

private:
    // The server's scenario: one account, user "u" with `server_password`,
    // the test's rules, then the default config spec.
    std::string server_scenario() const {
        const std::string config_spec =
            R"({"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc"}, "reply": {"parts": [)"
            R"({"id": "CspecElementRules", "body_text": "element * CHECKEDOUT\nelement * /main/LATEST"}]}})";
        const std::string cleartext =
            server_cleartext_dir.empty() ? std::string() : R"("cleartext_dir": ")" + server_cleartext_dir + R"(", )";
        return "{" + cleartext + R"("accounts": [{"credentials": "u:)" + server_password +
               R"(", "jsessionid": "J1", "session": "S1"}], "rules": [)" + server_rules +
               (server_rules.empty() ? "" : ", ") + config_spec + "]}";
    }

    std::unique_ptr<fakeserver::Fake_Server> m_server;
};

} // namespace e2e
