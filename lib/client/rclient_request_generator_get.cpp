#include "lib/client/rclient_request_generator_get.h"

#include "lib/client/http_client_get.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "RClient_Request_Generator_Get";
} // namespace

RClient_Request_Generator_Get::RClient_Request_Generator_Get(const std::string& url, void* cb_data,
                                                             std::list<std::string>* headers)
    : RClient_Request_Generator(cb_data, headers) {
    RClient_Session* session = RClient_Session::get_session();
    std::string keystore_path;
    std::string keystore_password;
    session->get_keystore(keystore_path, keystore_password);
    m_http_client.reset(new Http_Client_Get(url, session, keystore_path, keystore_password, cb_data,
                                            headers));
}

// A failed preparation sends nothing, as for a POST.
int RClient_Request_Generator_Get::send_request(std::string& rpc_name, std::string& /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "send_request");
    int status = m_http_client->init();
    if (status != 0) return failed(status);
    add_standard_headers(rpc_name);
    status = m_http_client->execute();
    return status == 0 ? 0 : failed(status);
}
