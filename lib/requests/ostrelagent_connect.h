#pragma once
// Connect: takes the view online at run time. The request's "server"
// element gives the login settings (user, domain, password, proxy, groups;
// never the URL, which stays the one the view was started with). While the
// view is offline the settings are installed, the session logs in, and the
// kernel file system and the namespace cache forget what they learned
// offline; then the view is online. Online already, nothing changes.
//
// Also the login step itself, connect_to_server, which StartView and MkView
// take when the view is online.
//
// Request: root "Connect" ("version", "tx-id" required) with a child
// "server". Reply: the envelope alone.
//
// Connect and Disconnect hold OstrelAgent_Server::g_session_lock for their
// whole run, so run-time changes of the online state happen one at a time.
// The request's settings are parsed into the operation and installed only
// under that lock, when the login follows: threads that read the settings
// meanwhile (through their copies) never see a half-changed set.

#include "lib/core/ostrelagent_server.h"
#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Connect : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Connect(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Connect() override;

    void process_request() override;
    std::string get_response() override;

    // Logs in with the stored server settings: 0, or 20022 when they are
    // incomplete, or 20034 when the login failed (the view is then offline
    // and the session's connections are dropped). A failure's explanation
    // is appended to `message`, and a failed login is written to the
    // operations log. Takes no lock: callers that run while other threads
    // exist hold OstrelAgent_Server::g_session_lock.
    static int connect_to_server(std::string& message);

private:
    void parse_request();

    OstrelAgent_Server::Session_Settings m_settings;
};
