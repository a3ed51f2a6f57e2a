#include "lib/core/ostrelagent_view_db_element.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/fetch/ostrelagent_metadata.h"

namespace {

using Object = OstrelAgent_Metadata::Scripted_Object;

void record_of(const Object& obj, const qel_oid_s& elem_oid, ostrel_vstat& out) {
    out = ostrel_vstat{};
    out.vstat.fstat = obj.fstat;
    out.vstat.mtype = obj.mtype;
    out.vstat.obj_oid = obj.oid;
    out.vstat.elem_oid = elem_oid;
    out.checked_out = obj.checked_out;
}

} // namespace

int OstrelAgent_View_db_element::get_ostrelstat(ostrel_vstat& out) {
    Object elem;
    if (m_dbid == 0 || !OstrelAgent_Metadata::scripted_object(m_vob, m_dbid, elem))
        return OstrelAgent_Status::GENERAL_FAILURE;
    record_of(elem, elem.oid, out);
    return 0;
}

int OstrelAgent_View_db_element::get_co_ver_oid(qel_oid_s& out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_View_db_element", "get_co_ver_oid");
    Object elem, version;
    if (m_dbid == 0 || !OstrelAgent_Metadata::scripted_object(m_vob, m_dbid, elem)) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Caller didn't load data.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    out = QEL_OID_NULL;
    if (elem.checked_out && OstrelAgent_Metadata::scripted_object(m_vob, elem.selected, version)) out = version.oid;
    return 0;
}

int OstrelAgent_View_db_element::get_any_version(unsigned& ver_dbid, ostrel_vstat& out) {
    Object elem, version;
    if (m_dbid == 0 || !OstrelAgent_Metadata::scripted_object(m_vob, m_dbid, elem) ||
        !OstrelAgent_Metadata::scripted_object(m_vob, elem.selected, version)) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_View_db_element", "get_any_version");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Can't get version for element %u: %s.\n", m_dbid,
                         "none loaded");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    ver_dbid = version.dbid;
    record_of(version, elem.oid, out);
    return 0;
}
