#pragma once
// A multipart/form-data POST to the session's server URL with the fields
// "rpc" (the procedure name) and "rpcargs" (the argument text), after the
// standard header lines and "Content-Type:multipart/form-data".

#include "lib/client/rclient_request_generator.h"

class RClient_Request_Generator_Post : public RClient_Request_Generator {
public:
    RClient_Request_Generator_Post(void* cb_data, std::list<std::string>* headers);
    int send_request(std::string& rpc_name, std::string& args) override;
};
