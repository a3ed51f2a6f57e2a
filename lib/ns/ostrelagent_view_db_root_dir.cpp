#include "lib/ns/ostrelagent_view_db_root_dir.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ostrelagent_view_db_vob.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_root_dir";

using Trace = OstrelAgent_Trace;

constexpr vob_mtype_t DIR_VERSION = 3;

} // namespace

int OstrelAgent_View_db_root_dir::load_data() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "load_data");
    if (m_vob_dbid != 0) return 0;
    int status = ostrel_db_vob_lookup(&m_vob, &m_vob_dbid);
    if (status == QEL_ST_NOT_FOUND) {
        OstrelAgent_View_db_vob vob(m_vob);
        return vob.create_vob("", "", m_vob_dbid) == 0 ? 0 : QEL_ST_NO_MEMORY;
    }
    if (status != 0) m_vob_dbid = 0;
    return status;
}

bool OstrelAgent_View_db_root_dir::has_root_dir() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "has_root_dir");
    if (load_data() != 0) return false;
    return m_dbid != 0 || ostrel_db_vob_has_root_dir(m_vob_dbid);
}

int OstrelAgent_View_db_root_dir::get_root_dir(unsigned& dbid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_root_dir");
    int status = load_data();
    if (status != 0) return status;
    if (m_dbid != 0) {
        dbid = m_dbid;
        return 0;
    }
    unsigned gn = 0;
    status = ostrel_db_get_root_dir(m_vob_dbid, &dbid, &gn);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't get root dir dbid.");
        dbid = 0;
        return status;
    }
    if (is_stale_gn(trace, "root", gn)) return QEL_ST_STALE_GENERATION;
    m_dbid = dbid;
    return 0;
}

int OstrelAgent_View_db_root_dir::get_info(unsigned dbid, unsigned& elem_dbid, ostrel_vstat& root,
                                           ostrel_vstat& elem) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_info_dbid");
    int status = load_data();
    if (status != 0) return status;
    if (m_dbid == 0) m_dbid = dbid;
    root = ostrel_vstat{};
    root.vstat.mtype = DIR_VERSION;
    int checked_out = 0;
    qel_oid_s scope{};
    unsigned gn = 0;
    status = ostrel_db_root_dir_get_info(m_vob_dbid, &root.vstat.obj_oid, &checked_out, &root.vstat.event_time,
                                         &root.vstat.fstat, &scope, &gn);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get root dir info.");
        return status;
    }
    root.checked_out = checked_out;
    if (is_stale_gn(trace, "root", gn)) return QEL_ST_STALE_GENERATION;
    if ((status = element_record(trace, elem)) != 0) {
        elem_dbid = 0;
        return status;
    }
    root.vstat.elem_oid = elem.vstat.elem_oid;
    elem_dbid = m_elem_dbid;
    return 0;
}

int OstrelAgent_View_db_root_dir::get_info(const qel_oid_s& oid, unsigned& elem_dbid, ostrel_vstat& root,
                                           ostrel_vstat& elem) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_info_oid");
    int status = load_data();
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't load vob object.");
        return status;
    }
    unsigned dbid = 0;
    if ((status = ostrel_db_vns_ver_lookup(m_vob_dbid, &oid, &dbid)) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't resolve root dir oid.");
        return status;
    }
    return get_info(dbid, elem_dbid, root, elem);
}

int OstrelAgent_View_db_root_dir::create(const qel_oid_s& scope, unsigned gn, int readdir_state, ostrel_vstat& root,
                                         ostrel_vstat& elem, unsigned& root_dbid, unsigned& elem_dbid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "create");
    root_dbid = 0;
    elem_dbid = 0;
    if (trace.shouldTrace(Trace::TRACE_LEVEL_4)) {
        char vob[QEL_UUID_STR_SIZE], scope_text[QEL_OID_STR_SIZE];
        trace.writeTrace("creating vobroot %s mtype=%d co=%d gn=%u scope=%s", qel_uuid_to_str(&m_vob, vob),
                         static_cast<int>(root.vstat.mtype), static_cast<int>(root.checked_out), gn,
                         qel_oid_to_str(&scope, scope_text));
    }
    if (load_data() != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    unsigned found = 0;
    // Whether the element is checked out is the selected version's to say,
    // as for any other version: the element's own status carries no such
    // mark.
    int status = element_step(trace, root.checked_out, elem.vstat, root.vstat.fstat, &found);
    if (status != 0) return status;
    // A root keeps the element it knew.
    if (m_elem_dbid == 0) m_elem_dbid = found;
    elem_dbid = m_elem_dbid;
    ptime_fstat fstat(root.vstat.fstat);
    status = ostrel_db_create_root_dir(m_vob_dbid, &root.vstat.obj_oid, &root.vstat.elem_oid, &root.vstat.event_time,
                                       &fstat.fstat, &scope, gn, readdir_state, &root_dbid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't create root directory.");
        root_dbid = 0;
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    m_dbid = root_dbid;
    return 0;
}
