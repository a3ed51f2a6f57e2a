#include "lib/ns/ostrelagent_view_db_abstract_ver.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_abstract_ver";

using Trace = OstrelAgent_Trace;

} // namespace

int OstrelAgent_View_db_abstract_ver::get_ostrelstat(ostrel_vstat& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_ostrelstat");
    out = ostrel_vstat{};
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int checked_out = 0;
    int status = ostrel_db_ver_get_vstat(m_vob_dbid, m_dbid, &out.vstat.obj_oid, &out.vstat.mtype,
                                         &out.vstat.event_time, &out.vstat.fstat, &checked_out, &out.vstat.elem_oid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get root dir info: %s", qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    out.checked_out = checked_out;
    trace.writeTrace(Trace::TRACE_LEVEL_3, "version dbid %d link count %u", static_cast<int>(m_dbid),
                     out.vstat.fstat.nlink);
    return 0;
}

int OstrelAgent_View_db_abstract_ver::get_scope(qel_oid_s& scope, unsigned& gn) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_scope");
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int status = ostrel_db_get_ver_scope(m_vob_dbid, m_dbid, &scope, &gn);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get scope info: %s", qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return 0;
}

int OstrelAgent_View_db_abstract_ver::invalidate_name(const char* name) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "invalidate_name");
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    return OstrelAgent_Util::qel_to_ostrel_status(ostrel_db_ver_set_validated(m_vob_dbid, m_dbid, name, 0));
}

int OstrelAgent_View_db_abstract_ver::element_step(const OstrelAgent_Trace& trace, int checked_out, view_vstat& elem,
                                                   qel_fstat_db_s& obj_fstat, unsigned* elem_dbid) {
    unsigned found = 0;
    int status = ostrel_db_elem_lookup(m_vob_dbid, &elem.elem_oid, &found);
    if (status == 0) {
        // A cleared checkout takes the null version id with it.
        if (ostrel_db_elem_set_checkedout(m_vob_dbid, found, checked_out != 0 ? nullptr : &QEL_OID_NULL,
                                          checked_out) != 0) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't update element checkedout status.");
            return OstrelAgent_Status::GENERAL_FAILURE;
        }
    } else {
        ptime_fstat fstat(elem.fstat);
        if (status != QEL_ST_NOT_FOUND ||
            ostrel_db_create_element(m_vob_dbid, &elem.elem_oid, &elem.event_time, &fstat.fstat, elem.mtype,
                                     checked_out, &found) != 0) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't create element.");
            return OstrelAgent_Status::GENERAL_FAILURE;
        }
    }
    *elem_dbid = found;
    elem.fstat.nodeid = found;
    obj_fstat.nodeid = found;
    return 0;
}

int OstrelAgent_View_db_abstract_ver::element_record(const OstrelAgent_Trace& trace, ostrel_vstat& elem) {
    elem = ostrel_vstat{};
    int status = 0;
    if (m_elem_dbid == 0 && (status = ostrel_db_ver_get_elem(m_vob_dbid, m_dbid, &m_elem_dbid)) != 0) {
        m_elem_dbid = 0;
        return status;
    }
    int checked_out = 0;
    status = ostrel_db_elem_get_info(m_vob_dbid, m_elem_dbid, &elem.vstat.elem_oid, &elem.vstat.mtype, &checked_out,
                                     &elem.vstat.event_time, &elem.vstat.fstat);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't get element info.");
        return status;
    }
    elem.checked_out = checked_out;
    return 0;
}

bool OstrelAgent_View_db_abstract_ver::is_stale_gn(const OstrelAgent_Trace& trace, const char* what, unsigned gn) {
    if (gn >= OstrelAgent_View_Base::get_shown_gn()) return false;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "%s GN (%u) stale", what, gn);
    return true;
}
