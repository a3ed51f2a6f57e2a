#include "lib/requests/ostrelagent_disconnect.h"

#include "lib/client/rclient_logout.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "OstrelAgent_Disconnect";
} // namespace

OstrelAgent_Disconnect::OstrelAgent_Disconnect(const std::string& request_text,
                                               NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Disconnect::~OstrelAgent_Disconnect() = default;

void OstrelAgent_Disconnect::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_validate_request(1);
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Server::g_session_lock);
    if (m_status != 0) return;
    if (OstrelAgent_Server::g_online == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Server is already offline!");
        return;
    }
    OstrelAgent_Thread_Manager_Base::get_instance()->wait_for_background();
    perform_disconnect();
}

void OstrelAgent_Disconnect::perform_disconnect() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "perform_disconnect");
    m_status = 0;
    Logout logout;
    logout.run(); // offline whatever the server says
    OstrelAgent_Server::g_online = 0;
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) session->flush_curl_handles();
}

std::string OstrelAgent_Disconnect::get_response() {
    const std::string reply = envelope_reply(OstrelAgent_Tag::DISCONNECT, m_status);
    if (reply.empty()) m_status = OstrelAgent_Status::INTERNAL_ERROR;
    return reply;
}
