#pragma once
// A GET: no form fields.

#include "lib/client/http_client_base.h"

class Http_Client_Get : public Http_Client_Base {
public:
    Http_Client_Get(const std::string& url, RClient_Session* session,
                    const std::string& keystore_path, const std::string& keystore_password,
                    void* write_data, std::list<std::string>* response_headers);

    void add_request_field(const std::string& name, const std::string& value) override;

protected:
    int set_additional_args() override;
};
