// Hijack marks: a name of a VOB directory that the user changed in the
// view carries the hijacked state and two oids, indexed by the optional
// hijack key with the first oid leading. Null oids sort lowest, so walking
// the key down from its highest value until the first null oid meets
// exactly the hijacked names.
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

const char* const OBJECT = "FIND_HIJACKS";

bool is_null(const qel_oid_s* oid) { return qel_oid_eq(oid, &QEL_OID_NULL); }

int hijack(uint32_t dir_dbid, const char* name, const qel_oid_s* first, const qel_oid_s* second) {
    uint32_t object = 0, state = 0;
    int status = ostrela_db_dir_entry_lookup(dir_dbid, name, &object, &state);
    if (status != 0) return status;
    // Only a hijacked name takes oids; null ones clear a name's hijack data.
    if (!(state & DIR_ENT_STATE_HIJACKED) && (!is_null(first) || !is_null(second))) return QEL_ST_INVALID;
    // The lookup left the name current.
    db_dir_ent ent;
    status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", "DB_DIR_ENT");
    ent.hijack_oid = *first;
    ent.hijack_oid2 = *second;
    if (status == 0) status = ostrela_db_engine(dt_recwrite(&ent, &view_db_task, VDB), "D_RECWRITE", "DB_DIR_ENT");
    if (status == 0)
        status = ostrela_db_engine(dt_keystore(DIR_ENT_HIJACK_KEY, &view_db_task, VDB), "D_KEYSTORE", "DB_DIR_ENT");
    return status;
}

int hijack_get(uint32_t dir_dbid, const char* name, qel_oid_s* first, qel_oid_s* second) {
    uint32_t object = 0, state = 0;
    int status = ostrela_db_dir_entry_lookup(dir_dbid, name, &object, &state);
    if (status != 0) return status;
    if (!(state & DIR_ENT_STATE_HIJACKED)) return QEL_ST_INVALID;
    db_dir_ent ent;
    status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", "DB_DIR_ENT");
    if (status == 0) {
        *first = ent.hijack_oid;
        *second = ent.hijack_oid2;
    }
    return status;
}

// One hijacked name, current and read into `ent`: its VOB, directory and
// name.
int hijack_info(const db_dir_ent& ent, ostrelagent_hijack_co_info* info) {
    char name[OSTREL_DB_NAME_BUF];
    int status = ostrela_db_dir_string_read(&ent, name, sizeof name);
    if (status == 0) status = ostrela_db_vob_get_uuid(ostrela_db_dba2dbid(ent.vob_dba), &info->identity);
    if (status == 0)
        status = ostrela_db_inode_read(ostrela_db_dba2dbid(ent.dir_dba), nullptr, &info->directory, nullptr, nullptr,
                                       nullptr);
    if (status == 0) info->name = name;
    return status;
}

} // namespace

int ostrela_db_hijack(uint32_t dir_dbid, const char* name, const qel_oid_s* first, const qel_oid_s* second) {
    ostrela_db_trans_write_check();
    return ostrela_db_report(hijack(dir_dbid, name, first, second), OSTREL_DB_QUIET_NONE, KDB_MSG_HIJACK, name,
                             static_cast<unsigned long>(dir_dbid));
}

int ostrela_db_hijack_get(uint32_t dir_dbid, const char* name, qel_oid_s* first, qel_oid_s* second) {
    ostrela_db_trans_read_check();
    static constexpr int quiet[] = {QEL_ST_NOT_FOUND, QEL_ST_INVALID, 0};
    return ostrela_db_report(hijack_get(dir_dbid, name, first, second), quiet, KDB_MSG_HIJACK_GET, name,
                             static_cast<unsigned long>(dir_dbid));
}

int ostrela_db_has_hijacks(bool* any) {
    ostrela_db_trans_read_check();
    *any = false;
    int st = dt_keylast(DIR_ENT_HIJACK_KEY, &view_db_task, VDB);
    if (st == S_NOTFOUND) return 0;
    qel_oid_s first;
    int status = ostrela_db_engine(st, "D_KEYLAST", OBJECT);
    if (status == 0)
        status = ostrela_db_engine(dt_crread(DIR_ENT_HIJACK_OID, &first, &view_db_task, VDB), "D_CRREAD", OBJECT);
    if (status == 0) *any = !is_null(&first);
    return status;
}

int ostrela_db_find_hijacks(std::vector<ostrelagent_hijack_co_info>& list) {
    ostrela_db_trans_read_check();
    int st = dt_keylast(DIR_ENT_HIJACK_KEY, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_keyprev(DIR_ENT_HIJACK_KEY, &view_db_task, VDB)) {
        db_dir_ent ent;
        int status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", OBJECT);
        if (status != 0) return status;
        if (is_null(&ent.hijack_oid)) return 0;
        ostrelagent_hijack_co_info info;
        if ((status = hijack_info(ent, &info)) != 0) return status;
        list.push_back(info);
    }
    return st == S_NOTFOUND ? 0 : ostrela_kesto_err("D_KEYPREV", OBJECT, st);
}

// ---- transactions of their own -----------------------------------------------------------

int ostrel_db_has_hijacks(bool* any) {
    int status = ostrel_db_traced_transaction("ostrel_db_has_hijacks", 0, [&] { return ostrela_db_has_hijacks(any); });
    return ostrel_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, DBU_MSG_FIND_HIJACKS);
}

int ostrel_db_find_hijacks(std::vector<ostrelagent_hijack_co_info>& list) {
    return ostrel_db_find_names("ostrel_db_find_hijacks", DBU_MSG_FIND_HIJACKS, list,
                                [&] { return ostrela_db_find_hijacks(list); });
}
