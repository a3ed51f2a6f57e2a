#pragma once
// A GET of a URL: the standard header lines only, no argument text.

#include "lib/client/rclient_request_generator.h"

class RClient_Request_Generator_Get : public RClient_Request_Generator {
public:
    RClient_Request_Generator_Get(const std::string& url, void* cb_data,
                                  std::list<std::string>* headers);
    int send_request(std::string& rpc_name, std::string& args) override;
};
