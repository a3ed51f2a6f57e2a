// The flags that carry the loaded namespace's lazy refresh: a version is
// stale until a load confirms it again, a name is valid once the latest
// load or listing confirmed it, a directory version's listing is done or
// must be fetched again (with the state a load-rule scope's load saved
// aside), and a name removed in the view carries a remove mark. A flag is
// written only when it changes, and always with its whole record.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

int name_shown(const vns_db_dir_ver_ent& rec) { return std::min<int>(rec.name_len, DIR_VER_ENT_NAME_ROOM); }

// Gives the entry at `at` the valid flag `flag` unless it has it.
int set_entry_valid(db_address at, int flag, const char* object, const OstrelDb_Trace& trace) {
    vns_db_dir_ver_ent rec;
    int status = ostrela_db_read_at(at, &rec, object);
    if (status != 0 || rec.valid == static_cast<uint32_t>(flag)) return status;
    rec.valid = static_cast<uint32_t>(flag);
    status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
    if (status == 0)
        trace.state("setting dir_ver_ent dbid %d name '%.*s' validated=%d\n", rec.ver, name_shown(rec), rec.name, flag);
    return status;
}

// The entry named `name` in the directory version `dir` of the VOB handle.
int named_entry(uint32_t vob, uint32_t dir, const char* name, db_address* at, const char* object) {
    db_address dba = 0;
    int found = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_dir_ver_ent_lookup_name(dba, dir, name, &found, at);
    (void)object;
    return status == 0 && !found ? QEL_ST_NOT_FOUND : status;
}

// A version's stale flag written unless it has it.
int set_stale(db_address vob, uint32_t ver, int flag, const OstrelDb_Trace& trace) {
    vns_db_ver rec;
    int status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, ver, "SET_VER_STALE");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "SET_VER_STALE");
    if (status != 0 || rec.stale == static_cast<uint32_t>(flag)) return status;
    rec.stale = static_cast<uint32_t>(flag);
    status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "SET_VER_STALE");
    if (status == 0) trace.state("setting ver dbid %d stale=%d\n", ver, flag);
    return status;
}

// Reads the directory version `dir`, lets `change` alter it and writes it
// back when it changed.
template <typename Change>
int update_dir_ver(db_address vob, uint32_t dir, const char* object, Change change) {
    vns_db_dir_ver rec;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dir, object);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
    if (status != 0) return status;
    vns_db_dir_ver before = rec;
    change(rec);
    if (rec.rddir_done == before.rddir_done && rec.saved == before.saved) return 0;
    return ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
}

} // namespace

int ostrela_db_ver_get_stale(uint32_t vob, uint32_t ver, int* flag) {
    ostrela_db_trans_read_check();
    OstrelDb_Trace trace("ostrela_db_ver_get_stale");
    db_address dba = 0;
    vns_db_ver rec;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, dba, ver, "GET_VER_STALE");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "GET_VER_STALE");
    if (status != 0) return status;
    *flag = rec.stale != 0;
    trace.state("return ver dbid %d stale=%d\n", ver, *flag);
    return 0;
}

int ostrela_db_ver_set_stale(uint32_t vob, uint32_t ver, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_ver_set_stale");
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    return status != 0 ? status : set_stale(dba, ver, flag ? 1 : 0, trace);
}

int ostrela_db_ver_get_validated(uint32_t vob, uint32_t dir, const char* name, int* flag) {
    ostrela_db_trans_read_check();
    OstrelDb_Trace trace("ostrela_db_ver_get_validated");
    db_address at = 0;
    vns_db_dir_ver_ent rec;
    int status = named_entry(vob, dir, name, &at, "GET_VALIDATED");
    if (status == 0) status = ostrela_db_read_at(at, &rec, "GET_VALIDATED");
    if (status != 0) return status;
    *flag = rec.valid != 0;
    trace.state("returning dir_ver_ent dbid %d validated=%d\n", rec.ver, *flag);
    return 0;
}

int ostrela_db_ver_set_validated(uint32_t vob, uint32_t dir, const char* name, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_ver_set_validated");
    db_address at = 0;
    int status = named_entry(vob, dir, name, &at, "SET_VALIDATED");
    return status != 0 ? status : set_entry_valid(at, flag ? 1 : 0, "SET_VALIDATED", trace);
}

int ostrela_db_obj_get_validated(uint32_t vob, uint32_t dbid, int* flag) {
    ostrela_db_trans_read_check();
    OstrelDb_Trace trace("ostrela_db_obj_get_validated");
    uint32_t mtype = 0, named = dbid;
    int status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status != 0) return status;
    if (vns_is_element(mtype)) {
        status = ostrela_db_elem_get_ver(vob, dbid, &named);
    } else if (!vns_is_version(mtype) && mtype != VNS_MTYPE_SLINK) {
        return QEL_ST_INTERNAL;
    }
    uint32_t parent = 0;
    vns_db_dir_ver_ent rec;
    if (status == 0) status = ostrela_db_ver_get_parent(vob, named, &parent, &rec, nullptr);
    // An object without names cannot answer.
    if (status == QEL_ST_NOT_FOUND && !vns_is_element(mtype))
        status = ostrela_kesto_err("D_FINDFM", "OBJ_GET_VALIDATE", S_EOS);
    if (status != 0) return status;
    *flag = rec.valid != 0;
    trace.state("returning dir_ver_ent dbid %d validated=%d\n", rec.ver, *flag);
    return 0;
}

int ostrela_db_obj_set_validated(uint32_t vob, uint32_t dbid, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_obj_set_validated");
    flag = flag ? 1 : 0;
    db_address dba = 0;
    uint32_t mtype = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status != 0) return status;
    // The objects concerned, with their kinds.
    std::vector<std::pair<uint32_t, uint32_t>> objects;
    if (vns_is_element(mtype)) {
        std::vector<db_address> versions;
        status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, dbid, "OBJ_SET_VALIDATE");
        if (status == 0) status = ostrela_db_collect_members(ELEM_VER_SET, versions, "OBJ_SET_VALIDATE");
        for (size_t i = 0; status == 0 && i < versions.size(); ++i) {
            vns_db_ver rec;
            status = ostrela_db_read_at(versions[i], &rec, "OBJ_SET_VALIDATE");
            if (status == 0 && flag == 0) status = set_stale(dba, rec.dbid, 1, trace);
            if (status == 0) objects.emplace_back(rec.dbid, rec.mtype);
        }
    } else if (vns_is_version(mtype) || mtype == VNS_MTYPE_SLINK) {
        objects.emplace_back(dbid, mtype);
    } else {
        return QEL_ST_INTERNAL;
    }
    for (size_t i = 0; status == 0 && i < objects.size(); ++i) {
        uint32_t object = objects[i].first, kind = objects[i].second;
        if (flag == 0 && kind == VNS_MTYPE_DIR_VER) status = ostrela_db_mark_sub_ver_stale(dba, object, 1);
        bool link = kind == VNS_MTYPE_SLINK;
        std::vector<db_address> entries;
        if (status == 0)
            status = ostrela_db_need_by_dbid(link ? SLINK_KEY : VER_KEY, link ? VNS_DB_SLINK : VNS_DB_VER, dba, object,
                                             "OBJ_SET_VALIDATE_2");
        if (status == 0)
            status = ostrela_db_collect_members(link ? SLINK_DIR_ENT_SET : VER_DIR_ENT_SET, entries, "OBJ_SET_VALIDATE_2");
        for (size_t e = 0; status == 0 && e < entries.size(); ++e)
            status = set_entry_valid(entries[e], flag, "OBJ_SET_VALIDATE_2", trace);
    }
    return status;
}

int ostrela_db_mark_sub_ver_stale(db_address vob, uint32_t dir, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_mark_sub_ver_stale");
    std::vector<db_address> entries;
    int status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dir, "MARK_VER_SATLE");
    if (status == 0) status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, "MARK_VER_SATLE");
    for (size_t i = 0; status == 0 && i < entries.size(); ++i)
        status = set_entry_valid(entries[i], flag ? 0 : 1, "DIR_VER_UPDATE", trace);
    if (status == 0 && flag) status = ostrela_db_ver_set_readdir_done_only(vob, dir, 0);
    return status;
}

int ostrela_db_ver_set_readdir_done_only(db_address vob, uint32_t dir, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_ver_set_readdir_done_only");
    if (dir == 0) return 0;
    uint16_t done = flag ? 1 : 0;
    bool changed = false;
    int status = update_dir_ver(vob, dir, "DIR_VER", [&](vns_db_dir_ver& rec) {
        changed = rec.rddir_done != done;
        rec.rddir_done = done;
    });
    if (status == 0 && changed) trace.state("setting ver_ent dbid %d rddir_done=%d\n", dir, done);
    return status;
}

int ostrela_db_ver_set_readdir_done(uint32_t vob, uint32_t dir, int flag, bool* removed, qel_oid_s* oid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_ver_set_readdir_done");
    *removed = false;
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_ver_set_readdir_done_only(dba, dir, flag);
    if (status != 0) return status;
    if (flag) {
        // What the listing did not confirm goes.
        std::vector<db_address> entries, unconfirmed;
        status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, dba, dir, "CHECK_VALIDATE");
        if (status == 0) status = ostrela_db_collect_members(DIR_VER_ENT_SET, entries, "CHECK_VALIDATE");
        for (size_t i = 0; status == 0 && i < entries.size(); ++i) {
            uint32_t valid = 1;
            status = ostrela_db_engine(dt_crset(&entries[i], &view_db_task, VDB), "D_CRSET", "CHECK_VALIDATE");
            if (status == 0)
                status = ostrela_db_engine(dt_crread(DIR_VER_ENT_VALID, &valid, &view_db_task, VDB), "D_CRREAD",
                                           "CHECK_VALIDATE");
            if (status == 0 && !valid) unconfirmed.push_back(entries[i]);
        }
        for (size_t i = 0; status == 0 && i < unconfirmed.size(); ++i) {
            // A removal above may have taken this name with its directory.
            if (ostrela_db_gone(unconfirmed[i], VNS_DB_DIR_VER_ENT)) continue;
            vns_db_dir_ver_ent rec;
            bool stale = false;
            status = ostrela_db_read_at(unconfirmed[i], &rec, "CHECK_VALIDATE");
            if (status == 0) status = ostrela_db_remove_version(dba, rec.ver, rec.mtype, dir, unconfirmed[i], &stale);
            if (stale) *removed = true;
        }
    }
    if (status == 0 && oid != nullptr) status = ostrela_db_get_obj_info(dba, dir, oid, nullptr, nullptr);
    return status;
}

int ostrela_db_ver_get_readdir_done(uint32_t vob, uint32_t dir, int* flag, qel_oid_s* scope, uint32_t* gn) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    vns_db_dir_ver rec;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, dba, dir, "DIR_VER");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "DIR_VER");
    if (status != 0) return status;
    *flag = rec.rddir_done;
    // A directory whose name is not found keeps the caller's scope.
    qel_oid_s found_scope;
    uint32_t found_gn = 0;
    if (ostrela_db_get_ver_scope(vob, dir, &found_scope, &found_gn) == 0) {
        if (scope != nullptr) *scope = found_scope;
        if (gn != nullptr) *gn = found_gn;
    }
    return 0;
}

int ostrela_db_ver_set_load_done(uint32_t vob, uint32_t dir, int flag) {
    ostrela_db_trans_write_check();
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0 && flag) status = ostrela_db_mark_sub_ver_stale(dba, dir, 0);
    if (status == 0) status = ostrela_db_ver_set_readdir_done_only(dba, dir, 1);
    return status;
}

int ostrela_db_mark_saved_readdir_done(db_address vob, uint32_t dir, const qel_oid_s* scope, int readdir_state) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_mark_saved_readdir_done");
    bool saves = !ostrela_db_is_def_scope(scope) && readdir_state == 1;
    vns_db_dir_ver after{};
    int status = update_dir_ver(vob, dir, "MARK_SAVED_READDIR", [&](vns_db_dir_ver& rec) {
        rec.rddir_done = 0;
        if (saves) rec.saved = DIR_VER_SAVED_SCOPE;
        after = rec;
    });
    if (status == 0) trace.state("setting dir_ent dbid %d rddir_done=%d saved=%d\n", dir, after.rddir_done, after.saved);
    return status;
}

int ostrela_db_mark_dir_ent_remove(const qel_uuid_s* vob_uuid, const qel_oid_s* parent_oid, const qel_oid_s* oid,
                                   const char* name) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_mark_dir_ent_remove");
    const char* const object = "MARK_REMOVE";
    uint32_t vob = 0, parent = 0, mtype = 0, dir = 0, named = 0;
    db_address dba = 0, at = 0;
    int status = ostrela_db_vob_lookup(vob_uuid, &vob);
    if (status == 0) status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_lookup_obj_oid(vob, parent_oid, &parent, &mtype);
    if (status == 0 && mtype != VNS_MTYPE_DIR_ELEM) status = QEL_ST_INTERNAL;
    if (status == 0) status = ostrela_db_elem_get_ver(vob, parent, &dir);
    if (status == 0) status = ostrela_db_lookup_obj_oid(vob, oid, &named, &mtype);
    if (status == 0 && !vns_is_version(mtype) && mtype != VNS_MTYPE_SLINK) status = QEL_ST_INTERNAL;
    if (status == 0) status = named_entry(vob, dir, name, &at, object);
    vns_db_dir_ver_ent rec;
    if (status == 0) status = ostrela_db_read_at(at, &rec, object);
    if (status != 0 || rec.remove == 1) return status;
    rec.remove = 1;
    status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
    if (status == 0) trace.state("marking dir_ver_ent dbid %d name '%.*s' removed\n", rec.ver, name_shown(rec), rec.name);
    return status;
}
