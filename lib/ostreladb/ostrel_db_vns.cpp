// Look-ups of the element namespace: loaded objects found by dbid or oid
// within their VOB, an element's versions and a version's element, the
// directory-version entries that name them, and the checked-out elements.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

const char* const OBJ = "VNS_DB_OBJ";

// The plain address of a VOB handle.
int vob_address(uint32_t vob, db_address* dba) {
    if (vob == 0) return QEL_ST_NOT_FOUND;
    if (!ostrela_db_is_dbid(vob)) return QEL_ST_INTERNAL;
    *dba = ostrela_db_dbid2dba(vob);
    return 0;
}

// The record of `type` found by (VOB, dbid) through `key`, made current.
int find_by_dbid(long key, int type, db_address vob, uint32_t dbid, int* found, db_address* record,
                 const char* object) {
    *found = 0;
    db_vob_dbid_key value{vob, dbid};
    int st = dt_keyfind(key, &value, &view_db_task, VDB);
    if (st == S_NOTFOUND) return 0;
    if (st != S_OKAY) return ostrela_kesto_err("D_KEYFIND", object, st);
    int current = 0;
    int status = ostrela_db_engine(dt_crtype(&current, &view_db_task, VDB), "D_CRTYPE", object);
    if (status == 0 && current != type) status = QEL_ST_NOT_FOUND;
    if (status == 0) status = ostrela_db_engine(dt_crget(record, &view_db_task, VDB), "D_CRGET", object);
    if (status == 0) *found = 1;
    return status;
}

// As find_by_dbid, 1002 when there is no such record.
int need_by_dbid(long key, int type, db_address vob, uint32_t dbid, const char* object) {
    int found = 0;
    db_address record = 0;
    int status = find_by_dbid(key, type, vob, dbid, &found, &record, object);
    return status == 0 && !found ? QEL_ST_NOT_FOUND : status;
}

// The number of members that `set` has under the current record.
int count_members(int set, int32_t* count, const char* object) {
    int status = ostrela_db_engine(dt_setor(set, &view_db_task, VDB), "D_SETOR", object);
    if (status == 0) status = ostrela_db_engine(dt_members(set, count, &view_db_task, VDB), "D_MEMBERS", object);
    return status;
}

// The names of an object, as its link count.
int link_count(db_address vob, uint32_t dbid, uint32_t mtype, uint32_t* nlink) {
    *nlink = 0;
    int found = 0;
    db_address record = 0;
    int32_t count = 0;
    int status = 0;
    switch (mtype) {
    case VNS_MTYPE_DIR_VER:
        // "." and "..", and the ".." of each directory in it.
        *nlink = 2;
        status = ostrela_db_dir_ver_lookup(vob, dbid, &found, &record);
        if (status != 0 || !found) return status;
        status = ostrela_db_engine(dt_setor(DIR_VER_ENT_SET, &view_db_task, VDB), "D_SETOR", "VNS_DB_OBJ2");
        for (int st = status == 0 ? dt_findfm(DIR_VER_ENT_SET, &view_db_task, VDB) : S_EOS; st != S_EOS;
             st = dt_findnm(DIR_VER_ENT_SET, &view_db_task, VDB)) {
            uint32_t kind = 0;
            if ((status = ostrela_db_engine(st, "D_FINDNM", "VNS_DB_OBJ2")) != 0 ||
                (status = ostrela_db_engine(dt_crread(DIR_VER_ENT_MTYPE, &kind, &view_db_task, VDB), "D_CRREAD",
                                            "VNS_DB_OBJ2")) != 0)
                return status;
            if (kind == VNS_MTYPE_DIR_VER) ++*nlink;
        }
        return status;
    case VNS_MTYPE_VER:
    case VNS_MTYPE_DERIVED_VER:
        status = ostrela_db_ver_lookup(vob, dbid, &found, &record);
        if (status == 0 && found) status = count_members(VER_DIR_ENT_SET, &count, "VNS_DB_OBJ3");
        break;
    case VNS_MTYPE_SLINK:
        status = ostrela_db_slink_lookup(vob, dbid, &found, &record);
        if (status == 0 && found) status = count_members(SLINK_DIR_ENT_SET, &count, "VNS_DB_OBJ3");
        break;
    default:
        break;
    }
    *nlink = static_cast<uint32_t>(count);
    return status;
}

// One checked-out element, read into `elem`, as its VOB, parent element
// and name; 1002 when its version or parent is not there.
int checkout_info(const vns_db_elem& elem, ostrelagent_hijack_co_info* info) {
    uint32_t vob = ostrela_db_dba2dbid(elem.vob_dba), ver = 0, parent = 0;
    int status = ostrela_db_vob_get_uuid(vob, &info->identity);
    if (status == 0) status = ostrela_db_elem_get_ver(vob, elem.dbid, &ver);
    if (status == 0) status = ostrela_db_obj_get_parent_elem(vob, elem.dbid, &parent);
    if (status != 0) return status;
    if (parent == 0) {
        info->directory = QEL_OID_NULL;
        info->name = "RootDir";
        return 0;
    }
    char name[OSTREL_DB_NAME_BUF];
    status = ostrela_db_get_obj_info(elem.vob_dba, parent, &info->directory, nullptr, nullptr);
    if (status == 0) status = ostrela_db_dir_ver_ent_get_name(elem.vob_dba, ver, sizeof name, name);
    if (status == 0) info->name = name;
    return status;
}

} // namespace

int ostrela_db_obj_lookup(db_address vob, uint32_t dbid, int* found, db_address* record, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    int status = find_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, found, record, "OBJ_LOOKUP");
    if (status == 0 && *found && mtype != nullptr)
        status = ostrela_db_engine(dt_crread(OBJ_MTYPE, mtype, &view_db_task, VDB), "D_CRREAD", "OBJ_LOOKUP");
    return status;
}

int ostrela_db_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return find_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, found, record, "VER_LOOKUP");
}

int ostrela_db_elem_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return find_by_dbid(ELEM_KEY, VNS_DB_ELEM, vob, dbid, found, record, "ELEM_LOOKUP");
}

int ostrela_db_slink_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return find_by_dbid(SLINK_KEY, VNS_DB_SLINK, vob, dbid, found, record, "SLINK_LOOKUP");
}

int ostrela_db_dir_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return find_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, found, record, "DIR_VER_LOOKUP");
}

int ostrela_db_dir_ver_ent_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return find_by_dbid(DIR_VER_ENT_KEY, VNS_DB_DIR_VER_ENT, vob, dbid, found, record, "DIR_VER_ENT_LOOKUP");
}

int ostrela_db_vns_obj_lookup(db_address vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    db_obj_oid_key value{vob, *oid};
    int st = dt_keyfind(OBJ_OID_KEY, &value, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    int status = ostrela_db_engine(st, "D_KEYFIND", OBJ);
    if (status == 0) status = ostrela_db_engine(dt_crread(OBJ_DBID, dbid, &view_db_task, VDB), "D_CRREAD", OBJ);
    if (status == 0) status = ostrela_db_engine(dt_crread(OBJ_MTYPE, mtype, &view_db_task, VDB), "D_CRREAD", OBJ);
    return status;
}

int ostrela_db_lookup_obj_oid(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    int status = vob_address(vob, &dba);
    if (status != 0) return status;
    return ostrela_db_vns_obj_lookup(dba, oid, dbid, mtype) == 0 ? 0 : QEL_ST_NOT_FOUND;
}

int ostrela_db_obj_get_mtype(uint32_t vob, uint32_t dbid, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    *mtype = 0;
    db_address dba = 0, record = 0;
    int found = 0;
    int status = vob_address(vob, &dba);
    if (status == 0) status = ostrela_db_obj_lookup(dba, dbid, &found, &record, mtype);
    return status == 0 && !found ? QEL_ST_NOT_FOUND : status;
}

int ostrela_db_get_obj_info(db_address vob, uint32_t dbid, qel_oid_s* oid, uint32_t* mtype, qel_fstat_db_s* fstat) {
    ostrela_db_trans_read_check();
    vns_db_obj rec;
    int status = need_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, "VNS_DB_OBJ");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", OBJ);
    if (status != 0) return status;
    if (oid != nullptr) *oid = rec.oid;
    if (mtype != nullptr) *mtype = rec.mtype;
    if (fstat == nullptr) return 0;
    *fstat = qel_fstat_db_s{};
    fstat->type = rec.fstat_type;
    fstat->mode = rec.fstat_mode;
    fstat->nodeid = rec.node_id;
    fstat->xtime = rec.xtime;
    fstat->atime = rec.atime;
    fstat->mtime = rec.mtime;
    fstat->ctime = rec.ctime;
    return link_count(vob, dbid, rec.mtype, &fstat->nlink);
}

int ostrela_db_elem_get_ver(uint32_t vob, uint32_t elem, uint32_t* ver) {
    ostrela_db_trans_read_check();
    *ver = 0;
    db_address dba = 0;
    int status = vob_address(vob, &dba);
    if (status == 0) status = need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, elem, "ELEM_GET_VER");
    if (status == 0) status = ostrela_db_engine(dt_setor(ELEM_VER_SET, &view_db_task, VDB), "D_SETOR", "ELEM_GET_VER");
    if (status != 0) return status;
    int st = dt_findfm(ELEM_VER_SET, &view_db_task, VDB);
    if (st == S_EOS) return QEL_ST_NOT_FOUND;
    status = ostrela_db_engine(st, "D_FINDFM", "ELEM_GET_VER");
    if (status == 0) status = ostrela_db_engine(dt_crread(VER_DBID, ver, &view_db_task, VDB), "D_CRREAD", "ELEM_GET_VER");
    return status;
}

int ostrela_db_ver_get_elem(uint32_t vob, uint32_t ver, uint32_t* elem) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    int status = vob_address(vob, &dba);
    if (status == 0) status = need_by_dbid(VER_KEY, VNS_DB_VER, dba, ver, "VNS_VER_ELEM");
    if (status != 0) return status;
    int st = dt_ismember(ELEM_VER_SET, &view_db_task, VDB);
    if (st == S_EOS) return QEL_ST_NOT_FOUND;
    status = ostrela_db_engine(st, "D_ISMEMBER", "VNS_VER_ELEM");
    if (status == 0) status = ostrela_db_engine(dt_setmr(ELEM_VER_SET, &view_db_task, VDB), "D_SETMR", "VNS_VER_ELEM");
    if (status == 0)
        status = ostrela_db_engine(dt_csoread(ELEM_VER_SET, ELEM_DBID, elem, &view_db_task, VDB), "D_CSOREAD",
                                   "VNS_VER_ELEM");
    return status;
}

int ostrela_db_ver_get_parent(uint32_t vob, uint32_t dbid, uint32_t* parent, vns_db_dir_ver_ent* entry,
                              db_address* entry_record) {
    ostrela_db_trans_read_check();
    uint32_t mtype = 0;
    int status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status != 0) return status;
    int set = 0;
    if (mtype == VNS_MTYPE_DIR_VER || mtype == VNS_MTYPE_VER || mtype == VNS_MTYPE_DERIVED_VER) {
        set = VER_DIR_ENT_SET;
        status = need_by_dbid(VER_KEY, VNS_DB_VER, ostrela_db_dbid2dba(vob), dbid, "VNS_DB_VER");
    } else if (mtype == VNS_MTYPE_SLINK) {
        set = SLINK_DIR_ENT_SET;
        status = need_by_dbid(SLINK_KEY, VNS_DB_SLINK, ostrela_db_dbid2dba(vob), dbid, "VNS_DB_VER");
    } else {
        return QEL_ST_INTERNAL;
    }
    if (status == 0) status = ostrela_db_engine(dt_setor(set, &view_db_task, VDB), "D_SETOR", "VER_TO_DIR_ENT");
    if (status != 0) return status;
    int st = dt_findfm(set, &view_db_task, VDB);
    if (st == S_EOS) return QEL_ST_NOT_FOUND;
    vns_db_dir_ver_ent rec;
    status = ostrela_db_engine(st, "D_FINDFM", "VER_TO_DIR_ENT");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VER_TO_DIR_ENT");
    if (status == 0 && entry_record != nullptr)
        status = ostrela_db_engine(dt_crget(entry_record, &view_db_task, VDB), "D_CRGET", "VER_TO_DIR_ENT");
    if (status != 0) return status;
    *parent = rec.parent;
    if (entry != nullptr) *entry = rec;
    return 0;
}

int ostrela_db_obj_get_parent_elem(uint32_t vob, uint32_t dbid, uint32_t* elem) {
    ostrela_db_trans_read_check();
    *elem = 0;
    uint32_t mtype = 0, ver = dbid, parent = 0;
    int status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status != 0) return status;
    if (mtype < VNS_MTYPE_DIR_ELEM || mtype == 4 || mtype > VNS_MTYPE_DERIVED_VER) return QEL_ST_INTERNAL;
    if (mtype == VNS_MTYPE_DIR_ELEM || mtype == VNS_MTYPE_ELEM) status = ostrela_db_elem_get_ver(vob, dbid, &ver);
    if (status == 0) status = ostrela_db_ver_get_parent(vob, ver, &parent, nullptr, nullptr);
    if (status != 0 || parent == 0) return status;
    return ostrela_db_ver_get_elem(vob, parent, elem);
}

int ostrela_db_get_dir_ver_ent_pname(db_address vob, db_address entry, size_t size, char* buf) {
    ostrela_db_trans_read_check();
    (void)vob;
    vns_db_dir_ver_ent rec;
    int status = ostrela_db_engine(dt_crset(&entry, &view_db_task, VDB), "D_CRSET", "DIR_VER_ENT");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "DIR_VER_ENT");
    if (status != 0) return status;
    if (size_t{rec.name_len} + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, rec.name, std::min<size_t>(rec.name_len, DIR_VER_ENT_NAME_ROOM));
    if (rec.name_len > DIR_VER_ENT_NAME_ROOM &&
        (status = ostrela_db_bytes_read(entry, rec.bytes_dba, buf + DIR_VER_ENT_NAME_ROOM,
                                        rec.name_len - DIR_VER_ENT_NAME_ROOM)) != 0)
        return status;
    buf[rec.name_len] = '\0';
    return 0;
}

int ostrela_db_dir_ver_ent_get_name(db_address vob, uint32_t dbid, size_t size, char* buf) {
    ostrela_db_trans_read_check();
    int found = 0;
    db_address entry = 0;
    int status = ostrela_db_dir_ver_ent_lookup(vob, dbid, &found, &entry);
    if (status == 0 && !found) status = QEL_ST_NOT_FOUND;
    return status != 0 ? status : ostrela_db_get_dir_ver_ent_pname(vob, entry, size, buf);
}

int ostrela_db_has_checkouts(bool* any) {
    ostrela_db_trans_read_check();
    *any = false;
    uint32_t checked_out = 1;
    int st = dt_keyfind(ELEM_CHECKEDOUT, &checked_out, &view_db_task, VDB);
    if (st == S_OKAY) *any = true;
    int status = st == S_NOTFOUND ? 0 : ostrela_db_engine(st, "D_KEYFIND", "FIND-CO");
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_FIND_CHECKOUTS);
}

int ostrela_db_find_checkouts(std::vector<ostrelagent_hijack_co_info>& list) {
    ostrela_db_trans_read_check();
    uint32_t checked_out = 1;
    int st = dt_keyfind(ELEM_CHECKEDOUT, &checked_out, &view_db_task, VDB);
    int status = 0;
    for (; status == 0 && st == S_OKAY; st = dt_keynext(ELEM_CHECKEDOUT, &view_db_task, VDB)) {
        vns_db_elem elem;
        if ((status = ostrela_db_engine(dt_recread(&elem, &view_db_task, VDB), "D_RECREAD", "FIND-CO")) != 0) break;
        if (elem.checkedout == 0) break;
        ostrelagent_hijack_co_info info;
        status = checkout_info(elem, &info);
        if (status == 0) list.push_back(info);
        // An element whose version or parent is gone is passed over.
        if (status == QEL_ST_NOT_FOUND) status = 0;
    }
    if (status == 0 && st != S_OKAY && st != S_NOTFOUND) status = ostrela_kesto_err("D_KEYNEXT", "FIND-CO", st);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_FIND_CHECKOUTS);
}
