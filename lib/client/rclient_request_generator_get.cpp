#include "lib/client/rclient_request_generator_get.h"

#include "lib/client/http_client_get.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "RClient_Request_Generator_Get";
} // namespace

RClient_Request_Generator_Get::RClient_Request_Generator_Get(const std::string& url, void* cb_data,
                                                             std::list<std::string>* headers)
    : RClient_Request_Generator(cb_data, headers) {
    make_http_client<Http_Client_Get>(url);
}

// A failed preparation sends nothing, as for a POST.
int RClient_Request_Generator_Get::send_request(std::string& rpc_name, std::string& /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "send_request");
    int status = prepare(rpc_name);
    return status != 0 ? status : perform();
}
