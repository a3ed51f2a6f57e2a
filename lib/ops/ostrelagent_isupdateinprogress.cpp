#include "lib/ops/ostrelagent_isupdateinprogress.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ops/ostrelagent_view_query.h"

namespace {
const char* const kClass = "OstrelAgent_IsUpdateInProgress";
const char* const TAG_IS_UPDATE_IN_PROGRESS = "is-update-in-progress";
} // namespace

OstrelAgent_IsUpdateInProgress::OstrelAgent_IsUpdateInProgress(const std::string& request_text,
                                                               NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_IsUpdateInProgress::~OstrelAgent_IsUpdateInProgress() = default;

void OstrelAgent_IsUpdateInProgress::parse_request() { parse_frame(Path_Rule::ABSENT); }

void OstrelAgent_IsUpdateInProgress::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
}

std::string OstrelAgent_IsUpdateInProgress::get_response() {
    // The slot as it is when the answer leaves, not when the request came.
    const bool in_progress = OstrelAgent_View_Base::update_in_progress();
    return OstrelAgent_View_Query::yes_no_reply(*this, OstrelAgent_Tag::ISUPDATEINPROGRESS, TAG_IS_UPDATE_IN_PROGRESS,
                                                in_progress ? 1 : 0);
}
