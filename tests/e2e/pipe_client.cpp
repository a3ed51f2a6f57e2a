#include "pipe_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "lib/test_deadline.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

void ignore_sigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// Opens `path` with `flags` (O_NONBLOCK among them), again while it fails
// with one of the errors that go away by waiting: the pipe is not there yet
// (ENOENT) or has no reader yet (ENXIO). -1 when the deadline passes first.
int open_when_ready(const std::string& path, int flags, Clock::time_point deadline) {
    int fd = -1;
    wait_until(
        [&] {
            fd = ::open(path.c_str(), flags | O_CLOEXEC);
            return fd != -1 || (errno != ENOENT && errno != ENXIO && errno != EINTR);
        },
        Millis(remaining_ms(deadline)));
    return fd;
}

// Writes all of `bytes` to the non-blocking `fd`. 0; EPIPE when the reader
// went away; ETIMEDOUT when the deadline passed; another errno on failure.
int write_all(int fd, const std::string& bytes, Clock::time_point deadline) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return errno;
        struct pollfd p = {fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, remaining_ms(deadline));
        if (ready == 0) return ETIMEDOUT;
        if (ready < 0 && errno != EINTR) return errno;
    }
    return 0;
}

} // namespace

std::string make_request(const std::string& root, const std::string& txid,
                         const std::string& inner, const std::string& version) {
    std::string text = "<" + root;
    if (!version.empty()) text += " version=\"" + version + "\"";
    if (!txid.empty()) text += " tx-id=\"" + txid + "\"";
    if (inner.empty()) return text + "/>";
    return text + ">" + inner + "</" + root + ">";
}

std::string PipeClient::request_pipe(const std::string& storage, const std::string& id) {
    return storage + "/.ipc/request_" + id;
}

std::string PipeClient::response_pipe(const std::string& storage, const std::string& id) {
    return storage + "/.ipc/response_" + id;
}

bool PipeClient::send_connection_line(const std::string& storage, const std::string& line,
                                      Millis timeout) {
    ignore_sigpipe();
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    const std::string listener = storage + "/.ipc/rlistener";
    for (;;) {
        // The open waits until the agent has its listener open; a line
        // written just as the agent closed it (EPIPE) is written again.
        const int fd = open_when_ready(listener, O_WRONLY | O_NONBLOCK, deadline);
        if (fd == -1) return false;
        const int error = write_all(fd, line, deadline);
        ::close(fd);
        if (error == 0) return true;
        if (error != EPIPE || Clock::now() >= deadline) return false;
    }
}

std::unique_ptr<PipeClient> PipeClient::attach(const std::string& storage, const std::string& id,
                                               Millis timeout, std::string* error) {
    ignore_sigpipe();
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    const std::string request = request_pipe(storage, id);
    const std::string response = response_pipe(storage, id);
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why + " (client " + id + ")";
        return nullptr;
    };
    if (!wait_until([&] { return is_fifo(request) && is_fifo(response); },
                    Millis(remaining_ms(deadline))))
        return fail("the client's pipes did not appear");
    // The response pipe first: its open does not wait, and the agent may
    // remove both names as soon as the first request arrives.
    const int response_fd = ::open(response.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (response_fd == -1) return fail("the response pipe cannot be opened");
    const int request_fd = open_when_ready(request, O_WRONLY | O_NONBLOCK, deadline);
    if (request_fd == -1) {
        ::close(response_fd);
        return fail("the agent did not open the request pipe");
    }
    return std::unique_ptr<PipeClient>(new PipeClient(id, request_fd, response_fd));
}

std::unique_ptr<PipeClient> PipeClient::connect(const std::string& storage, const std::string& id,
                                                Millis timeout, std::string* error) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    if (!send_connection_line(storage, id + "\n", timeout)) {
        if (error != nullptr) *error = "the connection line could not be written (client " + id + ")";
        return nullptr;
    }
    return attach(storage, id, Millis(remaining_ms(deadline)), error);
}

PipeClient::PipeClient(std::string id, int request_fd, int response_fd)
    : m_id(std::move(id)), m_request(request_fd), m_response(response_fd) {}

PipeClient::~PipeClient() {
    close_requests();
    if (m_response != -1) ::close(m_response);
}

bool PipeClient::send(const std::string& request, Millis timeout) {
    return send_raw(std::to_string(request.size()) + "\n" + request, timeout);
}

bool PipeClient::send_raw(const std::string& bytes, Millis timeout) {
    if (m_request == -1) return false;
    return write_all(m_request, bytes, lib_test::deadline_after(timeout)) == 0;
}

bool PipeClient::fill(Clock::time_point deadline) {
    if (m_closed) return false;
    struct pollfd p = {m_response, POLLIN, 0};
    const int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready <= 0) return ready == 0 || errno == EINTR;
    char buffer[65536];
    const ssize_t n = ::read(m_response, buffer, sizeof buffer);
    if (n > 0) {
        m_in.append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    m_closed = true; // end of file: the agent closed its end
    return false;
}

std::optional<std::string> PipeClient::read_reply(Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    std::string reply;
    while (!take_reply_frame(m_in, m_consumed, reply)) {
        if (Clock::now() >= deadline || !fill(deadline)) return std::nullopt;
    }
    return reply;
}

std::vector<std::string> PipeClient::read_replies(size_t count, Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    std::vector<std::string> replies;
    while (replies.size() < count) {
        std::optional<std::string> reply = read_reply(Millis(remaining_ms(deadline)));
        if (!reply) break;
        replies.push_back(*reply);
    }
    return replies;
}

lib_test::Reply PipeClient::call(const std::string& request, Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    if (!send(request, timeout)) return lib_test::Reply();
    std::optional<std::string> reply = read_reply(Millis(remaining_ms(deadline)));
    return reply ? lib_test::read_reply(*reply) : lib_test::Reply();
}

bool PipeClient::quiet_for(Millis period) {
    const Clock::time_point deadline = Clock::now() + period;
    const size_t before = m_in.size();
    while (Clock::now() < deadline && fill(deadline)) {
    }
    return m_in.size() == before;
}

void PipeClient::close_requests() {
    if (m_request != -1) ::close(m_request);
    m_request = -1;
}

bool PipeClient::wait_closed(Millis timeout) {
    const Clock::time_point deadline = lib_test::deadline_after(timeout);
    // One look at least, also with no time to wait.
    do {
        fill(deadline);
    } while (!m_closed && Clock::now() < deadline);
    return m_closed;
}

} // namespace e2e
