#include "lib/client/rclient_session.h"

#include <new>

#include "lib/client/rclient_base64.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/i18n/i18n.h"
#include "security/curl_util.h"

namespace {

const char* const kClass = "RClient_Session";

// How a password shows in the trace.
const char* masked(const std::string& password) {
    return password.empty() ? "<empty>" : "***";
}

} // namespace

RClient_Session* RClient_Session::g_session = nullptr;
norvanethread_mutex_t RClient_Session::g_session_lock = NORVANETHREAD_MUTEX_INITIALIZER;

RClient_Session::RClient_Session() { norvanethread_mutex_init(&m_mutex); }

RClient_Session::~RClient_Session() {
    for (CURL* handle : m_handle_pool) curl_easy_cleanup(handle);
    norvanethread_mutex_destroy(&m_mutex);
}

RClient_Session* RClient_Session::get_session() {
    OstrelAgent_Mutex_Guard lock(g_session_lock);
    if (g_session == nullptr) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "get_session");
        g_session = new (std::nothrow) RClient_Session();
        Curl_Util::init_common();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "After curl_global_init");
    }
    return g_session;
}

int RClient_Session::init(const std::string& url, const std::string& user,
                          const std::string& domain, const std::string& password,
                          const std::string& primary_group, const std::string& groups,
                          const std::string& proxy_user, const std::string& proxy_password,
                          const std::string& proxy_host, int proxy_port,
                          const std::string& keystore_path, const std::string& keystore_password) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "init");
    OstrelAgent_Mutex_Guard lock(m_mutex);
    m_url = url;
    m_user = user;
    m_domain = domain;
    m_password = password;
    m_primary_group = primary_group;
    m_groups = groups;
    m_proxy_user = proxy_user;
    m_proxy_password = proxy_password;
    m_proxy_host = proxy_host;
    m_proxy_port = proxy_port;
    m_keystore_path = keystore_path;
    m_keystore_password = keystore_password;
    m_authenticated = false;
    return 0;
}

void RClient_Session::set_session_id(const std::string& session_id) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "set_session_id");
    OstrelAgent_Mutex_Guard lock(m_mutex);
    m_session_id = session_id;
    m_authenticated = true;
}

std::string RClient_Session::encrypted_credential() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "encrypted_credential");
    std::string credential;
    {
        OstrelAgent_Mutex_Guard lock(m_mutex);
        credential = m_domain.empty() ? m_user + ":" + m_password
                                      : m_domain + "\\" + m_user + ":" + m_password;
    }
    i18n_charset_t utf8 = i18n_charset_open_special(I18N_CHARSET_SPECIAL_UTF8);
    i18n_charset_t local = i18n_charset_open_special(I18N_CHARSET_SPECIAL_LOCAL);
    size_t converted_length = 0;
    char* converted = i18n_iconv_easy(local, credential.data(), credential.size(), utf8, 0,
                                      &converted_length);
    if (converted == nullptr) {
        // The server gets the text as the user gave it rather than nothing.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "credential not converted; sent as given");
        return Base64::encode(credential.c_str());
    }
    std::string encoded = Base64::encode(converted);
    i18n_iconv_free(converted);
    return encoded;
}

CURL* RClient_Session::get_curl_handle() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "get_curl_handle");
    OstrelAgent_Mutex_Guard lock(m_mutex);
    ++m_handles_in_use;
    if (m_handle_pool.empty()) return curl_easy_init();
    CURL* handle = m_handle_pool.back();
    m_handle_pool.pop_back();
    return handle;
}

void RClient_Session::release_curl_handle(CURL* handle) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "release_curl_handle");
    OstrelAgent_Mutex_Guard lock(m_mutex);
    --m_handles_in_use;
    if (m_flush_pending) {
        if (handle != nullptr) curl_easy_cleanup(handle);
        if (m_handles_in_use == 0) m_flush_pending = false;
        return;
    }
    if (handle == nullptr) return;
    curl_easy_reset(handle);
    m_handle_pool.push_back(handle);
}

void RClient_Session::flush_curl_handles() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "flush_curl_handles");
    OstrelAgent_Mutex_Guard lock(m_mutex);
    for (CURL* handle : m_handle_pool) curl_easy_cleanup(handle);
    m_handle_pool.clear();
    if (m_handles_in_use > 0) m_flush_pending = true;
}

void RClient_Session::print_session() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "print_session");
    if (!trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) return;
    OstrelAgent_Mutex_Guard lock(m_mutex);
    // The cookies open the session to whoever holds them, as a password.
    trace.writeTrace("JSESSIONID %s", masked(m_jsessionid));
    trace.writeTrace("Session %s", masked(m_session_id));
    trace.writeTrace("URL %s", m_url.c_str());
    trace.writeTrace("User %s", m_user.c_str());
    trace.writeTrace("Domain %s", m_domain.c_str());
    trace.writeTrace("Password %s", masked(m_password));
    trace.writeTrace("Primary %s", m_primary_group.c_str());
    trace.writeTrace("Groups %s", m_groups.c_str());
    trace.writeTrace("auth %d", m_authenticated ? 1 : 0);
    trace.writeTrace("p port %d", m_proxy_port);
    trace.writeTrace("p host %s", m_proxy_host.c_str());
    trace.writeTrace("p user %s", m_proxy_user.c_str());
    trace.writeTrace("p pass %s", masked(m_proxy_password));
}

std::string RClient_Session::get_url() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_url;
}

void RClient_Session::get_keystore(std::string& path, std::string& password) {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    path = m_keystore_path;
    password = m_keystore_password;
}

std::string RClient_Session::get_jsessionid() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_jsessionid;
}

void RClient_Session::set_jsessionid(const std::string& jsessionid) {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    m_jsessionid = jsessionid;
}

std::string RClient_Session::get_session_id() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_session_id;
}

bool RClient_Session::is_authenticated() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_authenticated;
}

void RClient_Session::set_authenticated(bool authenticated) {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    m_authenticated = authenticated;
}

void RClient_Session::clear_login() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    m_authenticated = false;
    m_jsessionid.clear();
    m_session_id.clear();
}

RClient_Session::Proxy_Settings RClient_Session::get_proxy() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    Proxy_Settings proxy;
    proxy.host = m_proxy_host;
    proxy.port = m_proxy_port;
    proxy.user = m_proxy_user;
    proxy.password = m_proxy_password;
    return proxy;
}

RClient_Session::Header_Values RClient_Session::get_header_values() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    Header_Values values;
    values.authenticated = m_authenticated;
    values.jsessionid = m_jsessionid;
    values.session_id = m_session_id;
    values.primary_group = m_primary_group;
    values.groups = m_groups;
    return values;
}

int RClient_Session::get_handles_in_use() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_handles_in_use;
}

size_t RClient_Session::get_pooled_handles() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_handle_pool.size();
}

bool RClient_Session::is_flush_pending() {
    OstrelAgent_Mutex_Guard lock(m_mutex);
    return m_flush_pending;
}
