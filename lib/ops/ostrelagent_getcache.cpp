#include "lib/ops/ostrelagent_getcache.h"

#include <cstdio>

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/imsg/imsg.h"
#include "xml/norvane_xml_doc.h"

namespace {

const char* const kClass = "OstrelAgent_GetCache";
const char* const TAG_CACHE = "cache";
const char* const TAG_CACHE_VALUE = "cache-value";
const char* const ATTR_CACHE_NAME = "name";
const char* const ATTR_CACHE_VALUE = "value";

// By statistic number.
const char* const STATISTIC_NAMES[] = {
    "VIEW_STATS_TYPE_LUP_COUNT",        "VIEW_STATS_TYPE_LUP_SIZE",         "VIEW_STATS_TYPE_LUP_CAPACITY",
    "VIEW_STATS_TYPE_LUP_REQS",         "VIEW_STATS_TYPE_LUP_HITS",         "VIEW_STATS_TYPE_LUP_REQS_ALL",
    "VIEW_STATS_TYPE_LUP_HITS_ALL",     "VIEW_STATS_TYPE_LUP_MISSBH",       "VIEW_STATS_TYPE_LUP_MISSBH_ALL",
    "VIEW_STATS_TYPE_RDDIR_COUNT",      "VIEW_STATS_TYPE_RDDIR_SIZE",       "VIEW_STATS_TYPE_RDDIR_CAPACITY",
    "VIEW_STATS_TYPE_RDDIR_REQS",       "VIEW_STATS_TYPE_RDDIR_HITS",       "VIEW_STATS_TYPE_RDDIR_REQS_ALL",
    "VIEW_STATS_TYPE_RDDIR_HITS_ALL",   "VIEW_STATS_TYPE_FSTAT_COUNT",      "VIEW_STATS_TYPE_FSTAT_SIZE",
    "VIEW_STATS_TYPE_FSTAT_CAPACITY",   "VIEW_STATS_TYPE_FSTAT_REQS",       "VIEW_STATS_TYPE_FSTAT_HITS",
    "VIEW_STATS_TYPE_FSTAT_REQS_ALL",   "VIEW_STATS_TYPE_FSTAT_HITS_ALL",   "VIEW_STATS_TYPE_OBJ_COUNT",
    "VIEW_STATS_TYPE_OBJ_SIZE",         "VIEW_STATS_TYPE_OBJ_CAPACITY",     "VIEW_STATS_TYPE_OBJ_REQS",
    "VIEW_STATS_TYPE_OBJ_HITS",         "VIEW_STATS_TYPE_OBJ_REQS_ALL",     "VIEW_STATS_TYPE_OBJ_HITS_ALL",
    "VIEW_STATS_TYPE_OBJ_RECLAIMS",     "VIEW_STATS_TYPE_OBJ_RECLAIMS_ALL", "VIEW_STATS_TYPE_LUP_FLUSH",
    "VIEW_STATS_TYPE_LUP_EJECT",        "VIEW_STATS_TYPE_RDDIR_FLUSH",      "VIEW_STATS_TYPE_RDDIR_EJECT",
    "VIEW_STATS_TYPE_FSTAT_FLUSH",      "VIEW_STATS_TYPE_FSTAT_EJECT",      "VIEW_STATS_TYPE_OBJ_FLUSH",
    "VIEW_STATS_TYPE_OBJ_EJECT",        "VIEW_STATS_TYPE_TOTAL_SIZE",
};
static_assert(sizeof STATISTIC_NAMES / sizeof STATISTIC_NAMES[0] == NS_CACHE_STATISTICS,
              "one name per statistic of the namespace cache");

} // namespace

OstrelAgent_GetCache::OstrelAgent_GetCache(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_GetCache::~OstrelAgent_GetCache() = default;

const char* OstrelAgent_GetCache::statistic_name(uint32_t number) {
    return number < NS_CACHE_STATISTICS ? STATISTIC_NAMES[number] : "Unknown";
}

void OstrelAgent_GetCache::parse_request() { parse_frame(Path_Rule::ABSENT); }

void OstrelAgent_GetCache::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    // A copy that could not be made answers as a failure with no rows,
    // never as a cache without statistics.
    m_status = OstrelAgent_Util::qel_to_ostrel_status(ns_cache_get_stats(m_statistics));
}

std::string OstrelAgent_GetCache::get_response() {
    return common_reply(OstrelAgent_Tag::GETCACHE, OstrelAgent_Trace::TRACE_LEVEL_4, [this](NorvaneXmlDoc& doc) {
        doc.push_elem(TAG_CACHE);
        for (const ns_statistic& statistic : m_statistics) {
            if (statistic.number >= NS_CACHE_STATISTICS)
                imsg_print(IMSG_KIND_ERR, "Unknown cache value %d\n", -1, static_cast<int>(statistic.number));
            char value[64];
            std::snprintf(value, sizeof value, "%d", static_cast<int>(statistic.value));
            doc.push_elem(TAG_CACHE_VALUE);
            doc.add_attr(ATTR_CACHE_NAME, statistic_name(statistic.number));
            doc.add_attr(ATTR_CACHE_VALUE, value);
            doc.pop_elem();
        }
        doc.pop_elem();
    });
}
