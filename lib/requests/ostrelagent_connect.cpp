#include "lib/requests/ostrelagent_connect.h"

#include <cstdlib>

#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view.h"
#include "lib/core/ostrelagent_view_handler.h"

namespace {
const char* const kClass = "OstrelAgent_Connect";
const int MSG_BAD_SERVER_INFO = 4; // Server information is incomplete or invalid for "%s".
} // namespace

int OstrelAgent_Connect::connect_to_server(std::string& message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "connect_to_server");
    OstrelAgent_View* view = OstrelAgent_View_Handler::get_view();
    const std::string storage = view != nullptr ? view->get_storage_path() : std::string();
    if (!OstrelAgent_Server::is_valid()) {
        message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, MSG_BAD_SERVER_INFO,
                                            storage.c_str());
        return OstrelAgent_Status::BAD_SERVER_INFO;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Login with url %s, user %s, pass %s, domain %s",
                     OstrelAgent_Server::g_server_url.c_str(),
                     OstrelAgent_Server::g_server_username.c_str(),
                     OstrelAgent_Server::g_server_password.empty() ? "<empty>" : "<not empty>",
                     OstrelAgent_Server::g_server_domain.c_str());
    const int proxy_port =
        static_cast<int>(std::strtol(OstrelAgent_Server::g_f_proxy_port.c_str(), nullptr, 10));

    Login login(OstrelAgent_Server::g_server_username, OstrelAgent_Server::g_server_password,
                OstrelAgent_Server::g_server_domain, OstrelAgent_Server::g_norvane_primary_group,
                OstrelAgent_Server::g_norvane_groups, OstrelAgent_Server::g_server_url,
                OstrelAgent_Server::g_proxy_username, OstrelAgent_Server::g_proxy_password,
                OstrelAgent_Server::g_f_proxy_host, proxy_port);
    login.run();
    int server_status = 0;
    if (login.check_rpc_status(*OstrelAgent_Log::get_instance(storage), message, server_status) != 0) {
        OstrelAgent_Server::g_online = 0;
        RClient_Session* session = RClient_Session::get_session();
        if (session != nullptr) session->flush_curl_handles();
        return OstrelAgent_Status::LOGIN_FAILED;
    }
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) session->print_session();
    return 0;
}
