#pragma once
// A harness that runs a program as its callers do: spawned with pipes on its
// standard input, output and error, fed a request, its output read with a
// time-out, signalled, and waited for with a time-out. Every wait ends with
// a failure instead of hanging. A process still running when its harness
// object goes away is killed with its whole process group.
//
// Also: a temporary directory tree for a test, and small file helpers.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Millis = std::chrono::milliseconds;

// Default time-outs: generous, since a sanitizer build is slower.
constexpr Millis kStartTimeout{20000};
constexpr Millis kExitTimeout{20000};

class Process {
public:
    // Starts `path` with `args` (argument 0 is `path`) in an environment
    // made of this process's environment with `env` applied (an empty value
    // removes the variable). Standard input, output and error are pipes.
    Process(const std::string& path, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {});
    ~Process();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }

    // Writes to standard input; false when it cannot be written whole.
    bool write_stdin(const std::string& text);
    void close_stdin();

    // Reads one framed reply from standard output: the length line, that many
    // bytes, then "0\n". The reply text, or nothing when the frame did not
    // arrive whole in time (what did arrive is kept in stdout_text()).
    std::optional<std::string> read_framed_reply(Millis timeout = kStartTimeout);

    // Waits for the process to end. Its exit status, or -(signal number) when
    // a signal ended it, or nothing when it still runs after `timeout`.
    std::optional<int> wait_exit(Millis timeout = kExitTimeout);
    bool exited() const { return m_exited; }

    // Reads standard output and error to their end (the process must have
    // ended, or end within `timeout`), and returns what was read of each.
    const std::string& stdout_text(Millis timeout = kExitTimeout);
    const std::string& stderr_text(Millis timeout = kExitTimeout);
    // What standard output held after the replies read so far (read to its
    // end as stdout_text does).
    std::string unread_stdout(Millis timeout = kExitTimeout);

    // Sends `sig` to the process itself, to its process group, or to its
    // one child process (found through /proc; false when there is none).
    bool signal(int sig);
    bool signal_group(int sig);
    bool signal_child(int sig);
    // The process id of the process's child, when it has exactly one.
    std::optional<pid_t> child_pid() const;

private:
    // Reads what is available on `fd` into `into` until `done` holds, the
    // descriptor ends or the deadline passes. True when `done` held.
    bool read_until(int& fd, std::string& into, const std::function<bool()>& done,
                    std::chrono::steady_clock::time_point deadline);
    void kill_group();

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    bool m_exited = false;
    int m_exit_status = 0;
    std::string m_out;
    size_t m_out_consumed = 0;
    std::string m_err;
};

// A fresh directory under $TMPDIR (or /tmp), removed with everything below
// it when the object goes away.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Milliseconds left until `deadline`, 0 once it has passed (for poll).
int remaining_ms(std::chrono::steady_clock::time_point deadline);

// Takes the reply frame that begins at `consumed` in `buffer` (its length in
// decimal, "\n", that many bytes, "0\n"): true with `reply` set and
// `consumed` moved past it once the frame is whole; false while it is not
// (or when what is there is no frame).
bool take_reply_frame(const std::string& buffer, size_t& consumed, std::string& reply);

// Polls `condition` every few milliseconds until it holds or `timeout`
// passes; true when it held.
bool wait_until(const std::function<bool()>& condition, Millis timeout);

bool file_exists(const std::string& path);
bool is_fifo(const std::string& path);
// The whole file, or empty when it cannot be read.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& text);
// Names in a directory (without "." and ".."); empty when it cannot be read.
std::vector<std::string> list_dir(const std::string& path);
// The number of non-overlapping occurrences of `needle` in `text`.
size_t count_of(const std::string& text, const std::string& needle);
// Lines of `text`, without their newlines.
std::vector<std::string> split_lines(const std::string& text);

} // namespace e2e
