#pragma once
// The process's settings for its session with the remote server: the server
// URL, the user's credentials, an optional HTTP proxy with its own
// credentials, the user's primary group and group list, and whether the
// view is online. They arrive in the "server" element of the StartView,
// MkView and Connect requests. The login and the session that uses them
// belong to the remote server client.
//
// Locking: g_session_lock is taken only by the Connect and Disconnect
// operations, for their whole run, while they change the session. The
// settings are written only under g_settings_lock (a leaf lock, taken inside
// g_session_lock), and read on other threads only through the copies that
// get_settings and get_server_url take under it: a Connect replaces them
// while updates and other requests run. g_online is read by many threads
// without a lock, so it is atomic.

#include <atomic>
#include <string>

#include "platform/norvanethread/norvanethread.h"

class NorvaneXmlElem;

class OstrelAgent_Server {
public:
    OstrelAgent_Server() = delete;

    // Names in the request's "server" element.
    static constexpr const char* SERVER = "server";
    static constexpr const char* SERVER_URL = "server-url";
    static constexpr const char* SERVER_USERNAME = "username";
    static constexpr const char* SERVER_DOMAIN = "domain";
    static constexpr const char* SERVER_PASSWORD = "password";
    static constexpr const char* PROXY_USERNAME = "proxy-username";
    static constexpr const char* PROXY_PASSWORD = "proxy-password";
    static constexpr const char* PROXY_HOST = "f-proxy-host";
    static constexpr const char* PROXY_PORT = "f-proxy-port";
    static constexpr const char* NORVANE_PRIMARY_GROUP = "norvane-primary-group";
    static constexpr const char* NORVANE_GROUPS = "norvane-groups";
    static constexpr const char* ONLINE = "online";
    static constexpr const char* TRUESTRING = "true";
    static constexpr const char* FALSESTRING = "false";
    static constexpr const char* SERVER_OFFLINE = "offline";

    // The settings that a Connect request may replace: who logs in, through
    // which proxy, with which groups.
    struct Session_Settings {
        std::string username;
        std::string domain;
        std::string password;
        std::string proxy_username;
        std::string proxy_password;
        std::string proxy_host;
        std::string proxy_port; // decimal text
        std::string primary_group;
        std::string groups;
    };

    // The settings; empty until a request fills them. Written under
    // g_settings_lock (single-threaded tests may set them directly).
    static std::string g_server_url; // completed by customize_url
    static std::string g_server_username;
    static std::string g_server_domain;
    static std::string g_server_password;
    static std::string g_proxy_username;
    static std::string g_proxy_password;
    static std::string g_f_proxy_host;
    static std::string g_f_proxy_port; // decimal text
    static std::string g_norvane_primary_group;
    static std::string g_norvane_groups; // one text, as the request gives it
    // 1 online (the initial value), 0 offline.
    static std::atomic<int> g_online;

    static norvanethread_mutex_t g_session_lock;
    static norvanethread_mutex_t g_settings_lock;

    // Copies of the settings, taken under g_settings_lock.
    static Session_Settings get_settings();
    static std::string get_server_url();
    // Installs the settings (the URL and the online state stay).
    static void set_settings(const Session_Settings& settings);

    // Reads the settings from the first "server" child of a request's root
    // (taking it out of the root). With `take_url`, "server-url" replaces
    // the URL and is completed by customize_url (an absent one leaves the
    // URL alone); with `take_online`, the attribute "online" ("true" or
    // "false"; absent or empty leaves the state alone) sets g_online. Every
    // other setting takes its child's text, or becomes empty when the child
    // is absent. 0, or 20022 when there is no "server" element or "online"
    // holds anything else (nothing is changed then).
    // Values that would reach a header line, a URL or a file's line with a
    // control character, a host or URL with a blank, a proxy user with ":"
    // (the proxy's "user:password") or a port that is no number are refused
    // too: 20021, the value named in `message` when given.
    static int parse_server_info(NorvaneXmlElem* root, int take_url, int take_online,
                                 std::string* message = nullptr);
    // Reads the first "server" child's settings (taking it out of the root)
    // into `settings` without installing anything, as a Connect request
    // does: neither the URL nor "online" is read. 0, or 20022 when there is
    // no "server" element.
    static int read_session_settings(NorvaneXmlElem* root, Session_Settings& settings,
                                     std::string* message = nullptr);
    // 0, or 20021 for a value refused as parse_server_info says (`url` when
    // not null, the settings' values), named in `message` when given.
    static int check_settings(const Session_Settings& settings, const std::string* url, std::string* message);
    // 20021 with `message` naming the element `name` and its `value`.
    static int refuse_value(const char* name, const std::string& value, std::string* message);

    // Completes g_server_url: trims blanks, tabs, CR and LF from both ends,
    // adds "/" unless it ends in one, then the context "ostrel".
    static void customize_url();

    // Whether the settings suffice to log in: always while offline; online,
    // URL, user name and password are all set, and proxy host and port, and
    // proxy user name and password, are each set or empty as pairs.
    static bool is_valid();
};
