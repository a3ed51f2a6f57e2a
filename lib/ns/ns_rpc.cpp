// Namespace look-ups: the VOB root, names and residual paths, attributes,
// revalidation, objects by id, path names and link texts.
#include "lib/ns/ns_rpc.h"

#include <cstring>
#include <string>

#include "lib/ns/ns_content_fetch.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ns/ostrelagent_view_db_version.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"

namespace {

// The name-state bits a look-up reports.
constexpr unsigned REPORTED_STATE = 0x1f03ff;
// A view entry over a VOB name: 0x1000 and 0x2000 without hijack or checkout.
constexpr unsigned VIEW_PRIVATE_MASK = 0x203020;
constexpr unsigned VIEW_PRIVATE = 0x3000;
constexpr unsigned COMPONENT_MAX = 256;
constexpr vob_mtype_t SYMLINK_MTYPE = 7;

void trace_lvut(const Ns_Rpc_Frame& frame, const struct timeval& lvut) {
    frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "LVUT %ld.%06ld", static_cast<long>(lvut.tv_sec),
                             static_cast<long>(lvut.tv_usec));
}

// The checked-out version id of a directory's element; 1008 when it cannot
// be read.
int element_co_ver(obj_entry* obj, qel_oid_s* out) {
    obj_entry* elem = obj_2elem(obj);
    OstrelAgent_View_db_element element(static_cast<unsigned>(elem->dbid), elem->vob->uuid, elem->vob->db_id);
    return element.get_co_ver_oid(*out) != 0 ? QEL_ST_INTERNAL : 0;
}

// getattr's and revalidate's common end: the status of `obj`, a vanished
// object flushed and reported stale.
int status_or_stale(Ns_Rpc_Frame& frame, obj_entry* obj, int ext_name, view_fhandle* fh_out, view_vstat* vstat) {
    makehandle(obj, ext_name, fh_out);
    int status = fstat_vstat(obj, ext_name, vstat);
    if (status != QEL_ST_NOT_FOUND) return status;
    imsg_print(IMSG_KIND_WARN, &_ostrela_lib_view_msg_table, NS_MSG_STALE_FLUSHING, obj_2str(obj));
    frame.forget(obj);
    obj_flush(obj);
    return QEL_ST_STALE;
}

} // namespace

int ns_root(const qel_oid_s*, const qel_uuid_s* replica_uuid, const char* name, view_hm_warp_opt warp,
            view_fhandle* fh_out, view_vstat* vstat_out, unsigned* name_state, int* name_flag, struct timeval* lvut,
            int* co_flag, qel_oid_s* co_ver_oid) {
    return ns_operation("ns_root", [&](Ns_Rpc_Frame& frame) -> int {
        char uuid_text[QEL_UUID_STR_SIZE];
        frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "replica_uuid %s", qel_uuid_to_str(replica_uuid, uuid_text));
        int status = 0;
        view_vob* vob = vob_create(replica_uuid, &status);
        if (vob == nullptr) return status;
        obj_entry* root = frame.hold(lookup_root_ext(vob, warp, name_flag, name_state, &status));
        if (root == nullptr) return status;
        int ext_name = warp != VIEW_HM_WARP_NONE;
        view_fhandle fh;
        makehandle(root, ext_name, &fh);
        if (name != nullptr && name[0] != '\0') return QEL_ST_INVALID;
        *fh_out = fh;
        if ((status = fstat_vstat(root, ext_name, vstat_out)) != 0) return status;
        if (co_flag != nullptr) {
            *co_flag = (*name_state & NAME_CHECKEDOUT) != 0;
            if (*co_flag && co_ver_oid != nullptr && element_co_ver(root, co_ver_oid) != 0) return QEL_ST_INTERNAL;
        }
        *lvut = vob->lvut;
        trace_lvut(frame, *lvut);
        return 0;
    });
}

int ns_lookup_flags(view_fhandle* dir_fh, const char* name, view_hm_warp_opt warp, const char* residual,
                    view_fhandle* fh_out, view_fhandle* dir_fh_out, view_vstat* vstat_out, unsigned* consumed,
                    int* name_flag, unsigned* name_state, struct timeval* lvut, int* co_flag, bool* view_private,
                    bool* hijacked, qel_oid_s* co_ver_oid, bool* dotdot) {
    return ns_operation("ns_lookup", [&](Ns_Rpc_Frame& frame) -> int {
        const char* rest = residual != nullptr ? residual : "";
        frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "path '%s' residual '%s'", name, rest);
        if (warp != VIEW_HM_WARP_NONE) return QEL_ST_INVALID;
        if (dotdot != nullptr) *dotdot = false;
        *dir_fh_out = *dir_fh;
        *name_state = 0;
        int ext_name = 0, status = 0;
        obj_entry* dir = frame.validate(dir_fh, &ext_name, &status);
        if (dir == nullptr) return status;

        obj_entry* cur = nullptr;
        int depth = 1;
        if (std::strcmp(name, ".") == 0) {
            view_vstat checked;
            status = acl_check_ext(dir, 0, &checked, name_state, ACL_SEARCH, 1);
            if (status != 0) return status;
            obj_inc_ref(dir);
            cur = dir;
            depth = 0;
            *name_flag = 1;
        } else if (std::strcmp(name, "..") == 0) {
            cur = lookup_dot_dot(dir, ext_name, name_flag, &status);
            depth = -1;
        } else if (ext_name) {
            cur = lookup_hm_name(dir, name, &status);
            *name_flag = 1;
        } else {
            cur = lookup_name(dir, name, name_state, name_flag, &status);
        }
        if (cur == nullptr) return status;
        view_vstat vstat;
        if ((status = fstat_vstat(cur, ext_name, &vstat)) != 0) {
            obj_free(cur);
            return status;
        }
        *consumed = 0;
        *vstat_out = vstat;

        // The walk of the residual path: `cur` and `holder` (the directory that
        // holds it) are referenced; failures only end the walk.
        obj_entry* holder = dir;
        obj_inc_ref(holder);
        std::string leaf = name;
        for (const char* p = rest; *p != '\0';) {
            if (depth < 0) break;
            if (*p == '/') {
                ++p;
                ++*consumed;
                continue;
            }
            if (vstat.fstat.type != QEL_FTYPE_DIR) break;
            const char* sep = fileutl_find_pname_sep_left(p);
            size_t len = sep != nullptr ? static_cast<size_t>(sep - p) : std::strlen(p);
            char component[COMPONENT_MAX];
            if (len >= sizeof component || strutl_ncpy_buf(component, sizeof component, p, len) != 0) break;
            frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "lookup leaf '%s' residual '%s'", component, p);
            obj_entry* next = nullptr;
            bool descends = false;
            unsigned state = 0;
            int flag = 0;
            if (std::strcmp(component, ".") == 0) {
                obj_inc_ref(cur);
                next = cur;
            } else if (std::strcmp(component, "..") == 0) {
                if (dotdot != nullptr) {
                    *dotdot = true;
                    p += len;
                    *consumed += static_cast<unsigned>(len);
                    for (; *p == '/'; ++p) ++*consumed;
                    break;
                }
                next = lookup_dot_dot(cur, ext_name, &flag, &status);
                if (next != nullptr && flag == 0) *name_flag = 0;
                --depth;
            } else if (ext_name) {
                next = lookup_hm_name(cur, component, &status);
                descends = true;
            } else {
                next = lookup_name(cur, component, &state, &flag, &status);
                if (next != nullptr && flag == 0) *name_flag = 0;
                descends = true;
            }
            if (next == nullptr) break;
            view_vstat next_vstat;
            if (fstat_vstat(next, ext_name, &next_vstat) != 0) {
                obj_free(next);
                break;
            }
            if (descends) {
                makehandle(cur, ext_name, dir_fh_out);
                obj_free(holder);
                holder = cur;
                obj_inc_ref(holder);
                ++depth;
                leaf = component;
                if (!ext_name) *name_state = state;
            }
            p += len;
            *consumed += static_cast<unsigned>(len);
            vstat = next_vstat;
            *vstat_out = vstat;
            obj_free(cur);
            cur = next;
        }
        frame.hold(cur);
        frame.hold(holder);

        status = 0;
        makehandle(cur, ext_name, fh_out);
        *lvut = cur->vob->lvut;
        trace_lvut(frame, *lvut);
        if (co_flag != nullptr) {
            *co_flag = (*name_state & NAME_CHECKEDOUT) != 0;
            if (*co_flag && co_ver_oid != nullptr) {
                view_vob* vob = holder->vob;
                if (vstat.fstat.type == QEL_FTYPE_REG) {
                    OstrelAgent_View_db_version directory(static_cast<unsigned>(holder->dbid), vob->uuid, vob->db_id);
                    unsigned ver_dbid = 0;
                    vob_mtype_t ver_mtype = 0;
                    if ((status = directory.lookup(leaf, ver_dbid, ver_mtype)) != 0) return status;
                    OstrelAgent_View_db_version version(ver_dbid, vob->uuid, vob->db_id);
                    ostrel_vstat found{};
                    if (version.get_ostrelstat(found) != 0) return QEL_ST_INTERNAL;
                    vstat_out->elem_oid = found.vstat.elem_oid;
                    *co_ver_oid = found.vstat.obj_oid;
                } else if (vstat.fstat.type == QEL_FTYPE_DIR) {
                    if (element_co_ver(cur, co_ver_oid) != 0) return QEL_ST_INTERNAL;
                }
            }
        }
        if (view_private != nullptr) *view_private = (*name_state & VIEW_PRIVATE_MASK) == VIEW_PRIVATE;
        if (hijacked != nullptr) {
            *hijacked = (*name_state & NAME_HIJACKED) != 0;
            if (*hijacked) status = ostrel_db_hijack_get(holder, leaf.c_str(), vstat_out);
        }
        return status;
    });
}

int ns_lookup(view_fhandle* dir_fh, const char* name, view_hm_warp_opt warp, const char* residual,
              view_fhandle* fh_out, view_fhandle* dir_fh_out, view_vstat* vstat_out, unsigned* consumed,
              int* name_flag, unsigned* name_state, struct timeval* lvut) {
    int status = ns_lookup_flags(dir_fh, name, warp, residual, fh_out, dir_fh_out, vstat_out, consumed, name_flag,
                                 name_state, lvut);
    *name_state &= REPORTED_STATE;
    return status;
}

int ns_getattr(view_fhandle* fh, view_fhandle* fh_out, view_vstat* vstat_out, struct timeval* lvut) {
    return ns_operation("ns_getattr", [&](Ns_Rpc_Frame& frame) -> int {
        int ext_name = 0, status = 0;
        obj_entry* obj = frame.validate(fh, &ext_name, &status);
        if (obj == nullptr) return status;
        view_vob* vob = obj->vob;
        if ((status = status_or_stale(frame, obj, ext_name, fh_out, vstat_out)) != 0) return status;
        *lvut = vob->lvut;
        trace_lvut(frame, *lvut);
        return 0;
    });
}

int ns_revalidate(view_fhandle* fh, view_fhandle* fh_out, view_vstat* vstat_out) {
    return ns_operation("ns_revalidate", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* obj = frame.hold(locate_revalidate_fhandle(fh, &status));
        if (obj == nullptr) return status;
        return status_or_stale(frame, obj, (fh->flags & VIEW_FH_EXT_NAME) != 0, fh_out, vstat_out);
    });
}

int ns_find_oid(view_fhandle* fh, const qel_oid_s* oid, view_fhandle* fh_out, view_vstat* vstat_out) {
    return ns_operation("ns_find_oid", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        view_vob* vob = vob_find(&fh->vob_uuid, &status);
        if (vob == nullptr) return status;
        obj_entry* obj = frame.hold(locate_oid(vob, oid, 1, &status));
        if (obj == nullptr) return status;
        makehandle(obj, 0, fh_out);
        return fstat_vstat(obj, 0, vstat_out);
    });
}

int ns_gpath(view_fhandle* fh, int flag, unsigned path_size, char* path, unsigned ext_size, char* ext_path) {
    return ns_operation("ns_gpath", [&](Ns_Rpc_Frame& frame) -> int {
        int ext_name = 0, status = 0;
        obj_entry* obj = frame.validate(fh, &ext_name, &status);
        if (obj == nullptr) return status;
        status = lookup_gpath(obj, flag, path_size, path, ext_size, ext_path);
        if (ns_should_note(5))
            frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5,
                                     "gpath returning %d on path %s ext_path %s ver_dbid %d elem_dbid %d returning %d\n",
                                     status, status == 0 ? path : "", status == 0 ? ext_path : "",
                                     static_cast<int>(fh->dbid), static_cast<int>(fh->elem_dbid), status);
        return status;
    });
}

int ns_readlink(view_fhandle* fh, unsigned size, unsigned* length, char* buf) {
    return ns_operation("ns_readlink", [&](Ns_Rpc_Frame& frame) -> int {
        // Nothing fits a buffer of no bytes, not even the terminator.
        if (size == 0) return QEL_ST_INVALID;
        int ext_name = 0, status = 0;
        obj_entry* obj = frame.validate(fh, &ext_name, &status);
        if (obj == nullptr) return status;
        view_vstat vstat;
        if ((status = acl_check(obj, ext_name, &vstat, ACL_READ, 0)) != 0) return status;
        if (obj_isa_view_obj(obj)) {
            if ((status = ostrel_db_readlink(obj, size, buf)) != 0) return status;
        } else {
            view_vob* vob = obj->vob;
            unsigned dbid = static_cast<unsigned>(obj->dbid), elem = 0;
            ostrel_vstat meta{};
            if (Ns_Content_Fetch::get().get_metadata(vob->uuid, dbid, elem, meta) != 0)
                return vob_print_error_dbid(vob, "slink get metadata", dbid, QEL_ST_INTERNAL);
            if (meta.vstat.mtype != SYMLINK_MTYPE)
                return vob_print_error_dbid(vob, "dbid not an slink", dbid, QEL_ST_INTERNAL);
            size_t len = strnlen(meta.link_text, sizeof meta.link_text);
            if (len > size - 1) len = size - 1;
            std::memcpy(buf, meta.link_text, len);
            buf[len] = '\0';
        }
        *length = static_cast<unsigned>(std::strlen(buf));
        return 0;
    });
}
