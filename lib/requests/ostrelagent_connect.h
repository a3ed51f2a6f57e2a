#pragma once
// Logging in to the remote server, the step that StartView and MkView take
// when the view is online. (The Connect request itself is not served yet:
// the dispatcher answers it as unknown.)

#include <string>

class OstrelAgent_Connect {
public:
    OstrelAgent_Connect() = delete;

    // Logs in with the stored server settings: 0, or 20022 when they are
    // incomplete, or 20034 when the login failed (the view is then offline
    // and the session's connections are dropped). A failure's explanation
    // is appended to `message`, and a failed login is written to the
    // operations log. Takes no lock: callers that run while other threads
    // exist hold OstrelAgent_Server::g_session_lock.
    static int connect_to_server(std::string& message);
};
