// The miss handlers of the namespace cache (an object's status, a name of a
// directory version, a VOB's root), the parent look-up and the cache flush
// of the update listeners, and the table of object locks.
#include <atomic>
#include <memory>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/fetch/ostrelagent_metadata_rpc.h"
#include "lib/fetch/ostrelagent_metadata_support.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ostrelagent_korva_inval_batch.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ns/ostrelagent_view_db_object.h"
#include "lib/ns/ostrelagent_view_db_root_dir.h"
#include "lib/ns/ostrelagent_view_db_symlink.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ns/ostrelagent_view_db_vob.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

using metadata_support::Trace;
using Util = OstrelAgent_Util;
namespace S = OstrelAgent_Status;

// The name-space root of a VOB, in which the empty name names the VOB's root.
constexpr unsigned NS_ROOT_DBID = 1;
// A name fetched alone is loaded as a load that lists directories as they
// are met, and has its parent's kernel entry invalidated.
constexpr int READDIR_STATE = 3;

bool is_version(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8; }

// Maps a directory version's dbid, and its element's (0: the null oid), to
// their oids.
bool dbids_to_oids(const qel_uuid_s& vob, unsigned dbid, unsigned elem_dbid, qel_oid_s& oid, qel_oid_s& elem_oid) {
    if (!OstrelAgent_View_db::obj_dbid_to_oid(dbid, vob, oid)) return false;
    elem_oid = QEL_OID_NULL;
    return elem_dbid == 0 || OstrelAgent_View_db::elem_dbid_to_oid(elem_dbid, vob, elem_oid);
}

// How the view database answered a look-up.
enum class Db_Answer { FOUND, FAILED, NOT_FOUND, ASK_SERVER };

// `name` of the directory version `dir_dbid` in the view database; the
// status to return comes back in `status` for FOUND and FAILED.
Db_Answer lookup_in_db(const Trace& trace, const qel_uuid_s& vob, unsigned dir_dbid, const std::string& name,
                       unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out, int& status) {
    unsigned vob_dbid = 0;
    OstrelAgent_View_db_vob vob_record(vob);
    if (vob_record.lookup_vob(vob_dbid) != 0) return Db_Answer::ASK_SERVER;
    OstrelAgent_View_db_version dir(dir_dbid, vob, vob_dbid);
    vob_mtype_t mtype = 0;
    int found = dir.lookup(name, obj_dbid, mtype);
    if (found == QEL_ST_NOT_FOUND && dir.is_readdir_done()) return Db_Answer::NOT_FOUND;
    if (found != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_4, "lookup '%s' failed: %s", name.c_str(), qel_strerror(found));
        return Db_Answer::ASK_SERVER;
    }
    if (is_version(mtype)) {
        OstrelAgent_View_db_version version(obj_dbid, vob, vob_dbid);
        OstrelAgent_View_db_element element(0, vob, vob_dbid);
        ostrel_vstat elem{};
        status = version.get_ostrelstat(out);
        if (status == 0 && element.get_info(out.vstat.elem_oid, elem_dbid, elem) != 0) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "Unknown element oid %s?", Util::id_text(out.vstat.elem_oid).c_str());
            status = S::GENERAL_FAILURE;
        }
    } else if (mtype == 7) {
        OstrelAgent_View_db_symlink link(obj_dbid, vob, vob_dbid);
        status = link.get_ostrelstat(out);
        elem_dbid = obj_dbid;
    } else {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "%s: Unknown object mtype %d?", name.c_str(), static_cast<int>(mtype));
        status = S::GENERAL_FAILURE;
        return Db_Answer::FAILED;
    }
    OstrelAgent_Metadata::replace_vstat_values(out.vstat);
    return status == 0 ? Db_Answer::FOUND : Db_Answer::FAILED;
}

// The object locks, made all at once on first use and never freed.
norvanethread_mutex_t g_lock = NORVANETHREAD_MUTEX_INITIALIZER;
std::atomic<bool> g_oid_locks_inited{false};
norvanethread_mutex_t* g_oid_locks[OstrelAgent_Metadata::OID_LOCK_COUNT];

void init_oid_locks() {
    if (g_oid_locks_inited.load(std::memory_order_acquire)) return;
    OstrelAgent_Mutex_Guard guard(g_lock);
    if (g_oid_locks_inited.load(std::memory_order_relaxed)) return;
    for (norvanethread_mutex_t*& slot : g_oid_locks) {
        slot = new norvanethread_mutex_t;
        norvanethread_mutex_init(slot);
    }
    g_oid_locks_inited.store(true, std::memory_order_release);
}

} // namespace

norvanethread_mutex_t* OstrelAgent_Metadata::oid_lock(const qel_oid_s& oid) {
    init_oid_locks();
    return g_oid_locks[qel_oid_to_hash32(&oid) % OID_LOCK_COUNT];
}

int OstrelAgent_Metadata::get_metadata(const qel_uuid_s& vob, const unsigned& dbid, const unsigned& elem_dbid,
                                       ostrel_vstat& out) {
    Trace trace("get_metadata");
    vob_mtype_t mtype = 0;
    if (std::unique_ptr<OstrelAgent_View_db_object> obj = OstrelAgent_View_db_object::get_object(vob, dbid, mtype)) {
        int status = obj->get_ostrelstat(out);
        replace_vstat_values(out.vstat);
        return status;
    }
    if (!metadata_support::online()) return S::DISCONNECTED;
    qel_oid_s oid{}, elem_oid{};
    if (!dbids_to_oids(vob, dbid, elem_dbid, oid, elem_oid)) return S::MALFORMED_REQUEST;
    metadata_support::ops_log().write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table,
                                          OstrelAgent_Lib_Msg::NOT_IN_DATABASE, Util::id_text(vob).c_str(),
                                          static_cast<int>(dbid), static_cast<int>(elem_dbid));
    return S::INTERNAL_ERROR;
}

namespace {

// The VOB's root fetched from the server and stored.
// The dbid and oid of the version the view holds as the VOB's root, stale
// or not; 0 when it holds none.
unsigned root_version(const qel_uuid_s& vob, qel_oid_s& oid) {
    unsigned dbid = 0;
    const int status = OstrelAgent_View_db_root_dir(vob).get_root_dir(dbid);
    if (status != 0 && status != QEL_ST_STALE_GENERATION) return 0;
    return dbid != 0 && OstrelAgent_View_db::obj_dbid_to_oid(dbid, vob, oid) ? dbid : 0;
}

int root_from_server(const Trace& trace, const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid,
                     ostrel_vstat& out) {
    OstrelAgent_Metadata_Rpc::Object_Reply reply;
    std::string msg;
    int detail = 0;
    int status = OstrelAgent_Metadata_Rpc::get().get_root(metadata_support::view_uuid(), vob,
                                                          metadata_support::ops_log(), reply, msg, detail);
    if (status != 0) return status;
    if (reply.read_status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_1, "Get_Metadata get_ostrel_vstat failure: %s (%d)",
                         reply.server_message.c_str(), reply.server_status);
        return S::GENERAL_FAILURE;
    }
    OstrelAgent_Metadata::replace_vstat_values(reply.obj.vstat);
    OstrelAgent_Metadata::replace_vstat_values(reply.elem.vstat);
    qel_oid_s before{};
    const unsigned before_dbid = root_version(vob, before);
    OstrelAgent_View_db_root_dir root(vob);
    status = root.create(reply.scope_oid, reply.scope_gn, 0, reply.obj, reply.elem, obj_dbid, elem_dbid);
    if (status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "Error creating root dir.");
        return status;
    }
    // Another version (the root checked out, or changed on the server)
    // replaced the one the view had, whose record went with it: the
    // namespace cache drops it too, so that a handle of it is stale and
    // the root is looked up anew, rather than served from a version gone.
    if (before_dbid != 0 && before_dbid != obj_dbid) locate_invalidate(VIEW_INVALIDATE_OBJ, &vob, &before, "", false);
    out = reply.obj;
    return 0;
}

// `name` of the directory version `dir_dbid` fetched from the server and
// stored; the directory's listing then follows in the background.
int name_from_server(const Trace& trace, const qel_uuid_s& vob, unsigned dir_dbid, unsigned dir_elem_dbid,
                     const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid, ostrel_vstat& out) {
    qel_oid_s dir_oid{}, dir_elem_oid{};
    if (!dbids_to_oids(vob, dir_dbid, dir_elem_dbid, dir_oid, dir_elem_oid)) return S::MALFORMED_REQUEST;
    OstrelAgent_Metadata_Rpc::Object_Reply reply;
    std::string msg;
    int detail = 0;
    int status = OstrelAgent_Metadata_Rpc::get().lookup(metadata_support::view_uuid(), vob, dir_oid, dir_elem_oid,
                                                        name, metadata_support::ops_log(), reply, msg, detail);
    if (status == S::RPC_SERVER_FAILURE && (detail == QEL_ST_NOT_FOUND || detail == QEL_ST_NO_ENTRY)) {
        // The server knows no such name; the listing answers the next miss.
        OstrelAgent_Metadata::readdir_in_background(vob, dir_dbid);
        return S::NOT_FOUND;
    }
    if (status != 0) return status;
    if (reply.read_status != 0) {
        trace.writeTrace(Trace::TRACE_LEVEL_1, "Lookup get_ostrel_vstat or similar failure: %s (%d)",
                         reply.server_message.c_str(), reply.server_status);
        return S::GENERAL_FAILURE;
    }
    out = reply.obj;
    OstrelAgent_Metadata::replace_vstat_values(out.vstat);
    OstrelAgent_Metadata::replace_vstat_values(reply.elem.vstat);
    status = OstrelAgent_View_db::add_db_entry(vob, out.vstat.mtype, name.c_str(), dir_dbid, reply.scope_oid,
                                               reply.scope_gn, READDIR_STATE, true, out, reply.elem.vstat, obj_dbid,
                                               elem_dbid, nullptr);
    OstrelAgent_Metadata::readdir_in_background(vob, dir_dbid);
    return status;
}

} // namespace

bool OstrelAgent_Metadata::bindroot_at_hand(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid,
                                            ostrel_vstat& out, int& status) {
    Trace trace("bindroot");
    OstrelAgent_View_db_root_dir root(vob);
    if (root.has_root_dir()) {
        ostrel_vstat elem{};
        status = root.get_root_dir(obj_dbid);
        if (status != 0) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "Error on getting root dir: %s", qel_strerror(status));
        } else if ((status = root.get_info(obj_dbid, elem_dbid, out, elem)) != 0) {
            trace.writeTrace(Trace::TRACE_LEVEL_2, "Error on getting root dir info: %s", qel_strerror(status));
        } else {
            replace_vstat_values(out.vstat);
            return true;
        }
    }
    if (metadata_support::online()) return false;
    status = S::DISCONNECTED;
    return true;
}

int OstrelAgent_Metadata::bindroot(const qel_uuid_s& vob, unsigned& elem_dbid, unsigned& obj_dbid,
                                   ostrel_vstat& out) {
    int status = 0;
    if (bindroot_at_hand(vob, elem_dbid, obj_dbid, out, status)) return status;
    return root_from_server(Trace("bindroot"), vob, elem_dbid, obj_dbid, out);
}

bool OstrelAgent_Metadata::lookup_obj_at_hand(const qel_uuid_s& vob, const unsigned& dir_dbid,
                                              const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid,
                                              ostrel_vstat& out, int& status) {
    Trace trace("lookup_obj");
    trace.writeTrace(Trace::TRACE_LEVEL_4, "Looking up '%s' in directory dbid:%d", name.c_str(),
                     static_cast<int>(dir_dbid));
    if (dir_dbid == NS_ROOT_DBID && name.empty()) return bindroot_at_hand(vob, elem_dbid, obj_dbid, out, status);
    switch (lookup_in_db(trace, vob, dir_dbid, name, elem_dbid, obj_dbid, out, status)) {
    case Db_Answer::FOUND:
    case Db_Answer::FAILED: return true;
    case Db_Answer::NOT_FOUND: status = S::NOT_FOUND; return true;
    case Db_Answer::ASK_SERVER: break;
    }
    if (metadata_support::online()) return false;
    trace.writeTrace(Trace::TRACE_LEVEL_4, "giving up, offline");
    status = S::DISCONNECTED;
    return true;
}

int OstrelAgent_Metadata::lookup_obj(const qel_uuid_s& vob, const unsigned& dir_dbid, const unsigned& dir_elem_dbid,
                                     const std::string& name, unsigned& elem_dbid, unsigned& obj_dbid,
                                     ostrel_vstat& out) {
    int status = 0;
    if (lookup_obj_at_hand(vob, dir_dbid, name, elem_dbid, obj_dbid, out, status)) return status;
    const Trace trace("lookup_obj");
    if (dir_dbid == NS_ROOT_DBID && name.empty()) return root_from_server(trace, vob, elem_dbid, obj_dbid, out);
    return name_from_server(trace, vob, dir_dbid, dir_elem_dbid, name, elem_dbid, obj_dbid, out);
}

int OstrelAgent_Metadata::lookup_parent_dir(const qel_uuid_s& vob, const qel_oid_s& parent_elem_oid,
                                            const std::string& path, unsigned& elem_dbid, unsigned& ver_dbid,
                                            std::string& msg) {
    Trace trace("lookup_parent_dir");
    vob_mtype_t mtype = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid_mtype(parent_elem_oid, vob, elem_dbid, mtype)) {
        msg += Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::UNKNOWN_OBJECT_OID,
                            Util::id_text(parent_elem_oid).c_str(), Util::id_text(vob).c_str());
        return S::INTERNAL_ERROR;
    }
    if (mtype != 2) {
        trace.writeTrace(Trace::TRACE_LEVEL_2, "invalid parent mtype %d (oid %s)", static_cast<int>(mtype),
                         Util::id_text(parent_elem_oid).c_str());
        return S::INTERNAL_ERROR;
    }
    unsigned vob_dbid = 0;
    int status = ostrel_db_vob_lookup(&vob, &vob_dbid);
    if (status == 0) status = ostrel_db_elem_get_ver(vob_dbid, elem_dbid, &ver_dbid);
    if (status != 0) {
        msg += Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::NO_PARENT_VERSION, path.c_str(),
                            Util::id_text(parent_elem_oid).c_str(), qel_strerror(status));
        return S::INTERNAL_ERROR;
    }
    return 0;
}

std::string OstrelAgent_Metadata::flush_failed_text(const std::string& path, int status) {
    return Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::FLUSH_FAILED, path.c_str(),
                        qel_strerror(status));
}

int OstrelAgent_Metadata::flush_cache(const qel_uuid_s& vob, const qel_oid_s& obj_oid, const qel_oid_s& dir_oid,
                                      const std::string& path, const std::string& leaf,
                                      const OstrelAgent_KORVA_Ioctl* ioctl, std::string& msg,
                                      OstrelAgent_KORVA_Inval_Batch* kernel_later, std::size_t owner) {
    Trace trace("flush_cache");
    auto failed = [&](int status) {
        if (status != 0) msg += flush_failed_text(path, status);
        return status;
    };
    int obj_status = 0, name_status = 0;
    const bool object = !qel_oid_eq(&obj_oid, &QEL_OID_NULL);
    if (kernel_later != nullptr && ioctl != nullptr) {
        // The namespace cache's copies now, the kernel's with the others.
        if (object) {
            obj_status = failed(locate_invalidate(VIEW_INVALIDATE_OBJ, &vob, &obj_oid, "", false));
            kernel_later->add_obj(vob, obj_oid, metadata_support::FETCH_INVAL_OP, owner);
        }
        if (!leaf.empty()) {
            name_status = failed(locate_invalidate(VIEW_INVALIDATE_NAME, &vob, &dir_oid, leaf.c_str(), false));
            kernel_later->add_name(vob, dir_oid, leaf, owner);
        }
    } else if (object && !leaf.empty()) {
        view_inval_obj_and_name(ioctl, vob, obj_oid, metadata_support::FETCH_INVAL_OP, dir_oid, leaf.c_str(),
                                obj_status, name_status);
        failed(obj_status);
        failed(name_status);
    } else if (object) {
        obj_status = failed(view_inval_obj(ioctl, vob, obj_oid, metadata_support::FETCH_INVAL_OP, true, true, false));
    } else if (!leaf.empty()) {
        name_status = failed(view_inval_name(ioctl, vob, dir_oid, leaf.c_str(), true, true, false));
    }
    return Util::qel_to_ostrel_status(name_status != 0 ? name_status : obj_status);
}
