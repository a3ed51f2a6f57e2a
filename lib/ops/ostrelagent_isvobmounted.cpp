#include "lib/ops/ostrelagent_isvobmounted.h"

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ops/ostrelagent_view_query.h"

namespace {
const char* const kClass = "OstrelAgent_Isvobmounted";
const char* const TAG_MOUNT_STATE = "mount-state";
} // namespace

OstrelAgent_Isvobmounted::OstrelAgent_Isvobmounted(const std::string& request_text,
                                                   NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Isvobmounted::~OstrelAgent_Isvobmounted() = default;

void OstrelAgent_Isvobmounted::parse_request() { OstrelAgent_View_Query::parse_vob_tag(*this, m_vob_tag); }

void OstrelAgent_Isvobmounted::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    m_mounted = OstrelAgent_Config::get_instance()->get_mount_state(m_vob_tag);
}

std::string OstrelAgent_Isvobmounted::get_response() {
    return OstrelAgent_View_Query::yes_no_reply(*this, OstrelAgent_Tag::ISVOBMOUNTED, TAG_MOUNT_STATE, m_mounted);
}
