#include "lib/requests/ostrelagent_client.h"

#include <unistd.h>

OstrelAgent_Client::OstrelAgent_Client() = default;

OstrelAgent_Client::~OstrelAgent_Client() { remove_pipe_names(); }

void OstrelAgent_Client::remove_pipe_names() {
    if (!m_request_pipe.empty()) ::unlink(m_request_pipe.c_str());
    if (!m_response_pipe.empty()) ::unlink(m_response_pipe.c_str());
    m_request_pipe.clear();
    m_response_pipe.clear();
}
