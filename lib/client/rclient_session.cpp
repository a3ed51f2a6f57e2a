#include "lib/client/rclient_session.h"

#include <curl/curl.h>

#include <new>

#include "platform/imsg/imsg_verid.h"

namespace {
const char* const kName = "librclient";
} // namespace

RClient_Session* RClient_Session::g_session = nullptr;
norvanethread_mutex_t RClient_Session::g_session_lock = NORVANETHREAD_MUTEX_INITIALIZER;

RClient_Session::RClient_Session() { norvanethread_mutex_init(&m_mutex); }

RClient_Session* RClient_Session::get_session() {
    norvanethread_mutex_lock(&g_session_lock);
    if (g_session == nullptr) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        g_session = new (std::nothrow) RClient_Session();
    }
    RClient_Session* session = g_session;
    norvanethread_mutex_unlock(&g_session_lock);
    return session;
}

void RClient_Session::flush_curl_handles() {
    norvanethread_mutex_lock(&m_mutex);
    // No handle is pooled until the remote client's commands exist.
    norvanethread_mutex_unlock(&m_mutex);
}

void librclient_print_verid() {
    imsg_print_verid(kName);
}

int librclient_sprintf_verid(char* buf) {
    return imsg_sprintf_verid(buf, kName);
}
