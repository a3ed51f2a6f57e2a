#pragma once
// One client connection accepted by the connection listener: the client's id
// (its connection line) and its two FIFOs in the view storage's ".ipc"
// directory, one for its requests and one for the agent's replies.
//
// The listener makes the object and the pipes; from the moment a request
// handler is made for it, the handler owns it and sets the descriptors when
// it opens the pipes. The pipes' names leave the directory as soon as the
// connection is in use (remove_pipe_names); a connection that never got so
// far has them removed by the destructor. The descriptors belong to the
// handler, which closes them.

#include <string>

class OstrelAgent_Client {
public:
    OstrelAgent_Client();
    // Removes the request pipe, then the response pipe, when their paths are
    // still recorded; failures are ignored.
    virtual ~OstrelAgent_Client();

    OstrelAgent_Client(const OstrelAgent_Client&) = delete;
    OstrelAgent_Client& operator=(const OstrelAgent_Client&) = delete;

    // Removes both pipe names now and forgets the paths, so that the names
    // are removed once only: a later client with the same id gets pipes of
    // the same names, which this connection must leave alone.
    void remove_pipe_names();

    int get_request_fd() const { return m_request_fd; }
    void set_request_fd(int fd) { m_request_fd = fd; }
    int get_response_fd() const { return m_response_fd; }
    void set_response_fd(int fd) { m_response_fd = fd; }
    const std::string& get_client_id() const { return m_client_id; }
    void set_client_id(const std::string& id) { m_client_id = id; }
    const std::string& get_request_pipe() const { return m_request_pipe; }
    void set_request_pipe(const std::string& path) { m_request_pipe = path; }
    const std::string& get_response_pipe() const { return m_response_pipe; }
    void set_response_pipe(const std::string& path) { m_response_pipe = path; }

private:
    int m_request_fd = -1;  // read end of the request pipe
    int m_response_fd = -1; // the response pipe
    std::string m_client_id;
    std::string m_request_pipe;  // set as soon as the request pipe exists
    std::string m_response_pipe; // set once the response pipe exists
};
