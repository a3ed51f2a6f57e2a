#include "lib/ns/ostrelagent_view_db_object.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ns/ostrelagent_view_db_symlink.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_View_db_object";

using Trace = OstrelAgent_Trace;

// The object of `mtype`, or null (traced) for a kind this layer has no
// class for.
std::unique_ptr<OstrelAgent_View_db_object> make(const Trace& trace, vob_mtype_t mtype, const qel_uuid_s& vob,
                                                 unsigned vob_dbid, unsigned dbid) {
    switch (mtype) {
    case 2: case 5: return std::make_unique<OstrelAgent_View_db_element>(dbid, vob, vob_dbid);
    case 3: case 6: case 8: return std::make_unique<OstrelAgent_View_db_version>(dbid, vob, vob_dbid);
    case 7: return std::make_unique<OstrelAgent_View_db_symlink>(dbid, vob, vob_dbid);
    default: {
        char text[QEL_UUID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unexpected mtype %d, getting type of %s", static_cast<int>(mtype),
                         qel_uuid_to_str(&vob, text));
        return nullptr;
    }
    }
}

// The VOB's database id; 0 (traced) when the view database does not know it.
unsigned find_vob(const Trace& trace, const qel_uuid_s& vob) {
    unsigned vob_dbid = 0;
    int status = ostrel_db_vob_lookup(&vob, &vob_dbid);
    if (status != 0) {
        char text[QEL_UUID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "unknown VOB uuid %s: %s", qel_uuid_to_str(&vob, text),
                         qel_strerror(status));
    }
    return vob_dbid;
}

} // namespace

ptime_fstat::ptime_fstat(const qel_fstat_db_s& from) : fstat(from) {
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view != nullptr && view->get_preserve_vob_mtime() != 0) return;
    struct timeval now;
    OstrelAgent_Util::get_view_time(&now);
    fstat.mtime = {static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec)};
}

OstrelAgent_View_db_object::OstrelAgent_View_db_object(unsigned dbid, const qel_uuid_s& vob, unsigned vob_dbid)
    : m_vob(vob), m_vob_dbid(vob_dbid), m_dbid(dbid) {}

OstrelAgent_View_db_object::~OstrelAgent_View_db_object() = default;

int OstrelAgent_View_db_object::get_dbid(unsigned& dbid) {
    if (m_dbid == 0) return OstrelAgent_Status::GENERAL_FAILURE;
    dbid = m_dbid;
    return 0;
}

int OstrelAgent_View_db_object::invalidate_obj() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "invalidate_obj");
    if (!has_data(trace)) return OstrelAgent_Status::GENERAL_FAILURE;
    return OstrelAgent_Util::qel_to_ostrel_status(ostrel_db_obj_set_validated(m_vob_dbid, m_dbid, 0));
}

int OstrelAgent_View_db_object::load_data() {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "load_data");
    if (m_vob_dbid != 0) return 0;
    return ostrel_db_vob_lookup(&m_vob, &m_vob_dbid);
}

bool OstrelAgent_View_db_object::has_data(const OstrelAgent_Trace& trace) const {
    if (m_vob_dbid != 0 && m_dbid != 0) return true;
    trace.writeTrace(Trace::TRACE_LEVEL_2, "Caller didn't load data.");
    return false;
}

std::unique_ptr<OstrelAgent_View_db_object> OstrelAgent_View_db_object::get_object(const qel_uuid_s& vob,
                                                                                   unsigned dbid,
                                                                                   vob_mtype_t& mtype) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_object");
    mtype = 0;
    unsigned vob_dbid = find_vob(trace, vob);
    if (vob_dbid == 0) return nullptr;
    int status = ostrel_db_obj_get_mtype(vob_dbid, dbid, &mtype);
    if (status != 0) {
        char text[QEL_UUID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "error getting type of %s: %s", qel_uuid_to_str(&vob, text),
                         qel_strerror(status));
        return nullptr;
    }
    return make(trace, mtype, vob, vob_dbid, dbid);
}

std::unique_ptr<OstrelAgent_View_db_object> OstrelAgent_View_db_object::get_object(const qel_uuid_s& vob,
                                                                                   const qel_oid_s& oid,
                                                                                   vob_mtype_t& mtype) {
    Trace trace(Trace::OSTRELAGENT, CLASS_NAME, "get_object_oid");
    mtype = 0;
    unsigned vob_dbid = find_vob(trace, vob);
    if (vob_dbid == 0) return nullptr;
    unsigned dbid = 0;
    int status = ostrel_db_obj_lookup(vob_dbid, &oid, &dbid, &mtype);
    if (status != 0) {
        char text[QEL_OID_STR_SIZE];
        trace.writeTrace(Trace::TRACE_LEVEL_2, "error getting dbid/type of %s: %s", qel_oid_to_str(&oid, text),
                         qel_strerror(status));
        return nullptr;
    }
    return make(trace, mtype, vob, vob_dbid, dbid);
}
