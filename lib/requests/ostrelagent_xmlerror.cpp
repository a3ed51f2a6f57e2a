#include "lib/requests/ostrelagent_xmlerror.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {
const char* const kClass = "OstrelAgent_XMLError";
} // namespace

OstrelAgent_XMLError::OstrelAgent_XMLError(const std::string& request_text,
                                           NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_XMLError::~OstrelAgent_XMLError() = default;

void OstrelAgent_XMLError::process_request() { parse_request(); }

void OstrelAgent_XMLError::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    get_txid(m_request_text, m_txid);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                     "Did not get request_doc, best guess tx-id='%s'", m_txid.c_str());
}

std::string OstrelAgent_XMLError::get_response() {
    m_message = parse_error_message();
    return envelope_reply(m_request_name, m_status);
}
