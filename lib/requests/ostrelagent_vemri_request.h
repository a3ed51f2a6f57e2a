#pragma once
// One client request read from a connection's request pipe, queued on the
// request pool as foreground work. It carries the request text unparsed: a
// pool thread has the dispatcher build the operation (begin_request), runs
// it and sends its reply through the connection (handle_request). A request
// refused at shutdown gets the cancellation reply instead (cancel_request):
// its request name as root (or "ShutdownInProgress"), status-code 20026, the
// shutdown message, no tx-id.
//
// A request counts as outstanding on its connection's handler from its
// construction to the end of its destruction, which keeps the handler alive
// for as long as the request can reach it. Client requests are never merged.

#include <memory>
#include <string>

#include "lib/core/ostrelagent_request.h"

class OstrelAgent_AbstractOp;
class OstrelAgent_Request_Handler_Base;

class OstrelAgent_VEMRI_Request : public OstrelAgent_Request {
public:
    OstrelAgent_VEMRI_Request(OstrelAgent_Request_Handler_Base* handler,
                              const std::string& request_text);
    ~OstrelAgent_VEMRI_Request() override;

    // Builds the operation (any earlier one is deleted). The dispatcher's
    // status: 0, or 20021 when the text gave no operation; 20031 without a
    // handler.
    int begin_request();
    // Runs the operation and sends its reply; a request that gave no
    // operation is answered with the generic error reply. The operation's
    // status (20026 once an EndView has shut the agent down).
    int handle_request() override;
    // Sends the cancellation reply. 0.
    int cancel_request() override;
    bool is_equivalent(const OstrelAgent_Request* other) const override;
    // The request text with its passwords masked, for traces.
    const char* toString() override;

    // The cancellation reply for a request named `request_name`.
    static std::string cancellation_reply(const std::string& request_name);

    OstrelAgent_AbstractOp* get_operation() const { return m_op.get(); }

private:
    OstrelAgent_Request_Handler_Base* m_handler; // not owned
    std::string m_request_text;
    std::unique_ptr<OstrelAgent_AbstractOp> m_op;
    std::string m_description;
};
