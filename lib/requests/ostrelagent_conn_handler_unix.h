#pragma once
// The connection listener on POSIX systems: the listener is a FIFO, made
// with mode 0700 (and its directory ".ipc" with it), opened for reading
// without waiting for a writer, and closed again once the connection lines
// waiting in it are taken. Each line names a client: its request and
// response FIFOs, "request_<id>" and "response_<id>" beside the listener,
// are made (an existing FIFO is reused) and a request handler thread is
// started for it. An id holding "/" is refused like an empty one: it would
// name pipes outside ".ipc".
//
// Once part of a line has arrived, each further read waits through the
// thread manager's wait_for_input, so a client that stops inside its line
// does not keep shutdown waiting.

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "lib/requests/ostrelagent_conn_handler_base.h"

class OstrelAgent_Client;

class OstrelAgent_Conn_Handler_Unix : public OstrelAgent_Conn_Handler_Base {
public:
    static constexpr const char* IPC_DIR = ".ipc";
    // Longest connection line taken, with its terminating NUL.
    static constexpr std::size_t CONNECTION_LINE_MAX = 4096;

    explicit OstrelAgent_Conn_Handler_Unix(OstrelAgent_View_Base* view);
    // Closes the listener and removes its pipe.
    ~OstrelAgent_Conn_Handler_Unix() override;

    // Appends "/.ipc/rlistener" to `storage` (a view storage directory) in
    // place and returns it: the listener pipe's path.
    static std::string& listener_pipe_name(std::string& storage);

    int setup_listener() override;
    int handle_connection() override;

    // Makes the FIFO `path` (mode 0700, missing directories above it too);
    // an existing FIFO is reused. 0; 20005 when a directory cannot be made;
    // 20011 when the FIFO cannot be made or something else is in the way.
    static int create_pipe(const std::string& path);
    // Clears the descriptor's non-blocking flag. 0, or 20017.
    static int set_blocking(int fd);
    // Reads one line of at most `limit` bytes from `fd` (the newline is not
    // stored). `length` is the count, or (size_t)-1 after a read error; a
    // line cut by end of input is dropped (length 0). 0, or the status of
    // waiting for more input.
    static int readline(int fd, char* buffer, std::size_t limit, std::size_t& length);
    // Reads the connection line from the listener into `id`. 0, or 20013
    // for an empty or unreadable line.
    int get_connection_request(std::string& id);

    // The client's pipe paths: storage + "/.ipc/request_" + id, and
    // "response_" likewise.
    std::string request_conn_name(const std::string& id) const;
    std::string response_conn_name(const std::string& id) const;
    // Makes the client's request pipe, records it in `client`, then the
    // response pipe, and records it with the id. 0, or the failing
    // create_pipe's status (the client then holds what was made).
    int create_client_connections(const std::string& id, OstrelAgent_Client* client);

    // Waits with wait_for_input until `fd` is readable (or the agent exits),
    // then reads at most `size` bytes into `buffer` (again on EINTR). The
    // wait's status; when 0, `got` is read's result.
    static int read_when_ready(int fd, void* buffer, std::size_t size, ssize_t& got);

private:
    // One connection line: the client's pipes are made and its request
    // handler started. 0, or the status of the line's failure.
    int take_connection();
    std::string pipe_path(const char* kind, const std::string& id) const;
    void close_listener();

    int m_listener_fd = -1;
    // A write end the listener holds while its read end is open. Without it
    // the listener would see end of input whenever no client had it open,
    // and would have to close and reopen it; a line that a client wrote in
    // between was then discarded with the pipe's contents.
    int m_listener_keepalive_fd = -1;
};
