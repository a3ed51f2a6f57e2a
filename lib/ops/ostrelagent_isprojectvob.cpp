#include "lib/ops/ostrelagent_isprojectvob.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_vob_mount_info.h"
#include "lib/ops/ostrelagent_view_query.h"

namespace {
const char* const kClass = "OstrelAgent_IsProjectVob";
const char* const TAG_IS_PROJECT_VOB = "is-project-vob";
} // namespace

OstrelAgent_IsProjectVob::OstrelAgent_IsProjectVob(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_IsProjectVob::~OstrelAgent_IsProjectVob() = default;

void OstrelAgent_IsProjectVob::parse_request() { OstrelAgent_View_Query::parse_vob_tag(*this, m_vob_tag); }

void OstrelAgent_IsProjectVob::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    m_answer = OstrelAgent_View_Query::mounted_with(m_vob_tag, &VOB_mount_info::is_project_vob, trace, "project");
}

std::string OstrelAgent_IsProjectVob::get_response() {
    return OstrelAgent_View_Query::yes_no_reply(*this, OstrelAgent_Tag::ISPROJECTVOB, TAG_IS_PROJECT_VOB, m_answer);
}
