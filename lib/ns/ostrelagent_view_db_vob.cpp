#include "lib/ns/ostrelagent_view_db_vob.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_View_db_vob";
}

int OstrelAgent_View_db_vob::lookup_vob(unsigned& dbid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "lookup_vob");
    dbid = 0;
    if (ostrel_db_vob_lookup(&m_vob, &m_vob_dbid) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    m_loaded = 1;
    dbid = m_vob_dbid;
    return 0;
}

int OstrelAgent_View_db_vob::create_vob(const std::string& host, const std::string& path, unsigned& dbid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "create_vob");
    view_vob record{};
    record.uuid = m_vob;
    record.host = host;
    record.path = path;
    if (ostrel_db_vob_create(&record) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Can't create vob for %s", path.c_str());
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    m_loaded = 1;
    m_vob_dbid = record.db_id;
    dbid = m_vob_dbid;
    return 0;
}
