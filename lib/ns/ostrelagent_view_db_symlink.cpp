#include "lib/ns/ostrelagent_view_db_symlink.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_content_fetch.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_symlink";

using Trace = OstrelAgent_Trace;

// Room for a link's target and its NUL.
constexpr size_t LINK_TEXT_SIZE = 1024;
// The operation code of a parent's invalidation after a load.
constexpr vob_op_t PARENT_INVALIDATION = 13;

} // namespace

int OstrelAgent_View_db_symlink::get_ostrelstat(ostrel_vstat& out) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_ostrelstat");
    out = ostrel_vstat{};
    out.vstat.mtype = 7;
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    int status = ostrel_db_slink_get_info(m_vob_dbid, m_dbid, LINK_TEXT_SIZE, &out.vstat.obj_oid,
                                          &out.vstat.event_time, nullptr, out.link_text, &out.vstat.fstat);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "can't get symlink info: %s", qel_strerror(status));
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    return 0;
}

int OstrelAgent_View_db_symlink::create(unsigned parent, const qel_oid_s& scope, unsigned gn, ostrel_vstat& link,
                                        const char* name, bool inval_parent, unsigned& dbid) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "create");
    dbid = 0;
    if (load_data() != 0) return OstrelAgent_Status::GENERAL_FAILURE;
    ptime_fstat fstat(link.vstat.fstat);
    qel_oid_s parent_oid{};
    int status = ostrel_db_create_slink(m_vob_dbid, parent, &link.vstat.obj_oid, &link.vstat.event_time, name,
                                        link.link_text, &fstat.fstat, &scope, gn, &dbid, &parent_oid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Can't create db version.");
        dbid = 0;
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Created symlink, new dbid=%d target=\"%s\"", static_cast<int>(dbid),
                     link.link_text);
    if (inval_parent) Ns_Content_Fetch::get().view_inval_parent(m_vob, parent_oid, PARENT_INVALIDATION);
    m_dbid = dbid;
    link.vstat.fstat.nodeid = dbid;
    return 0;
}
