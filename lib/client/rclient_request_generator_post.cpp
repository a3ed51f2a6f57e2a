#include "lib/client/rclient_request_generator_post.h"

#include "lib/client/http_client_post.h"
#include "lib/client/rclient_base.h"
#include "lib/client/rclient_request_args.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "RClient_Request_Generator_Post";
} // namespace

RClient_Request_Generator_Post::RClient_Request_Generator_Post(void* cb_data,
                                                               std::list<std::string>* headers)
    : RClient_Request_Generator(cb_data, headers) {
    RClient_Session* session = RClient_Session::get_session();
    make_http_client<Http_Client_Post>(session->get_url());
    session->print_session();
}

int RClient_Request_Generator_Post::send_request(std::string& rpc_name, std::string& args) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "send_request");
    int status = prepare(rpc_name);
    if (status != 0) return status;
    m_http_client->add_header(std::string(RClient_Base::HDR_CONTENT_TYPE) +
                              RClient_Base::HDR_MULTIPART_FORMDATA);
    m_http_client->add_request_field(RClient_Request_Args::RPC, rpc_name);
    m_http_client->add_request_field(RClient_Request_Args::RPC_ARGS, args);
    return perform();
}
