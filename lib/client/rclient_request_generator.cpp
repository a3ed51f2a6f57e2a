#include "lib/client/rclient_request_generator.h"

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "RClient_Request_Generator";
} // namespace

RClient_Request_Generator::RClient_Request_Generator(void* cb_data, std::list<std::string>* headers)
    : m_cb_data(cb_data), m_response_headers(headers) {}

RClient_Request_Generator::~RClient_Request_Generator() = default;

std::list<std::string>* RClient_Request_Generator::get_response_headers() const {
    return m_http_client->get_response_headers();
}

int RClient_Request_Generator::get_performed() const {
    return m_http_client->get_performed();
}

void RClient_Request_Generator::add_standard_headers(const std::string& rpc_name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_standard_headers");
    RClient_Session* session = RClient_Session::get_session();
    RClient_Session::Header_Values values = session->get_header_values();
    m_http_client->add_header(RClient_Base::HDR_EXPECT_CONTINUE);
    m_http_client->add_header(std::string(RClient_Base::HDR_ACCEPT_ENCODING) + RClient_Base::HDR_DEFLATE);
    m_http_client->add_header(RClient_Base::HDR_RPC_NAME + rpc_name);
    m_http_client->add_header(std::string(RClient_Base::HDR_USER_AGENT) + RClient_Base::VERSION_STRING);
    if (values.authenticated) {
        m_http_client->add_header(RClient_Base::HDR_COOKIE + (RClient_Base::HDR_JSESSIONID + values.jsessionid) +
                                  RClient_Base::SEMICOLON + RClient_Base::HDR_SESSION + values.session_id);
        return;
    }
    const std::string login = RClient_Base::HDR_LOGIN_PREFIX;
    m_http_client->add_header(login + RClient_Base::HDR_CREDENTIALS + session->encrypted_credential());
    m_http_client->add_header(login + RClient_Base::HDR_PRIMARY_GROUP + values.primary_group);
    m_http_client->add_header(login + RClient_Base::HDR_GROUPS_LIST + values.groups);
}

int RClient_Request_Generator::prepare(const std::string& rpc_name) {
    int status = m_http_client->init();
    if (status != 0) return failed(status);
    // A proxy named by the session carries every request; without one, none
    // does (init has turned off any the environment names).
    const RClient_Session::Proxy_Settings proxy = RClient_Session::get_session()->get_proxy();
    if (!proxy.host.empty()) {
        status = m_http_client->set_proxy(proxy.host, proxy.port, proxy.user, proxy.password);
        if (status != 0) return failed(status);
    }
    add_standard_headers(rpc_name);
    return 0;
}

int RClient_Request_Generator::perform() {
    int status = m_http_client->execute();
    return status == 0 ? 0 : failed(status);
}

int RClient_Request_Generator::failed(int status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "send_request");
    const std::string& message = m_http_client->get_error_message();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error message = %s", message.c_str());
    m_error_text += message;
    return status;
}
