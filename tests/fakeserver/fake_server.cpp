#include "fakeserver/fake_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "fakeserver/script_process.h"
#include "lib/lib_test_support.h"
#include "lib/test_deadline.h"

namespace fakeserver {

namespace {

using lib_test::read_file;
using lib_test::remove_tree;
using Clock = std::chrono::steady_clock;
const std::chrono::milliseconds POLL{5};

// The certificates' directory; one made for this process alone is removed
// when the process ends, the build's shared one stays.
struct Certificate_Store {
    Certificates certs;
    bool owned = false;
    ~Certificate_Store() {
        if (owned) remove_tree(certs.dir);
    }
};

const char* const CERTIFICATE_FILES[] = {"ca.pem", "cacert.pem", "server.pem", "server.key", "wrong.pem",
                                         "untrusted.pem", "server_pub.der", "other_pub.der"};

bool has_certificates(const std::string& dir) {
    for (const char* name : CERTIFICATE_FILES)
        if (access((dir + "/" + name).c_str(), R_OK) != 0) return false;
    return true;
}

// Runs make_certs.sh into `dir`; empty when it worked, else what it said.
std::string make_certificates(const std::string& dir) {
    const std::string output = dir + "/make_certs.out";
    pid_t pid = spawn({"/bin/bash", std::string(OSTREL_FAKESERVER_DIR) + "/make_certs.sh", dir}, output);
    int status = 0;
    if (pid < 0 || !wait_exit(pid, std::chrono::milliseconds(60000), &status) || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || !has_certificates(dir)) {
        if (pid > 0) kill(pid, SIGKILL);
        const std::string said = read_file(output);
        return said.empty() ? std::string("no output") : said;
    }
    ::unlink(output.c_str());
    return std::string();
}

// The build's certificates, made by the first test program that needs them
// and kept for every later one (each test runs as a process of its own, and
// making them costs a dozen key and certificate commands). They appear
// whole, by the rename of a finished directory; a program that loses the
// race to make them uses the winner's. Empty when the cache cannot be used.
std::string shared_certificates() {
    const std::string cache = OSTREL_FAKESERVER_CACHE;
    // Named after the script, so that a changed script makes new ones.
    const std::string script = read_file(std::string(OSTREL_FAKESERVER_DIR) + "/make_certs.sh");
    if (script.empty()) return std::string();
    const std::string dir = cache + "/certs-" + std::to_string(std::hash<std::string>()(script));
    if (has_certificates(dir)) return dir;
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    const std::string made = make_temp_dir_in(cache, "certs-new-");
    if (made.empty()) return std::string();
    if (!make_certificates(made).empty()) {
        remove_tree(made);
        return std::string();
    }
    if (::rename(made.c_str(), dir.c_str()) != 0) remove_tree(made);
    return has_certificates(dir) ? dir : std::string();
}

} // namespace

const Certificates& certificates() {
    static Certificate_Store store;
    static std::once_flag once;
    std::call_once(once, [] {
        Certificates& c = store.certs;
        std::string dir = shared_certificates();
        if (dir.empty()) {
            // No usable cache: certificates of this process's own.
            dir = make_temp_dir("fakeserver-certs-");
            if (dir.empty()) {
                c.error = "no temporary directory";
                return;
            }
            const std::string error = make_certificates(dir);
            if (!error.empty()) {
                c.error = "make_certs.sh failed: " + error;
                remove_tree(dir);
                return;
            }
            store.owned = true;
        }
        c.dir = dir;
        c.ca = dir + "/ca.pem";
        c.server_cert = dir + "/server.pem";
        c.server_key = dir + "/server.key";
        c.wrong_cert = dir + "/wrong.pem";
        c.untrusted_cert = dir + "/untrusted.pem";
        c.server_public = dir + "/server_pub.der";
        c.other_public = dir + "/other_pub.der";
    });
    return store.certs;
}

Fake_Server::Fake_Server(const std::string& scenario_json) { start(scenario_json, Options()); }

Fake_Server::Fake_Server(const std::string& scenario_json, const Options& options) {
    start(scenario_json, options);
}

Fake_Server::~Fake_Server() {
    stop();
    remove_tree(m_dir);
}

void Fake_Server::start(const std::string& scenario_json, const Options& options) {
    const Certificates& certs = certificates();
    if (certs.dir.empty()) {
        m_error = certs.error;
        return;
    }
    m_dir = make_temp_dir("fakeserver-");
    if (!m_dir.empty()) lib_test::write_file(m_dir + "/scenario.json", scenario_json);
    if (m_dir.empty() || read_file(m_dir + "/scenario.json") != scenario_json) {
        m_error = "cannot write the scenario";
        return;
    }
    if (mkdir(gate_dir().c_str(), 0700) != 0) {
        m_error = "cannot make the gate directory";
        return;
    }
    const std::string port_file = m_dir + "/port";
    // -S: the standard library only, without the site packages' start-up
    // hooks (which may import whole packages first).
    m_pid = spawn({OSTREL_PYTHON, "-S", std::string(OSTREL_FAKESERVER_DIR) + "/fakeserver.py",
                   "--scenario", m_dir + "/scenario.json",
                   "--cert", options.cert.empty() ? certs.server_cert : options.cert,
                   "--key", options.key.empty() ? certs.server_key : options.key,
                   "--log", m_dir + "/log.jsonl", "--port-file", port_file, "--max-seconds", "600",
                   "--blob-tool", OSTREL_XDR_BLOB_TOOL, "--blob-cache", OSTREL_FAKESERVER_CACHE "/blobs",
                   "--gate-dir", gate_dir()},
                  m_dir + "/output");
    if (m_pid < 0) {
        m_error = "cannot start " OSTREL_PYTHON;
        return;
    }
    m_port = wait_for_port(m_pid, port_file, options.start_timeout);
    if (m_port > 0) return;
    m_error = std::string(m_pid < 0 ? "the server ended" : "the server did not become ready") + ":\n" + output();
    stop();
}

void Fake_Server::stop() {
    stop_group(m_pid);
    m_pid = -1;
}

std::string Fake_Server::url(const std::string& base) const {
    return "https://localhost:" + std::to_string(m_port) + base;
}

std::string Fake_Server::output() const { return read_file(m_dir + "/output"); }

std::vector<Json> Fake_Server::log() const { return json_lines(m_dir + "/log.jsonl"); }

bool Fake_Server::wait_for_log(const std::function<bool(const std::vector<Json>&)>& done,
                               std::chrono::milliseconds timeout) const {
    Clock::time_point deadline = lib_test::deadline_after(timeout);
    for (;;) {
        if (done(log())) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(POLL);
    }
}

bool Fake_Server::rewrite(const std::string& scenario_json) const {
    if (m_dir.empty()) return false;
    const std::string path = m_dir + "/scenario.json";
    const std::string temporary = path + ".new";
    lib_test::write_file(temporary, scenario_json);
    return read_file(temporary) == scenario_json && ::rename(temporary.c_str(), path.c_str()) == 0;
}

void Fake_Server::open_gate(const std::string& name) const {
    lib_test::write_file(gate_dir() + "/" + name, "open\n");
}

std::vector<Json> Fake_Server::requests() const {
    std::vector<Json> result;
    for (const Json& record : log())
        if (record["event"].as_string() == "request") result.push_back(record);
    return result;
}

std::vector<std::string> header_lines(const Json& request, const std::string& name) {
    std::vector<std::string> lines;
    for (const Json& line : request["headers"].items()) {
        const std::string& text = line.as_string();
        size_t colon = text.find(':');
        if (colon == name.size() && strncasecmp(text.c_str(), name.c_str(), colon) == 0)
            lines.push_back(text);
    }
    return lines;
}

std::vector<std::vector<std::string>> string_rows(const Json& list) {
    std::vector<std::vector<std::string>> rows;
    for (const Json& row : list.items()) {
        rows.emplace_back();
        for (const Json& cell : row.items()) rows.back().push_back(cell.as_string());
    }
    return rows;
}

size_t connection_count(const std::vector<Json>& requests) {
    std::set<long> connections;
    for (const Json& request : requests) connections.insert(request["conn"].as_long());
    return connections.size();
}

} // namespace fakeserver
