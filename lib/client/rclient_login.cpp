#include "lib/client/rclient_login.h"

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const kClass = "Login";

const char* const RPC_ID = "Ostrel_Norvane::login_rpc";
const char* const CLIENT_TYPE = "clienttype";
const char* const REQUEST_UNKNOWN_CLIENT = "ClientType.UNKNOWN";
const char* const SSL_KEYSTORE_FILE = ".keystore_norvane_ostrel";
const char* const SSL_KEYSTORE_DER = ".der";
const char* const SSL_KEYSTORE_PEM = ".pem";
const char* const SSL_KEYSTORE_PW = "brindoma";
const char* const HTTPS = "https";

// The client protocol version this agent speaks, lowest and highest.
const unsigned int PROTOCOL_VERSION = 6;

} // namespace

Login::Login(const std::string& user, const std::string& password, const std::string& domain,
             const std::string& primary_group, const std::string& groups, const std::string& url,
             const std::string& proxy_user, const std::string& proxy_password,
             const std::string& proxy_host, int proxy_port)
    : RClient_Abstract_Cmd(RPC_ID, false) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
    m_url.clear();
    const std::string home = OstrelAgent_Util::get_user_home();
    std::string server = url;
    trim_url_hostname(server);
    std::string keystore = home + "/" + SSL_KEYSTORE_FILE + "_" + server + SSL_KEYSTORE_DER;
    if (!fileutl_exists(keystore.c_str(), 0)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "exception keystore \"%s\" not present",
                         keystore.c_str());
        keystore = home + "/" + SSL_KEYSTORE_FILE + SSL_KEYSTORE_PEM;
    }
    OstrelAgent_Util::globalize_path(keystore);
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) {
        session->init(url, user, domain, password, primary_group, groups, proxy_user, proxy_password,
                      proxy_host, proxy_port, keystore, SSL_KEYSTORE_PW);
    }
}

Login::Login() : RClient_Abstract_Cmd(RPC_ID, false) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "default-ctor");
    m_url.clear();
    // Without cookies and not logged in, the request carries the
    // credentials of the first login.
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) session->clear_login();
}

void Login::trim_url_hostname(std::string& url) {
    if (OstrelAgent_Util::compare_no_case(url.substr(0, 5), HTTPS) != 0) {
        url.clear();
        return;
    }
    const size_t first = url.find('/');
    if (first == std::string::npos) return;
    const size_t second = url.find('/', first + 1);
    if (second == std::string::npos) return;
    const std::string rest = url.substr(second + 1);
    const std::string authority = rest.substr(0, rest.find('/'));

    size_t separator = std::string::npos;
    if (!authority.empty() && authority[0] == '[') {
        const size_t bracket = authority.find(']');
        if (bracket != std::string::npos) separator = authority.find(':', bracket);
    } else {
        separator = authority.rfind(':');
    }
    url = separator == std::string::npos
              ? authority + "(443)"
              : authority.substr(0, separator) + "(" + authority.substr(separator + 1) + ")";
    for (char& c : url) {
        if (c == ':') c = '+';
    }
}

int Login::marshal_request(RClient_Request_Args* /*args*/) {
    marshal_arg(RClient_Base::MIN_PROTOCOL_VER, PROTOCOL_VERSION);
    marshal_arg(RClient_Base::MAX_PROTOCOL_VER, PROTOCOL_VERSION);
    marshal_arg(CLIENT_TYPE, REQUEST_UNKNOWN_CLIENT);
    return 0;
}

int Login::unmarshal_response() {
    return read_parts(nullptr);
}
