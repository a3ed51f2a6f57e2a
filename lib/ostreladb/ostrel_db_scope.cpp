// The view-namespace record and the load scopes: the view's generation
// number, one scope per load rule and the default scope, each with the
// generation number of its latest load or update and the begin marks and
// removal mark that the update listeners set. The end of a load or update
// and the removal of scopes join this file with the loaded objects.
//
// The default scope is recognised by its oid wherever it lies in the file
// (a rebuilt database need not make it first).
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

// The first view-namespace record made current; 1008 (reported) when there
// is none.
int first_view(const char* object) {
    int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
    return st == S_OKAY ? 0 : ostrela_kesto_err("D_RECFRST", object, st);
}

// The scope of `oid` made current and read into `rec`; 1002 (not reported)
// when there is none. `object` names the step in a report.
int read_scope(const qel_oid_s* oid, vns_db_lr_scope* rec, const char* object, uint32_t* dbid = nullptr) {
    uint32_t found = 0;
    int status = ostrela_db_lookup_lr_scope_oid(oid, &found);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", object);
    if (status == 0 && dbid != nullptr) *dbid = found;
    return status;
}

// Reads the scope of `oid`, lets `change` alter it and writes it back.
template <typename Change>
int update_scope(const qel_oid_s* oid, const char* object, Change change) {
    vns_db_lr_scope rec;
    int status = read_scope(oid, &rec, object);
    if (status != 0) return status;
    change(rec);
    return ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", object);
}

// A load or update begins: the scope's generation number, and the one
// completed before it.
void begin(vns_db_lr_scope& rec, uint32_t gn) {
    rec.gn = gn;
    rec.completed_gn = gn - 1;
}

// The scope as callers see it, its record `rec` at `dbid` read already.
int to_scope(uint32_t dbid, const vns_db_lr_scope& rec, ostrel_scope* scope) {
    *scope = ostrel_scope{};
    scope->scope_oid = rec.oid;
    scope->gn = rec.gn;
    return ostrela_db_get_lr_scope_name(dbid, &rec, sizeof scope->pname, scope->pname);
}

// Appends every scope that `take` accepts, in record order; the default
// scope never.
template <typename Take>
int list_scopes(std::vector<ostrel_scope>& list, const char* object, Take take) {
    int status = ostrela_db_scan_records(VNS_DB_LR_SCOPE, 0, object, [&](db_address record) {
        vns_db_lr_scope rec;
        int s = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
        if (s != 0 || ostrela_db_is_def_scope(&rec.oid) || !take(rec)) return s;
        ostrel_scope scope;
        if ((s = to_scope(record, rec, &scope)) == 0) list.push_back(scope);
        return s;
    });
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

// The scope of `oid` made the current owner of its directory-version
// entries, and their number.
int scope_entries(const qel_oid_s* oid, const char* object, int32_t* count) {
    uint32_t dbid = 0;
    int status = ostrela_db_lookup_lr_scope_oid(oid, &dbid);
    if (status != 0) return status;
    status = ostrela_db_engine(dt_setor(SCOPE_DIR_VER_ENT_SET, &view_db_task, VDB), "D_SETOR", object);
    if (status == 0)
        status = ostrela_db_engine(dt_members(SCOPE_DIR_VER_ENT_SET, count, &view_db_task, VDB), "D_MEMBERS", object);
    return status;
}

// A traced step that changes nothing.
int nothing(const char* method) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, method);
    return 0;
}

} // namespace

bool ostrela_db_is_def_scope(const qel_oid_s* oid) { return qel_oid_eq(oid, &AUTOMATIC_LOAD_SCOPE_OID); }

// ---- the view-namespace record ------------------------------------------------------------

int ostrela_db_create_vns_view(const qel_uuid_s* uuid, uint32_t gn) {
    ostrela_db_trans_write_check();
    int st = dt_recfrst(VNS_DB_VIEW, &view_db_task, VDB);
    if (st == S_OKAY) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_vns_view_exist");
        return ostrela_db_set_vns_view_gn(gn);
    }
    if (st != S_NOTFOUND) return ostrela_kesto_err("D_RECFRST", "CREATE_VNS_VIEW", st);
    vns_db_view rec{*uuid, gn, gn};
    return ostrela_db_engine(dt_fillnew(VNS_DB_VIEW, &rec, &view_db_task, VDB), "D_FILLNEW", "CREATE_VNS_VIEW");
}

int ostrela_db_get_vns_view_gn(uint32_t* gn) {
    ostrela_db_trans_read_check();
    *gn = 0;
    int status = first_view("GET_VIEW_GN");
    vns_db_view rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECFRST", "GET_VIEW_GN");
    if (status == 0) *gn = rec.gn;
    return status;
}

int ostrela_db_set_vns_view_gn(uint32_t gn) {
    ostrela_db_trans_write_check();
    int status = first_view("SET_VIEW_GN");
    vns_db_view rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "SET_VIEW_GN");
    rec.gn = gn;
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "SET_VIEW_GN");
    return status;
}

// ---- finding and reading scopes -------------------------------------------------------------

int ostrela_db_lookup_lr_scope_oid(const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    *dbid = 0;
    if (qel_oid_eq(oid, &QEL_OID_NULL)) return QEL_ST_NOT_FOUND;
    int st = dt_keyfind(LR_SCOPE_OID, oid, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    if (st != S_OKAY) return ostrela_kesto_err("D_KEYFIND", "LOOKUP_SCOPE", st);
    db_address dba = 0;
    int status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", "LOOKUP_SCOPE");
    if (status == 0) *dbid = dba;
    return status;
}

int ostrela_db_lookup_lr_scope_name(const char* name, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    const char* const object = "LOOKUP_SCOPE_NAME";
    *dbid = 0;
    uint32_t hash = ostrela_db_hash_name(name);
    size_t len = std::strlen(name);
    int st = dt_keyfind(LR_SCOPE_NAME_HASH, &hash, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_keynext(LR_SCOPE_NAME_HASH, &view_db_task, VDB)) {
        vns_db_lr_scope rec;
        int status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", object);
        if (status != 0) return status;
        if (rec.name_hash != hash) return QEL_ST_NOT_FOUND;
        if (rec.name_len != len || std::memcmp(rec.name, name, std::min(len, LR_SCOPE_NAME_ROOM)) != 0) continue;
        int differs = 0;
        if (len > LR_SCOPE_NAME_ROOM) {
            status = ostrela_db_bytes_cmp(rec.name_chain, name + LR_SCOPE_NAME_ROOM, len - LR_SCOPE_NAME_ROOM, &differs);
            if (status != 0) return status;
        }
        if (differs) continue;
        db_address dba = 0;
        status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", object);
        if (status == 0) *dbid = dba;
        return status;
    }
    // Every other answer of the key means that no scope has the name.
    return QEL_ST_NOT_FOUND;
}

int ostrela_db_get_lr_scope_name(uint32_t dbid, const vns_db_lr_scope* rec, size_t size, char* buf) {
    ostrela_db_trans_read_check();
    if (size_t{rec->name_len} + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, rec->name, std::min<size_t>(rec->name_len, LR_SCOPE_NAME_ROOM));
    if (rec->name_len > LR_SCOPE_NAME_ROOM) {
        int status = ostrela_db_bytes_read(dbid, rec->name_chain, buf + LR_SCOPE_NAME_ROOM,
                                           rec->name_len - LR_SCOPE_NAME_ROOM);
        if (status != 0) return status;
    }
    buf[rec->name_len] = '\0';
    return 0;
}

int ostrela_db_get_scope_by_name(const char* name, ostrel_scope* scope) {
    ostrela_db_trans_read_check();
    uint32_t dbid = 0;
    vns_db_lr_scope rec;
    int status = ostrela_db_lookup_lr_scope_name(name, &dbid);
    if (status == 0)
        status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "GET_SCOPE_BY_NAME");
    if (status == 0) status = to_scope(dbid, rec, scope);
    return status;
}

int ostrela_db_get_lr_scope_gn(const qel_oid_s* oid, uint32_t* gn) {
    ostrela_db_trans_read_check();
    *gn = 0;
    vns_db_lr_scope rec;
    int status = read_scope(oid, &rec, "GET_SCOPE_GN");
    if (status == 0) *gn = rec.gn;
    return status;
}

int ostrela_db_get_lr_scope_gn_name(const char* name, uint32_t* gn) {
    ostrela_db_trans_read_check();
    *gn = 0;
    uint32_t dbid = 0;
    vns_db_lr_scope rec;
    int status = ostrela_db_lookup_lr_scope_name(name, &dbid);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "GET_SCOPE_GN");
    if (status == 0) *gn = rec.gn;
    return status;
}

int ostrela_db_get_def_scope_gn(uint32_t* gn) {
    ostrela_db_trans_read_check();
    *gn = 0;
    vns_db_lr_scope rec;
    int status = read_scope(&AUTOMATIC_LOAD_SCOPE_OID, &rec, "DEF_SCOPE_OID");
    if (status == 0) *gn = rec.gn;
    return status;
}

int ostrela_db_get_lr_scope_removed_flag(const qel_oid_s* oid, int* flag) {
    ostrela_db_trans_read_check();
    *flag = 0;
    if (ostrela_db_is_def_scope(oid)) return 0;
    vns_db_lr_scope rec;
    int status = read_scope(oid, &rec, "LR_SCOPE_GET_REMOVED_FLAG");
    if (status == 0) *flag = rec.state == LR_SCOPE_REMOVED;
    return status;
}

int ostrela_db_get_ver_scope(uint32_t vob, uint32_t ver, qel_oid_s* scope_oid, uint32_t* gn) {
    ostrela_db_trans_read_check();
    if (vob == 0) return QEL_ST_NOT_FOUND;
    if (!ostrela_db_is_dbid(vob)) return QEL_ST_INTERNAL;
    int found = 0;
    db_address entry = 0;
    int status = ostrela_db_dir_ver_ent_lookup(ostrela_db_dbid2dba(vob), ver, &found, &entry);
    if (status == 0 && !found) status = QEL_ST_NOT_FOUND;
    vns_db_dir_ver_ent rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VER_SCOPE_GET");
    if (status == 0) {
        *scope_oid = rec.scope;
        *gn = rec.gn;
    }
    return status;
}

int ostrela_db_get_ver_scope_oid(uint32_t vob, const qel_oid_s* oid, qel_oid_s* scope_oid, uint32_t* gn) {
    ostrela_db_trans_read_check();
    if (vob == 0) return QEL_ST_NOT_FOUND;
    if (!ostrela_db_is_dbid(vob)) return QEL_ST_INTERNAL;
    uint32_t dbid = 0, mtype = 0;
    if (ostrela_db_lookup_obj_oid(vob, oid, &dbid, &mtype) != 0) return QEL_ST_NOT_FOUND;
    return ostrela_db_get_ver_scope(vob, dbid, scope_oid, gn);
}

// ---- making scopes and marking them -------------------------------------------------------

int ostrela_db_create_lr_scope(const qel_oid_s* oid, uint32_t gn, const char* name) {
    ostrela_db_trans_write_check();
    const char* const object = "CREATE-LR-SCOPE";
    uint32_t found = 0;
    if (!qel_oid_eq(oid, &QEL_OID_NULL)) {
        int status = ostrela_db_lookup_lr_scope_oid(oid, &found);
        if (status != 0 && status != QEL_ST_NOT_FOUND) return status;
    }
    if (found != 0) {
        // The scope is added again: it begins at `gn`, and a removal mark
        // goes, whatever the generation number.
        return update_scope(oid, object, [gn](vns_db_lr_scope& rec) {
            begin(rec, gn);
            rec.state = LR_SCOPE_IDLE;
        });
    }
    vns_db_lr_scope rec{};
    rec.oid = *oid;
    begin(rec, gn);
    rec.state = LR_SCOPE_IDLE;
    size_t len = name != nullptr ? std::strlen(name) : 0;
    if (name != nullptr) {
        rec.name_hash = ostrela_db_hash_name(name);
        rec.name_len = static_cast<uint32_t>(len);
        std::memcpy(rec.name, name, std::min(len, LR_SCOPE_NAME_ROOM));
    }
    int status = ostrela_db_engine(dt_fillnew(VNS_DB_LR_SCOPE, &rec, &view_db_task, VDB), "D_FILLNEW", object);
    db_address dba = 0;
    if (status == 0) status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", object);
    if (status == 0 && len > LR_SCOPE_NAME_ROOM) {
        status = ostrela_db_bytes_create(dba, name + LR_SCOPE_NAME_ROOM, len - LR_SCOPE_NAME_ROOM, &rec.name_chain);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(LR_SCOPE_NAME_CHAIN, &rec.name_chain, &view_db_task, VDB),
                                       "D_CRWRITE", object);
    }
    return status;
}

int ostrela_db_create_def_scope() {
    ostrela_db_trans_write_check();
    uint32_t found = 0;
    int status = ostrela_db_lookup_lr_scope_oid(&AUTOMATIC_LOAD_SCOPE_OID, &found);
    if (status == 0) return 0;
    if (status != QEL_ST_NOT_FOUND) return status;
    return ostrela_db_create_lr_scope(&AUTOMATIC_LOAD_SCOPE_OID, 1, "Automatic");
}

int ostrela_db_set_lr_scope_op_begin(const qel_oid_s* oid, uint32_t gn, uint16_t op) {
    ostrela_db_trans_write_check();
    return update_scope(oid, "SET_LR_SCOPE", [gn, op](vns_db_lr_scope& rec) {
        begin(rec, gn);
        rec.state = op;
    });
}

int ostrela_db_begin_lr_scope_update(const qel_oid_s* oid, uint32_t gn) {
    return ostrela_db_set_lr_scope_op_begin(oid, gn, LR_SCOPE_IN_PROGRESS);
}

int ostrela_db_begin_def_scope(uint32_t gn) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_set_def_scope_gn");
    ostrela_db_trans_write_check();
    return update_scope(&AUTOMATIC_LOAD_SCOPE_OID, "SET_LR_SCOPE", [gn](vns_db_lr_scope& rec) { begin(rec, gn); });
}

int ostrela_db_begin_def_scope_vob_load(const qel_uuid_s*, uint32_t) {
    return nothing("ostrela_db_begin_def_scope_vob_load");
}

int ostrela_db_end_def_scope_vob_load(const qel_uuid_s*, uint32_t) {
    return nothing("ostrela_db_end_def_scope_vob_load");
}

int ostrela_db_begin_def_scope_vob_update(const qel_uuid_s*, uint32_t) {
    return nothing("ostrela_db_begin_def_scope_vob_update");
}

int ostrela_db_end_def_scope_vob_update(const qel_uuid_s*, uint32_t) {
    return nothing("ostrela_db_end_def_scope_vob_update");
}

int ostrela_db_mark_lr_scope_removed(const qel_oid_s* oid) {
    ostrela_db_trans_write_check();
    if (ostrela_db_is_def_scope(oid)) return 0;
    return update_scope(oid, "LR_SCOPE_MARK_REMOVED", [](vns_db_lr_scope& rec) { rec.state = LR_SCOPE_REMOVED; });
}

// ---- contents and lists -----------------------------------------------------------------------

int ostrela_db_is_lr_scope_empty(const qel_oid_s* oid, int* empty) {
    ostrela_db_trans_read_check();
    *empty = 1;
    int32_t count = 0;
    int status = scope_entries(oid, "IS_LR_SCOPE_EMPTY", &count);
    if (status == 0 && count > 0) *empty = 0;
    return status;
}

int ostrela_db_is_def_scope_vob_empty(const qel_uuid_s*, int* empty) {
    return ostrela_db_is_lr_scope_empty(&AUTOMATIC_LOAD_SCOPE_OID, empty);
}

int ostrela_db_get_lr_scopes(int include_removed, std::vector<ostrel_scope>& list) {
    ostrela_db_trans_read_check();
    return list_scopes(list, "GET_LR_SCOPES",
                       [include_removed](const vns_db_lr_scope& rec) { return include_removed || rec.state != LR_SCOPE_REMOVED; });
}

int ostrela_db_get_removed_lr_scopes(std::vector<ostrel_scope>& list) {
    ostrela_db_trans_read_check();
    return list_scopes(list, "GET_REMOVED_LR_SCOPES",
                       [](const vns_db_lr_scope& rec) { return rec.state == LR_SCOPE_REMOVED; });
}

int ostrela_db_scope_get_versions(const qel_oid_s* oid, std::vector<ostrelagent_scope_vers>& list) {
    ostrela_db_trans_read_check();
    const char* const object = "SCOPE_GET_VERS";
    int32_t count = 0;
    int status = scope_entries(oid, object, &count);
    if (status != 0 || count == 0) return status;
    list.reserve(list.size() + static_cast<size_t>(count));
    int st = dt_findfm(SCOPE_DIR_VER_ENT_SET, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_findnm(SCOPE_DIR_VER_ENT_SET, &view_db_task, VDB)) {
        vns_db_dir_ver_ent entry;
        if ((status = ostrela_db_engine(dt_recread(&entry, &view_db_task, VDB), "D_RECREAD", object)) != 0)
            return status;
        list.push_back({ostrela_db_dba2dbid(entry.vob_dba), entry.ver});
    }
    return st == S_EOS ? 0 : ostrela_kesto_err("D_FINDNM", object, st);
}

int ostrela_db_scope_get_elements(const qel_oid_s* oid, std::vector<ostrelagent_scope_elem>& list) {
    ostrela_db_trans_read_check();
    std::vector<ostrelagent_scope_vers> versions;
    int status = ostrela_db_scope_get_versions(oid, versions);
    if (status != 0) return status;
    list.reserve(list.size() + versions.size());
    qel_uuid_s uuid{};
    for (size_t i = 0; i < versions.size(); ++i) {
        const ostrelagent_scope_vers& v = versions[i];
        if (i == 0 || v.vob != versions[i - 1].vob) {
            if ((status = ostrela_db_vob_get_uuid(v.vob, &uuid)) != 0) return status;
        }
        uint32_t elem = 0;
        ostrelagent_scope_elem out{uuid, {}};
        if ((status = ostrela_db_ver_get_elem(v.vob, v.ver, &elem)) != 0 ||
            (status = ostrela_db_get_obj_info(ostrela_db_dbid2dba(v.vob), elem, &out.elem_oid, nullptr, nullptr)) != 0)
            return status;
        list.push_back(out);
    }
    return 0;
}

// ---- transactions of their own ----------------------------------------------------------

int ostrel_db_create_vns_view(const qel_uuid_s* uuid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_create_vns_view", 1, [&] { return ostrela_db_create_vns_view(uuid, gn); });
}

int ostrel_db_get_vns_view_gn(unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_vns_view_gn", 0, [&] { return ostrela_db_get_vns_view_gn(gn); });
}

int ostrel_db_set_vns_view_gn(unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_set_vns_view_gn", 1, [&] { return ostrela_db_set_vns_view_gn(gn); });
}

int ostrel_db_create_lr_scope(const qel_oid_s* oid, unsigned int gn, const char* name) {
    return ostrel_db_traced_transaction("ostrel_db_create_lr_scope", 1,
                                        [&] { return ostrela_db_create_lr_scope(oid, gn, name); });
}

int ostrel_db_create_def_scope() {
    return ostrel_db_traced_transaction("ostrel_db_create_def_scope", 1, [] { return ostrela_db_create_def_scope(); });
}

int ostrel_db_get_lr_scope_gn(const qel_oid_s* oid, unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_lr_scope_gn", 0, [&] { return ostrela_db_get_lr_scope_gn(oid, gn); });
}

int ostrel_db_get_lr_scope_gn_name(const char* name, unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_lr_scope_gn_name", 0,
                                        [&] { return ostrela_db_get_lr_scope_gn_name(name, gn); });
}

int ostrel_db_get_def_scope_gn(unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_def_scope_gn", 0, [&] { return ostrela_db_get_def_scope_gn(gn); });
}

int ostrel_db_get_scope_by_name(const char* name, ostrel_scope* scope) {
    return ostrel_db_traced_transaction("ostrel_db_get_scope_by_name", 0,
                                        [&] { return ostrela_db_get_scope_by_name(name, scope); });
}

int ostrel_db_get_lr_scopes(int include_removed, std::vector<ostrel_scope>& list) {
    return ostrel_db_traced_transaction("ostrel_db_get_lr_scopes", 0,
                                        [&] { return ostrela_db_get_lr_scopes(include_removed, list); });
}

int ostrel_db_get_lrs_for_delete(std::vector<ostrel_scope>& list) {
    return ostrel_db_traced_transaction("ostrel_db_get_lrs_for_delete", 0,
                                        [&] { return ostrela_db_get_removed_lr_scopes(list); });
}

int ostrel_db_mark_lr_scope_for_delete(const qel_oid_s* oid) {
    return ostrel_db_traced_transaction("ostrel_db_mark_lr_scope_for_delete", 1,
                                        [&] { return ostrela_db_mark_lr_scope_removed(oid); });
}

int ostrel_db_begin_lr_scope_load(const qel_oid_s* oid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_begin_lr_scope_load", 1,
                                        [&] { return ostrela_db_begin_lr_scope_update(oid, gn); });
}

int ostrel_db_begin_lr_scope_update(const qel_oid_s* oid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_begin_lr_scope_update", 1,
                                        [&] { return ostrela_db_begin_lr_scope_update(oid, gn); });
}

int ostrel_db_begin_def_scope(unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_begin_def_scope", 1, [&] { return ostrela_db_begin_def_scope(gn); });
}

int ostrel_db_begin_def_scope_vob_load(const qel_uuid_s* uuid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_begin_def_scope_vob_load", 1,
                                        [&] { return ostrela_db_begin_def_scope_vob_load(uuid, gn); });
}

int ostrel_db_end_def_scope_vob_load(const qel_uuid_s* uuid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_end_def_scope_vob_load", 1,
                                        [&] { return ostrela_db_end_def_scope_vob_load(uuid, gn); });
}

int ostrel_db_begin_def_scope_vob_update(const qel_uuid_s* uuid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_begin_def_scope_vob_update", 1,
                                        [&] { return ostrela_db_begin_def_scope_vob_update(uuid, gn); });
}

int ostrel_db_end_def_scope_vob_update(const qel_uuid_s* uuid, unsigned int gn) {
    return ostrel_db_traced_transaction("ostrel_db_end_def_scope_vob_update", 1,
                                        [&] { return ostrela_db_end_def_scope_vob_update(uuid, gn); });
}

int ostrel_db_is_lr_scope_empty(const qel_oid_s* oid, int* empty) {
    return ostrel_db_traced_transaction("ostrel_db_is_lr_scope_empty", 0,
                                        [&] { return ostrela_db_is_lr_scope_empty(oid, empty); });
}

int ostrel_db_is_def_scope_vob_empty(const qel_uuid_s* uuid, int* empty) {
    return ostrel_db_traced_transaction("ostrel_db_is_def_scope_vob_empty", 0,
                                        [&] { return ostrela_db_is_def_scope_vob_empty(uuid, empty); });
}

int ostrel_db_get_ver_scope(unsigned int vob, unsigned int ver, qel_oid_s* scope_oid, unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_ver_scope", 0,
                                        [&] { return ostrela_db_get_ver_scope(vob, ver, scope_oid, gn); });
}

int ostrel_db_get_ver_scope_oid(unsigned int vob, const qel_oid_s* oid, qel_oid_s* scope_oid, unsigned int* gn) {
    return ostrel_db_traced_transaction("ostrel_db_get_ver_scope_oid", 0,
                                        [&] { return ostrela_db_get_ver_scope_oid(vob, oid, scope_oid, gn); });
}

int ostrel_db_scope_get_versions(const qel_oid_s* oid, std::vector<ostrelagent_scope_vers>& list) {
    return ostrel_db_traced_transaction("ostrel_db_scope_get_versions", 0,
                                        [&] { return ostrela_db_scope_get_versions(oid, list); });
}

int ostrel_db_scope_get_elements(const qel_oid_s* oid, std::vector<ostrelagent_scope_elem>& list) {
    return ostrel_db_traced_transaction("ostrel_db_scope_get_elements", 0,
                                        [&] { return ostrela_db_scope_get_elements(oid, list); });
}
