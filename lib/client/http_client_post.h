#pragma once
// A multipart/form-data POST: the form fields in the order added.

#include "lib/client/http_client_base.h"

class Http_Client_Post : public Http_Client_Base {
public:
    Http_Client_Post(const std::string& url, RClient_Session* session,
                     const std::string& keystore_path, const std::string& keystore_password,
                     void* write_data, std::list<std::string>* response_headers);
    ~Http_Client_Post() override;

    void add_request_field(const std::string& name, const std::string& value) override;

protected:
    int set_additional_args() override;

private:
    curl_mime* m_form = nullptr;
};
