// The frame that the element operations and queries share: how they read
// their requests, the offline refusal and the reply.

#include <string>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/qel/qel.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_AbstractOp";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// The text of `root`'s child `tag`; false when there is no such child.
bool child_text(NorvaneXmlElem* root, const char* tag, std::string& text) {
    NorvaneXmlElem* child = root != nullptr ? root->extract_child(tag) : nullptr;
    if (child == nullptr) return false;
    text = child->get_value();
    return true;
}

} // namespace

NorvaneXmlElem* OstrelAgent_AbstractOp::parse_frame(Path_Rule rule) {
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr || rule == Path_Rule::ABSENT) return root;
    parse_path(root, rule == Path_Rule::REQUIRED);
    return m_status == 0 ? root : nullptr;
}

bool OstrelAgent_AbstractOp::read_uuid(NorvaneXmlElem* root, const char* tag, const char* missing,
                                       const char* malformed, qel_uuid_s& out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_uuid");
    std::string text;
    const char* refusal = nullptr;
    if (!child_text(root, tag, text)) refusal = missing;
    else if (qel_str_to_uuid(text.c_str(), &out) != 0) refusal = malformed;
    if (refusal == nullptr) return true;
    trace.writeTrace(LEVEL_2, "%s", refusal);
    refuse_malformed();
    return false;
}

bool OstrelAgent_AbstractOp::read_oid(NorvaneXmlElem* root, const char* tag, const char* missing,
                                      const char* malformed, const char* null_refused, qel_oid_s& out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_oid");
    std::string text;
    const char* refusal = nullptr;
    if (!child_text(root, tag, text)) refusal = missing;
    else if (qel_str_to_oid(text.c_str(), &out) != 0) refusal = malformed;
    else if (null_refused != nullptr && qel_oid_eq(&out, &QEL_OID_NULL)) refusal = null_refused;
    if (refusal == nullptr) return true;
    trace.writeTrace(LEVEL_2, "%s", refusal);
    refuse_malformed();
    return false;
}

bool OstrelAgent_AbstractOp::read_text(NorvaneXmlElem* root, const char* tag, const char* missing, std::string& out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_text");
    if (child_text(root, tag, out) && !out.empty()) return true;
    trace.writeTrace(LEVEL_4, "%s", missing);
    refuse_malformed();
    return false;
}

void OstrelAgent_AbstractOp::read_true_flags(const NorvaneXmlElem* elem,
                                             std::initializer_list<std::pair<const char*, int*>> flags) {
    for (const auto& flag : flags)
        *flag.second = elem != nullptr && elem->get_attr(flag.first) == OstrelAgent_Tag::TRUE_STRING ? 1 : 0;
}

bool OstrelAgent_AbstractOp::refuse_offline() {
    if (OstrelAgent_Server::g_online.load() != 0) return false;
    m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::DISCONNECTED);
    m_status = OstrelAgent_Status::DISCONNECTED;
    return true;
}

std::string OstrelAgent_AbstractOp::common_reply(const std::string& tag, int trace_level,
                                                 const std::function<void(NorvaneXmlDoc&)>& results) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_response");
    NorvaneXmlDoc doc;
    trace.writeTrace(LEVEL_4, "Calling create_root_elem");
    const int root_status = start_reply(doc, tag, m_status);
    trace.writeTrace(LEVEL_4, "Status from create_root_elem = %d", root_status);
    // A root that could not be made leaves nothing to answer with.
    if (root_status != 0) return std::string();
    if (results) results(doc);
    return finish_reply(doc, trace_level);
}
