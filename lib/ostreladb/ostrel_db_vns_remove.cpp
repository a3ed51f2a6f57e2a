// Removal of loaded namespace objects, in order: a name, then a version or
// link once it has no name left (its object record with it; the element
// stays), and a directory with everything below it, deepest first. A
// directory still named elsewhere in the default scope only loses the name
// and is made stale with its tree, to be fetched again.
#include <set>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

// The record of a version (kind 3, 6, 8) or link (7).
struct kind_records {
    long key;
    int type;
    int names;
    const char* object;
};
kind_records records_of(uint32_t mtype) {
    if (mtype == VNS_MTYPE_SLINK) return {SLINK_KEY, VNS_DB_SLINK, SLINK_DIR_ENT_SET, "SLINK_ONE_DEL"};
    return {VER_KEY, VNS_DB_VER, VER_DIR_ENT_SET, "VER_ONE_DEL"};
}

// Removes one name of the object (the entry at `entry`, else its first
// name in `parent`) and tells whether the object has no name left. `*at`
// is the object's record, current afterwards.
int remove_name(db_address vob, uint32_t dbid, const kind_records& kind, uint32_t parent, db_address entry,
                db_address* at, bool* last) {
    *last = false;
    int32_t count = 0;
    int status = ostrela_db_need_by_dbid(kind.key, kind.type, vob, dbid, kind.object, at);
    if (status == 0) status = ostrela_db_count_members(kind.names, &count, kind.object);
    if (status != 0) return status;
    if (entry == 0 && parent != 0) {
        std::vector<db_address> entries;
        if ((status = ostrela_db_collect_members(kind.names, entries, kind.object)) != 0) return status;
        for (db_address e : entries) {
            uint32_t in = 0;
            status = ostrela_db_engine(dt_crset(&e, &view_db_task, VDB), "D_CRSET", "DIR_ENT_ONE_DEL");
            if (status == 0)
                status = ostrela_db_engine(dt_crread(DIR_VER_ENT_PARENT, &in, &view_db_task, VDB), "D_CRREAD",
                                           "DIR_ENT_ONE_DEL");
            if (status != 0) return status;
            if (in == parent) {
                entry = e;
                break;
            }
        }
    }
    if (entry != 0) {
        if ((status = ostrela_db_remove_one_dir_ver_ent(entry)) != 0) return status;
        --count;
    }
    // The object goes only when no name names it any more.
    *last = count <= 0;
    return ostrela_db_engine(dt_crset(at, &view_db_task, VDB), "D_CRSET", kind.object);
}

// Deletes the object record of `dbid`.
int delete_object(db_address vob, uint32_t dbid, const char* object) {
    db_address at = 0;
    int status = ostrela_db_need_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, object, &at);
    return status != 0 ? status : ostrela_db_disdel_at(at, object);
}

// A directory named elsewhere only in the default scope, and everything
// below it, made stale: the versions stale, the directories unlisted. Links
// stay as they are. A directory met twice is walked once.
int make_tree_stale(db_address vob, uint32_t dir) {
    uint32_t handle = ostrela_db_dba2dbid(vob);
    int status = ostrela_db_ver_set_stale(handle, dir, 1);
    if (status == 0) status = ostrela_db_ver_set_readdir_done_only(vob, dir, 0);
    if (status == 0) status = ostrela_db_mark_sub_ver_stale(vob, dir, 1);
    std::set<uint32_t> seen{dir};
    std::vector<uint32_t> level{dir};
    while (status == 0 && !level.empty()) {
        std::vector<uint32_t> next;
        for (size_t i = 0; status == 0 && i < level.size(); ++i) {
            std::vector<ostrela_db_sub_vers> subs;
            status = ostrela_db_get_sub_vers(vob, level[i], subs);
            for (size_t s = 0; status == 0 && s < subs.size(); ++s) {
                const ostrela_db_sub_vers& sub = subs[s];
                if (sub.mtype == VNS_MTYPE_VER || sub.mtype == VNS_MTYPE_DERIVED_VER) {
                    status = ostrela_db_ver_set_stale(handle, sub.dbid, 1);
                } else if (sub.mtype == VNS_MTYPE_DIR_VER && seen.insert(sub.dbid).second) {
                    status = ostrela_db_ver_set_stale(handle, sub.dbid, 1);
                    if (status == 0) status = ostrela_db_ver_set_readdir_done_only(vob, sub.dbid, 0);
                    next.push_back(sub.dbid);
                }
            }
        }
        level.swap(next);
    }
    return status;
}

} // namespace

int ostrela_db_remove_one_dir_ver_ent(db_address entry) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_remove_one_dir_ver_ent");
    vns_db_dir_ver_ent rec;
    int status = ostrela_db_read_at(entry, &rec, "REMOVE_DIR_ENT");
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "REMOVE_DIR_ENT");
    if (status == 0 && rec.mtype == VNS_MTYPE_DIR_VER) ostrela_db_subdirs_forget(rec.vob_dba, rec.parent);
    if (status == 0) status = ostrela_db_bytes_delete(rec.bytes_dba);
    if (status == 0) trace.state("removed dir_ver_ent dbid %d parent %d\n", rec.ver, rec.parent);
    return status;
}

int ostrela_db_remove_one_ver(db_address vob, uint32_t dbid, uint32_t parent, db_address entry) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_remove_one_ver");
    vns_db_ver rec;
    db_address at = 0, dir_at = 0;
    int status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, "VER_ONE_DEL", &at);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VER_ONE_DEL");
    if (status == 0 && rec.mtype == VNS_MTYPE_DIR_VER) {
        // A directory that still holds names cannot go.
        int32_t count = 0;
        status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, "DIR_ONE_DEL", &dir_at);
        if (status == QEL_ST_NOT_FOUND) status = 0;
        if (status == 0 && dir_at != 0) status = ostrela_db_count_members(DIR_VER_ENT_SET, &count, "DIR_ONE_DEL");
        if (status == 0 && count > 0) status = QEL_ST_INTERNAL;
    }
    bool last = false;
    if (status == 0) status = remove_name(vob, dbid, records_of(rec.mtype), parent, entry, &at, &last);
    if (status != 0 || !last) return status;
    status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "VER_ONE_DEL_2");
    if (status == 0 && dir_at != 0) status = ostrela_db_disdel_at(dir_at, "DIR_ONE_DEL");
    if (status == 0) status = delete_object(vob, dbid, "VER_ONE_DEL_2");
    if (status == 0) trace.state("removed ver dbid %d\n", dbid);
    return status;
}

int ostrela_db_remove_one_slink(db_address vob, uint32_t dbid, uint32_t parent, db_address entry) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_remove_one_slink");
    db_address at = 0;
    bool last = false;
    int status = remove_name(vob, dbid, records_of(VNS_MTYPE_SLINK), parent, entry, &at, &last);
    if (status != 0 || !last) return status;
    vns_db_slink rec;
    status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "SLINK_ONE_DEL_2");
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "SLINK_ONE_DEL_2");
    if (status == 0) status = ostrela_db_bytes_delete(rec.bytes_dba);
    if (status == 0) status = delete_object(vob, dbid, "SLINK_ONE_DEL_3");
    if (status == 0) trace.state("removed slink dbid %d\n", dbid);
    return status;
}

int ostrela_db_remove_version(db_address vob, uint32_t dbid, uint32_t mtype, uint32_t parent, db_address entry,
                              bool* made_stale) {
    ostrela_db_trans_write_check();
    if (mtype == VNS_MTYPE_VER || mtype == VNS_MTYPE_DERIVED_VER) return ostrela_db_remove_one_ver(vob, dbid, parent, entry);
    if (mtype == VNS_MTYPE_SLINK) return ostrela_db_remove_one_slink(vob, dbid, parent, entry);
    if (mtype != VNS_MTYPE_DIR_VER) return QEL_ST_INTERNAL;
    int32_t count = 0;
    std::vector<qel_oid_s> scopes;
    int status = entry != 0 ? ostrela_db_ver_has_hardlink(entry, &count, nullptr, &scopes) : 0;
    if (status != 0) return status;
    if (count > 1) {
        // Named elsewhere too: only this name goes. Names elsewhere that
        // the default scope loaded on demand must be fetched again.
        if ((status = ostrela_db_remove_one_dir_ver_ent(entry)) != 0) return status;
        bool all_default = true;
        for (const qel_oid_s& scope : scopes) all_default = all_default && ostrela_db_is_def_scope(&scope);
        if (!all_default) return 0;
        *made_stale = true;
        status = ostrela_db_ver_set_readdir_done_only(vob, parent, 0);
        return status != 0 ? status : make_tree_stale(vob, dbid);
    }
    std::vector<ostrela_db_sub_vers> subs;
    if ((status = ostrela_db_get_sub_vers(vob, dbid, subs)) != 0) return status;
    for (const ostrela_db_sub_vers& sub : subs) {
        // A name that an earlier removal took with its directory is gone.
        if (ostrela_db_gone(sub.entry, VNS_DB_DIR_VER_ENT)) continue;
        if ((status = ostrela_db_remove_version(vob, sub.dbid, sub.mtype, dbid, sub.entry, made_stale)) != 0)
            return status;
    }
    if ((status = ostrela_db_remove_one_ver(vob, dbid, parent, entry)) != 0 || parent != 0) return status;
    // A VOB's root directory: the VOB record no longer names it.
    uint32_t root = 0;
    status = ostrela_db_engine(dt_crset(&vob, &view_db_task, VDB), "D_CRSET", "REMOVE_VER");
    if (status == 0) status = ostrela_db_engine(dt_crread(VOB_ROOT_DIR_DBID, &root, &view_db_task, VDB), "D_CRREAD", "REMOVE_VER");
    if (status == 0 && root == dbid) {
        root = 0;
        status = ostrela_db_engine(dt_crwrite(VOB_ROOT_DIR_DBID, &root, &view_db_task, VDB), "D_CRWRITE", "REMOVE_VER");
    }
    return status;
}

int ostrela_db_delete_vns_ver(uint32_t vob, uint32_t dbid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_delete_vns_ver");
    db_address dba = 0, entry = 0;
    uint32_t mtype = 0, parent = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status == 0 && vns_is_element(mtype)) status = QEL_ST_NOT_FOUND;
    if (status == 0) status = ostrela_db_ver_get_parent(vob, dbid, &parent, nullptr, &entry);
    // A version without a name goes by itself.
    if (status == QEL_ST_NOT_FOUND && !vns_is_element(mtype) && mtype != 0) status = 0;
    bool stale = false;
    return status != 0 ? status : ostrela_db_remove_version(dba, dbid, mtype, parent, entry, &stale);
}
