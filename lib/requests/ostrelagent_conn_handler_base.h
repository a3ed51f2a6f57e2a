#pragma once
// The connection listener: the thread through which client tools reach a
// running agent. It owns the named pipe "rlistener" in the directory ".ipc"
// of the view storage; a client writes one connection line into it naming
// itself. The listener runs on its own thread, started by the view handler
// once the request pool and the kernel request threads run, and it is the
// thread that ends the thread manager when the agent shuts down: its loop
// ends on the exit flag and then runs the manager's terminate.
//
// Each client gets its own request and response pipes and a request thread
// (OstrelAgent_Request_Handler_Base); a failed connection costs only that
// connection, while a listener that cannot be made or opened stops the
// agent.

#include <string>

#include "lib/core/ostrelagent_norvane_thread.h"

class OstrelAgent_View_Base;

class OstrelAgent_Conn_Handler_Base : public OstrelAgent_NorvaneThread {
public:
    static constexpr const char* LISTENER_PIPE_NAME = "rlistener";
    static constexpr const char* REQ_PIPE_NAME = "request";
    static constexpr const char* RESP_PIPE_NAME = "response";
    static constexpr const char* PIPE_SEP = "_";

    // A new listener for `view`; the caller starts it, joins it and deletes
    // it. Null when it cannot be made.
    static OstrelAgent_Conn_Handler_Base* get_conn_handler(OstrelAgent_View_Base* view);

    ~OstrelAgent_Conn_Handler_Base() override;

    // Starts the listener's thread: 0 or the thread library's error (no
    // thread then). The tests' daemon forces that error, which no resource
    // limit can give this one thread alone, through its test hook
    // (platform/hooks/test_hooks.h).
    int start_listener();

    // Sets up the listener and takes connections until the thread manager's
    // exit flag is set or a step reports that the agent exits; a listener
    // that cannot be set up stops the agent. Then terminates the thread
    // manager. 0.
    int run() override;

    // Makes the listener pipe and waits until a client has written to it.
    // 0, 20038 once the agent exits, or a failure.
    virtual int setup_listener() = 0;
    // Takes the connection lines waiting in the listener. 0, 20038, or the
    // last connection's failure.
    virtual int handle_connection() = 0;

    const std::string& get_listener_pipe() const { return m_listener_pipe; }

protected:
    explicit OstrelAgent_Conn_Handler_Base(OstrelAgent_View_Base* view);

    std::string m_listener_pipe;
    OstrelAgent_View_Base* m_view; // not owned
};
