// Invalidation of what the view shows: the view database's records, the
// namespace cache's copies and the kernel's caches, of the whole view, of
// one object or of one name; now, or deferred to a pool worker.
#include <algorithm>
#include <memory>
#include <vector>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_metadata_bg_flush.h"
#include "lib/fetch/ostrelagent_metadata_support.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_object.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ns/ostrelagent_view_db_vob.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

using metadata_support::Trace;
using Util = OstrelAgent_Util;

// The directory versions whose listings an invalidation of the object
// `oid` (of kind `mtype`) changes: the one holding the object's loaded
// version, and that version itself when it is a directory.
std::vector<qel_oid_s> listed_dirs(const qel_uuid_s& vob, const qel_oid_s& oid, vob_mtype_t mtype) {
    std::vector<qel_oid_s> dirs;
    unsigned vob_dbid = 0, dbid = 0;
    if (OstrelAgent_View_db_vob(vob).lookup_vob(vob_dbid) != 0 || !OstrelAgent_View_db::obj_oid_to_dbid(oid, vob, dbid))
        return dirs;
    unsigned version = dbid;
    const bool element = mtype == 2 || mtype == 5;
    if (element && ostrel_db_elem_get_ver(vob_dbid, dbid, &version) != 0) return dirs;
    qel_oid_s dir{};
    unsigned parent = 0;
    if (ostrel_db_get_parent_dir(vob_dbid, version, &parent) == 0 && parent != 0 &&
        OstrelAgent_View_db::obj_dbid_to_oid(parent, vob, dir))
        dirs.push_back(dir);
    vob_mtype_t kind = 0;
    if (ostrel_db_obj_get_mtype(vob_dbid, version, &kind) == 0 && kind == 3 &&
        OstrelAgent_View_db::obj_dbid_to_oid(version, vob, dir))
        dirs.push_back(dir);
    return dirs;
}

} // namespace

int OstrelAgent_Metadata::view_inval_view(const OstrelAgent_KORVA_Ioctl* ioctl, bool ns, bool kernel, bool db) {
    Trace trace("view_inval_view");
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    const int db_status = db ? ostrel_db_cleanup_vns_recs(0) : 0;
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_VIEW, nullptr, nullptr, "", false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_view() : 0;
    return db_status != 0 ? db_status : ns_status != 0 ? ns_status : kernel_status;
}

int OstrelAgent_Metadata::view_inval_obj(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                         const qel_oid_s& oid, vob_op_t op, bool ns, bool kernel, bool db) {
    Trace trace("view_inval_obj");
    // The ids' texts only for a trace that is written: an update asks this
    // for every object.
    if (trace.shouldTrace(Trace::TRACE_LEVEL_4))
        trace.writeTrace(Trace::TRACE_LEVEL_4, "inval obj, VOB UUID %s, OBJ OID is %s", Util::id_text(vob).c_str(),
                         Util::id_text(oid).c_str());
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    if (db) invalidate_obj(vob, oid);
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_OBJ, &vob, &oid, "", false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_obj(vob, oid, op) : 0;
    return ns_status != 0 ? ns_status : kernel_status;
}

int OstrelAgent_Metadata::view_inval_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                          const qel_oid_s& dir_oid, const char* name, bool ns, bool kernel, bool db) {
    Trace trace("view_inval_name");
    if (trace.shouldTrace(Trace::TRACE_LEVEL_4))
        trace.writeTrace(Trace::TRACE_LEVEL_4, "inval name, VOB UUID %s, OBJ OID %s, name '%s'",
                         Util::id_text(vob).c_str(), Util::id_text(dir_oid).c_str(), name);
    if (ioctl == nullptr) return QEL_ST_NO_MEMORY;
    if (db) invalidate_name(vob, dir_oid, name);
    const int ns_status = ns ? locate_invalidate(VIEW_INVALIDATE_NAME, &vob, &dir_oid, name, false) : 0;
    const int kernel_status = kernel ? ioctl->view_inval_name(vob, dir_oid, name) : 0;
    return ns_status != 0 ? ns_status : kernel_status;
}

void OstrelAgent_Metadata::view_inval_obj_and_name(const OstrelAgent_KORVA_Ioctl* ioctl, const qel_uuid_s& vob,
                                                   const qel_oid_s& oid, vob_op_t op, const qel_oid_s& dir_oid,
                                                   const char* name, int& obj_status, int& name_status) {
    Trace trace("view_inval_obj_and_name");
    if (trace.shouldTrace(Trace::TRACE_LEVEL_4))
        trace.writeTrace(Trace::TRACE_LEVEL_4, "inval obj and name, VOB UUID %s, OBJ OID %s, DIR OID %s, name '%s'",
                         Util::id_text(vob).c_str(), Util::id_text(oid).c_str(), Util::id_text(dir_oid).c_str(),
                         name);
    if (ioctl == nullptr) {
        obj_status = name_status = QEL_ST_NO_MEMORY;
        return;
    }
    const int obj_ns = locate_invalidate(VIEW_INVALIDATE_OBJ, &vob, &oid, "", false);
    const int name_ns = locate_invalidate(VIEW_INVALIDATE_NAME, &vob, &dir_oid, name, false);
    int obj_kernel = 0, name_kernel = 0;
    ioctl->view_inval_obj_and_name(vob, oid, op, dir_oid, name, obj_kernel, name_kernel);
    obj_status = obj_ns != 0 ? obj_ns : obj_kernel;
    name_status = name_ns != 0 ? name_ns : name_kernel;
}

int OstrelAgent_Metadata::invalidate_obj(const qel_uuid_s& vob, const qel_oid_s& oid) {
    Trace trace("invalidate_obj");
    vob_mtype_t mtype = 0;
    std::unique_ptr<OstrelAgent_View_db_object> obj = OstrelAgent_View_db_object::get_object(vob, oid, mtype);
    if (!obj) return 0;
    // A listing being stored in the directory that names the object, or in
    // the object when it is a directory, is not interleaved with this: its
    // last step drops the names that are not valid, and would drop a name
    // that it has just stored and this marks.
    std::vector<norvanethread_mutex_t*> locks;
    for (const qel_oid_s& dir : listed_dirs(vob, oid, mtype)) locks.push_back(oid_lock(dir));
    std::sort(locks.begin(), locks.end());
    locks.erase(std::unique(locks.begin(), locks.end()), locks.end());
    std::vector<std::unique_ptr<OstrelAgent_Mutex_Guard>> held;
    for (norvanethread_mutex_t* lock : locks) held.push_back(std::make_unique<OstrelAgent_Mutex_Guard>(*lock));
    obj->invalidate_obj();
    return 0;
}

int OstrelAgent_Metadata::invalidate_name(const qel_uuid_s& vob, const qel_oid_s& dir_oid, const std::string& name) {
    Trace trace("invalidate_name");
    unsigned dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(dir_oid, vob, dbid)) return OstrelAgent_Status::MALFORMED_REQUEST;
    // A listing being stored in the directory is not interleaved with this.
    OstrelAgent_Mutex_Guard locked(*oid_lock(dir_oid));
    OstrelAgent_View_db_version dir(dbid, vob);
    dir.load_data();
    dir.invalidate_name(name.c_str());
    return 0;
}

void OstrelAgent_Metadata::view_inval_parent(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op) {
    Trace trace("view_inval_parent");
    trace.writeTrace(Trace::TRACE_LEVEL_4, "inval parent, VOB UUID %s, OBJ OID %s, op %d",
                     Util::id_text(vob).c_str(), Util::id_text(oid).c_str(), static_cast<int>(op));
    OstrelAgent_Metadata_BG_Flush::queue(std::make_unique<OstrelAgent_Metadata_BG_Flush>(vob, oid, op));
}

void OstrelAgent_Metadata::view_inval_view_in_background() {
    Trace trace("view_inval_view_in_background");
    OstrelAgent_Metadata_BG_Flush::queue(std::make_unique<OstrelAgent_Metadata_BG_Flush>());
}
