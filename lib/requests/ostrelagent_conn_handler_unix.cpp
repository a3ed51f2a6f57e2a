#include "lib/requests/ostrelagent_conn_handler_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/requests/ostrelagent_client.h"
#include "lib/requests/ostrelagent_request_handler_base.h"
#include "platform/imsg/imsg.h"
#include "platform/utl/fileutl.h"

namespace {
const char* const kClass = "OstrelAgent_Conn_Handler_Unix";
} // namespace

OstrelAgent_Conn_Handler_Unix::OstrelAgent_Conn_Handler_Unix(OstrelAgent_View_Base* view)
    : OstrelAgent_Conn_Handler_Base(view) {
    m_listener_pipe = view->get_storage_path();
    listener_pipe_name(m_listener_pipe);
}

OstrelAgent_Conn_Handler_Unix::~OstrelAgent_Conn_Handler_Unix() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "~OstrelAgent_Conn_Handler_Unix");
    close_listener();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Removing %s", m_listener_pipe.c_str());
    std::remove(m_listener_pipe.c_str());
}

std::string& OstrelAgent_Conn_Handler_Unix::listener_pipe_name(std::string& storage) {
    storage += "/";
    storage += IPC_DIR;
    storage += "/";
    storage += LISTENER_PIPE_NAME;
    return storage;
}

void OstrelAgent_Conn_Handler_Unix::close_listener() {
    for (int* fd : {&m_listener_keepalive_fd, &m_listener_fd}) {
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    }
}

int OstrelAgent_Conn_Handler_Unix::create_pipe(const std::string& path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "create_pipe");
    if (fileutl_mkpath(path.c_str(), 0700, 0) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Mkpath failed for %s", path.c_str());
        return OstrelAgent_Status::MKDIR_FAILED;
    }
    if (mkfifo(path.c_str(), 0700) == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "mkfifo success for %s", path.c_str());
        return 0;
    }
    const int error = errno;
    if (error != EEXIST) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "mkfifo failed for %s: %s", path.c_str(),
                         imsg_strerror(error));
        return OstrelAgent_Status::MKFIFO_FAILED;
    }
    struct stat st;
    if (fileutl_stat(path.c_str(), 0, &st) == 0 && S_ISFIFO(st.st_mode)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "mkfifo success for %s", path.c_str());
        return 0;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "mkfifo failed, non-fifo present at %s",
                     path.c_str());
    return OstrelAgent_Status::MKFIFO_FAILED;
}

int OstrelAgent_Conn_Handler_Unix::set_blocking(int fd) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "set_blocking");
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error getting FD flags: %s", imsg_strerror(errno));
        return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
    }
    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error setting FD flags: %s", imsg_strerror(errno));
        return OstrelAgent_Status::CLIENT_PIPE_IO_FAILED;
    }
    return 0;
}

int OstrelAgent_Conn_Handler_Unix::setup_listener() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "setup_listener");
    // The listener stays open from one connection line to the next (see
    // m_listener_keepalive_fd); it is made and opened again only after a
    // read failure closed it.
    if (m_listener_fd == -1) {
        if (create_pipe(m_listener_pipe) != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Unable to create listener %s",
                             m_listener_pipe.c_str());
            return OstrelAgent_Status::PIPE_FAILED;
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                         "Attempting to open listener request pipe %s", m_listener_pipe.c_str());
        m_listener_fd = open(m_listener_pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_listener_fd != -1)
            m_listener_keepalive_fd =
                open(m_listener_pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_listener_fd == -1 || m_listener_keepalive_fd == -1) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error opening listener pipe: %s",
                             imsg_strerror(errno));
            close_listener();
            return OstrelAgent_Status::PIPE_FAILED;
        }
        const int status = set_blocking(m_listener_fd);
        if (status != 0) {
            close_listener();
            return status;
        }
    }
    return OstrelAgent_Thread_Manager_Unix::wait_for_input(m_listener_fd);
}

int OstrelAgent_Conn_Handler_Unix::handle_connection() {
    return take_connection();
}

int OstrelAgent_Conn_Handler_Unix::take_connection() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "take_connection");
    std::string id;
    int status = get_connection_request(id);
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error %d getting connection request",
                         status);
        return status;
    }
    if (id.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Empty connection request");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (id.find('/') != std::string::npos) {
        // It would name pipes outside ".ipc" (and make directories there).
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "Connection id with a path separator refused: %s", id.c_str());
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    using Handler = OstrelAgent_Request_Handler_Base;
    if (Handler::connections() >= Handler::MAX_CONNECTIONS) {
        // Each connection has a thread: no client may take them all. The
        // refused one gets no pipes.
        OstrelAgent_Log::get_instance(m_view->get_storage_path())
            ->write_log(OSTRELAGENT_LOG_WARN, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::CONNECTION_REFUSED,
                        id.c_str(), Handler::MAX_CONNECTIONS);
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    std::unique_ptr<OstrelAgent_Client> client(new OstrelAgent_Client());
    // On failure the client's destructor removes the pipe it had made.
    if ((status = create_client_connections(id, client.get())) != 0) return status;
    OstrelAgent_Request_Handler_Base* handler =
        OstrelAgent_Request_Handler_Base::get_request_handler(client.release(), m_view);
    // Deleted, with its client, when it cannot be started.
    OstrelAgent_Thread_Manager_Base::get_instance()->start_op(handler);
    return 0;
}

std::string OstrelAgent_Conn_Handler_Unix::request_conn_name(const std::string& id) const {
    return pipe_path(REQ_PIPE_NAME, id);
}

std::string OstrelAgent_Conn_Handler_Unix::response_conn_name(const std::string& id) const {
    return pipe_path(RESP_PIPE_NAME, id);
}

std::string OstrelAgent_Conn_Handler_Unix::pipe_path(const char* kind, const std::string& id) const {
    std::string path = m_view->get_storage_path();
    path += "/";
    path += IPC_DIR;
    path += "/";
    path += kind;
    path += PIPE_SEP;
    path += id;
    return path;
}

int OstrelAgent_Conn_Handler_Unix::create_client_connections(const std::string& id,
                                                             OstrelAgent_Client* client) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "create_client_connections");
    const std::string request_pipe = request_conn_name(id);
    int status = create_pipe(request_pipe);
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error creating client request pipe (%d)",
                         status);
        return status;
    }
    client->set_request_pipe(request_pipe);
    const std::string response_pipe = response_conn_name(id);
    status = create_pipe(response_pipe);
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "Error creating client response  pipe (%d)", status);
        return status;
    }
    client->set_client_id(id);
    client->set_response_pipe(response_pipe);
    return 0;
}

int OstrelAgent_Conn_Handler_Unix::read_when_ready(int fd, void* buffer, std::size_t size,
                                                   ssize_t& got) {
    const int status = OstrelAgent_Thread_Manager_Unix::wait_for_input(fd);
    if (status != 0) return status;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return 0;
}

int OstrelAgent_Conn_Handler_Unix::readline(int fd, char* buffer, std::size_t limit,
                                            std::size_t& length) {
    std::size_t count = 0;
    while (count < limit) {
        char byte;
        ssize_t got = 0;
        // A writer that stops inside a line must not keep shutdown waiting.
        const int waited = read_when_ready(fd, &byte, 1, got);
        if (waited != 0) return waited;
        if (got == 1) {
            if (byte == '\n') break;
            buffer[count++] = byte;
            continue;
        }
        if (got < 0) {
            length = static_cast<std::size_t>(-1);
            return 0;
        }
        if (got != 0) {
            OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "readline");
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "read() failed its contract");
            return OstrelAgent_Status::GENERAL_FAILURE;
        }
        // End of input: every writer has closed.
        const int status = OstrelAgent_Thread_Manager_Unix::wait_for_input(fd);
        if (status == 0) length = 0;
        return status;
    }
    length = count;
    return 0;
}

int OstrelAgent_Conn_Handler_Unix::get_connection_request(std::string& id) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_connection_request");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "[Unix]Waiting for connection");
    std::unique_ptr<char[]> buffer(new char[CONNECTION_LINE_MAX]);
    std::size_t length = 0;
    const int status = readline(m_listener_fd, buffer.get(), CONNECTION_LINE_MAX - 1, length);
    if (status != 0) return status;
    if (length == 0 || length == static_cast<std::size_t>(-1)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "[Unix]ReadFile failed (%d)", errno);
        // A listener that could not be read is opened afresh for the next
        // line; an empty line costs only itself.
        if (length != 0) close_listener();
        return OstrelAgent_Status::CONN_READ_FAILED;
    }
    buffer[length] = '\0';
    id = buffer.get();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "[Unix]Got %d bytes (%s)",
                     static_cast<int>(length), id.c_str());
    return 0;
}
