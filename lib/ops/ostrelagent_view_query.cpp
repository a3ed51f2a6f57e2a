#include "lib/ops/ostrelagent_view_query.h"

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "xml/norvane_xml_doc.h"

void OstrelAgent_View_Query::parse_vob_tag(OstrelAgent_AbstractOp& op, std::string& vob_tag) {
    NorvaneXmlElem* root = op.parse_frame(OstrelAgent_AbstractOp::Path_Rule::ABSENT);
    if (root != nullptr) op.read_text(root, TAG_VOB_TAG, "No vob_tag", vob_tag);
}

int OstrelAgent_View_Query::mounted_with(const std::string& vob_tag, int VOB_mount_info::*flag,
                                         const OstrelAgent_Trace& trace, const char* flag_name) {
    const VOB_mount_info info = OstrelAgent_Config::get_instance()->get_mount_info(vob_tag);
    const int answer = info.mounted != 0 ? info.*flag : 0;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "isvobpublic ipc says mounted: [%d] %s: [%d]", info.mounted,
                     flag_name, answer);
    return answer;
}

std::string OstrelAgent_View_Query::yes_no_reply(OstrelAgent_AbstractOp& op, const std::string& tag,
                                                 const char* answer_tag, int answer) {
    return op.common_reply(tag, OstrelAgent_Trace::TRACE_LEVEL_4, [&](NorvaneXmlDoc& doc) {
        doc.add_elem(answer_tag, answer != 0 ? OstrelAgent_Tag::TRUE_STRING : OstrelAgent_Tag::FALSE_STRING);
    });
}
