#include "lib/fetch/ostrelagent_metadata_gdc_listener.h"

#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_view_db.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Metadata_GDC_Listener";
// A listing loads its names as a load that lists directories as they are met.
constexpr int READDIR_STATE = 3;
} // namespace

OstrelAgent_Metadata_GDC_Listener::OstrelAgent_Metadata_GDC_Listener(unsigned dir_dbid, const qel_uuid_s& vob)
    : m_dir_dbid(dir_dbid), m_vob(vob) {}

OstrelAgent_Metadata_GDC_Listener::~OstrelAgent_Metadata_GDC_Listener() = default;

void OstrelAgent_Metadata_GDC_Listener::process_dirent(ostrel_extended_dirent* entry) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, CLASS_NAME, "process_dirent");
    const char* name = entry->dirent.name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
    if (!OstrelAgent_Util::is_safe_name(name, entry->dirent.namlen)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "unsafe name '%s' of dbid %u skipped", name, m_dir_dbid);
        if (m_unsafe_count++ == 0) m_first_unsafe = name;
        return;
    }
    OstrelAgent_Metadata::replace_vstat_values(entry->obj_vstat.vstat);
    OstrelAgent_Metadata::replace_vstat_values(entry->elem_vstat.vstat);
    unsigned obj_dbid = 0, elem_dbid = 0;
    int status = OstrelAgent_View_db::add_db_entry(m_vob, entry->obj_vstat.vstat.mtype, name, m_dir_dbid,
                                                  entry->scope_oid, entry->scope_gn, READDIR_STATE, false,
                                                  entry->obj_vstat, entry->elem_vstat.vstat, obj_dbid, elem_dbid,
                                                  nullptr);
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "entry '%s' of dbid %u not stored: %d", name,
                         m_dir_dbid, status);
        m_status = status;
    }
    ++m_count;
}
