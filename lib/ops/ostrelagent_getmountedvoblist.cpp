#include "lib/ops/ostrelagent_getmountedvoblist.h"

#include <map>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_vob_mount_info.h"
#include "lib/ops/ostrelagent_view_query.h"
#include "xml/norvane_xml_doc.h"

namespace {
const char* const kClass = "OstrelAgent_Getmountedvoblist";
const char* const TAG_MOUNTED_VOB_LIST = "mounted-vob-list";
} // namespace

OstrelAgent_Getmountedvoblist::OstrelAgent_Getmountedvoblist(const std::string& request_text,
                                                             NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Getmountedvoblist::~OstrelAgent_Getmountedvoblist() = default;

void OstrelAgent_Getmountedvoblist::parse_request() { parse_frame(Path_Rule::ABSENT); }

void OstrelAgent_Getmountedvoblist::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
}

std::string OstrelAgent_Getmountedvoblist::get_response() {
    // A copy, so that mounts and unmounts never wait for the reply to be
    // built.
    std::map<std::string, VOB_mount_info> mounted;
    {
        OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
        mounted = OstrelAgent_Config::g_mounted_vobs;
    }
    return common_reply(OstrelAgent_Tag::GETMOUNTEDVOBLIST, OstrelAgent_Trace::TRACE_LEVEL_4, [&](NorvaneXmlDoc& doc) {
        doc.push_elem(TAG_MOUNTED_VOB_LIST);
        for (const auto& vob : mounted) doc.add_elem(OstrelAgent_View_Query::TAG_VOB_TAG, vob.first);
        doc.pop_elem();
    });
}
