#include "lib/client/http_client_post.h"

#include "lib/client/rclient_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_util.h"

Http_Client_Post::Http_Client_Post(const std::string& url, RClient_Session* session,
                                   const std::string& keystore_path,
                                   const std::string& keystore_password, void* write_data,
                                   std::list<std::string>* response_headers)
    : Http_Client_Base(METHOD_POST, url, session, keystore_path, keystore_password, write_data,
                       response_headers) {}

// The form goes before the base gives the handle back.
Http_Client_Post::~Http_Client_Post() { curl_mime_free(m_form); }

void Http_Client_Post::add_request_field(const std::string& name, const std::string& value) {
    m_request_parts.push_back({name, value});
}

int Http_Client_Post::set_additional_args() {
    // A field that cannot be added fails the request: the server must not
    // get a form with a field missing.
    bool complete = (m_form = curl_mime_init(m_curl_handle)) != nullptr;
    for (auto part = m_request_parts.begin(); complete && part != m_request_parts.end(); ++part) {
        curl_mimepart* field = curl_mime_addpart(m_form);
        complete = field != nullptr && curl_mime_name(field, part->name.c_str()) == CURLE_OK &&
                   curl_mime_data(field, part->value.data(), part->value.size()) == CURLE_OK;
    }
    if (!complete || curl_easy_setopt(m_curl_handle, CURLOPT_MIMEPOST, m_form) != CURLE_OK) {
        m_error_message = OstrelAgent_Util::format(&_rclient_client_lib_msg_table, RClient_Msg::FORM_FAILED);
        return OstrelAgent_Status::RC_TRANSFER_FAILED;
    }
    return 0;
}
