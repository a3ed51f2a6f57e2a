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
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "fakeserver/script_process.h"
#include "lib/lib_test_support.h"

namespace fakeserver {

namespace {

using lib_test::read_file;
using lib_test::remove_tree;
using Clock = std::chrono::steady_clock;
const std::chrono::milliseconds POLL{5};

// The certificates' directory, removed when the process ends.
struct Certificate_Store {
    Certificates certs;
    ~Certificate_Store() { remove_tree(certs.dir); }
};

} // namespace

const Certificates& certificates() {
    static Certificate_Store store;
    static std::once_flag once;
    std::call_once(once, [] {
        Certificates& c = store.certs;
        std::string dir = make_temp_dir("fakeserver-certs-");
        if (dir.empty()) {
            c.error = "no temporary directory";
            return;
        }
        std::string output = dir + "/make_certs.out";
        pid_t pid = spawn({"/bin/bash", std::string(OSTREL_FAKESERVER_DIR) + "/make_certs.sh", dir}, output);
        int status = 0;
        if (pid < 0 || !wait_exit(pid, std::chrono::milliseconds(30000), &status) ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            if (pid > 0) kill(pid, SIGKILL);
            c.error = "make_certs.sh failed: " + read_file(output);
            remove_tree(dir);
            return;
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
    m_pid = spawn({OSTREL_PYTHON, std::string(OSTREL_FAKESERVER_DIR) + "/fakeserver.py",
                   "--scenario", m_dir + "/scenario.json",
                   "--cert", options.cert.empty() ? certs.server_cert : options.cert,
                   "--key", options.key.empty() ? certs.server_key : options.key,
                   "--log", m_dir + "/log.jsonl", "--port-file", port_file, "--max-seconds", "600",
                   "--blob-tool", OSTREL_XDR_BLOB_TOOL, "--gate-dir", gate_dir()},
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
    Clock::time_point deadline = Clock::now() + timeout;
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
