#include "lib/client/rclient_logout.h"

#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Logout";
const char* const LOGOUT_CTXT = "/logout";
} // namespace

Logout::Logout() : RClient_Abstract_Cmd("", true, kClass) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
    RClient_Session* session = RClient_Session::get_session();
    m_url = (session != nullptr ? session->get_url() : std::string()) + LOGOUT_CTXT;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "URL is %s", m_url.c_str());
}

int Logout::marshal_request(RClient_Request_Args* /*args*/) { return 0; }

int Logout::unmarshal_response() {
    return read_parts(nullptr, [] {
        RClient_Session* session = RClient_Session::get_session();
        if (session != nullptr) session->clear_login();
    });
}
