#include "lib/core/ostrelagent_server.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_util.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Server";
// The agent's context on the server, appended to the URL.
const char* const OSTREL_CONTEXT = "ostrel";

// Credentials are traced only as present or not.
const char* presence(const std::string& text) { return text.empty() ? "<empty>" : "<not empty>"; }

} // namespace

std::string OstrelAgent_Server::g_server_url;
std::string OstrelAgent_Server::g_server_username;
std::string OstrelAgent_Server::g_server_domain;
std::string OstrelAgent_Server::g_server_password;
std::string OstrelAgent_Server::g_proxy_username;
std::string OstrelAgent_Server::g_proxy_password;
std::string OstrelAgent_Server::g_f_proxy_host;
std::string OstrelAgent_Server::g_f_proxy_port;
std::string OstrelAgent_Server::g_norvane_primary_group;
std::string OstrelAgent_Server::g_norvane_groups;
std::atomic<int> OstrelAgent_Server::g_online{1};
norvanethread_mutex_t OstrelAgent_Server::g_session_lock = NORVANETHREAD_MUTEX_INITIALIZER;

int OstrelAgent_Server::parse_server_info(NorvaneXmlElem* root, int take_url, int take_online) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "parse_server_info");

    NorvaneXmlElem* server = root == nullptr ? nullptr : root->extract_child(SERVER);
    if (server == nullptr) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "Error getting server node");
        return OstrelAgent_Status::BAD_SERVER_INFO;
    }

    if (take_online) {
        const std::string online = server->get_attr(ONLINE);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "online = %s", online.c_str());
        if (online == TRUESTRING) {
            g_online = 1;
        } else if (online == FALSESTRING) {
            g_online = 0;
        } else if (!online.empty()) {
            return OstrelAgent_Status::BAD_SERVER_INFO;
        }
    }

    if (take_url) {
        NorvaneXmlElem* url = server->extract_child(SERVER_URL);
        if (url != nullptr) {
            g_server_url = url->get_value();
            customize_url();
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "url = %s", g_server_url.c_str());
    }

    g_server_username = NorvaneXmlUtil::get_value(server, SERVER_USERNAME);
    g_server_domain = NorvaneXmlUtil::get_value(server, SERVER_DOMAIN);
    g_server_password = NorvaneXmlUtil::get_value(server, SERVER_PASSWORD);
    g_proxy_username = NorvaneXmlUtil::get_value(server, PROXY_USERNAME);
    g_proxy_password = NorvaneXmlUtil::get_value(server, PROXY_PASSWORD);
    g_f_proxy_host = NorvaneXmlUtil::get_value(server, PROXY_HOST);
    g_f_proxy_port = NorvaneXmlUtil::get_value(server, PROXY_PORT);
    g_norvane_primary_group = NorvaneXmlUtil::get_value(server, NORVANE_PRIMARY_GROUP);
    g_norvane_groups = NorvaneXmlUtil::get_value(server, NORVANE_GROUPS);

    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "username = %s, password = %s",
                     presence(g_server_username), presence(g_server_password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "domain = %s", g_server_domain.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "proxy = %s:%s", g_f_proxy_host.c_str(),
                     g_f_proxy_port.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "proxy creds = %s %s",
                     presence(g_proxy_username), presence(g_proxy_password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "primary group = %s, groups = %s",
                     g_norvane_primary_group.c_str(), g_norvane_groups.c_str());
    return 0;
}

void OstrelAgent_Server::customize_url() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "customize_url");
    OstrelAgent_Util::trim_in_place(g_server_url);
    if (g_server_url.empty() || g_server_url.back() != '/') g_server_url += '/';
    g_server_url += OSTREL_CONTEXT;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Final url is now %s", g_server_url.c_str());
}

bool OstrelAgent_Server::is_valid() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "is_valid");
    if (g_online == 0) return true;

    const bool server = !g_server_url.empty() && !g_server_username.empty() &&
                        !g_server_password.empty();
    const bool proxy = g_f_proxy_host.empty() == g_f_proxy_port.empty();
    const bool proxy_creds = g_proxy_username.empty() == g_proxy_password.empty();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "proxy username = %s, proxy password = %s",
                     presence(g_proxy_username), presence(g_proxy_password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "proxy = %d, server = %d, r proxy = %d",
                     proxy, server, proxy_creds);
    return server && proxy && proxy_creds;
}
