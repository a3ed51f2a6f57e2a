#include "process_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "lib/test_deadline.h"

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;


void close_fd(int& fd) {
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

} // namespace

Process::Process(const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env) {
    // The environment and argument vectors are made before the fork: the
    // child only calls async-signal-safe functions.
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq != nullptr) vars[std::string(static_cast<const char*>(*e), eq)] = eq + 1;
    }
    for (const auto& kv : env) {
        if (kv.second.empty())
            vars.erase(kv.first);
        else
            vars[kv.first] = kv.second;
    }
    std::vector<std::string> env_strings;
    for (const auto& kv : vars) env_strings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings = args;
    arg_strings.insert(arg_strings.begin(), path);
    std::vector<char*> argv;
    for (std::string& s : arg_strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // Signals the test process blocks or ignores must reach the program.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_stdin = in[1];
    m_stdout = out[0];
    m_stderr = err[0];
    if (m_pid < 0) {
        close_fd(m_stdin);
        close_fd(m_stdout);
        close_fd(m_stderr);
    }
}

Process::~Process() {
    close_fd(m_stdin);
    if (m_pid > 0 && !m_exited) {
        kill_group();
        wait_exit(Millis(5000));
    }
    close_fd(m_stdout);
    close_fd(m_stderr);
}

void Process::kill_group() {
    // The program may have made a process group of its own; kill both the
    // group and the process itself.
    ::kill(-m_pid, SIGKILL);
    if (auto child = child_pid()) ::kill(*child, SIGKILL);
    ::kill(m_pid, SIGKILL);
}

bool Process::write_stdin(const std::string& text) {
    size_t done = 0;
    while (done < text.size() && m_stdin != -1) {
        const ssize_t n = write(m_stdin, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return done == text.size();
}

void Process::close_stdin() { close_fd(m_stdin); }

bool Process::read_until(int& fd, std::string& into, const std::function<bool()>& done,
                         Clock::time_point deadline) {
    while (!done()) {
        if (fd == -1) return false;
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return done();
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close_fd(fd);
            return done();
        }
        into.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool take_reply_frame(const std::string& buffer, size_t& consumed, std::string& reply) {
    const size_t newline = buffer.find('\n', consumed);
    if (newline == std::string::npos || newline == consumed) return false;
    for (size_t i = consumed; i < newline; ++i)
        if (buffer[i] < '0' || buffer[i] > '9') return false;
    const size_t length = std::stoul(buffer.substr(consumed, newline - consumed));
    if (buffer.size() < newline + 1 + length + 2) return false;
    if (buffer.compare(newline + 1 + length, 2, "0\n") != 0) return false;
    reply = buffer.substr(newline + 1, length);
    consumed = newline + 1 + length + 2;
    return true;
}

std::optional<std::string> Process::read_framed_reply(Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    std::string reply;
    auto frame_complete = [&]() { return take_reply_frame(m_out, m_out_consumed, reply); };
    if (!read_until(m_stdout, m_out, frame_complete, deadline)) return std::nullopt;
    return reply;
}

namespace {

// The fields after the command of a /proc stat file ("pid (comm) state ppid
// pgrp ..."; the command may hold blanks and ")"), or nothing.
std::optional<std::istringstream> stat_fields(const std::string& path) {
    const std::string stat = read_file(path);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    return std::istringstream(stat.substr(close + 1));
}

// Whether every thread of process `pid` has exited. A process's own state
// is its first thread's, which may be a zombie while the others still tear
// the process down and hold its files and locks.
bool all_threads_exited(const std::string& pid) {
    const std::string tasks = "/proc/" + pid + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return true;
    bool exited = true;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::optional<std::istringstream> fields = stat_fields(tasks + "/" + entry->d_name + "/stat");
        std::string state;
        if (fields && *fields >> state && state != "Z" && state != "X") exited = false;
    }
    closedir(dir);
    return exited;
}

// The processes that have not exited (zombies whose threads have all ended
// have: their locks and files are released) and whose parent and process
// group `chosen` accepts.
template <typename Chosen>
std::vector<pid_t> live_processes(Chosen chosen) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (struct dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        std::optional<std::istringstream> fields = stat_fields(std::string("/proc/") + entry->d_name + "/stat");
        if (!fields) continue;
        std::string state;
        long ppid = 0;
        long pgrp = 0;
        *fields >> state >> ppid >> pgrp;
        if (chosen(ppid, pgrp) && !all_threads_exited(entry->d_name)) found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

} // namespace

std::optional<int> Process::wait_exit(Millis timeout) {
    if (m_exited) return m_exit_status;
    if (m_pid <= 0) return std::nullopt;
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exited = true;
            m_exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            // A group killed at once may still be dying after its first
            // member is reaped: a restart must not find its locks held.
            const pid_t group = m_pid;
            while (!live_processes([group](long, long pgrp) { return pgrp == group; }).empty() &&
                   Clock::now() < deadline)
                std::this_thread::sleep_for(Millis(5));
            return m_exit_status;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(Millis(5));
    }
}

const std::string& Process::stdout_text(Millis timeout) {
    read_until(m_stdout, m_out, [] { return false; }, lib_test::deadline_after(timeout));
    return m_out;
}

std::string Process::unread_stdout(Millis timeout) {
    return stdout_text(timeout).substr(m_out_consumed);
}

const std::string& Process::stderr_text(Millis timeout) {
    read_until(m_stderr, m_err, [] { return false; }, lib_test::deadline_after(timeout));
    return m_err;
}

bool Process::signal(int sig) { return m_pid > 0 && !m_exited && ::kill(m_pid, sig) == 0; }

bool Process::signal_group(int sig) { return m_pid > 0 && !m_exited && ::kill(-m_pid, sig) == 0; }

bool Process::signal_child(int sig) {
    const std::optional<pid_t> child = child_pid();
    return child && ::kill(*child, sig) == 0;
}

std::optional<pid_t> Process::child_pid() const {
    if (m_pid <= 0) return std::nullopt;
    const std::vector<pid_t> children = live_processes([&](long ppid, long) { return ppid == m_pid; });
    if (children.size() != 1) return std::nullopt; // none, or more than one
    return children.front();
}

TempTree::TempTree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ostrel-e2e-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) m_path = buf.data();
}

TempTree::~TempTree() {
    if (!m_path.empty()) nftw(m_path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool wait_until(const std::function<bool()>& condition, Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(5));
    }
    return true;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_fifo(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

size_t count_of(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

} // namespace e2e
