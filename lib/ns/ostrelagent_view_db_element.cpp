#include "lib/ns/ostrelagent_view_db_element.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_element";

using Trace = OstrelAgent_Trace;

// Positions of the agent catalog's texts for a failed checkout record.
constexpr int MSG_ELEM_INFO = 98;
constexpr int MSG_ELEM_CO_SAVE = 99;

} // namespace

int OstrelAgent_View_db_element::get_ostrelstat(ostrel_vstat& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_ostrelstat");
    out = ostrel_vstat{};
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int checked_out = 0;
    int status = ostrel_db_elem_get_info(m_vob_dbid, m_dbid, &out.vstat.obj_oid, &out.vstat.mtype, &checked_out,
                                         &out.vstat.event_time, &out.vstat.fstat);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get element info: %s", qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    out.checked_out = checked_out;
    out.vstat.elem_oid = out.vstat.obj_oid;
    return 0;
}

int OstrelAgent_View_db_element::get_info(const qel_oid_s& oid, unsigned& dbid, ostrel_vstat& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_info");
    dbid = 0;
    if (load_data() != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't load vob object.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    int status = ostrel_db_elem_lookup(m_vob_dbid, &oid, &m_dbid);
    if (status != 0) {
        char text[QEL_OID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unknown object OID %s: %s", qel_oid_to_str(&oid, text),
                         qel_strerror(status));
        m_dbid = 0;
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    dbid = m_dbid;
    return get_ostrelstat(out);
}

int OstrelAgent_View_db_element::set_co_ver_oid(const qel_oid_s& oid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "set_co_ver_oid");
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int flag = qel_oid_eq(&oid, &QEL_OID_NULL) ? 0 : 1;
    int status = ostrel_db_elem_set_checkedout(m_vob_dbid, m_dbid, &oid, flag);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't save vob %d element %d checkout info: %s",
                         static_cast<int>(m_vob_dbid), static_cast<int>(m_dbid), qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return 0;
}

int OstrelAgent_View_db_element::get_co_ver_oid(qel_oid_s& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_co_ver_oid");
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int flag = 0;
    int status = ostrel_db_elem_get_checkedout(m_vob_dbid, m_dbid, &out, &flag);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get vob %d element %d checkout info: %s",
                         static_cast<int>(m_vob_dbid), static_cast<int>(m_dbid), qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return 0;
}

int OstrelAgent_View_db_element::get_any_version(unsigned& ver_dbid, ostrel_vstat& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_any_version");
    if (load_data() != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't load vob object.");
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    int status = ostrel_db_elem_get_ver(m_vob_dbid, m_dbid, &ver_dbid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't get version for element %d: %s.\n", static_cast<int>(m_dbid),
                         qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    OstrelAgent_View_db_version version(ver_dbid, m_vob, m_vob_dbid);
    return version.get_ostrelstat(out);
}

int OstrelAgent_View_db_element::set_elem_co_ver_oid(const qel_uuid_s& vob, const qel_oid_s& elem_oid,
                                                     const qel_oid_s& co_ver_oid, std::string& msg) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "set_elem_co_ver_oid");
    OstrelAgent_View_db_element elem(0, vob);
    unsigned dbid = 0;
    ostrel_vstat record;
    if (elem.get_info(elem_oid, dbid, record) != 0) {
        msg += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, MSG_ELEM_INFO);
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (elem.set_co_ver_oid(co_ver_oid) != 0) {
        msg += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, MSG_ELEM_CO_SAVE);
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return 0;
}
