#include "lib/requests/ostrelagent_request_handler_unix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/requests/ostrelagent_client.h"
#include "lib/requests/ostrelagent_conn_handler_unix.h"
#include "platform/imsg/imsg.h"

namespace {

const char* const kClass = "OstrelAgent_Request_Handler_Unix";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

} // namespace

OstrelAgent_Request_Handler_Unix::OstrelAgent_Request_Handler_Unix(OstrelAgent_Client* client,
                                                                   OstrelAgent_View_Base* view)
    : OstrelAgent_Request_Handler_Base(client, view) {}

OstrelAgent_Request_Handler_Unix::~OstrelAgent_Request_Handler_Unix() { close_pipes(); }

int OstrelAgent_Request_Handler_Unix::open_request_pipe() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "open_request_pipe");
    const std::string& path = m_client->get_request_pipe();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Attempting to open request pipe %s ",
                     path.c_str());
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "can't open the request pipe");
        return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
    }
    const int status = OstrelAgent_Conn_Handler_Unix::set_blocking(fd);
    if (status != 0) {
        ::close(fd);
        return status;
    }
    m_client->set_request_fd(fd);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Successfully opened request pipe %s ",
                     path.c_str());
    return 0;
}

int OstrelAgent_Request_Handler_Unix::open_response_pipe() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "open_response_pipe");
    const std::string& path = m_client->get_response_pipe();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Attempting to open response pipe %s ",
                     path.c_str());
    // Read and write: the open does not wait for the client, and a reply to a
    // client that has gone does not fail at once. It stays non-blocking: a
    // full pipe is waited for with a limit (write_whole).
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "can't open the response pipe: %s",
                         imsg_strerror(errno));
        return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
    }
    m_client->set_response_fd(fd);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Successfully opened response pipe %s ",
                     path.c_str());
    return 0;
}

void OstrelAgent_Request_Handler_Unix::close_pipes() {
    if (m_request_open) {
        ::close(m_client->get_request_fd());
        m_client->set_request_fd(-1);
        m_request_open = 0;
    }
    if (m_response_open) {
        ::close(m_client->get_response_fd());
        m_client->set_response_fd(-1);
        m_response_open = 0;
    }
}

int OstrelAgent_Request_Handler_Unix::read_request(std::string& request) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_request");
    request.clear();
    OstrelAgent_Mutex_Guard hold(m_request_mutex);
    int status;
    if (!m_request_open) {
        if ((status = open_request_pipe()) != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "open_request_pipe failed!! ");
            return status;
        }
        m_request_open = 1;
    }
    {
        OstrelAgent_Mutex_Guard response(m_response_mutex);
        if (!m_response_open) {
            if ((status = open_response_pipe()) != 0) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "open_response_pipe failed!! ");
                return status;
            }
            m_response_open = 1;
        }
    }
    const int fd = m_client->get_request_fd();
    if ((status = OstrelAgent_Thread_Manager_Unix::wait_for_input(fd)) != 0) return status;
    // The client has its ends open by now: the names are no longer needed.
    m_client->remove_pipe_names();

    std::size_t length = 0;
    if ((status = read_length(length)) != 0) return status;

    // The body grows with the bytes that arrive, never to the announced
    // length before they come.
    std::string body;
    std::unique_ptr<char[]> piece(new char[READ_PIECE]);
    while (body.size() < length) {
        ssize_t got = 0;
        if ((status = OstrelAgent_Conn_Handler_Unix::read_when_ready(
                 fd, piece.get(), std::min(READ_PIECE, length - body.size()), got)) != 0)
            return status;
        if (got <= 0) {
            // The client closed the pipe, or it failed, inside the body.
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "Error!! Expected length = %lu , got num_bytes_read = %lu",
                             static_cast<unsigned long>(length), static_cast<unsigned long>(body.size()));
            return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
        }
        try {
            body.append(piece.get(), static_cast<std::size_t>(got));
        } catch (const std::bad_alloc&) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "no memory for a request of %lu bytes",
                             static_cast<unsigned long>(length));
            return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
        }
    }
    // The request ends at its first NUL byte.
    request.assign(body, 0, body.find('\0'));
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Request string from Client %s \n", request);
    return 0;
}

int OstrelAgent_Request_Handler_Unix::read_length(std::size_t& length) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_length");
    const int fd = m_client->get_request_fd();
    // Only digits matter: a line that is not a number is read to its end
    // (keeping the stream in step) but not kept beyond what the trace shows.
    std::string shown;
    std::size_t digits = 0;
    bool number = true;
    for (;;) {
        char byte;
        ssize_t got = 0;
        const int status = OstrelAgent_Conn_Handler_Unix::read_when_ready(fd, &byte, 1, got);
        if (status != 0) return status;
        if (got <= 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "Error reading request. num_bytes_read is %d", static_cast<int>(got));
            return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
        }
        if (byte == '\n') break;
        if (byte == '\0') continue;
        if (shown.size() <= MAX_LENGTH_DIGITS) shown += byte;
        if (!is_digit(byte)) {
            number = false;
        } else if (number && ++digits > MAX_LENGTH_DIGITS) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "length of more than %lu digits; closing the connection",
                             static_cast<unsigned long>(MAX_LENGTH_DIGITS));
            return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
        }
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "end reading request length. Length is %s ",
                     shown.c_str());
    if (!number || digits == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error! Expected an integer as length");
        return OstrelAgent_Status::MALFORMED_REQUEST;
    }
    const unsigned long long value = std::stoull(shown);
    if (value > MAX_REQUEST_LENGTH) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "request length %llu above %lu; closing the connection", value,
                         static_cast<unsigned long>(MAX_REQUEST_LENGTH));
        return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
    }
    length = static_cast<std::size_t>(value);
    return 0;
}

int OstrelAgent_Request_Handler_Unix::send_response(const std::string& reply) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "send_response");
    // Formatted before the lock: the lock covers only the write.
    const std::string frame = frame_reply(reply);
    OstrelAgent_Mutex_Guard hold(m_response_mutex);
    if (m_reply_broken) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "an earlier reply was cut; this one is dropped");
        return OstrelAgent_Status::REPLY_WRITE_FAILED;
    }
    if (!m_response_open) {
        const int status = open_response_pipe();
        if (status != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "open_response_pipe failed!! ");
            return status;
        }
        m_response_open = 1;
    }
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4))
        trace.writeTrace("Calling write for: %s (%ld)", OstrelAgent_Util::mask_passwords(frame).c_str(),
                         static_cast<long>(frame.size()));
    const int status = write_whole(frame);
    ::fsync(m_client->get_response_fd()); // as the protocol has it; a pipe has nothing to sync
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Write error!!");
        m_reply_broken = true;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Bytes written %lu to fd=%d",
                     static_cast<unsigned long>(frame.size()), m_client->get_response_fd());
    return status;
}

int OstrelAgent_Request_Handler_Unix::write_whole(const std::string& data) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "write_whole");
    const int fd = m_client->get_response_fd();
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "write failed: %s",
                             imsg_strerror(errno));
            return OstrelAgent_Status::REPLY_WRITE_FAILED;
        }
        // The pipe is full: the client reads slowly, or not at all.
        const int status = OstrelAgent_Thread_Manager_Unix::wait_for_output(fd, REPLY_STALL_MS);
        if (status != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "response pipe full, %lu of %lu bytes written: %d",
                             static_cast<unsigned long>(done),
                             static_cast<unsigned long>(data.size()), status);
            return OstrelAgent_Status::REPLY_WRITE_FAILED;
        }
    }
    return 0;
}
