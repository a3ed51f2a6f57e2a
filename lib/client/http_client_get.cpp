#include "lib/client/http_client_get.h"

Http_Client_Get::Http_Client_Get(const std::string& url, RClient_Session* session,
                                 const std::string& keystore_path,
                                 const std::string& keystore_password, void* write_data,
                                 std::list<std::string>* response_headers)
    : Http_Client_Base(METHOD_GET, url, session, keystore_path, keystore_password, write_data,
                       response_headers) {}

void Http_Client_Get::add_request_field(const std::string&, const std::string&) {}

int Http_Client_Get::set_additional_args() { return 0; }
