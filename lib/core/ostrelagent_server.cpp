#include "lib/core/ostrelagent_server.h"

#include "lib/core/ostrelagent_mutex_guard.h"
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
norvanethread_mutex_t OstrelAgent_Server::g_settings_lock = NORVANETHREAD_MUTEX_INITIALIZER;

namespace {

// The settings of a request's "server" element; absent children read empty.
OstrelAgent_Server::Session_Settings settings_of(NorvaneXmlElem* server) {
    using S = OstrelAgent_Server;
    S::Session_Settings settings;
    settings.username = NorvaneXmlUtil::get_value(server, S::SERVER_USERNAME);
    settings.domain = NorvaneXmlUtil::get_value(server, S::SERVER_DOMAIN);
    settings.password = NorvaneXmlUtil::get_value(server, S::SERVER_PASSWORD);
    settings.proxy_username = NorvaneXmlUtil::get_value(server, S::PROXY_USERNAME);
    settings.proxy_password = NorvaneXmlUtil::get_value(server, S::PROXY_PASSWORD);
    settings.proxy_host = NorvaneXmlUtil::get_value(server, S::PROXY_HOST);
    settings.proxy_port = NorvaneXmlUtil::get_value(server, S::PROXY_PORT);
    settings.primary_group = NorvaneXmlUtil::get_value(server, S::NORVANE_PRIMARY_GROUP);
    settings.groups = NorvaneXmlUtil::get_value(server, S::NORVANE_GROUPS);
    return settings;
}

void trace_settings(const OstrelAgent_Trace& trace, const OstrelAgent_Server::Session_Settings& s) {
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "username = %s, password = %s",
                     presence(s.username), presence(s.password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "domain = %s", s.domain.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "proxy = %s:%s", s.proxy_host.c_str(),
                     s.proxy_port.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "proxy creds = %s %s",
                     presence(s.proxy_username), presence(s.proxy_password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "primary group = %s, groups = %s",
                     s.primary_group.c_str(), s.groups.c_str());
}

} // namespace

OstrelAgent_Server::Session_Settings OstrelAgent_Server::get_settings() {
    OstrelAgent_Mutex_Guard guard(g_settings_lock);
    Session_Settings settings;
    settings.username = g_server_username;
    settings.domain = g_server_domain;
    settings.password = g_server_password;
    settings.proxy_username = g_proxy_username;
    settings.proxy_password = g_proxy_password;
    settings.proxy_host = g_f_proxy_host;
    settings.proxy_port = g_f_proxy_port;
    settings.primary_group = g_norvane_primary_group;
    settings.groups = g_norvane_groups;
    return settings;
}

std::string OstrelAgent_Server::get_server_url() {
    OstrelAgent_Mutex_Guard guard(g_settings_lock);
    return g_server_url;
}

void OstrelAgent_Server::set_settings(const Session_Settings& settings) {
    OstrelAgent_Mutex_Guard guard(g_settings_lock);
    g_server_username = settings.username;
    g_server_domain = settings.domain;
    g_server_password = settings.password;
    g_proxy_username = settings.proxy_username;
    g_proxy_password = settings.proxy_password;
    g_f_proxy_host = settings.proxy_host;
    g_f_proxy_port = settings.proxy_port;
    g_norvane_primary_group = settings.primary_group;
    g_norvane_groups = settings.groups;
}

namespace {

// The request's first "server" element, taken out of the root; null when
// there is none.
NorvaneXmlElem* take_server_element(NorvaneXmlElem* root, const OstrelAgent_Trace& trace) {
    NorvaneXmlElem* server = root == nullptr ? nullptr : root->extract_child(OstrelAgent_Server::SERVER);
    if (server == nullptr) trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "Error getting server node");
    return server;
}

} // namespace

int OstrelAgent_Server::read_session_settings(NorvaneXmlElem* root, Session_Settings& settings) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "parse_server_info");
    NorvaneXmlElem* server = take_server_element(root, trace);
    if (server == nullptr) return OstrelAgent_Status::BAD_SERVER_INFO;
    settings = settings_of(server);
    trace_settings(trace, settings);
    return 0;
}

int OstrelAgent_Server::parse_server_info(NorvaneXmlElem* root, int take_url, int take_online) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "parse_server_info");
    NorvaneXmlElem* server = take_server_element(root, trace);
    if (server == nullptr) return OstrelAgent_Status::BAD_SERVER_INFO;

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
            OstrelAgent_Mutex_Guard guard(g_settings_lock);
            g_server_url = url->get_value();
            customize_url();
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "url = %s", get_server_url().c_str());
    }

    const Session_Settings settings = settings_of(server);
    set_settings(settings);
    trace_settings(trace, settings);
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

    const Session_Settings s = get_settings();
    const bool server = !get_server_url().empty() && !s.username.empty() && !s.password.empty();
    const bool proxy = s.proxy_host.empty() == s.proxy_port.empty();
    const bool proxy_creds = s.proxy_username.empty() == s.proxy_password.empty();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "proxy username = %s, proxy password = %s",
                     presence(s.proxy_username), presence(s.proxy_password));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "proxy = %d, server = %d, r proxy = %d",
                     proxy, server, proxy_creds);
    return server && proxy && proxy_creds;
}
