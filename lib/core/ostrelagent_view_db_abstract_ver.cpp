#include "lib/core/ostrelagent_view_db_abstract_ver.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_metadata.h"

int OstrelAgent_View_db_abstract_ver::get_ostrelstat(ostrel_vstat& out) {
    out = ostrel_vstat{};
    OstrelAgent_Metadata::Scripted_Object version, elem;
    if (m_dbid == 0 || !OstrelAgent_Metadata::scripted_object(m_vob, m_dbid, version))
        return OstrelAgent_Status::GENERAL_FAILURE;
    out.vstat.fstat = version.fstat;
    out.vstat.mtype = version.mtype;
    out.vstat.obj_oid = version.oid;
    if (OstrelAgent_Metadata::scripted_object(m_vob, version.elem_dbid, elem)) out.vstat.elem_oid = elem.oid;
    out.checked_out = version.checked_out;
    m_elem_dbid = version.elem_dbid;
    return 0;
}
