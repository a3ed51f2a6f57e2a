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

#include "lib/lib_test_support.h"

extern char** environ;

namespace fakeserver {

namespace {

using lib_test::read_file;
using lib_test::remove_tree;
using Clock = std::chrono::steady_clock;
const std::chrono::milliseconds POLL{5};
const std::chrono::milliseconds STOP_TIMEOUT{5000};

std::string make_temp_dir(const char* prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

// Starts `args` in a process group of its own, standard output and error to
// `output`. -1 when it cannot be started.
pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// Waits for `pid` until `timeout`; true when it ended.
bool wait_exit(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr) {
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t got = waitpid(pid, &st, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD)) {
            if (status != nullptr) *status = st;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(POLL);
    }
}

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
    Clock::time_point deadline = Clock::now() + options.start_timeout;
    for (;;) {
        // The server renames the port file into place: whole when present.
        int port = std::atoi(read_file(port_file).c_str());
        if (port > 0) {
            m_port = port;
            return;
        }
        bool ended = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
        if (ended || Clock::now() >= deadline) {
            if (ended) m_pid = -1;
            m_error = std::string(ended ? "the server ended" : "the server did not become ready") +
                      ":\n" + output();
            stop();
            return;
        }
        std::this_thread::sleep_for(POLL);
    }
}

void Fake_Server::stop() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGTERM);
    if (!wait_exit(m_pid, STOP_TIMEOUT)) {
        kill(-m_pid, SIGKILL);
        wait_exit(m_pid, STOP_TIMEOUT);
    }
    m_pid = -1;
}

std::string Fake_Server::url(const std::string& base) const {
    return "https://localhost:" + std::to_string(m_port) + base;
}

std::string Fake_Server::output() const { return read_file(m_dir + "/output"); }

std::vector<Json> Fake_Server::log() const {
    std::vector<Json> records;
    std::istringstream in(read_file(m_dir + "/log.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
        Json record;
        // Records are written whole; a line that does not parse is one
        // being written right now.
        if (Json::parse(line, record)) records.push_back(record);
    }
    return records;
}

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
