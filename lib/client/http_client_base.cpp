#include "lib/client/http_client_base.h"

#include <cstring>

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_cb.h"
#include "lib/client/rclient_msg.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/utl/fileutl.h"
#include "security/curl_util.h"

namespace {

const char* const kClass = "Http_Client_Base";
const char* const HNFAIL_SUFFIX = "_hnfail";
const char* const KEYSTORE_COMBINATION =
    "Internal error, improper option combination (keystore/password)\n";

const void* client_catalog() { return &_rclient_client_lib_msg_table; }

// A header line as the trace shows it: the login credential's value and the
// session cookies hidden, since each opens the account to whoever reads them.
std::string traced_header(const std::string& line) {
    const std::string credential =
        std::string(RClient_Base::HDR_LOGIN_PREFIX) + RClient_Base::HDR_CREDENTIALS;
    if (line.compare(0, credential.size(), credential) == 0) return credential + "***";
    const std::string cookie = RClient_Base::HDR_COOKIE;
    if (line.compare(0, cookie.size(), cookie) == 0) return cookie + "***";
    return line;
}

} // namespace

std::atomic<long> Http_Client_Base::g_connect_seconds{Http_Client_Base::DEFAULT_CONNECT_SECONDS};
std::atomic<long> Http_Client_Base::g_stall_seconds{Http_Client_Base::DEFAULT_STALL_SECONDS};

std::atomic<bool> Http_Client_Base::g_cancelled{false};

void Http_Client_Base::set_time_limits(long connect_seconds, long stall_seconds) {
    g_connect_seconds = connect_seconds;
    g_stall_seconds = stall_seconds;
}

void Http_Client_Base::cancel_transfers() { g_cancelled = true; }

Http_Client_Base::Http_Client_Base(int method, const std::string& url, RClient_Session* session,
                                   const std::string& keystore_path,
                                   const std::string& keystore_password, void* write_data,
                                   std::list<std::string>* response_headers)
    : m_curl_handle(session->get_curl_handle()),
      m_method(method),
      m_url(url),
      m_write_data(write_data),
      m_response_headers(response_headers),
      m_session(session),
      m_keystore_path(keystore_path),
      m_keystore_password(keystore_password) {
    m_error_buffer[0] = '\0';
}

Http_Client_Base::~Http_Client_Base() {
    m_session->release_curl_handle(m_curl_handle);
    curl_slist_free_all(m_header_list);
}

void Http_Client_Base::option_failed(CURLcode rc, CURLoption option) {
    m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::OPTION_FAILED,
                                               static_cast<int>(rc), curl_easy_strerror(rc),
                                               static_cast<int>(option)) +
                      m_error_buffer;
}

int Http_Client_Base::init() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "init");
    const int failed = OstrelAgent_Status::RC_TRANSFER_FAILED;
    m_headers.clear();
    if (m_response_headers != nullptr) m_response_headers->clear();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, " Initialized headers");

    if (!set_option(CURLOPT_NOSIGNAL, 1L) || !set_option(CURLOPT_ERRORBUFFER, m_error_buffer) ||
        !set_option(CURLOPT_URL, m_url.c_str()))
        return failed;
    if (m_method != METHOD_GET && !set_option(CURLOPT_POST, 1L)) return failed;
    if (!set_option(CURLOPT_WRITEFUNCTION, &Http_Client_Base::body_callback) ||
        !set_option(CURLOPT_WRITEDATA, m_write_data) ||
        !set_option(CURLOPT_HEADERFUNCTION, &Http_Client_Base::header_callback) ||
        !set_option(CURLOPT_HEADERDATA, m_response_headers))
        return failed;

    CURLcode rc = Curl_Util::init_common_secopt(m_curl_handle, false);
    if (rc != CURLE_OK) {
        m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::TLS_SETUP_FAILED,
                                                   static_cast<int>(rc), curl_easy_strerror(rc)) +
                          m_error_buffer;
        return failed;
    }
    int status = set_keystore_options();
    if (status != 0) return status;

    // The requests announce deflate; the library inflates such a reply
    // before the reader sees it.
    if (!set_option(CURLOPT_TCP_NODELAY, 1L) || !set_option(CURLOPT_PROXY, "") ||
        !set_option(CURLOPT_ACCEPT_ENCODING, RClient_Base::HDR_DEFLATE) ||
        !set_option(CURLOPT_CONNECTTIMEOUT, g_connect_seconds.load()) ||
        !set_option(CURLOPT_XFERINFOFUNCTION, &Http_Client_Base::progress_callback) ||
        !set_option(CURLOPT_XFERINFODATA, this) || !set_option(CURLOPT_NOPROGRESS, 0L))
        return failed;
    m_stall_limit = std::chrono::seconds(g_stall_seconds.load());
    m_bounded = g_cancelled.load();
    if (m_bounded && !set_option(CURLOPT_TIMEOUT, SHUTDOWN_TRANSFER_SECONDS)) return failed;
    return 0;
}

int Http_Client_Base::set_keystore_options() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "init");
    const int failed = OstrelAgent_Status::RC_TRANSFER_FAILED;
    if (m_keystore_path.empty() != m_keystore_password.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "keystore path \"%s\", pwd \"%s\"",
                         m_keystore_path.c_str(), m_keystore_password.empty() ? "<empty>" : "***");
        m_error_message = KEYSTORE_COMBINATION;
        return failed;
    }
    if (m_keystore_path.empty()) return 0; // the host's CA file stays
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, " Setting keystore path to %s",
                     m_keystore_path.c_str());
    if (m_keystore_path.find(')') != std::string::npos) {
        // A per-server keystore: the server's public key, pinned. The
        // connection stands exactly when the server shows that key.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "requesting pinned server cert handling");
        if (!set_option(CURLOPT_SSL_VERIFYHOST, 0L) || !set_option(CURLOPT_SSL_VERIFYPEER, 0L) ||
            !set_option(CURLOPT_PINNEDPUBLICKEY, m_keystore_path.c_str()))
            return failed;
        return 0;
    }
    if (!set_option(CURLOPT_CAINFO, m_keystore_path.c_str())) return failed;
    std::string marker = m_keystore_path + HNFAIL_SUFFIX;
    if (fileutl_exists(marker.c_str(), 1)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "hnfail file \"%s\" present--disabling hn check",
                         marker.c_str());
        if (!set_option(CURLOPT_SSL_VERIFYHOST, 0L)) return failed;
    }
    return 0;
}

void Http_Client_Base::add_header(const std::string& line) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "add_header");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Adding header [%s]", traced_header(line).c_str());
    m_headers.push_back(line);
}

int Http_Client_Base::set_proxy(const std::string& host, int port, const std::string& user,
                                const std::string& password) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "set_proxy");
    const int failed = OstrelAgent_Status::RC_TRANSFER_FAILED;
    if (!host.empty() && !set_option(CURLOPT_PROXY, host.c_str())) return failed;
    if (!set_option(CURLOPT_PROXYPORT, static_cast<long>(port))) return failed;
    if (!user.empty() && !set_option(CURLOPT_PROXYUSERPWD, (user + ":" + password).c_str()))
        return failed;
    return 0;
}

int Http_Client_Base::execute() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "execute");
    const int failed = OstrelAgent_Status::RC_TRANSFER_FAILED;
    for (const std::string& line : m_headers) {
        curl_slist* list = curl_slist_append(m_header_list, line.c_str());
        if (list == nullptr) {
            option_failed(CURLE_OUT_OF_MEMORY, CURLOPT_HTTPHEADER);
            return failed;
        }
        m_header_list = list;
    }
    if (!set_option(CURLOPT_HTTPHEADER, m_header_list)) return failed;
    int status = set_additional_args();
    if (status != 0) return status;

    m_progress_time = std::chrono::steady_clock::now();
    CURLcode rc = curl_easy_perform(m_curl_handle);
    m_performed = 1;
    if (m_stalled) rc = CURLE_OPERATION_TIMEDOUT;
    if (rc != CURLE_OK && rc != CURLE_PARTIAL_FILE) {
        m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::REQUEST_FAILED,
                                                   static_cast<int>(rc), curl_easy_strerror(rc)) +
                          m_error_buffer;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "%s", m_error_message.c_str());
        return failed;
    }
    long code = 0;
    curl_easy_getinfo(m_curl_handle, CURLINFO_RESPONSE_CODE, &code);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "HTTP status %ld", code);
    switch (code) {
    case 200:
    case 201:
        return 0;
    case 401:
    case 403:
        m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::AUTHORIZATION_FAILED);
        return OstrelAgent_Status::RC_UNAUTHORIZED;
    case 404:
        m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::NOT_FOUND);
        return OstrelAgent_Status::RC_NOT_FOUND;
    default:
        m_error_message = OstrelAgent_Util::format(client_catalog(), RClient_Msg::HTTP_STATUS,
                                                   static_cast<int>(code));
        return OstrelAgent_Status::RC_HTTP_STATUS;
    }
}

size_t Http_Client_Base::body_callback(char* data, size_t size, size_t count, void* write_data) {
    size_t length = size * count;
    if (RClient_CB::response_cb(data, static_cast<unsigned int>(length), write_data) == 0) return length;
    return static_cast<size_t>(-1); // not the count given: the transfer stops
}

// Called about once a second while a transfer runs, and as bytes move.
int Http_Client_Base::progress_callback(void* self, curl_off_t, curl_off_t download_now, curl_off_t,
                                        curl_off_t upload_now) {
    Http_Client_Base* client = static_cast<Http_Client_Base*>(self);
    if (!client->m_bounded && g_cancelled.load()) return 1; // the process is ending
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (download_now + upload_now != client->m_progress_bytes) {
        client->m_progress_bytes = download_now + upload_now;
        client->m_progress_time = now;
        return 0;
    }
    if (now - client->m_progress_time < client->m_stall_limit) return 0;
    client->m_stalled = true;
    return 1; // stops the transfer
}

size_t Http_Client_Base::header_callback(char* data, size_t size, size_t count, void* headers) {
    size_t length = size * count;
    std::list<std::string>* list = static_cast<std::list<std::string>*>(headers);
    // Each line comes with its CR LF; the empty line that ends a header
    // block is not kept.
    if (list != nullptr && length > 2) list->emplace_back(data, length - 2);
    return length;
}
