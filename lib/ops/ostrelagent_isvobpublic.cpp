#include "lib/ops/ostrelagent_isvobpublic.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_vob_mount_info.h"
#include "lib/ops/ostrelagent_view_query.h"

namespace {
const char* const kClass = "OstrelAgent_IsVobPublic";
const char* const TAG_IS_PUBLIC = "is-public";
} // namespace

OstrelAgent_IsVobPublic::OstrelAgent_IsVobPublic(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_IsVobPublic::~OstrelAgent_IsVobPublic() = default;

void OstrelAgent_IsVobPublic::parse_request() { OstrelAgent_View_Query::parse_vob_tag(*this, m_vob_tag); }

void OstrelAgent_IsVobPublic::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    m_answer = OstrelAgent_View_Query::mounted_with(m_vob_tag, &VOB_mount_info::is_public, trace, "public");
}

std::string OstrelAgent_IsVobPublic::get_response() {
    return OstrelAgent_View_Query::yes_no_reply(*this, OstrelAgent_Tag::ISVOBPUBLIC, TAG_IS_PUBLIC, m_answer);
}
