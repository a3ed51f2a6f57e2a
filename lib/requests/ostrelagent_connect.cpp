#include "lib/requests/ostrelagent_connect.h"

#include <cstdlib>

#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "xml/norvane_xml_elem.h"

namespace {
const char* const kClass = "OstrelAgent_Connect";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
} // namespace

OstrelAgent_Connect::OstrelAgent_Connect(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Connect::~OstrelAgent_Connect() = default;

int OstrelAgent_Connect::connect_to_server(std::string& message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "connect_to_server");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    const std::string storage = view != nullptr ? view->get_storage_path() : std::string();
    if (!OstrelAgent_Server::is_valid()) {
        message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::BAD_SERVER_INFO,
                                            storage.c_str());
        return OstrelAgent_Status::BAD_SERVER_INFO;
    }
    const OstrelAgent_Server::Session_Settings s = OstrelAgent_Server::get_settings();
    const std::string url = OstrelAgent_Server::get_server_url();
    trace.writeTrace(LEVEL_2, "Login with url %s, user %s, pass %s, domain %s", url.c_str(), s.username.c_str(),
                     s.password.empty() ? "<empty>" : "<not empty>", s.domain.c_str());
    const int proxy_port = static_cast<int>(std::strtol(s.proxy_port.c_str(), nullptr, 10));

    Login login(s.username, s.password, s.domain, s.primary_group, s.groups, url, s.proxy_username,
                s.proxy_password, s.proxy_host, proxy_port);
    login.run();
    int server_status = 0;
    if (login.check_rpc_status(*OstrelAgent_Log::get_instance(storage), message, server_status) != 0) {
        OstrelAgent_Server::g_online = 0;
        RClient_Session* session = RClient_Session::get_session();
        if (session != nullptr) session->flush_curl_handles();
        return OstrelAgent_Status::LOGIN_FAILED;
    }
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) session->print_session();
    return 0;
}

void OstrelAgent_Connect::parse_request() {
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    m_status = OstrelAgent_Server::read_session_settings(root, m_settings, &m_message);
}

void OstrelAgent_Connect::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Server::g_session_lock);
    if (m_status != 0) return;
    if (OstrelAgent_Server::g_online != 0) {
        trace.writeTrace(LEVEL_2, "Server is already online!");
        return;
    }
    OstrelAgent_Server::set_settings(m_settings);
    m_status = connect_to_server(m_message);
    if (m_status == 0) m_status = get_ioctl();
    if (m_status != 0) return;
    // What the kernel and the namespace cache learned offline may be
    // outdated now; the view database stays.
    const int flushed = OstrelAgent_Metadata::view_inval_view(ioctl(), true, true, false);
    if (flushed != 0) trace.writeTrace(LEVEL_2, "Unable to invalidate view in KORVA: %s", qel_strerror(flushed));
    OstrelAgent_Server::g_online = 1;
}

std::string OstrelAgent_Connect::get_response() {
    const std::string reply = envelope_reply(OstrelAgent_Tag::CONNECT, m_status);
    if (reply.empty()) m_status = OstrelAgent_Status::INTERNAL_ERROR;
    return reply;
}
