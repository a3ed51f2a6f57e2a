// Namespace changes: view-private files, directories, links and symbolic
// links made, removed and renamed; attributes, object ids and kinds of
// view-private objects changed; a directory's names adopted by a VOB
// directory. Every check runs before the first write, so that a refused
// change leaves the view database and the caches as they were.
#include "lib/ns/ns_rpc.h"

#include <cstring>

#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_msg.h"
#include "lib/ns/ns_rpc_frame.h"
#include "lib/ns/ns_vob.h"
#include "lib/ns/ostrel_db_ns.h"
#include "lib/ns/ostrelagent_kernel_expectation.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/utl/date.h"

namespace {

const char* const SOURCE = "lib/ns/ns_rpc";
// The walk up from a rename's target directory gives up after this many
// parents.
constexpr int PARENT_WALK_MAX = 512;

bool is_linkable_kind(vob_mtype_t mtype) {
    switch (mtype) {
    case 6: case 7: case 8: case 9: case 19: case 21: case 22: case 23: case 26: return true;
    default: return false;
    }
}

bool same_time(const struct timeval& stamp, const qel_fstat_time_s& t) {
    return static_cast<uint32_t>(stamp.tv_sec) == t.tv_sec && static_cast<uint32_t>(stamp.tv_usec) == t.tv_usec;
}

// A changing operation's view-private object.
obj_entry* writable_view_obj(Ns_Rpc_Frame& frame, view_fhandle* fh, int* status) {
    int ext_name = 0;
    obj_entry* obj = frame.validate(fh, &ext_name, status);
    if (obj != nullptr && (ext_name || !obj_isa_view_obj(obj))) {
        *status = QEL_ST_READ_ONLY;
        return nullptr;
    }
    return obj;
}

// A view-private object whose oid or kind may change: without write access
// it is dropped from the cache (its next use reads it again) and 1001 comes
// back. `current` gets its status.
obj_entry* changeable_view_obj(Ns_Rpc_Frame& frame, view_fhandle* fh, view_vstat* current, int* status) {
    obj_entry* obj = writable_view_obj(frame, fh, status);
    if (obj == nullptr) return nullptr;
    if (acl_check(obj, 0, current, ACL_WRITE, 0) != 0) {
        frame.forget(obj);
        obj_flush(obj);
        *status = QEL_ST_NO_MEMORY;
        return nullptr;
    }
    return obj;
}

// Whether `name`, found as `found` in `state`, is a checked-out element's
// version with no file of the view's own: a new file of the view may take
// its name (the checked-out file).
bool checked_out_version(const obj_entry* found, unsigned state) {
    return found != nullptr && !obj_isa_view_obj(found) && (state & NAME_CHECKEDOUT) != 0 &&
           (state & (NAME_RESOLVED | NAME_VIEW_RECORD)) == 0;
}

// Looks `name` up for a new entry: 1067 when it exists (a checked-out
// version without a file of its own does not count); its state (what the
// view records for it) in `*state`.
int must_be_new(obj_entry* dir, const char* name, unsigned* state) {
    int flag = 0, status = 0;
    obj_entry* found = lookup_name(dir, name, state, &flag, &status);
    if (found != nullptr) {
        const bool taken = !checked_out_version(found, *state);
        obj_free(found);
        return taken ? QEL_ST_EXISTS : 0;
    }
    return status == QEL_ST_NO_ENTRY ? 0 : status;
}

// The directory of a new entry `name`, checked: writable, the caller may
// add to it, and the name new (what the view records for it in `*state`).
obj_entry* dir_for_new_name(Ns_Rpc_Frame& frame, view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat,
                            const struct timeval* stamp, int* unchanged, unsigned* state, int* status) {
    obj_entry* dir = frame.validate_writable(dir_fh, status);
    if (dir == nullptr) return nullptr;
    if ((*status = dir_write_check(dir, dir_vstat, nullptr, stamp, unchanged)) != 0) return nullptr;
    if ((*status = must_be_new(dir, name, state)) != 0) return nullptr;
    return dir;
}

// As on a local file system: in a directory with the set-group-id bit a new
// object takes the directory's group, and a new directory the bit as well.
void inherit_group(const view_vstat& dir, view_set_attr* attr) {
    constexpr u_int SET_GROUP_ID = 02000;
    constexpr u_int ATTR_MODE_LOW = 0x2;
    if ((dir.fstat.mode & SET_GROUP_ID) == 0) return;
    attr->group = dir.fstat.gsid;
    attr->mask |= VIEW_ATTR_GROUP;
    if (attr->type == QEL_FTYPE_DIR && (attr->mask & ATTR_MODE_LOW) != 0) attr->mode |= SET_GROUP_ID;
}

// The steps of a create as its traces name them.
enum Create_Step { VALIDATE, WRITE_CHECK, NAME_EXISTS, NAME_MISSING, ATTRIBUTES, DB_CREATE, STATUSES, CONTAINER };

void trace_create(const Ns_Rpc_Frame& frame, Create_Step step, int status, const char* name,
                  const view_fhandle* fh) {
    static const char* const FORMATS[] = {
        "create (locate_validate_fhandle) returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (dir_write_check) returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (lookup_name !ENOENT)returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (lookup_name)returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (acl_check_attr)returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (view_db_create)returnied %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (fstat_vstat)returning %d on name %s ver_dbid %d elem_dbid %d\n",
        "create (view_db_cltxt)returning %d on name %s ver_dbid %d elem_dbid %d\n",
    };
    if (!ns_should_note(5)) return;
    frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, FORMATS[step], status, name, static_cast<int>(fh->dbid),
                             static_cast<int>(fh->elem_dbid));
}

// The steps create, mkdir and symlink share, after the attributes are
// complete: the new object, its handle, and the fresh statuses of the
// directory and the object.
int make_object(Ns_Rpc_Frame& frame, obj_entry* dir, const char* name, view_set_attr* attr, unsigned state,
                const char* text, view_fhandle* fh_out, view_vstat* vstat_out, view_vstat* dir_vstat,
                obj_entry** made) {
    qel_oid_s oid;
    ostrel_gen_oid(&oid);
    int status = 0;
    obj_entry* obj = nullptr;
    {
        Ns_Change_Write write;
        obj = ostrel_db_create(nullptr, dir, name, &oid, attr, state, 0, text, &status);
    }
    if (obj == nullptr) return status;
    frame.hold(obj);
    makehandle(obj, 0, fh_out);
    if ((status = fstat_vstat(dir, 0, dir_vstat)) != 0) return status;
    if ((status = fstat_vstat(obj, 0, vstat_out)) != 0) return status;
    *made = obj;
    return 0;
}

// mkdir and symlink: the write check, the name, the attributes, the object.
int make_named(const char* op, view_fhandle* dir_fh, const char* name, view_set_attr* attr, const char* text,
               view_fhandle* fh_out, view_vstat* vstat_out, view_vstat* dir_vstat, const struct timeval* stamp,
               int* unchanged) {
    return ns_operation(op, [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        unsigned state = 0;
        obj_entry* dir = dir_for_new_name(frame, dir_fh, name, dir_vstat, stamp, unchanged, &state, &status);
        if (dir == nullptr) return status;
        if ((status = acl_check_attr(nullptr, attr)) != 0) return status;
        inherit_group(*dir_vstat, attr);
        obj_entry* made = nullptr;
        return make_object(frame, dir, name, attr, state, text, fh_out, vstat_out, dir_vstat, &made);
    });
}

// remove and rmdir: the entry of `name`, which must be a view entry; its
// status goes to `vstat`.
obj_entry* removable_entry(obj_entry* dir, const char* name, unsigned* state, view_vstat* vstat, int* status) {
    int flag = 0;
    obj_entry* obj = lookup_name(dir, name, state, &flag, status);
    if (obj == nullptr) return nullptr;
    if ((*state & NAME_RESOLVED) == 0) {
        obj_free(obj);
        *status = QEL_ST_READ_ONLY;
        return nullptr;
    }
    if ((*status = fstat_vstat(obj, 0, vstat)) != 0) {
        obj_free(obj);
        return nullptr;
    }
    return obj;
}

// remove (`directory` false) and rmdir: the view entry `name` goes, when
// its object is of the kind the call removes (an empty view directory for
// rmdir).
int remove_named(const char* op, view_fhandle* dir_fh, const char* name, bool directory, view_vstat* dir_vstat,
                 const struct timeval* stamp, int* unchanged);

// The number of the expectation of an element operation's own call of
// `kind` on `name` of `dir`, else 0.
uint64_t expected_call(OstrelAgent_Kernel_Expectation::Kind kind, obj_entry* dir, const char* name,
                       view_vstat* version, const char* source = nullptr) {
    obj_entry* elem = obj_2elem(dir);
    if (elem == nullptr) return 0;
    return OstrelAgent_Kernel_Expectation::find(kind, dir->vob->uuid, elem->dbid, name, version, source);
}

// Removes the name and reports the directory's fresh status. A hijacked
// file that Unhijack removes takes its hijack with it in the same write,
// so that the loaded version shows at once: the plain removal would leave
// the hijacked name hiding it until the hijack is cleared.
int unlink_name(obj_entry* dir, const char* name, unsigned state, view_vstat* dir_vstat) {
    using Kind = OstrelAgent_Kernel_Expectation::Kind;
    const uint64_t unhijack =
        (state & NAME_HIJACKED) != 0 ? expected_call(Kind::UNHIJACK_BY_REMOVAL, dir, name, nullptr) : 0;
    int status;
    {
        Ns_Change_Write write;
        status = unhijack != 0 ? ostrel_db_remove_hijack(dir, name) : ostrel_db_unlink(nullptr, dir, name, state);
    }
    if (status == 0 && unhijack != 0) OstrelAgent_Kernel_Expectation::meet(unhijack);
    return status != 0 ? status : fstat_vstat(dir, 0, dir_vstat);
}

int remove_named(const char* op, view_fhandle* dir_fh, const char* name, bool directory, view_vstat* dir_vstat,
                 const struct timeval* stamp, int* unchanged) {
    return ns_operation(op, [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* dir = frame.validate_writable(dir_fh, &status);
        if (dir == nullptr) return status;
        unsigned state = 0;
        view_vstat vstat;
        obj_entry* obj = frame.hold(removable_entry(dir, name, &state, &vstat, &status));
        if (obj == nullptr) return status;
        bool is_dir = vstat.fstat.type == QEL_FTYPE_DIR;
        if (!directory) {
            if (is_dir) return QEL_ST_IS_DIRECTORY;
            fstat_flush(obj);
        } else {
            if (!is_dir) return QEL_ST_NOT_DIRECTORY;
            if (!obj_isa_view_obj(obj)) return QEL_ST_READ_ONLY;
            if ((status = ostrel_db_dir_empty(obj)) != 0) return status;
        }
        // The removal may delete the object: no reference may outlive it.
        frame.release(obj);
        if ((status = dir_write_check(dir, dir_vstat, &vstat, stamp, unchanged)) != 0) return status;
        return unlink_name(dir, name, state, dir_vstat);
    });
}

// A directory may not move under itself: walks up from `target_dir` to the
// VOB root, refusing a walk that meets `moved`.
int check_not_under(obj_entry* moved, obj_entry* target_dir) {
    int status = 0, flag = 0;
    obj_entry* root = lookup_root_ext(moved->vob, VIEW_HM_WARP_NONE, &flag, nullptr, &status);
    if (root == nullptr) return status;
    if (target_dir == root) {
        obj_free(root);
        return 0;
    }
    if (target_dir == moved) {
        obj_free(root);
        return QEL_ST_INVALID;
    }
    obj_entry* child = target_dir;
    obj_inc_ref(child);
    int budget = PARENT_WALK_MAX;
    for (;;) {
        obj_entry* parent = lookup_dot_dot(child, 0, &flag, &status);
        if (parent == nullptr) break;
        bool same = parent == child, spent = budget == 0;
        obj_free(child);
        child = parent;
        if (same || spent) {
            status = QEL_ST_NO_ENTRY;
            break;
        }
        if (parent == root) break;
        if (parent == moved) {
            status = QEL_ST_INVALID;
            break;
        }
        --budget;
    }
    obj_free(child);
    obj_free(root);
    return status;
}

} // namespace

int ostrel_gen_oid(qel_oid_s* oid) {
    qel_uuid_s uuid;
    qel_uuid_gen(&uuid);
    std::memcpy(oid->bytes, uuid.bytes, sizeof oid->bytes);
    return 0;
}

int dir_write_check(obj_entry* dir, view_vstat* dir_vstat, const view_vstat* entry, const struct timeval* stamp,
                    int* unchanged) {
    int status = acl_check(dir, 0, dir_vstat, entry != nullptr ? ACL_DIR_RM : ACL_DIR_ADD, 1);
    if (ns_should_note(5)) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ns_rpc", "dir_write_check");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "dir_write_check(acl_check) on dbid %d object %s returning %d\n",
                         static_cast<int>(dir->dbid), obj_2str(dir), status);
    }
    // The owner of an entry may remove it.
    if (status == QEL_ST_ACCESS_DENIED && entry != nullptr &&
        credutl_has_user_sid(ostrelagent_my_creds(), &entry->fstat.usid))
        status = 0;
    if (status == 0 && stamp != nullptr && unchanged != nullptr)
        *unchanged = same_time(*stamp, dir_vstat->fstat.mtime) ? 1 : 0;
    return status;
}

int ns_create(view_fhandle* dir_fh, const char* name, view_set_attr* attr, unsigned path_size, view_fhandle* fh_out,
              view_vstat* vstat_out, char* path, unsigned* path_length, view_vstat* dir_vstat,
              const struct timeval* stamp, int* unchanged) {
    return ns_operation("ns_create", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        int result = [&] {
            obj_entry* dir = frame.validate_writable(dir_fh, &status);
            if (dir == nullptr) {
                trace_create(frame, VALIDATE, status, name, dir_fh);
                return status;
            }
            status = dir_write_check(dir, dir_vstat, nullptr, stamp, unchanged);
            trace_create(frame, WRITE_CHECK, status, name, dir_fh);
            if (status != 0) return status;
            unsigned state = 0;
            if ((status = must_be_new(dir, name, &state)) != 0) {
                trace_create(frame, NAME_EXISTS, status, name, dir_fh);
                return status;
            }
            trace_create(frame, NAME_MISSING, QEL_ST_NO_ENTRY, name, dir_fh);
            status = acl_check_attr(nullptr, attr);
            trace_create(frame, ATTRIBUTES, status, name, dir_fh);
            if (status != 0) return status;
            inherit_group(*dir_vstat, attr);
            switch (attr->type) {
            case 1: case 3: case 4: case 6: break;
            default: return QEL_ST_NOT_PERMITTED;
            }
            attr->mask |= VIEW_ATTR_TYPE;
            obj_entry* obj = nullptr;
            status = make_object(frame, dir, name, attr, state, nullptr, fh_out, vstat_out, dir_vstat, &obj);
            trace_create(frame, obj == nullptr ? DB_CREATE : STATUSES, status, name, dir_fh);
            if (status != 0) return status;
            *path_length = 0;
            if (path_size != 0) {
                status = ostrel_db_cltxt_name(obj, path_size, path);
                trace_create(frame, CONTAINER, status, name, dir_fh);
                if (status == 0) *path_length = static_cast<unsigned>(std::strlen(path));
            }
            return status;
        }();
        if (ns_should_note(5))
            frame.trace().writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "create returning %d on name %s ver_dbid %d elem_dbid %d\n",
                                     result, name, static_cast<int>(dir_fh->dbid), static_cast<int>(dir_fh->elem_dbid));
        return result;
    });
}

int ns_mkdir(view_fhandle* dir_fh, const char* name, view_set_attr* attr, view_fhandle* fh_out, view_vstat* vstat_out,
             view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged) {
    attr->type = QEL_FTYPE_DIR;
    attr->mask |= VIEW_ATTR_TYPE;
    return make_named("ns_mkdir", dir_fh, name, attr, nullptr, fh_out, vstat_out, dir_vstat, stamp, unchanged);
}

int ns_symlink(view_fhandle* dir_fh, const char* name, view_set_attr* attr, const char* text, view_fhandle* fh_out,
               view_vstat* vstat_out, view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged) {
    attr->type = QEL_FTYPE_LNK;
    attr->mask |= VIEW_ATTR_TYPE | VIEW_ATTR_SIZE;
    attr->size = std::strlen(text);
    if (attr->mtime.tv_sec == -1 && attr->mtime.tv_usec == -1) date_get_timeval(&attr->mtime);
    return make_named("ns_symlink", dir_fh, name, attr, text, fh_out, vstat_out, dir_vstat, stamp, unchanged);
}

int ns_link(view_fhandle* obj_fh, view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat,
            const struct timeval* stamp, int* unchanged) {
    return ns_operation("ns_link", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        unsigned state = 0;
        obj_entry* dir = dir_for_new_name(frame, dir_fh, name, dir_vstat, stamp, unchanged, &state, &status);
        if (dir == nullptr) return status;
        int ext_name = 0;
        obj_entry* obj = frame.validate(obj_fh, &ext_name, &status);
        if (obj == nullptr) return status;
        view_vstat vstat;
        if ((status = fstat_vstat(obj, 0, &vstat)) != 0) return status;
        if (ext_name || obj->vob != dir->vob || !is_linkable_kind(obj->mtype)) return QEL_ST_CROSS_VOB;
        if (vstat.fstat.type == QEL_FTYPE_DIR) return QEL_ST_ACCESS_DENIED;
        {
            Ns_Change_Write write;
            status = ostrel_db_link(nullptr, dir, name, obj, state);
        }
        if (status != 0) return status;
        fstat_flush(dir);
        return fstat_vstat(dir, 0, dir_vstat);
    });
}

int ns_remove(view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat, const struct timeval* stamp,
              int* unchanged) {
    return remove_named("ns_remove", dir_fh, name, false, dir_vstat, stamp, unchanged);
}

int ns_rmdir(view_fhandle* dir_fh, const char* name, view_vstat* dir_vstat, const struct timeval* stamp,
             int* unchanged) {
    return remove_named("ns_rmdir", dir_fh, name, true, dir_vstat, stamp, unchanged);
}

int ns_rename(view_fhandle* from_dir_fh, const char* from_name, view_fhandle* to_dir_fh, const char* to_name,
              view_vstat* dir_vstat, const struct timeval* stamp, int* unchanged) {
    return ns_operation("ns_rename", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0, flag = 0;
        obj_entry* from_dir = frame.validate_writable(from_dir_fh, &status);
        if (from_dir == nullptr) return status;
        unsigned from_state = 0;
        obj_entry* moved = frame.hold(lookup_name(from_dir, from_name, &from_state, &flag, &status));
        if (moved == nullptr) return status;
        if (!obj_isa_view_obj(moved)) return QEL_ST_READ_ONLY;
        view_vstat moved_vstat, from_vstat;
        if ((status = fstat_vstat(moved, 0, &moved_vstat)) != 0) return status;
        if ((status = dir_write_check(from_dir, &from_vstat, &moved_vstat, nullptr, nullptr)) != 0) return status;

        obj_entry* to_dir = frame.validate_writable(to_dir_fh, &status);
        if (to_dir == nullptr) return status;
        unsigned to_state = 0;
        obj_entry* replaced = frame.hold(lookup_name(to_dir, to_name, &to_state, &flag, &status));
        view_vstat replaced_vstat;
        if (replaced == nullptr && status != QEL_ST_NO_ENTRY) return status;
        const bool moves_dir = moved_vstat.fstat.type == QEL_FTYPE_DIR;
        // Hijack's whole copy taking the loaded file's name, which the
        // rename marks hijacked in its own write.
        view_vstat hijacked{};
        const uint64_t hijack =
            replaced != nullptr && !moves_dir && !obj_isa_view_obj(replaced) && (to_state & NAME_VIEW_RECORD) == 0
                ? expected_call(OstrelAgent_Kernel_Expectation::Kind::HIJACK_BY_RENAME, to_dir, to_name, &hijacked,
                                from_name)
                : 0;
        if (hijack != 0) to_state |= NAME_HIJACKED | NAME_KEEP;
        if (replaced != nullptr) {
            if ((to_state & NAME_RESOLVED) == 0 && hijack == 0 && !checked_out_version(replaced, to_state))
                return QEL_ST_READ_ONLY;
            if ((status = fstat_vstat(replaced, 0, &replaced_vstat)) != 0) return status;
            // As on a local file system: a directory replaces an empty directory
            // of the view's own alone, a file replaces no directory.
            if (replaced_vstat.fstat.type == QEL_FTYPE_DIR) {
                if (!moves_dir) return QEL_ST_IS_DIRECTORY;
                if (replaced != moved && !obj_isa_view_obj(replaced)) return QEL_ST_READ_ONLY;
                if (replaced != moved && (status = ostrel_db_dir_empty(replaced)) != 0) return status;
            } else if (moves_dir) {
                return QEL_ST_NOT_DIRECTORY;
            }
        }
        status = dir_write_check(to_dir, dir_vstat, replaced != nullptr ? &replaced_vstat : nullptr, stamp, unchanged);
        if (status != 0) return status;
        if (replaced == moved) return 0;
        // The rename deletes what it replaces: its reference must not outlive it.
        if (replaced != nullptr) frame.release(replaced);
        if (to_dir->vob != moved->vob) return QEL_ST_CROSS_VOB;
        if (moves_dir) {
            if (from_dir == moved) return QEL_ST_INVALID;
            if ((status = check_not_under(moved, to_dir)) != 0) return status;
        }
        {
            // The new name and the old one change in one write, so that a failed
            // rename never leaves the object (a directory even) under both.
            Ns_Change_Write write;
            status = ostrel_db_rename(nullptr, from_dir, from_name, from_state, to_dir, to_name, to_state, moved,
                                      hijack != 0 ? &hijacked : nullptr);
        }
        if (status == 0 && hijack != 0) OstrelAgent_Kernel_Expectation::meet(hijack);
        return status != 0 ? status : fstat_vstat(to_dir, 0, dir_vstat);
    });
}

int ns_setattr(view_fhandle* fh, view_set_attr* attr, view_vstat* vstat_out) {
    return ns_operation("ns_setattr", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        obj_entry* obj = writable_view_obj(frame, fh, &status);
        if (obj == nullptr) return status;
        view_vstat current;
        if ((status = fstat_vstat(obj, 0, &current)) != 0) return status;
        if ((status = acl_check_attr(&current.fstat, attr)) != 0) return status;
        {
            Ns_Change_Write write;
            status = ostrel_db_setattr(obj, attr);
        }
        return status != 0 ? status : fstat_vstat(obj, 0, vstat_out);
    });
}

int ns_change_oid(view_fhandle* fh, view_change_oid_option option, view_vstat* vstat_out) {
    return ns_operation("ns_change_oid", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        view_vstat current;
        obj_entry* obj = changeable_view_obj(frame, fh, &current, &status);
        if (obj == nullptr) return status;
        view_set_attr attr{};
        bool prepared = false;
        bool top_set = (current.fstat.mode & VIEW_ATTR_MODE_TOP) != 0;
        switch (option) {
        case VIEW_CHANGE_OID_KEEP_MODE: break;
        case VIEW_CHANGE_OID_SET_MODE_TOP:
            prepared = !top_set;
            attr.mode = VIEW_ATTR_MODE_TOP;
            break;
        case VIEW_CHANGE_OID_CLEAR_MODE_TOP:
            prepared = top_set;
            attr.mode = 0;
            break;
        default: return QEL_ST_INVALID;
        }
        attr.mask = prepared ? VIEW_ATTR_MODE_TOP : 0;
        qel_oid_s oid;
        ostrel_gen_oid(&oid);
        view_vob* vob = obj->vob;
        {
            Ns_Change_Write write;
            if (prepared) status = ostrel_db_setattr(obj, &attr);
            if (status == 0) {
                // The change takes the object's reference.
                frame.forget(obj);
                status = ostrel_db_choid(nullptr, obj, &oid);
            }
        }
        if (status != 0 || vstat_out == nullptr) return status;
        obj = frame.hold(locate_fhandle(vob, fh, &status));
        return obj == nullptr ? status : fstat_vstat(obj, 0, vstat_out);
    });
}

int ns_change_mtype(view_fhandle* fh, vob_mtype_t mtype, view_vstat* vstat_out) {
    return ns_operation("ns_change_mtype", [&](Ns_Rpc_Frame& frame) -> int {
        if (mtype != 19 && mtype != 21 && mtype != 23 && mtype != 26) return QEL_ST_INVALID;
        int status = 0;
        view_vstat current;
        obj_entry* obj = changeable_view_obj(frame, fh, &current, &status);
        if (obj == nullptr) return status;
        vob_mtype_t now = obj->mtype;
        if (now == 19 || now == 21 || now == 23 || now == 26) {
            {
                Ns_Change_Write write;
                status = ostrel_db_set_mtype(obj, mtype);
            }
            return status != 0 || vstat_out == nullptr ? status : fstat_vstat(obj, 0, vstat_out);
        }
        if (now == 22) return QEL_ST_INVALID;
        if ((now >= 1 && now <= 44) && now != 4) return QEL_ST_READ_ONLY;
        ns_int_error(SOURCE, __LINE__, NS_MSG_UNEXPECTED_MTYPE, static_cast<long>(now), obj_2str(obj));
        return QEL_ST_INTERNAL;
    });
}

int ns_adopt_cover_dir(const qel_uuid_s* vob_uuid, int32_t dir_dbid, const char* name, const qel_oid_s* vob_dir_oid) {
    return ns_operation("ns_adopt_cover_dir", [&](Ns_Rpc_Frame& frame) -> int {
        int status = 0;
        view_vob* vob = vob_find(vob_uuid, &status);
        if (vob == nullptr) return status;
        obj_entry* dir = frame.hold(locate_dbid(vob, dir_dbid, 1, &status));
        if (dir == nullptr) return status;
        unsigned state = 0;
        int flag = 0;
        obj_entry* entry = lookup_name(dir, name, &state, &flag, &status);
        if (entry == nullptr) return status;
        obj_free(entry);
        if ((state & (NAME_VIEW_RECORD | NAME_VOB)) != (NAME_VIEW_RECORD | NAME_VOB)) return QEL_ST_INTERNAL;
        obj_entry* vob_dir = frame.hold(obj_get_by_oid(vob, vob_dir_oid, 0));
        if (vob_dir == nullptr) return QEL_ST_NOT_FOUND;
        Ns_Change_Write write;
        return ostrel_db_adopt(nullptr, dir, vob_dir, name, state);
    });
}
