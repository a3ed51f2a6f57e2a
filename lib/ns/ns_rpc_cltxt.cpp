// Where a file's contents lie: a view-private file's container, or a
// version's file in the cleartext cache, fetched first when absent.
#include "lib/ns/ns_rpc.h"

#include <cstring>
#include <string>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ns_content_fetch.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_server_wait.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"

namespace {

constexpr int METADATA_NOT_FOUND = 20002;
// The view-private kind whose contents may still be a version's cleartext.
constexpr vob_mtype_t MTYPE_VERSION_COPY = 22;

bool is_version(vob_mtype_t mtype) { return mtype == 3 || mtype == 6 || mtype == 8; }

// The version of the VOB that a view object of kind 22 without container
// stands for. A version the server no longer has makes the object stale: it
// is deleted (which takes the frame's reference) and 1087 comes back.
int version_of_copy(Ns_Rpc_Frame& frame, obj_entry* obj, unsigned* version) {
    view_vob* vob = obj->vob;
    unsigned dbid = 0;
    if (!OstrelAgent_View_db::obj_oid_to_dbid(obj->oid, vob->uuid, dbid)) return QEL_ST_NO_MEMORY;
    ostrel_vstat meta{};
    unsigned elem = 0;
    int st = Ns_Content_Fetch::get().get_metadata(vob->uuid, dbid, elem, meta);
    if (st == METADATA_NOT_FOUND) {
        imsg_print(IMSG_KIND_WARN, &_ostrela_lib_view_msg_table, NS_MSG_STALE_FLUSHING, obj_2str(obj));
        frame.forget(obj);
        ostrel_db_delete(obj);
        return QEL_ST_STALE;
    }
    if (st != 0) return QEL_ST_NO_MEMORY;
    unsigned elem_dbid = 0;
    if (!OstrelAgent_View_db::elem_oid_to_dbid(meta.vstat.elem_oid, vob->uuid, elem_dbid)) return QEL_ST_NO_MEMORY;
    if (!is_version(meta.vstat.mtype)) return QEL_ST_NO_CLEARTEXT;
    *version = dbid;
    return 0;
}

// Brings the version into the cleartext cache and gives its path there.
int vob_cltxt(const qel_uuid_s& vob_uuid, unsigned version, unsigned size, unsigned* length, char* path,
              int* cache_path, int* second) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_rpc", "ns_get_vob_cltxt");
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    if (view == nullptr) {
        imsg_print(IMSG_KIND_ERR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::NO_VIEW_INFO);
        return QEL_ST_INTERNAL;
    }
    std::string relative;
    if (Ns_Server_Wait::get_cleartext(vob_uuid, version, view->get_cltxt_cache_dir(), relative) != 0) {
        if (Ns_Server_Wait::given_up()) return QEL_ST_NO_CLEARTEXT;
        char location[OstrelAgent_Util::LOCATION_BUFFER_SIZE];
        OstrelAgent_Util::uuid_dbid_to_location(&vob_uuid, static_cast<long>(version), location);
        imsg_print(IMSG_KIND_ERR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::CLTXT_FETCH_FAILED, location);
        return QEL_ST_NO_CLEARTEXT;
    }
    // The path is never cut: one that does not fit is refused.
    if (relative.size() + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(path, relative.c_str(), relative.size() + 1);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Cleartext rel path '%s'", path);
    *cache_path = 1;
    *second = 1;
    *length = static_cast<unsigned>(relative.size());
    return 0;
}

} // namespace

int ns_get_cltxt(view_fhandle* fh, unsigned size, unsigned* length, char* path, int* cache_path, int* second) {
    return ns_operation("ns_get_cltxt", [&](Ns_Rpc_Frame& frame) -> int {
        int status = [&] {
            int ext_name = 0, st = 0;
            obj_entry* obj = frame.validate(fh, &ext_name, &st);
            if (obj == nullptr) return st;
            view_vstat vstat;
            if ((st = acl_check(obj, ext_name, &vstat, ACL_READ, 0)) != 0) return st;
            qel_uuid_s vob_uuid = obj->vob->uuid;
            unsigned version = fh->dbid;
            if (obj_isa_view_obj(obj)) {
                if ((st = ostrel_db_cltxt_name(obj, size, path)) != 0) return st;
                if (path[0] != '\0') {
                    *cache_path = 0;
                    *length = static_cast<unsigned>(std::strlen(path));
                    return 0;
                }
                if (obj->mtype != MTYPE_VERSION_COPY) return QEL_ST_NO_CLEARTEXT;
                // The version's own dbid, not the view object's, names its cleartext.
                if ((st = version_of_copy(frame, obj, &version)) != 0) return st;
            } else if (!is_version(obj->mtype)) {
                return QEL_ST_NO_CLEARTEXT;
            }
            return vob_cltxt(vob_uuid, version, size, length, path, cache_path, second);
        }();
        if (ns_should_note(5))
            frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5,
                                     "view_cltxt on ver_dbid %d elem_dbid %d rtn_text %s returning %d\n",
                                     static_cast<int>(fh->dbid), static_cast<int>(fh->elem_dbid),
                                     status == 0 ? path : "", status);
        return status;
    });
}
