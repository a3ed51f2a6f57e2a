#include "lib/requests/ostrelagent_unknown.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {
const char* const kClass = "OstrelAgent_Unknown";
} // namespace

OstrelAgent_Unknown::OstrelAgent_Unknown(const std::string& request_text,
                                         NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Unknown::~OstrelAgent_Unknown() = default;

void OstrelAgent_Unknown::process_request() { parse_request(); }

void OstrelAgent_Unknown::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    if (!m_request_doc) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        get_txid(m_request_text, m_txid);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "Did not get request_doc, best guess tx-id='%s'", m_txid.c_str());
        return;
    }
    NorvaneXmlElem* root = m_request_doc->get_root();
    if (root == nullptr) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Could not get root element");
        return;
    }
    m_txid = root->get_attr(OstrelAgent_Tag::TRANS_ID);
    if (m_txid.empty()) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Transaction id not specified");
    }
}

std::string OstrelAgent_Unknown::get_response() {
    const NorvaneXmlElem* root = m_request_doc ? m_request_doc->get_root() : nullptr;
    if (root != nullptr) {
        m_message = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table,
                                             OstrelAgent_Lib_Msg::UNRECOGNIZED,
                                             root->get_tag().c_str());
    } else {
        m_message = parse_error_message();
    }
    return envelope_reply(m_request_name, OstrelAgent_Status::UNKNOWN_OPERATION);
}
