#include "lib/core/ostrelagent_server.h"

#include "lib/core/ostrelagent_lib_msg.h"
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

int OstrelAgent_Server::refuse_value(const char* name, const std::string& value, std::string* message) {
    if (message != nullptr)
        *message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::INVALID_VALUE, name,
                                             OstrelAgent_Util::one_line(value).c_str());
    return OstrelAgent_Status::MALFORMED_REQUEST;
}

int OstrelAgent_Server::check_settings(const Session_Settings& s, const std::string* url, std::string* message) {
    // Each reaches a header line of every request, the proxy's address or
    // the view's metadata file.
    const std::pair<const char*, const std::string*> lines[] = {
        {SERVER_USERNAME, &s.username},       {SERVER_DOMAIN, &s.domain},     {PROXY_USERNAME, &s.proxy_username},
        {NORVANE_PRIMARY_GROUP, &s.primary_group}, {NORVANE_GROUPS, &s.groups},
    };
    for (const auto& line : lines)
        if (!OstrelAgent_Util::fits_one_line(*line.second)) return refuse_value(line.first, *line.second, message);
    const auto blank_or_control = [](const std::string& text) {
        return !OstrelAgent_Util::fits_one_line(text) || text.find(' ') != std::string::npos;
    };
    if (url != nullptr && blank_or_control(OstrelAgent_Util::trim(*url))) return refuse_value(SERVER_URL, *url, message);
    if (blank_or_control(s.proxy_host) || s.proxy_host.find('/') != std::string::npos)
        return refuse_value(PROXY_HOST, s.proxy_host, message);
    if (!s.proxy_port.empty() && !OstrelAgent_Util::is_number(s.proxy_port))
        return refuse_value(PROXY_PORT, s.proxy_port, message);
    if (s.proxy_username.find(':') != std::string::npos) return refuse_value(PROXY_USERNAME, s.proxy_username, message);
    return 0;
}

int OstrelAgent_Server::read_session_settings(NorvaneXmlElem* root, Session_Settings& settings,
                                              std::string* message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "parse_server_info");
    NorvaneXmlElem* server = take_server_element(root, trace);
    if (server == nullptr) return OstrelAgent_Status::BAD_SERVER_INFO;
    settings = settings_of(server);
    trace_settings(trace, settings);
    return check_settings(settings, nullptr, message);
}

int OstrelAgent_Server::parse_server_info(NorvaneXmlElem* root, int take_url, int take_online,
                                          std::string* message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "parse_server_info");
    NorvaneXmlElem* server = take_server_element(root, trace);
    if (server == nullptr) return OstrelAgent_Status::BAD_SERVER_INFO;
    const Session_Settings settings = settings_of(server);
    NorvaneXmlElem* url = take_url ? server->extract_child(SERVER_URL) : nullptr;
    const std::string url_text = url != nullptr ? url->get_value() : std::string();
    const int refused = check_settings(settings, url != nullptr ? &url_text : nullptr, message);
    if (refused != 0) return refused;

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
        if (url != nullptr) {
            OstrelAgent_Mutex_Guard guard(g_settings_lock);
            g_server_url = url_text;
            customize_url();
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "url = %s", get_server_url().c_str());
    }

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
