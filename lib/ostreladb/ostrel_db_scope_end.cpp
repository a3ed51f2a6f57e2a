// The end of a scope's load or update, and the removal of scopes and of
// the whole loaded namespace: the surviving entries take the new generation
// number, directory versions get back the readdir-done flag that the load
// saved aside, what the update marked removed goes (directories last), and
// the scope returns to idle. Entries move between scopes, one at a time or
// with a directory's whole tree.
#include <algorithm>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

int name_shown(const vns_db_dir_ver_ent& rec) { return std::min<int>(rec.name_len, DIR_VER_ENT_NAME_ROOM); }

// The scope of `oid`: its address, current, and its entries in set order.
int scope_members(const qel_oid_s* oid, uint32_t* dbid, std::vector<db_address>& members, const char* object) {
    int status = ostrela_db_lookup_lr_scope_oid(oid, dbid);
    return status != 0 ? status : ostrela_db_collect_members(SCOPE_DIR_VER_ENT_SET, members, object);
}

// Reads the scope record at `dbid`, lets `change` alter it and writes it.
template <typename Change>
int update_scope_at(uint32_t dbid, const char* object, Change change) {
    vns_db_lr_scope rec;
    int status = ostrela_db_read_at(dbid, &rec, object);
    if (status != 0) return status;
    change(rec);
    return ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
}

// The load or update of the scope at `dbid` has ended at `gn`.
int complete_scope(uint32_t dbid, uint32_t gn, const char* object) {
    return update_scope_at(dbid, object, [gn](vns_db_lr_scope& rec) {
        rec.completed_gn = gn;
        rec.state = LR_SCOPE_IDLE;
    });
}

// Deletes the scope record at `dbid` with its name's byte string.
int delete_scope_record(uint32_t dbid, const char* object) {
    vns_db_lr_scope rec;
    int status = ostrela_db_read_at(dbid, &rec, object);
    if (status == 0) status = ostrela_db_bytes_delete(rec.name_chain);
    if (status == 0) status = ostrela_db_disdel_at(dbid, object);
    return status;
}

// The entry's directory version: `restore` moves its saved readdir state
// back at the end of a load (only a saved 3 means listed), else at the end
// of an update (2 and 3 mean listed; a listed one's names become valid).
int move_saved_readdir(const vns_db_dir_ver_ent& ent, bool load) {
    OstrelDb_Trace trace(load ? "ostrela_db_load_saved_readdir_done" : "ostrela_db_move_saved_readdir");
    const char* const object = load ? "LOAD_SAVED_READDIR" : "MOVE_SAVED_READDIR";
    vns_db_dir_ver rec;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, ent.vob_dba, ent.ver, object);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
    if (status != 0) return status;
    trace.state("nsdir ver dbid %d old done=%d old save=%d\n", ent.ver, rec.rddir_done, rec.saved);
    if (!load && rec.saved == DIR_VER_SAVED_NONE) return 0;
    vns_db_dir_ver before = rec;
    if (load) {
        if (rec.saved == DIR_VER_SAVED_SCOPE) rec.rddir_done = 1;
    } else {
        rec.rddir_done = rec.saved == DIR_VER_SAVED_READ || rec.saved == DIR_VER_SAVED_SCOPE ? 1 : 0;
    }
    rec.saved = DIR_VER_SAVED_NONE;
    trace.state("nsdir ver dbid %d new done=%d new save=%d\n", ent.ver, rec.rddir_done, rec.saved);
    if (rec.rddir_done != before.rddir_done || rec.saved != before.saved)
        status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
    if (status == 0 && !load && rec.rddir_done) status = ostrela_db_mark_sub_ver_stale(ent.vob_dba, ent.ver, 0);
    return status;
}

// Clears the readdir-done flag of a parent that is still there.
int unlist_parent(db_address vob, uint32_t parent) {
    int status = ostrela_db_ver_set_readdir_done_only(vob, parent, 0);
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

// Every record of `type`, in record order.
int records_of(int type, std::vector<db_address>& records, const char* object) {
    int status = ostrela_db_scan_records(type, 0, object, [&](db_address record) {
        records.push_back(record);
        return OSTREL_DB_WALK_ON;
    });
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

} // namespace

int ostrela_db_end_lr_scope_load(const qel_oid_s* oid, uint32_t gn, bool set_gn, bool restore_readdir) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_end_lr_scope_load");
    const char* const object = "END_LR_SCOPE_LOAD";
    uint32_t dbid = 0;
    std::vector<db_address> members;
    int status = scope_members(oid, &dbid, members, object);
    for (size_t i = 0; status == 0 && i < members.size(); ++i) {
        vns_db_dir_ver_ent ent;
        status = ostrela_db_read_at(members[i], &ent, object);
        if (status == 0 && set_gn && ent.gn != gn) {
            ent.gn = gn;
            status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", object);
        }
        if (status == 0 && restore_readdir && ent.mtype == VNS_MTYPE_DIR_VER) status = move_saved_readdir(ent, true);
    }
    if (status == 0 && set_gn) status = complete_scope(dbid, gn, object);
    return status;
}

int ostrela_db_end_lr_scope_update(const qel_oid_s* oid, uint32_t gn) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_end_lr_scope_update");
    const char* const object = "END_LR_SCOPE_UPDATE";
    bool default_scope = ostrela_db_is_def_scope(oid);
    uint32_t dbid = 0;
    std::vector<db_address> members, removals, dirs;
    int status = scope_members(oid, &dbid, members, object);
    for (size_t i = 0; status == 0 && i < members.size(); ++i) {
        vns_db_dir_ver_ent ent;
        status = ostrela_db_read_at(members[i], &ent, object);
        if (status != 0) break;
        if (ent.remove) {
            removals.push_back(members[i]);
            continue;
        }
        if (ent.gn != gn) {
            ent.gn = gn;
            status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", object);
        }
        if (status == 0 && ent.mtype == VNS_MTYPE_DIR_VER && !default_scope) status = move_saved_readdir(ent, false);
    }
    for (size_t i = 0; status == 0 && i < removals.size(); ++i)
        status = ostrela_db_lr_scope_remove_ver(removals[i], 0, dirs);
    if (status == 0) status = ostrela_db_lr_scope_remove_dir(0, dirs);
    if (status == 0) status = complete_scope(dbid, gn, object);
    return status;
}

int ostrela_db_end_def_scope(uint32_t gn) { return ostrela_db_end_lr_scope_update(&AUTOMATIC_LOAD_SCOPE_OID, gn); }

int ostrela_db_lr_scope_remove_ver(db_address entry, int clear_parent_done, std::vector<db_address>& dirs) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_lr_scope_remove_ver");
    const char* const object = "SCOPE_REMOVE_VER";
    // A name that an earlier removal took with its directory is gone.
    int st = dt_crset(&entry, &view_db_task, VDB);
    if (st == S_DELETED) return 0;
    int type = 0;
    int status = ostrela_db_engine(st, "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", object);
    if (status == 0 && type != VNS_DB_DIR_VER_ENT) status = QEL_ST_INTERNAL;
    vns_db_dir_ver_ent ent;
    if (status == 0) status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", object);
    if (status != 0) return status;
    trace.state("removing ver dbid %d name '%.*s' parent %d GN %d\n", ent.ver, name_shown(ent), ent.name, ent.parent,
                ent.gn);
    if (ent.mtype == VNS_MTYPE_DIR_VER) {
        dirs.push_back(entry);
        return 0;
    }
    if (ent.mtype != VNS_MTYPE_VER && ent.mtype != VNS_MTYPE_DERIVED_VER && ent.mtype != VNS_MTYPE_SLINK) return 0;
    bool stale = false;
    status = ostrela_db_remove_version(ent.vob_dba, ent.ver, ent.mtype, ent.parent, entry, &stale);
    if (status == 0 && clear_parent_done) status = unlist_parent(ent.vob_dba, ent.parent);
    return status;
}

int ostrela_db_lr_scope_remove_dir(int clear_parent_done, const std::vector<db_address>& dirs) {
    ostrela_db_trans_write_check();
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
        vns_db_dir_ver_ent ent;
        if (ostrela_db_gone(*it, VNS_DB_DIR_VER_ENT) ||
            dt_recread(&ent, &view_db_task, VDB) != S_OKAY)
            continue;
        bool stale = false;
        int status = ostrela_db_remove_version(ent.vob_dba, ent.ver, ent.mtype, ent.parent, *it, &stale);
        if (status == 0 && clear_parent_done) status = unlist_parent(ent.vob_dba, ent.parent);
        if (status != 0) return status;
    }
    return 0;
}

int ostrela_db_delete_lr_scope(const qel_oid_s* oid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_delete_lr_scope");
    const char* const object = "DELETE_LR_SCOPE";
    uint32_t dbid = 0;
    std::vector<db_address> members, dirs;
    // Every entry is collected before any goes, so none is passed over.
    int status = scope_members(oid, &dbid, members, object);
    for (size_t i = 0; status == 0 && i < members.size(); ++i)
        status = ostrela_db_lr_scope_remove_ver(members[i], 1, dirs);
    if (status == 0) status = ostrela_db_lr_scope_remove_dir(1, dirs);
    if (status == 0 && !ostrela_db_is_def_scope(oid)) status = delete_scope_record(dbid, object);
    return status;
}

int ostrela_db_remove_lr_scope(const qel_oid_s* oid, int delete_scope, const qel_oid_s* target) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_remove_lr_scope");
    const char* const object = "REMOVE_LR_SCOPE";
    const qel_oid_s* to = target != nullptr ? target : &AUTOMATIC_LOAD_SCOPE_OID;
    uint32_t to_dbid = 0, dbid = 0;
    vns_db_lr_scope to_rec;
    std::vector<db_address> members;
    int status = ostrela_db_lookup_lr_scope_oid(to, &to_dbid);
    if (status == 0) status = ostrela_db_engine(dt_recread(&to_rec, &view_db_task, VDB), "D_RECREAD", object);
    if (status == 0) status = scope_members(oid, &dbid, members, object);
    for (size_t i = 0; status == 0 && i < members.size(); ++i)
        status = ostrela_db_disconnect(SCOPE_DIR_VER_ENT_SET, members[i], object);
    for (size_t i = 0; status == 0 && i < members.size(); ++i) {
        vns_db_dir_ver_ent ent;
        status = ostrela_db_read_at(members[i], &ent, object);
        ent.scope = *to;
        ent.gn = to_rec.gn;
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", object);
        if (status == 0) status = ostrela_db_connect_to(SCOPE_DIR_VER_ENT_SET, to_dbid, members[i], object);
    }
    if (status == 0 && delete_scope && !ostrela_db_is_def_scope(oid)) status = delete_scope_record(dbid, object);
    return status;
}

int ostrela_db_dir_ver_ent_reconn_scope(db_address entry, const qel_oid_s* oid) {
    ostrela_db_trans_write_check();
    const char* const object = "RECONN_SCOPE";
    uint32_t scope = 0;
    if (ostrela_db_lookup_lr_scope_oid(oid, &scope) != 0) return QEL_ST_NOT_FOUND;
    int status = ostrela_db_disconnect(SCOPE_DIR_VER_ENT_SET, entry, object);
    return status != 0 ? status : ostrela_db_connect_to(SCOPE_DIR_VER_ENT_SET, scope, entry, object);
}

int ostrela_db_dir_ver_reconn_sub_ver_scope(db_address vob, uint32_t dir, const qel_oid_s* oid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_dir_ver_reconn_sub_ver_scope");
    const char* const object = "UPDATE_VER_SCOPE";
    std::vector<db_address> entries;
    std::vector<uint32_t> dirs;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dir, object);
    if (status == 0) status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, object);
    for (size_t i = 0; status == 0 && i < entries.size(); ++i) {
        vns_db_dir_ver_ent ent;
        if ((status = ostrela_db_read_at(entries[i], &ent, object)) != 0) break;
        // An entry in the scope already keeps its tree there too.
        if (qel_oid_eq(&ent.scope, oid)) continue;
        if ((status = ostrela_db_dir_ver_ent_reconn_scope(entries[i], oid)) != 0) break;
        ent.scope = *oid;
        trace.state("Reconn sub ver: dbid %d name '%.*s' parent dbid %d\n", ent.ver, name_shown(ent), ent.name,
                    ent.parent);
        status = ostrela_db_engine(dt_crset(&entries[i], &view_db_task, VDB), "D_CRSET", object);
        if (status == 0) status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", object);
        if (status == 0 && ent.mtype == VNS_MTYPE_DIR_VER) dirs.push_back(ent.ver);
    }
    for (size_t i = 0; status == 0 && i < dirs.size(); ++i)
        status = ostrela_db_dir_ver_reconn_sub_ver_scope(vob, dirs[i], oid);
    return status;
}

int ostrela_db_dir_ver_ent_update_scope(db_address entry, const qel_oid_s* oid, uint32_t gn, qel_oid_s* other_scope,
                                        int* moved, int* to_default) {
    ostrela_db_trans_write_check();
    const char* const object = "DIR_VER_ENT_UPDATE_SCOPE";
    *moved = 0;
    *to_default = 0;
    vns_db_dir_ver_ent ent;
    int status = ostrela_db_read_at(entry, &ent, object);
    if (status != 0) return status;
    if (!qel_oid_eq(&ent.scope, oid)) {
        *moved = 1;
        *to_default = ostrela_db_is_def_scope(oid) ? 1 : 0;
        if ((status = ostrela_db_dir_ver_ent_reconn_scope(entry, oid)) != 0) return status;
        ent.scope = *oid;
    }
    if (!*moved && ent.gn == gn) return 0;
    ent.gn = gn;
    status = ostrela_db_engine(dt_crset(&entry, &view_db_task, VDB), "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", object);
    if (status != 0 || !*moved || ent.mtype != VNS_MTYPE_DIR_VER) return status;
    int32_t count = 0;
    std::vector<qel_oid_s> discarded;
    return ostrela_db_ver_has_hardlink(entry, &count, other_scope, other_scope != nullptr ? nullptr : &discarded);
}

int ostrela_db_handle_evil_twins(uint32_t parent, db_address entry) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_handle_evil_twins");
    vns_db_dir_ver_ent ent;
    int status = ostrela_db_read_at(entry, &ent, "HANDLE_EVIL_TWINS");
    if (status != 0) return status;
    trace.state("removing evil twin dbid %d name '%.*s'\n", ent.ver, name_shown(ent), ent.name);
    bool stale = false;
    return ostrela_db_remove_version(ent.vob_dba, ent.ver, ent.mtype, parent, entry, &stale);
}

// ---- clean-up ---------------------------------------------------------------------------------------

int ostrela_db_cleanup_vns_recs(int all) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_cleanup_vns_recs");
    int first = 0;
    auto keep = [&first](int status) {
        if (first == 0) first = status;
    };
    // Each kind of record, in this order; a record that fails is logged and
    // passed over, and the first failure is returned.
    struct step {
        int type;
        const char* object;
    };
    const step steps[] = {{VNS_DB_DIR_VER, "CLNUP-DIR-VER"}, {VNS_DB_DIR_VER_ENT, "CLNUP-DIR-VER-ENT"},
                          {VNS_DB_VER, "CLNUP-VERSION"},     {VNS_DB_SLINK, "CLNUP-SLINK"},
                          {VNS_DB_OBJ, "CLNUP-OBJECT"},      {VNS_DB_ELEM, "CLNUP-ELEMENT"},
                          {VNS_DB_LR_SCOPE, "CLNUP-LR-SCOPE"}};
    for (const step& s : steps) {
        if (s.type == VNS_DB_ELEM && !all) continue;
        std::vector<db_address> records;
        int status = records_of(s.type, records, s.object);
        keep(status);
        for (db_address at : records) {
            uint32_t bytes = 0;
            if (s.type == VNS_DB_DIR_VER_ENT || s.type == VNS_DB_SLINK) {
                // Names and texts leave no byte string behind.
                status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", s.object);
                if (status == 0)
                    status = ostrela_db_engine(dt_crread(s.type == VNS_DB_SLINK ? SLINK_BYTES_DBA : DIR_VER_ENT_BYTES_DBA,
                                                         &bytes, &view_db_task, VDB),
                                               "D_RECREAD", s.object);
                if (status == 0) status = ostrela_db_bytes_delete(bytes);
            } else if (s.type == VNS_DB_OBJ) {
                uint32_t mtype = 0;
                status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", s.object);
                if (status == 0)
                    status = ostrela_db_engine(dt_crread(OBJ_MTYPE, &mtype, &view_db_task, VDB), "D_RECREAD", s.object);
                if (status == 0 && vns_is_element(mtype) && !all) continue;
            } else if (s.type == VNS_DB_LR_SCOPE) {
                vns_db_lr_scope rec;
                status = ostrela_db_read_at(at, &rec, s.object);
                if (status == 0 && ostrela_db_is_def_scope(&rec.oid)) {
                    keep(ostrela_db_create_def_scope());
                    continue;
                }
                if (status == 0) status = ostrela_db_bytes_delete(rec.name_chain);
            }
            if (status == 0) status = ostrela_db_disdel_at(at, s.object);
            keep(status);
        }
    }
    std::vector<db_address> vobs;
    keep(records_of(DB_VOB, vobs, "CLNUP-VOB"));
    for (db_address at : vobs) {
        db_vob rec;
        int status = ostrela_db_read_at(at, &rec, "CLNUP-VOB");
        rec.root_dir_dbid = 0;
        if (all) rec.next_dbid = 0;
        if (status == 0) status = dt_recwrite(&rec, &view_db_task, VDB) == S_OKAY ? 0 : QEL_ST_INTERNAL;
        keep(status);
    }
    return first;
}

int ostrela_db_cleanup_unused_elem() {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_cleanup_unused_elem");
    std::vector<db_address> unused;
    int status = ostrela_db_scan_records(VNS_DB_ELEM, 0, "DUMP-ELEM", [&](db_address record) {
        OstrelDb_Trace test("ostrela_db_elem_is_unused");
        int32_t count = 0;
        int s = ostrela_db_count_members(ELEM_VER_SET, &count, "DEL_ELEM");
        if (s == 0 && count == 0) unused.push_back(record);
        return s;
    });
    if (status != QEL_ST_NOT_FOUND) return status;
    int first = 0;
    for (db_address at : unused) {
        OstrelDb_Trace remove("ostrela_db_remove_one_unused_elem");
        vns_db_elem rec;
        db_address obj = 0;
        int found = 0;
        int s = ostrela_db_read_at(at, &rec, "DEL_ELEM");
        if (s == 0) s = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", "DEL_ELEM");
        if (s == 0) s = ostrela_db_find_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, rec.vob_dba, rec.dbid, &found, &obj, "DEL_ELEM_2");
        if (s == 0 && found) s = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", "DEL_ELEM_2");
        if (s == 0) remove.state("removed unused elem dbid %u\n", rec.dbid);
        if (first == 0) first = s;
    }
    return first;
}
