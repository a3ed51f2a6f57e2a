// Namespace operations and queries that the namespace cache calls on its
// objects: the names of view directories and the changes to them (create,
// link, unlink, rename, adopt, state, attributes, kind and oid of
// view-private objects, covers of VOB objects, hijacks), deleting a view
// object, and the texts that name objects in messages.
//
// A change runs in one write transaction and tells the namespace cache what
// changed only once it is committed: a failed commit rolls the records
// back, and the caches must not keep what never happened. A change that
// replaces a name removes it inside its own transaction, so a failure keeps
// the name.

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/ns/ostrel_db_ns.h"

#include "lib/core/ostrelagent_credentials.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_fstat.h"
#include "lib/ns/ns_locate.h"
#include "lib/ns/ns_lookup.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_container_removals.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_storage.h"

namespace {

// The status of an operation on the wrong kind of object.
constexpr int WRONG_KIND = 1001;
constexpr size_t TEXT_MAX = 1024;

const int QUIET_CHANGE[] = {QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_UNLINK[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_EMPTY, 0};
const int QUIET_LOOKUP[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_READ[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_STALE, 0};
const int QUIET_READDIR[] = {QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_NONE[] = {0};
const int QUIET_HIJACK_GET[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, QEL_ST_INVALID, 0};
const int QUIET_NOT_HIJACKED[] = {QEL_ST_NOT_FOUND, 0};

// A directory's size grows by a name's length plus this for every name.
constexpr uint32_t DIR_SIZE_OF_NEW = 89;
constexpr size_t TARGET_TEXT_MAX = 64;
// Name states as they are stored.
constexpr uint32_t STORED_ON_LINK = 0x201820;
constexpr uint32_t STORED_ON_SET = 0x201c20;
// Attribute mask bits beyond those the kernel protocol names.
constexpr uint32_t ATTR_MODE_LOW = 0x2;
constexpr uint32_t ATTR_ATIME = 0x100;
constexpr uint32_t ATTR_MTIME = 0x200;
constexpr uint32_t ATTR_CHANGES_CTIME = 0x68e;

// The changes a write makes to the namespace cache's objects, applied once
// the write is committed, and the containers it removes.
class Cache_Changes {
public:
    explicit Cache_Changes(view_vob* vob) : vob_(vob) {}
    // The record `dbid` has a new status.
    void status(uint32_t dbid, const qel_fstat_db_s& fstat) {
        qel_fstat_db_s handed_out = fstat;
        ostrel_db_hand_out_identities(handed_out);
        changes_.push_back({static_cast<int32_t>(dbid), true, handed_out});
    }
    // The record `dbid` went.
    void gone(uint32_t dbid) { changes_.push_back({static_cast<int32_t>(dbid), false, {}}); }
    void apply() {
        for (const Change& c : changes_) locate_cache_update(vob_, c.dbid, c.has_status ? &c.fstat : nullptr);
        changes_.clear();
    }
    OstrelDb_Container_Removals& removals() { return removals_; }

private:
    struct Change {
        int32_t dbid;
        bool has_status;
        qel_fstat_db_s fstat;
    };
    view_vob* vob_;
    std::vector<Change> changes_;
    OstrelDb_Container_Removals removals_;
};

// Runs `op` in a write transaction and applies `changes` once it committed.
template <typename Op>
int write_and_apply(Cache_Changes& changes, Op&& op) {
    int status = ostrel_db_in_transaction(1, op);
    if (status != 0) {
        changes.removals().failed();
        return status;
    }
    changes.removals().committed();
    changes.apply();
    return 0;
}

// The file type of a cover of `mtype`; 0 for a kind without cover.
uint32_t cover_file_type(vob_mtype_t mtype) {
    switch (mtype) {
    case 2: case 3: case 4: return QEL_FTYPE_DIR;
    case 5: case 6: case 8: case 9: return QEL_FTYPE_REG;
    case 7: return QEL_FTYPE_LNK;
    default: return QEL_FTYPE_NONE;
    }
}

qel_fstat_time_s time_of(const struct timeval& tv) {
    return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

// Applies the attributes that `attr`'s mask selects; true when any was.
bool apply_attributes(const view_set_attr& attr, qel_fstat_db_s* fstat) {
    bool applied = false;
    auto take = [&](uint32_t bit, auto set) {
        if ((attr.mask & bit) == 0) return;
        set();
        applied = true;
    };
    take(VIEW_ATTR_MODE_TOP, [&] { fstat->mode = (fstat->mode & ~VIEW_ATTR_MODE_TOP) | (attr.mode & VIEW_ATTR_MODE_TOP); });
    take(ATTR_MODE_LOW, [&] { fstat->mode = (fstat->mode & ~07777u) | (attr.mode & 07777u); });
    take(VIEW_ATTR_OWNER, [&] { fstat->usid = attr.owner; });
    take(VIEW_ATTR_GROUP, [&] { fstat->gsid = attr.group; });
    take(VIEW_ATTR_SIZE, [&] { fstat->size = attr.size; });
    take(ATTR_ATIME, [&] { fstat->atime = time_of(attr.atime); });
    take(ATTR_MTIME, [&] { fstat->mtime = time_of(attr.mtime); });
    if ((attr.mask & ATTR_CHANGES_CTIME) != 0) fstat->ctime = ostrela_db_view_time();
    return applied;
}

// The view directory of `dir` as the names' operations find it: its view
// object (1002 when it has none), and, for a VOB directory, its modification
// time, which the view directory's time never falls behind.
int view_directory(obj_entry* dir, obj_entry** view, qel_fstat_time_s* vob_time, bool* has_vob_time) {
    *view = obj_2view_obj(dir);
    *has_vob_time = false;
    if (*view == nullptr) return QEL_ST_NOT_FOUND;
    if (obj_isa_view_obj(dir)) return 0;
    int status = fstat_get(dir);
    if (status != 0) return status;
    *vob_time = dir->fep->fstat.mtime;
    *has_vob_time = true;
    return 0;
}

// The parent's cover and, for a VOB directory, its modification time: the
// second step of create and link.
int parent_cover(obj_entry* dir, obj_entry** cover, qel_fstat_time_s* vob_time, bool* has_vob_time) {
    int status = 0;
    *cover = create_cover_inode(obj_2elem(dir), &status);
    *has_vob_time = false;
    if (*cover == nullptr || obj_isa_view_obj(dir)) return status;
    if ((status = fstat_get(dir)) != 0) return status;
    *vob_time = dir->fep->fstat.mtime;
    *has_vob_time = true;
    return 0;
}

// Removes `name` from the view directory `dir_dbid` inside the caller's
// write transaction (see ostrel_db_unlink).
int unlink_in(view_build_rec* build, uint32_t dir_dbid, const char* name, uint32_t state,
              const qel_fstat_time_s* vob_time, Cache_Changes& changes) {
    bool keep = (state & (DIR_ENT_STATE_KEEP | DIR_ENT_STATE_DETACHED)) != 0;
    qel_fstat_db_s dir_fstat;
    int status = ostrela_db_inode_read(dir_dbid, nullptr, nullptr, &dir_fstat, nullptr, nullptr);
    uint32_t target = 0;
    if (status == 0) status = ostrela_db_dir_entry_delete(dir_dbid, name, keep, &target);
    if (status != 0) return status;
    if (target != 0) {
        qel_fstat_db_s fstat;
        uint32_t mtype = 0;
        if ((status = ostrela_db_inode_read(target, nullptr, nullptr, &fstat, &mtype, nullptr)) != 0) return status;
        bool remove = false;
        if (fstat.type == QEL_FTYPE_DIR && dir_fstat.nlink > 0) --dir_fstat.nlink;
        if (fstat.type == QEL_FTYPE_DIR && ostrel_db_is_private_mtype(mtype) && fstat.nlink <= 2) {
            if ((status = ostrela_db_dir_empty(target)) != 0) return status;
            remove = true;
        } else {
            if (fstat.nlink > 0) --fstat.nlink;
            if (fstat.nlink > 0 || mtype == 2) {
                fstat.ctime = ostrela_db_view_time();
                if ((status = ostrela_db_inode_rewrite(target, &fstat)) != 0) return status;
                changes.status(target, fstat);
            } else {
                remove = true;
            }
        }
        if (remove) {
            status = ostrela_db_inode_delete_kept(build, target, fstat.type, 0, nullptr, &changes.removals());
            if (status != 0) return status;
            changes.gone(target);
        }
    }
    if (!keep) dir_fstat.size = uint64_t{dir_fstat.size} - (std::strlen(name) + OSTREL_DB_DIRENT_OVERHEAD);
    ostrela_db_fix_dir_modtime(vob_time, &dir_fstat.mtime);
    dir_fstat.ctime = dir_fstat.mtime;
    if ((status = ostrela_db_inode_rewrite(dir_dbid, &dir_fstat)) != 0) return status;
    changes.status(dir_dbid, dir_fstat);
    return 0;
}

// Links `object` (0: a white-out) under `name` in the view directory
// `dir_dbid` inside the caller's write transaction. With `new_object` the
// object's status goes to `*obj_fstat` instead of the cache, which does not
// hold the object yet.
int link_in(uint32_t dir_dbid, const char* name, uint32_t object, uint32_t state, const qel_fstat_time_s* vob_time,
            Cache_Changes& changes, uint32_t* cookie, qel_fstat_db_s* new_object = nullptr) {
    qel_fstat_db_s dir_fstat, obj_fstat;
    int status = ostrela_db_link(dir_dbid, name, object, (state & STORED_ON_LINK) | DIR_ENT_STATE_VIEW, &dir_fstat,
                                 &obj_fstat, 0, vob_time, cookie);
    if (status != 0) return status;
    if (new_object != nullptr)
        *new_object = obj_fstat;
    else if (object != 0)
        changes.status(object, obj_fstat);
    changes.status(dir_dbid, dir_fstat);
    return 0;
}

// Whether a requested state replaces the name that exists: it has 0x1000
// and not 0x400.
bool replaces(uint32_t state) {
    return (state & DIR_ENT_STATE_VIEW) != 0 && (state & DIR_ENT_STATE_WHITEOUT) == 0;
}

// The first steps of create and link: the name to be replaced leaves the
// caches (1002 at once when the directory has no view object to hold it),
// and the parent's cover is made.
int prepare_name(obj_entry* dir, const char* name, uint32_t state, obj_entry** cover, qel_fstat_time_s* vob_time,
                 bool* has_vob_time) {
    *cover = nullptr;
    if (replaces(state)) {
        lookup_view_rm(dir, name, state);
        if (obj_2view_obj(dir) == nullptr) return QEL_ST_NOT_FOUND;
    }
    return parent_cover(dir, cover, vob_time, has_vob_time);
}

} // namespace

int ostrel_db_delete(obj_entry* obj) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_delete");
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    Cache_Changes changes(obj->vob);
    int status = write_and_apply(changes, [&] {
        qel_fstat_db_s fstat{};
        int st = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr);
        if (st != 0) return st;
        if (fstat.type == QEL_FTYPE_DIR) return WRONG_KIND;
        return ostrela_db_inode_delete_kept(nullptr, dbid, fstat.type, 0, nullptr, &changes.removals());
    });
    if (status == 0) {
        obj_flush(obj);
        return 0;
    }
    ostrel_db_report(status, QUIET_CHANGE, DBU_MSG_DELETE, obj_2str(obj));
    obj_free(obj);
    return status;
}

obj_entry* create_cover_inode(obj_entry* obj, int* status) {
    *status = 0;
    if (obj_isa_view_obj(obj)) return obj;
    if (obj->cover_obj != nullptr) return obj->cover_obj;
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "create_cover_inode");
    uint32_t type = cover_file_type(obj->mtype);
    if (type == QEL_FTYPE_NONE) {
        qel_log_int_error("view", "lib/ns/ostrel_db_ns", __LINE__, &_ostreladb_lib_db_utls_msg_table,
                          DBU_MSG_UNEXPECTED_MTYPE, static_cast<long>(obj->mtype), obj_2str(obj));
        *status = QEL_ST_INTERNAL;
        return nullptr;
    }
    view_vob* vob = obj->vob;
    qel_fstat_db_s fstat{};
    fstat.type = type;
    fstat.mode = 0xFFFFFFFFu;
    fstat.usid = CREDUTL_SID_DONTCARE;
    fstat.gsid = CREDUTL_SID_DONTCARE;
    uint32_t vob_dbid = 0, dbid = 0, gen = 0;
    bool made = false;
    int st = ostrel_db_in_transaction(1, [&] {
        int s2 = ostrela_db_vob_on_demand(vob, &vob_dbid, &made);
        if (s2 == 0) s2 = ostrela_db_inode_create(vob_dbid, &obj->oid, &fstat, obj->mtype, &dbid, &gen);
        if (s2 == 0 && type == QEL_FTYPE_DIR) s2 = ostrela_db_dir_create(dbid);
        return s2;
    });
    if (st == 0) {
        if (made) vob->db_id = vob_dbid;
        st = locate_cover_set(obj, static_cast<int32_t>(dbid), gen);
    }
    if (st != 0) {
        *status = ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_COVER, obj_2str(obj));
        return nullptr;
    }
    return obj->cover_obj;
}

obj_entry* ostrel_db_create(view_build_rec* build, obj_entry* dir, const char* name, const qel_oid_s* oid,
                            const view_set_attr* attr, unsigned state, int kind_flag, const char* text, int* status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_create");
    view_vob* vob = dir->vob;
    obj_entry* cover = nullptr;
    qel_fstat_time_s vob_time{};
    bool has_vob_time = false;
    int st = prepare_name(dir, name, state, &cover, &vob_time, &has_vob_time);
    if (st == 0 && text != nullptr && std::strlen(text) >= TEXT_MAX) st = QEL_ST_TOO_LONG;
    if (st != 0) {
        if (replaces(state)) lookup_invalidate(dir, name);
        *status = ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_CREATE, name, obj_2str(dir));
        return nullptr;
    }

    qel_fstat_db_s fstat{};
    fstat.type = attr->type;
    fstat.mode = 0777;
    fstat.usid = CREDUTL_SID_DONTCARE;
    fstat.gsid = CREDUTL_SID_DONTCARE;
    fstat.atime = fstat.mtime = fstat.ctime = ostrela_db_view_time();
    apply_attributes(*attr, &fstat);
    if (fstat.type == QEL_FTYPE_DIR) {
        fstat.nlink = 1;
        fstat.size += DIR_SIZE_OF_NEW;
    }
    vob_mtype_t kind = kind_flag != 0 ? VIEW_MTYPE_REQUESTED : VIEW_MTYPE_PRIVATE;
    uint32_t cover_dbid = static_cast<uint32_t>(cover->dbid);
    uint32_t vob_dbid = 0, dbid = 0, gen = 0, cookie = 0;
    bool made = false;
    Cache_Changes changes(vob);
    const qel_fstat_time_s* dir_time = has_vob_time ? &vob_time : nullptr;
    st = write_and_apply(changes, [&] {
        int s2 = replaces(state) ? unlink_in(build, cover_dbid, name, state, dir_time, changes) : 0;
        if (s2 == 0) s2 = ostrela_db_vob_on_demand(vob, &vob_dbid, &made);
        if (s2 == 0) s2 = ostrela_db_inode_create(vob_dbid, oid, &fstat, kind, &dbid, &gen);
        if (s2 == 0 && fstat.type == QEL_FTYPE_DIR) s2 = ostrela_db_dir_create(dbid);
        if (s2 == 0 && text != nullptr) {
            s2 = ostrela_db_inode_write_text(dbid, text);
        } else if (s2 == 0 && (fstat.type == 1 || fstat.type == 3 || fstat.type == 4 || fstat.type == 6)) {
            char container[TEXT_MAX];
            if (ostrel_storage_create(&cover->oid, oid, name, dbid, container, sizeof container) != 0 ||
                changes.removals().make(container, fstat.mode) != 0)
                return QEL_ST_NO_CLEARTEXT;
            s2 = ostrela_db_inode_write_text(dbid, container);
        }
        if (s2 == 0) s2 = link_in(cover_dbid, name, dbid, state, dir_time, changes, &cookie, &fstat);
        return s2;
    });
    if (st != 0) {
        if (replaces(state)) lookup_invalidate(dir, name);
        *status = ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_CREATE, name, obj_2str(dir));
        return nullptr;
    }
    if (made) vob->db_id = vob_dbid;
    ostrel_db_hand_out_identities(fstat);
    obj_entry* obj = locate_activate_view_obj(vob, static_cast<int32_t>(dbid), oid, kind, gen, &fstat, &st);
    if (obj == nullptr) {
        if (st == 0) ns_fatal("lib/ns/ostrel_db_ns", __LINE__, "st != QEL_ST_OK");
        *status = st;
        return nullptr;
    }
    uint32_t stored = (state & STORED_ON_LINK) | DIR_ENT_STATE_VIEW;
    lookup_view_add(dir, name, obj, stored, static_cast<int>(cookie), dbid);
    *status = 0;
    return obj;
}

int ostrel_db_link(view_build_rec* build, obj_entry* dir, const char* name, obj_entry* target, unsigned state) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_link");
    char target_text[TARGET_TEXT_MAX + 1] = "white-out";
    if (target != nullptr) std::snprintf(target_text, sizeof target_text, "%s", obj_2str(target));
    obj_entry* cover = nullptr;
    obj_entry* target_cover = nullptr;
    qel_fstat_time_s vob_time{};
    bool has_vob_time = false;
    int st = prepare_name(dir, name, state, &cover, &vob_time, &has_vob_time);
    if (st == 0 && target != nullptr) target_cover = create_cover_inode(obj_2elem(target), &st);
    uint32_t object = target_cover != nullptr ? static_cast<uint32_t>(target_cover->dbid) : 0;
    bool replacing = replaces(state);
    if (target == nullptr) state |= DIR_ENT_STATE_VIEW | DIR_ENT_STATE_WHITEOUT;
    uint32_t cookie = 0;
    Cache_Changes changes(dir->vob);
    if (st == 0) {
        uint32_t cover_dbid = static_cast<uint32_t>(cover->dbid);
        const qel_fstat_time_s* dir_time = has_vob_time ? &vob_time : nullptr;
        st = write_and_apply(changes, [&] {
            int s2 = replacing ? unlink_in(build, cover_dbid, name, state, dir_time, changes) : 0;
            return s2 != 0 ? s2 : link_in(cover_dbid, name, object, state, dir_time, changes, &cookie);
        });
    }
    if (st != 0 && replacing) lookup_invalidate(dir, name);
    if (st != 0) return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_LINK, name, obj_2str(dir), target_text);
    lookup_view_add(dir, name, target, (state & STORED_ON_LINK) | DIR_ENT_STATE_VIEW, static_cast<int>(cookie),
                    object);
    return 0;
}

int ostrel_db_unlink(view_build_rec* build, obj_entry* dir, const char* name, unsigned state) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_unlink");
    lookup_view_rm(dir, name, state);
    obj_entry* view = nullptr;
    qel_fstat_time_s vob_time{};
    bool has_vob_time = false;
    int st = view_directory(dir, &view, &vob_time, &has_vob_time);
    if (view == nullptr) return QEL_ST_NOT_FOUND;
    Cache_Changes changes(dir->vob);
    if (st == 0) {
        st = write_and_apply(changes, [&] {
            return unlink_in(build, static_cast<uint32_t>(view->dbid), name, state,
                             has_vob_time ? &vob_time : nullptr, changes);
        });
    }
    if (st == 0) return 0;
    lookup_invalidate(dir, name);
    return ostrel_db_report(st, QUIET_UNLINK, DBU_MSG_UNLINK, name, obj_2str(dir));
}

int ostrel_db_rename(view_build_rec* build, obj_entry* from_dir, const char* from_name, unsigned from_state,
                     obj_entry* to_dir, const char* to_name, unsigned to_state, obj_entry* moved,
                     const view_vstat* hijacked) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_rename");
    bool replacing = replaces(to_state);
    lookup_view_rm(from_dir, from_name, from_state);
    if (replacing) lookup_view_rm(to_dir, to_name, to_state);
    obj_entry* from_view = nullptr;
    obj_entry* to_cover = nullptr;
    obj_entry* moved_cover = nullptr;
    qel_fstat_time_s from_time{}, to_time{};
    bool has_from_time = false, has_to_time = false;
    int st = view_directory(from_dir, &from_view, &from_time, &has_from_time);
    if (st == 0) st = parent_cover(to_dir, &to_cover, &to_time, &has_to_time);
    if (st == 0) moved_cover = create_cover_inode(obj_2elem(moved), &st);
    uint32_t object = moved_cover != nullptr ? static_cast<uint32_t>(moved_cover->dbid) : 0;
    uint32_t cookie = 0;
    Cache_Changes changes(moved->vob);
    if (st == 0) {
        st = write_and_apply(changes, [&] {
            uint32_t to_dbid = static_cast<uint32_t>(to_cover->dbid);
            const qel_fstat_time_s* to_vob_time = has_to_time ? &to_time : nullptr;
            int s2 = replacing ? unlink_in(build, to_dbid, to_name, to_state, to_vob_time, changes) : 0;
            if (s2 == 0) s2 = link_in(to_dbid, to_name, object, to_state, to_vob_time, changes, &cookie);
            if (s2 == 0 && hijacked != nullptr)
                s2 = ostrela_db_hijack(to_dbid, to_name, &hijacked->obj_oid, &hijacked->elem_oid);
            if (s2 == 0)
                s2 = unlink_in(build, static_cast<uint32_t>(from_view->dbid), from_name, from_state,
                               has_from_time ? &from_time : nullptr, changes);
            return s2;
        });
    }
    if (st == 0) {
        lookup_view_add(to_dir, to_name, moved, (to_state & STORED_ON_LINK) | DIR_ENT_STATE_VIEW,
                        static_cast<int>(cookie), object);
        return 0;
    }
    lookup_invalidate(from_dir, from_name);
    lookup_invalidate(to_dir, to_name);
    char target_text[TARGET_TEXT_MAX + 1];
    std::snprintf(target_text, sizeof target_text, "%s", obj_2str(moved));
    return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_LINK, to_name, obj_2str(to_dir), target_text);
}

int ostrel_db_adopt(view_build_rec* build, obj_entry* from_dir, obj_entry* to_dir, const char* name, unsigned state) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_adopt");
    if (obj_isa_view_obj(to_dir) || to_dir->mtype != 2 || obj_isa_view_obj(from_dir))
        return ostrel_db_report(WRONG_KIND, QUIET_CHANGE, DBU_MSG_ADOPT, name, obj_2str(from_dir));
    obj_entry* from_view = nullptr;
    qel_fstat_time_s from_time{};
    bool has_from_time = false;
    int st = view_directory(from_dir, &from_view, &from_time, &has_from_time);
    if (from_view == nullptr) return QEL_ST_NOT_FOUND;
    unsigned adopted = 0, adopted_state = 0;
    if (st == 0) st = ostrel_db_lookup(from_dir, name, &adopted, &adopted_state);
    obj_entry* to_cover = st == 0 ? create_cover_inode(to_dir, &st) : nullptr;
    Cache_Changes changes(from_dir->vob);
    if (st == 0) {
        st = write_and_apply(changes, [&] {
            qel_fstat_db_s fstat;
            uint32_t mtype = 0;
            int s2 = adopted == 0 ? QEL_ST_INTERNAL
                                  : ostrela_db_inode_read(adopted, nullptr, nullptr, &fstat, &mtype, nullptr);
            if (s2 == 0 && (mtype != VIEW_MTYPE_PRIVATE || fstat.type != QEL_FTYPE_DIR)) s2 = QEL_ST_INTERNAL;
            // Every name of the directory, read before any moves.
            struct Entry {
                std::string name;
                uint32_t object, state;
            };
            std::vector<Entry> entries;
            std::vector<char> buf(4096);
            uint32_t cookie = 0;
            for (int end = 0; s2 == 0 && !end;) {
                size_t bytes = 0;
                s2 = ostrela_db_readdir(adopted, cookie, buf.data(), buf.size(), &bytes, &end);
                for (size_t at = 0; s2 == 0 && at < bytes;) {
                    const auto* e = reinterpret_cast<const view_db_readdir_entry*>(buf.data() + at);
                    entries.push_back({e->name, e->inode, e->state});
                    cookie = e->cookie;
                    at += view_db_readdir_entry_size(e->name_len);
                }
            }
            uint32_t to_dbid = static_cast<uint32_t>(to_cover->dbid);
            for (const Entry& e : entries) {
                uint32_t unused = 0, object = 0;
                if (s2 == 0) s2 = link_in(to_dbid, e.name.c_str(), e.object, e.state, has_from_time ? &from_time : nullptr,
                                         changes, &unused);
                if (s2 == 0) s2 = ostrela_db_dir_entry_delete(adopted, e.name.c_str(), 0, &object);
            }
            if (s2 == 0) s2 = ostrela_db_inode_read(adopted, nullptr, nullptr, &fstat, nullptr, nullptr);
            if (s2 == 0) {
                fstat.nlink = 2;
                s2 = ostrela_db_inode_rewrite(adopted, &fstat);
            }
            if (s2 == 0)
                s2 = unlink_in(build, static_cast<uint32_t>(from_view->dbid), name, state,
                               has_from_time ? &from_time : nullptr, changes);
            return s2;
        });
    }
    lookup_invalidate(from_dir, name);
    if (st == 0) return 0;
    return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_ADOPT, name, obj_2str(from_dir));
}

int ostrel_db_setattr(obj_entry* obj, const view_set_attr* attr) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_setattr");
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    Cache_Changes changes(obj->vob);
    int st = write_and_apply(changes, [&] {
        qel_fstat_db_s fstat;
        int s2 = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr);
        if (s2 == 0 && apply_attributes(*attr, &fstat)) s2 = ostrela_db_inode_rewrite(dbid, &fstat);
        if (s2 == 0) changes.status(dbid, fstat);
        return s2;
    });
    return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_SETATTR, obj_2str(obj));
}

int ostrel_db_set_mtype(obj_entry* obj, vob_mtype_t mtype) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_set_mtype");
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    Cache_Changes changes(obj->vob);
    int st = write_and_apply(changes, [&] {
        uint32_t current = 0;
        qel_fstat_db_s fstat;
        int s2 = ostrela_db_inode_read(dbid, nullptr, nullptr, nullptr, &current, nullptr);
        if (s2 != 0) return s2;
        if (!ostrel_db_is_private_mtype(current) || !ostrel_db_is_private_mtype(mtype)) {
            qel_log_int_error("view", "lib/ns/ostrel_db_ns", __LINE__, &_ostreladb_lib_db_utls_msg_table,
                              DBU_MSG_UNEXPECTED_MTYPE, static_cast<long>(mtype), obj_2str(obj));
            return QEL_ST_INTERNAL;
        }
        s2 = ostrela_db_inode_set_oid(dbid, nullptr, mtype, 0);
        // The kind's change is a change of the object: its change time moved.
        if (s2 == 0) s2 = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr);
        if (s2 == 0) changes.status(dbid, fstat);
        return s2;
    });
    if (st == 0) obj->mtype = mtype;
    return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_SET_OID, obj_2str(obj));
}

int ostrel_db_choid(view_build_rec* build, obj_entry* obj, const qel_oid_s* oid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_choid");
    vob_mtype_t kind = VIEW_MTYPE_PRIVATE;
    if (build != nullptr && build->cr_ref != 0)
        kind = (build->flags & 0x1) != 0 ? VIEW_MTYPE_BUILD_FLAGGED : VIEW_MTYPE_BUILD;
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    int st = ostrel_db_in_transaction(1, [&] {
        int s2 = ostrela_db_inode_set_oid(dbid, oid, kind, 0);
        char text[TEXT_MAX];
        if (s2 == 0) s2 = ostrela_db_inode_read_text(dbid, text, sizeof text);
        if (s2 == 0 && text[0] == '\0') {
            if (ostrel_storage_create(oid, oid, "cow", dbid, text, sizeof text) != 0) return QEL_ST_NO_CLEARTEXT;
            s2 = ostrela_db_inode_write_text(dbid, text);
        }
        return s2;
    });
    if (st == 0) {
        obj_flush(obj);
        return 0;
    }
    ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_SET_OID, obj_2str(obj));
    obj_free(obj);
    return st;
}

int ostrel_db_state_set(obj_entry* dir, const char* name, unsigned state, int) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_state_set");
    obj_entry* view = obj_2view_obj(dir);
    int st = view == nullptr ? QEL_ST_NOT_FOUND : ostrel_db_in_transaction(1, [&] {
        return ostrela_db_dir_entry_state_set(static_cast<uint32_t>(view->dbid), name, state & STORED_ON_SET);
    });
    lookup_invalidate(dir, name);
    return ostrel_db_report(st, QUIET_CHANGE, DBU_MSG_STATE_SET, name, obj_2str(dir));
}

int ostrel_db_lookup(obj_entry* dir, const char* name, unsigned* dbid, unsigned* state) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_lookup");
    obj_entry* view = obj_2view_obj(dir);
    if (view == nullptr) return QEL_ST_NOT_FOUND;
    uint32_t object = 0, found_state = 0;
    int st = ostrel_db_in_transaction(0, [&] {
        return ostrela_db_dir_entry_lookup(static_cast<uint32_t>(view->dbid), name, &object, &found_state);
    });
    if (st == 0) {
        *dbid = object;
        *state = found_state;
    }
    return ostrel_db_report(st, QUIET_LOOKUP, DBU_MSG_LOOKUP, name, obj_2str(dir));
}

int ostrel_db_readdir(obj_entry* dir, int cookie, void* buf, unsigned size, unsigned* bytes, int* end) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_readdir");
    size_t filled = 0;
    int st = ostrel_db_in_transaction(0, [&] {
        return ostrela_db_readdir(static_cast<uint32_t>(dir->dbid), static_cast<uint32_t>(cookie), buf, size, &filled,
                                  end);
    });
    *bytes = st == 0 ? static_cast<unsigned>(filled) : 0;
    return ostrel_db_report(st, QUIET_READDIR, DBU_MSG_READDIR, obj_2str(dir));
}

int ostrel_db_readlink(obj_entry* obj, unsigned size, char* buf) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_readlink");
    int st = ostrel_db_in_transaction(0, [&] {
        return ostrela_db_inode_read_text(static_cast<uint32_t>(obj->dbid), buf, size);
    });
    return ostrel_db_report(st, QUIET_READ, DBU_MSG_READLINK, obj_2str(obj));
}

int ostrel_db_cltxt_name(obj_entry* obj, unsigned size, char* buf) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_cltxt_name");
    char text[TEXT_MAX];
    int st = ostrel_db_in_transaction(0, [&] {
        return ostrela_db_inode_read_text(static_cast<uint32_t>(obj->dbid), text, sizeof text);
    });
    if (st == 0 && text[0] == '\0') {
        if (size == 0) return QEL_ST_TOO_LONG;
        buf[0] = '\0';
        return 0;
    }
    if (st == 0 && validate_pname(text) != 0) st = QEL_ST_NOT_PERMITTED;
    if (st == 0) {
        std::string path = std::string(OSTREL_STORAGE_POOL) + "/" + text;
        if (path.size() + 1 > size) {
            st = QEL_ST_TOO_LONG;
        } else {
            std::memcpy(buf, path.c_str(), path.size() + 1);
        }
    }
    return ostrel_db_report(st, QUIET_READ, DBU_MSG_CLTXT, obj_2str(obj));
}

int ostrel_db_find_parent(obj_entry* obj, unsigned* parent, char* name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_find_parent");
    uint32_t found = 0;
    int st = ostrel_db_in_transaction(0, [&] {
        return ostrela_db_find_parent(static_cast<uint32_t>(obj->dbid), &found, name);
    });
    if (st == 0) *parent = found;
    return st;
}

int ostrel_db_dir_empty(obj_entry* obj) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_dir_empty");
    int empty = 0;
    int st = ostrel_db_in_transaction(0, [&] {
        empty = ostrela_db_dir_empty(static_cast<uint32_t>(obj->dbid));
        return 0;
    });
    return st != 0 ? st : empty;
}

int ostrel_db_rename_unique(obj_entry* dir, const char* name, const char* suffix, char* out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_rename_unique");
    int st = 0;
    obj_entry* cover = create_cover_inode(obj_2elem(dir), &st);
    std::string candidate = std::string(name) + suffix;
    if (st == 0 && candidate.size() >= OSTREL_DB_NAME_BUF) st = QEL_ST_TOO_LONG;
    Cache_Changes changes(dir->vob);
    if (st == 0) {
        st = write_and_apply(changes, [&] {
            uint32_t cover_dbid = static_cast<uint32_t>(cover->dbid);
            uint32_t object = 0, state = 0;
            int s2 = ostrela_db_dir_entry_lookup(cover_dbid, name, &object, &state);
            for (int n = 1; s2 == 0;) {
                uint32_t taken = 0, taken_state = 0;
                int found = ostrela_db_dir_entry_lookup(cover_dbid, candidate.c_str(), &taken, &taken_state);
                if (found == QEL_ST_NOT_FOUND) break;
                if (found != 0) return found;
                char next[OSTREL_DB_NAME_BUF + 16];
                std::snprintf(next, sizeof next, "%s%s.%d", name, suffix, n++);
                candidate = next;
                if (candidate.size() >= OSTREL_DB_NAME_BUF) return QEL_ST_TOO_LONG;
            }
            uint32_t cookie = 0;
            if (s2 == 0) s2 = link_in(cover_dbid, candidate.c_str(), object, state, nullptr, changes, &cookie);
            if (s2 == 0) s2 = unlink_in(nullptr, cover_dbid, name, state & ~DIR_ENT_STATE_KEEP, nullptr, changes);
            return s2;
        });
    }
    if (st == 0) {
        std::memcpy(out, candidate.c_str(), candidate.size() + 1);
        lookup_invalidate(dir, name);
        lookup_invalidate(dir, candidate.c_str());
        return 0;
    }
    return ostrel_db_report(st, QUIET_NONE, DBU_MSG_RENAME_UNIQUE, name, obj_2str(dir));
}

// ---- hijacks ----------------------------------------------------------------------------

int ostrel_db_hijack_set(obj_entry* dir, const char* name, const view_vstat* vstat) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_hijack_set");
    int st = 0;
    obj_entry* cover = create_cover_inode(obj_2elem(dir), &st);
    if (cover != nullptr) {
        st = ostrel_db_in_transaction(1, [&] {
            return ostrela_db_hijack(static_cast<uint32_t>(cover->dbid), name, &vstat->obj_oid, &vstat->elem_oid);
        });
    }
    return ostrel_db_report(st, QUIET_NONE, DBU_MSG_HIJACK, name, obj_2str(dir));
}

int ostrel_db_hijack_get(obj_entry* dir, const char* name, view_vstat* vstat) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_hijack_get");
    // Without a view object the directory holds no hijacked name.
    obj_entry* view = obj_2view_obj(dir);
    qel_oid_s obj_oid{}, elem_oid{};
    int st = view == nullptr ? QEL_ST_NOT_FOUND : ostrel_db_in_transaction(0, [&] {
        return ostrela_db_hijack_get(static_cast<uint32_t>(view->dbid), name, &obj_oid, &elem_oid);
    });
    if (st == 0) {
        vstat->obj_oid = obj_oid;
        vstat->elem_oid = elem_oid;
    }
    return ostrel_db_report(st, QUIET_HIJACK_GET, DBU_MSG_HIJACK_GET, name, obj_2str(dir));
}

namespace {

// Returns the hijacked name of the view directory `dir_dbid` to a plain view
// name inside the caller's write transaction: its hijack bits go and its
// saved oids are erased. 1002 when the name is not hijacked; `*state` is
// the state left.
int clear_hijack(uint32_t dir_dbid, const char* name, uint32_t* state) {
    uint32_t object = 0;
    int status = ostrela_db_dir_entry_lookup(dir_dbid, name, &object, state);
    if (status == 0 && (*state & DIR_ENT_STATE_HIJACKED) == 0) status = QEL_ST_NOT_FOUND;
    *state &= ~(DIR_ENT_STATE_HIJACKED | DIR_ENT_STATE_KEEP);
    if (status == 0) status = ostrela_db_dir_entry_state_set(dir_dbid, name, *state);
    if (status == 0) status = ostrela_db_hijack(dir_dbid, name, &QEL_OID_NULL, &QEL_OID_NULL);
    return status;
}

// 0 when the name of the view directory `dir_dbid` is hijacked, 1002 when
// it is not, else the look-up's status.
int hijacked_entry(uint32_t dir_dbid, const char* name) {
    uint32_t object = 0, state = 0;
    const int status = ostrela_db_dir_entry_lookup(dir_dbid, name, &object, &state);
    return status == 0 && (state & DIR_ENT_STATE_HIJACKED) == 0 ? QEL_ST_NOT_FOUND : status;
}

} // namespace

int ostrel_db_unhijack(obj_entry* dir, const char* name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_unhijack");
    obj_entry* view = obj_2view_obj(dir);
    int st = QEL_ST_NOT_FOUND;
    if (view != nullptr) {
        const uint32_t dir_dbid = static_cast<uint32_t>(view->dbid);
        // Most names asked about are not hijacked: a read says so without a
        // write transaction, whose abort would force the files to disk.
        st = ostrel_db_in_transaction(0, [&] { return hijacked_entry(dir_dbid, name); });
        if (st == 0) st = ostrel_db_in_transaction(1, [&] {
            uint32_t state = 0;
            return clear_hijack(dir_dbid, name, &state);
        });
    }
    lookup_invalidate(dir, name);
    // A name that is not hijacked is the usual answer, which callers that
    // asked for a hijack report themselves.
    return ostrel_db_report(st, QUIET_NOT_HIJACKED, DBU_MSG_UNHIJACK, name, obj_2str(dir));
}

int ostrel_db_remove_hijack(obj_entry* dir, const char* name) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_remove_hijack");
    obj_entry* view = nullptr;
    qel_fstat_time_s vob_time{};
    bool has_vob_time = false;
    int st = view_directory(dir, &view, &vob_time, &has_vob_time);
    const qel_oid_s& elem_oid = obj_2elem(dir)->oid;
    Cache_Changes changes(dir->vob);
    if (st == 0) {
        st = write_and_apply(changes, [&] {
            uint32_t vob_dbid = 0, cover = 0, state = 0;
            int s2 = ostrela_db_vob_lookup(&dir->vob->uuid, &vob_dbid);
            if (s2 == 0) s2 = ostrela_db_inode_lookup(vob_dbid, &elem_oid, &cover);
            if (s2 == 0) s2 = clear_hijack(cover, name, &state);
            if (s2 == 0) s2 = unlink_in(nullptr, cover, name, state, has_vob_time ? &vob_time : nullptr, changes);
            return s2;
        });
    }
    lookup_invalidate(dir, name);
    return ostrel_db_report(st, OSTREL_DB_QUIET_NOT_FOUND, DBU_MSG_RM_HIJACK, name, obj_2str(dir));
}

namespace {

// A message text "VOB name:id" kept in `slot` until the next call with it;
// a fixed text when memory for it cannot be had.
const char* vob_text(std::string& slot, const view_vob* vob, const char* id) {
    try {
        slot = (vob != nullptr ? vob->name : std::string()) + ":" + id;
        return slot.c_str();
    } catch (const std::bad_alloc&) {
        return "** Out of memory **";
    }
}

const char* dbid_text(std::string& slot, const view_vob* vob, uint32_t dbid) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%lX", static_cast<unsigned long>(dbid));
    return vob_text(slot, vob, number);
}

} // namespace

const char* ostrel_dbid2str(const view_vob* vob, unsigned dbid) {
    static std::string slot;
    return dbid_text(slot, vob, dbid);
}

const char* ostrel_oid2str(const view_vob* vob, const qel_oid_s* oid) {
    static std::string slot;
    char text[QEL_OID_STR_SIZE];
    return vob_text(slot, vob, qel_oid_to_str(oid, text));
}

const char* obj_2str(const obj_entry* obj) {
    static std::string slot;
    return dbid_text(slot, obj->vob, static_cast<uint32_t>(obj->dbid));
}
