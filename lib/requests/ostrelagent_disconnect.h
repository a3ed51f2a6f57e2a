#pragma once
// Disconnect: takes the view offline at run time. Once no background
// request is queued or runs (their fetches need the server), the session
// logs out (whatever the server answers), the view goes offline and the
// session's pooled connections are dropped. Offline already, nothing
// changes. Holds OstrelAgent_Server::g_session_lock for its whole run, as
// Connect does.
//
// Request: root "Disconnect" ("version", "tx-id" required). Reply: the
// envelope alone.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Disconnect : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Disconnect(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Disconnect() override;

    void process_request() override;
    std::string get_response() override;

    // Logs out, goes offline, drops the pooled connections. Status 0.
    void perform_disconnect();
};
