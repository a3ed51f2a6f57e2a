#include "lib/core/ostrelagent_view_db_version.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/fetch/ostrelagent_metadata.h"

int OstrelAgent_View_db_version::lookup(const std::string& name, unsigned& dbid, vob_mtype_t& mtype) {
    if (m_vob_dbid == 0) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_View_db_version", "lookup");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Can't load vob object.");
        return QEL_ST_NO_MEMORY;
    }
    OstrelAgent_Metadata::Scripted_Object dir, entry, version;
    if (!OstrelAgent_Metadata::scripted_object(m_vob, m_dbid, dir)) return QEL_ST_NOT_FOUND;
    for (const auto& e : dir.entries) {
        if (e.first != name || !OstrelAgent_Metadata::scripted_object(m_vob, e.second, entry)) continue;
        // A loaded directory version lists an element by its loaded version.
        bool element = entry.mtype == 2 || entry.mtype == 5;
        if (element && !OstrelAgent_Metadata::scripted_object(m_vob, entry.selected, version)) return QEL_ST_NOT_FOUND;
        const auto& listed = element ? version : entry;
        dbid = listed.dbid;
        mtype = listed.mtype;
        return 0;
    }
    return QEL_ST_NOT_FOUND;
}
