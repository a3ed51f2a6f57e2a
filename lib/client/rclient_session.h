#pragma once
// The process's one session with the remote server: where the server is,
// who logs in (credentials, groups), the proxy and TLS keystore settings,
// the two cookies the server hands out at login, whether the process is
// logged in, and a pool of reusable transfer handles (each keeps its live
// connection, so consecutive requests reuse it).
//
// Locking: m_mutex guards every field and the pool; each operation takes it
// for its own short work and it is never held across a transfer. Nothing
// else is taken while it is held (the character conversion of
// encrypted_credential runs outside it). g_session_lock guards only the
// creation of the singleton.

#include <curl/curl.h>

#include <string>
#include <vector>

#include "platform/norvanethread/norvanethread.h"

class RClient_Session {
public:
    // The session, made on first use under g_session_lock; the first use
    // also runs the one-time set-up of the transfer and TLS libraries. Null
    // only when memory runs out.
    static RClient_Session* get_session();

    virtual ~RClient_Session();

    RClient_Session(const RClient_Session&) = delete;
    RClient_Session& operator=(const RClient_Session&) = delete;

    // Stores all settings and marks the session as not logged in; the
    // cookies stay. Note the order: proxy user and password before proxy
    // host and port. Always 0.
    int init(const std::string& url, const std::string& user, const std::string& domain,
             const std::string& password, const std::string& primary_group,
             const std::string& groups, const std::string& proxy_user,
             const std::string& proxy_password, const std::string& proxy_host, int proxy_port,
             const std::string& keystore_path, const std::string& keystore_password);

    // Stores the "Session=" cookie and marks the session as logged in, also
    // for an empty value.
    void set_session_id(const std::string& session_id);

    // The login credential in Base64: "domain\user:password", or
    // "user:password" without a domain, converted from the locale's
    // character set to UTF-8 (the text as it is when it does not convert).
    std::string encrypted_credential();

    // A handle from the pool (the one returned last), or a new one when the
    // pool is empty; null when none can be made. Counted as in use until it
    // comes back through release_curl_handle.
    CURL* get_curl_handle();
    // Takes a handle back: reset (no option survives) and pooled, or
    // destroyed while a flush waits for the handles that were out.
    void release_curl_handle(CURL* handle);
    // Destroys every pooled handle (and their connections); handles out at
    // the time are destroyed as they come back.
    void flush_curl_handles();

    // One trace line per field at level 4 of the remote client; passwords
    // and cookies show as "***", or "<empty>" when empty.
    void print_session();

    // Field access for the remote client, each one short critical section.
    std::string get_url();
    void get_keystore(std::string& path, std::string& password);
    std::string get_jsessionid();
    void set_jsessionid(const std::string& jsessionid);
    std::string get_session_id();
    bool is_authenticated();
    void set_authenticated(bool authenticated);
    // Forgets the login: not logged in, both cookies empty.
    void clear_login();

    // What the standard request headers need, copied in one critical
    // section so that the login state and the cookies agree.
    struct Header_Values {
        bool authenticated = false;
        std::string jsessionid;
        std::string session_id;
        std::string primary_group;
        std::string groups;
    };
    Header_Values get_header_values();

    // The proxy every request goes through; none when the host is empty.
    struct Proxy_Settings {
        std::string host;
        int port = 0;
        std::string user;
        std::string password;
    };
    Proxy_Settings get_proxy();

    // The pool's state.
    int get_handles_in_use();
    size_t get_pooled_handles();
    bool is_flush_pending();

    static norvanethread_mutex_t g_session_lock;

private:
    RClient_Session();

    norvanethread_mutex_t m_mutex;
    std::string m_jsessionid;
    std::string m_session_id;
    std::string m_url;
    std::string m_user;
    std::string m_domain;
    std::string m_password;
    std::string m_primary_group;
    std::string m_groups;
    bool m_authenticated = false;
    int m_proxy_port = 0;
    std::string m_proxy_host;
    std::string m_proxy_user;
    std::string m_proxy_password;
    std::string m_keystore_path;
    std::string m_keystore_password;
    std::vector<CURL*> m_handle_pool; // a stack: the last returned on top
    bool m_flush_pending = false;
    int m_handles_in_use = 0;

    static RClient_Session* g_session;
};
