#include "lib/ns/ostrelagent_view_db_version.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ns_content_fetch.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_version";

using Trace = OstrelAgent_Trace;

// The status of an operation on a version whose VOB is not loaded.
constexpr int NO_VOB = QEL_ST_NO_MEMORY;
// The operation code of a parent's invalidation after a load.
constexpr vob_op_t PARENT_INVALIDATION = 13;

} // namespace

int OstrelAgent_View_db_version::load_data() { return OstrelAgent_View_db_object::load_data(); }

bool OstrelAgent_View_db_version::has_vob(const OstrelAgent_Trace& trace) const {
    if (m_vob_dbid != 0) return true;
    trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't load vob object.");
    return false;
}

int OstrelAgent_View_db_version::set_stale(bool stale) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "set_stale");
    if (!has_vob(trace)) return NO_VOB;
    return ostrel_db_ver_set_stale(m_vob_dbid, m_dbid, stale ? 1 : 0);
}

bool OstrelAgent_View_db_version::is_stale() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "is_stale");
    int flag = 0;
    return has_vob(trace) && ostrel_db_ver_get_stale(m_vob_dbid, m_dbid, &flag) == 0 && flag != 0;
}

int OstrelAgent_View_db_version::set_load_done(bool done) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "set_load_done");
    if (!has_vob(trace)) return NO_VOB;
    return ostrel_db_ver_set_load_done(m_vob_dbid, m_dbid, done ? 1 : 0);
}

int OstrelAgent_View_db_version::readdir(std::vector<ostrelagent_dirent>& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "readdir");
    if (!has_vob(trace)) return NO_VOB;
    return ostrel_db_ver_get_sub_vers(m_vob_dbid, m_dbid, out);
}

bool OstrelAgent_View_db_version::is_readdir_done() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "is_readdir_done");
    if (!has_vob(trace)) return false;
    int flag = 0;
    qel_oid_s scope{};
    unsigned gn = 0;
    if (ostrel_db_ver_get_readdir_done(m_vob_dbid, m_dbid, &flag, &scope, &gn) != 0) return false;
    return !is_stale_gn(trace, "object", gn) && flag != 0;
}

int OstrelAgent_View_db_version::set_readdir_done(bool done) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "set_readdir_done");
    if (!has_vob(trace)) return NO_VOB;
    bool flush_all = false;
    qel_oid_s oid{};
    int status = ostrel_db_ver_set_readdir_done(m_vob_dbid, m_dbid, done ? 1 : 0, &flush_all, &oid);
    if (status != 0) return status;
    if (!flush_all) {
        Ns_Content_Fetch::get().view_inval_parent(m_vob, oid, PARENT_INVALIDATION);
        return 0;
    }
    if (OstrelAgent_View_Base::get_view() == nullptr) {
        trace.writeTrace(Trace::TRACE_LEVEL_4, "No view object available");
        return NO_VOB;
    }
    // The whole view's flush goes to the pool: the caller may hold the
    // namespace mutex that the flush takes.
    Ns_Content_Fetch::get().view_inval_view_in_background();
    return 0;
}

int OstrelAgent_View_db_version::lookup(const std::string& name, unsigned& dbid, vob_mtype_t& mtype) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "lookup");
    if (!has_vob(trace)) return NO_VOB;
    qel_oid_s scope{};
    unsigned gn = 0;
    int status = ostrel_db_vns_ver_lookup_name(m_vob_dbid, m_dbid, name.c_str(), &dbid, &mtype, &scope, &gn);
    if (status != 0) return status;
    return is_stale_gn(trace, "object", gn) ? QEL_ST_STALE_GENERATION : 0;
}

int OstrelAgent_View_db_version::get_info(unsigned dbid, size_t size, unsigned& elem_dbid, char* name,
                                          ostrel_vstat& ver, ostrel_vstat& elem) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_info_dbid");
    elem_dbid = 0;
    if (m_vob_dbid == 0) return OstrelAgent_Status::GENERAL_FAILURE;
    if (m_dbid == 0) m_dbid = dbid;
    ver = ostrel_vstat{};
    int checked_out = 0;
    int status = ostrel_db_ver_get_info(m_vob_dbid, m_dbid, size, &ver.vstat.obj_oid, &ver.vstat.mtype, &checked_out,
                                        &ver.vstat.event_time, name, &ver.vstat.fstat, &ver.vstat.elem_oid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get version info.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    ver.checked_out = checked_out;
    trace.writeTrace(Trace::TRACE_LEVEL_3, "version dbid %d link count %u", static_cast<int>(m_dbid),
                     ver.vstat.fstat.nlink);
    if (element_record(trace, elem) != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    elem_dbid = m_elem_dbid;
    return 0;
}

int OstrelAgent_View_db_version::get_info(const qel_oid_s& oid, size_t size, unsigned& elem_dbid, char* name,
                                          ostrel_vstat& ver, ostrel_vstat& elem) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_info_oid");
    elem_dbid = 0;
    if (!has_vob(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    unsigned dbid = 0;
    if (ostrel_db_vns_ver_lookup(m_vob_dbid, &oid, &dbid) != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't resolve version oid.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return get_info(dbid, size, elem_dbid, name, ver, elem);
}

int OstrelAgent_View_db_version::create(unsigned parent, const qel_oid_s& scope, unsigned gn, int readdir_state,
                                        bool inval_parent, ostrel_vstat& ver, view_vstat& elem, const char* name,
                                        unsigned& ver_dbid, unsigned& elem_dbid, qel_oid_s& scope_out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "create");
    ver_dbid = 0;
    elem_dbid = 0;
    if (OstrelAgent_View_db_object::load_data() != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    int status = element_step(trace, ver.checked_out, elem, ver.vstat.fstat, &m_elem_dbid);
    if (status != 0) return status;
    elem_dbid = m_elem_dbid;
    ptime_fstat fstat(ver.vstat.fstat);
    qel_oid_s parent_oid{};
    status = ostrel_db_create_version(m_vob_dbid, parent, &ver.vstat.obj_oid, &ver.vstat.elem_oid, ver.vstat.mtype,
                                      &ver.vstat.event_time, name, &fstat.fstat, &scope, gn, readdir_state, &ver_dbid,
                                      &scope_out, &parent_oid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't create db version: %s", qel_strerror(status));
        ver_dbid = 0;
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (inval_parent) Ns_Content_Fetch::get().view_inval_parent(m_vob, parent_oid, PARENT_INVALIDATION);
    m_dbid = ver_dbid;
    return 0;
}
