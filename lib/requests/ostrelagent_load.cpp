#include "lib/requests/ostrelagent_load.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "xml/norvane_xml_elem.h"

namespace {
const char* const kClass = "OstrelAgent_Load";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
} // namespace

OstrelAgent_Load::OstrelAgent_Load(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Load::~OstrelAgent_Load() = default;

void OstrelAgent_Load::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    parse_path(root, true);
    if (m_status != 0) return;
    NorvaneXmlElem* flags = root->extract_child(LOAD_FLAGS);
    if (flags == nullptr) {
        refuse_malformed();
        trace.writeTrace(LEVEL_2, "No load flags");
        return;
    }
    const std::string treatment = flags->get_attr(HIJACK_TREATMENT);
    if (!OstrelAgent_Util::parse_hijack_treatment(treatment, m_hijack_treatment)) {
        refuse_malformed();
        trace.writeTrace(LEVEL_2, "Illegal hijack treatment flag: %s", treatment.c_str());
        return;
    }
    m_ptime = flags->get_attr(PTIME) == "true" ? 1 : 0;
}

void OstrelAgent_Load::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
}

std::string OstrelAgent_Load::get_response() {
    return envelope_reply(OstrelAgent_Tag::LOAD, m_status);
}
