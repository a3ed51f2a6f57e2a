// Look-ups of the element namespace: loaded objects found by dbid or oid
// within their VOB, an element's versions and a version's element, the
// directory-version entries that name them, the VOB's root directory,
// checkouts, and the attribute records the readers hand out; with the
// record steps the namespace files share.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

const char* const OBJ = "VNS_DB_OBJ";

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
        status = ostrela_db_dir_ver_subdirs(vob, dbid, nlink);
        *nlink += 2;
        return status;
    case VNS_MTYPE_VER:
    case VNS_MTYPE_DERIVED_VER:
        status = ostrela_db_ver_lookup(vob, dbid, &found, &record);
        if (status == 0 && found) status = ostrela_db_count_members(VER_DIR_ENT_SET, &count, "VNS_DB_OBJ3");
        break;
    case VNS_MTYPE_SLINK:
        status = ostrela_db_slink_lookup(vob, dbid, &found, &record);
        if (status == 0 && found) status = ostrela_db_count_members(SLINK_DIR_ENT_SET, &count, "VNS_DB_OBJ3");
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

// The element record of an element, or of the element of a version, made
// current and read.
int element_of(uint32_t vob, uint32_t dbid, vns_db_elem* rec, const char* object) {
    uint32_t mtype = 0, elem = dbid;
    int status = ostrela_db_obj_get_mtype(vob, dbid, &mtype);
    if (status != 0) return status;
    if (vns_is_version(mtype))
        status = ostrela_db_ver_get_elem(vob, dbid, &elem);
    else if (!vns_is_element(mtype))
        return QEL_ST_INTERNAL;
    if (status == 0) status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, ostrela_db_dbid2dba(vob), elem, object);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", object);
    return status;
}

// The VOB record of a handle made current: a deleted one is 1087, a record
// of another type 1008.
int vob_record(uint32_t vob, const char* object) {
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status != 0) return status;
    int st = dt_crset(&dba, &view_db_task, VDB);
    if (st == S_DELETED) return QEL_ST_STALE;
    if (st != S_OKAY) return ostrela_kesto_err("D_CRSET", object, st);
    int type = 0;
    if ((status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", object)) != 0) return status;
    return type == DB_VOB ? 0 : QEL_ST_INTERNAL;
}

struct timeval to_timeval(uint32_t sec, uint32_t usec) {
    struct timeval tv;
    tv.tv_sec = sec;
    tv.tv_usec = usec;
    return tv;
}

// A version's record made current and read; 1002 when there is none.
int read_version(db_address vob, uint32_t ver, vns_db_ver* rec, const char* object) {
    int status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, ver, object);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", object);
    return status;
}

} // namespace

// ---- shared steps ---------------------------------------------------------------------------------

int ostrela_db_vob_handle(uint32_t vob, db_address* dba) {
    if (vob == 0) return QEL_ST_NOT_FOUND;
    if (!ostrela_db_is_dbid(vob)) return QEL_ST_INTERNAL;
    *dba = ostrela_db_dbid2dba(vob);
    return 0;
}

int ostrela_db_find_by_dbid(long key, int type, db_address vob, uint32_t dbid, int* found, db_address* record,
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

int ostrela_db_need_by_dbid(long key, int type, db_address vob, uint32_t dbid, const char* object,
                            db_address* record) {
    int found = 0;
    db_address at = 0;
    int status = ostrela_db_find_by_dbid(key, type, vob, dbid, &found, &at, object);
    if (status == 0 && !found) return QEL_ST_NOT_FOUND;
    if (status == 0 && record != nullptr) *record = at;
    return status;
}

int ostrela_db_count_members(int set, int32_t* count, const char* object) {
    int status = ostrela_db_engine(dt_setor(set, &view_db_task, VDB), "D_SETOR", object);
    if (status == 0) status = ostrela_db_engine(dt_members(set, count, &view_db_task, VDB), "D_MEMBERS", object);
    return status;
}

int ostrela_db_collect_members(int set, std::vector<db_address>& members, const char* object) {
    int32_t count = 0;
    int status = ostrela_db_count_members(set, &count, object);
    if (status != 0) return status;
    members.reserve(members.size() + static_cast<size_t>(count));
    const size_t end = members.size() + static_cast<size_t>(count);
    int st = dt_findfm(set, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_findnm(set, &view_db_task, VDB)) {
        db_address member = 0;
        if ((status = ostrela_db_engine(dt_crget(&member, &view_db_task, VDB), "D_CRGET", object)) != 0) return status;
        // More members than the owner counts: a chain that a partly
        // written file turned into a loop, never followed for ever.
        if (members.size() == end) return ostrela_kesto_err("D_FINDNM", object, S_SYSERR);
        members.push_back(member);
    }
    return st == S_EOS ? 0 : ostrela_kesto_err("D_FINDNM", object, st);
}

int ostrela_db_read_at(db_address at, void* rec, const char* object) {
    int status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", object);
    return status;
}

int ostrela_db_connect_to(int set, db_address owner, db_address member, const char* object) {
    int status = ostrela_db_engine(dt_crset(&owner, &view_db_task, VDB), "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_setor(set, &view_db_task, VDB), "D_SETOR", object);
    if (status == 0) status = ostrela_db_engine(dt_crset(&member, &view_db_task, VDB), "D_CRSET", object);
    if (status == 0) status = ostrela_db_engine(dt_connect(set, &view_db_task, VDB), "D_CONNECT", object);
    return status;
}

int ostrela_db_disconnect(int set, db_address member, const char* object) {
    int status = ostrela_db_engine(dt_crset(&member, &view_db_task, VDB), "D_CRSET", object);
    if (status != 0) return status;
    int st = dt_ismember(set, &view_db_task, VDB);
    if (st == S_EOS) return 0;
    if ((status = ostrela_db_engine(st, "D_ISMEMBER", object)) == 0)
        status = ostrela_db_engine(dt_setmr(set, &view_db_task, VDB), "D_SETMR", object);
    if (status != 0) return status;
    // The engine answers 1 (end of set) when the member was the last one.
    st = dt_discon(set, &view_db_task, VDB);
    return st == S_EOS ? 0 : ostrela_db_engine(st, "D_DISCON", object);
}

int ostrela_db_disdel_at(db_address at, const char* object) {
    int status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", object);
    // A directory version or a name going by this path may hold or be a
    // subdirectory whose count is remembered.
    int type = 0;
    if (status == 0 && dt_crtype(&type, &view_db_task, VDB) == S_OKAY &&
        (type == VNS_DB_DIR_VER || type == VNS_DB_DIR_VER_ENT))
        ostrela_db_subdirs_forget();
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", object);
    return status;
}

bool ostrela_db_gone(db_address at, int type) {
    if (dt_crset(&at, &view_db_task, VDB) != S_OKAY) return true;
    int found = 0;
    return dt_crtype(&found, &view_db_task, VDB) != S_OKAY || found != type;
}

// ---- look-ups -------------------------------------------------------------------------------------

int ostrela_db_obj_lookup(db_address vob, uint32_t dbid, int* found, db_address* record, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    int status = ostrela_db_find_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, found, record, "OBJ_LOOKUP");
    if (status == 0 && *found && mtype != nullptr)
        status = ostrela_db_engine(dt_crread(OBJ_MTYPE, mtype, &view_db_task, VDB), "D_CRREAD", "OBJ_LOOKUP");
    return status;
}

int ostrela_db_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return ostrela_db_find_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, found, record, "VER_LOOKUP");
}

int ostrela_db_elem_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return ostrela_db_find_by_dbid(ELEM_KEY, VNS_DB_ELEM, vob, dbid, found, record, "ELEM_LOOKUP");
}

int ostrela_db_slink_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return ostrela_db_find_by_dbid(SLINK_KEY, VNS_DB_SLINK, vob, dbid, found, record, "SLINK_LOOKUP");
}

int ostrela_db_dir_ver_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return ostrela_db_find_by_dbid(DIR_VER_KEY, VNS_DB_DIR_VER, vob, dbid, found, record, "DIR_VER_LOOKUP");
}

int ostrela_db_dir_ver_ent_lookup(db_address vob, uint32_t dbid, int* found, db_address* record) {
    ostrela_db_trans_read_check();
    return ostrela_db_find_by_dbid(DIR_VER_ENT_KEY, VNS_DB_DIR_VER_ENT, vob, dbid, found, record,
                                   "DIR_VER_ENT_LOOKUP");
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
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status != 0) return status;
    return ostrela_db_vns_obj_lookup(dba, oid, dbid, mtype) == 0 ? 0 : QEL_ST_NOT_FOUND;
}

int ostrela_db_vns_elem_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    uint32_t mtype = 0, found = 0;
    int status = ostrela_db_lookup_obj_oid(vob, oid, &found, &mtype);
    if (status == 0 && !vns_is_element(mtype)) status = QEL_ST_NOT_FOUND;
    if (status == 0) *dbid = found;
    return status;
}

int ostrela_db_vns_ver_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    uint32_t mtype = 0, found = 0;
    int status = ostrela_db_lookup_obj_oid(vob, oid, &found, &mtype);
    if (status == 0 && !vns_is_version(mtype)) status = QEL_ST_NOT_FOUND;
    if (status != 0) return status;
    *dbid = found;
    vns_db_ver rec;
    if ((status = read_version(ostrela_db_dbid2dba(vob), found, &rec, OBJ)) != 0) return status;
    return rec.stale ? QEL_ST_STALE_GENERATION : 0;
}

int ostrela_db_vns_slink_lookup(uint32_t vob, const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    uint32_t mtype = 0, found = 0;
    int status = ostrela_db_lookup_obj_oid(vob, oid, &found, &mtype);
    if (status == 0 && mtype != VNS_MTYPE_SLINK) status = QEL_ST_INTERNAL;
    if (status == 0) *dbid = found;
    return status;
}

int ostrela_db_vns_ver_lookup_name(uint32_t vob, uint32_t dir, const char* name, uint32_t* dbid, uint32_t* mtype,
                                   qel_oid_s* scope, uint32_t* gn) {
    ostrela_db_trans_read_check();
    OstrelDb_Trace trace("ostrela_db_vns_ver_lookup_name");
    db_address dba = 0, at = 0;
    int found = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0 && name == nullptr) status = QEL_ST_INTERNAL;
    if (status == 0) status = ostrela_db_dir_ver_ent_lookup_name(dba, dir, name, &found, &at);
    if (status == 0 && !found) status = QEL_ST_NOT_FOUND;
    vns_db_dir_ver_ent ent;
    if (status == 0) status = ostrela_db_read_at(at, &ent, "DIR_VER_ENT_NAME_LOOKUP");
    if (status != 0) return status;
    *dbid = ent.ver;
    *mtype = ent.mtype;
    *scope = ent.scope;
    *gn = ent.gn;
    if (!ent.valid) {
        trace.state("found dir_ver_ent dbid %d not valid\n", ent.ver);
        return QEL_ST_STALE_GENERATION;
    }
    if (!vns_is_version(ent.mtype)) return 0;
    vns_db_ver ver;
    if ((status = read_version(dba, ent.ver, &ver, "DIR_VER_ENT_NAME_LOOKUP")) != 0) return status;
    if (ver.stale) {
        trace.state("found ver dbid %d stale\n", ent.ver);
        return QEL_ST_STALE_GENERATION;
    }
    return 0;
}

int ostrela_db_obj_get_mtype(uint32_t vob, uint32_t dbid, uint32_t* mtype) {
    ostrela_db_trans_read_check();
    *mtype = 0;
    db_address dba = 0, record = 0;
    int found = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_obj_lookup(dba, dbid, &found, &record, mtype);
    return status == 0 && !found ? QEL_ST_NOT_FOUND : status;
}

int ostrela_db_get_obj_info(db_address vob, uint32_t dbid, qel_oid_s* oid, uint32_t* mtype, qel_fstat_db_s* fstat) {
    ostrela_db_trans_read_check();
    vns_db_obj rec;
    int status = ostrela_db_need_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, vob, dbid, "VNS_DB_OBJ");
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
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, elem, "ELEM_GET_VER");
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
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, dba, ver, "VNS_VER_ELEM");
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
    if (vns_is_version(mtype)) {
        set = VER_DIR_ENT_SET;
        status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, ostrela_db_dbid2dba(vob), dbid, "VNS_DB_VER");
    } else if (mtype == VNS_MTYPE_SLINK) {
        set = SLINK_DIR_ENT_SET;
        status = ostrela_db_need_by_dbid(SLINK_KEY, VNS_DB_SLINK, ostrela_db_dbid2dba(vob), dbid, "VNS_DB_VER");
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
    if (vns_is_element(mtype)) status = ostrela_db_elem_get_ver(vob, dbid, &ver);
    if (status == 0) status = ostrela_db_ver_get_parent(vob, ver, &parent, nullptr, nullptr);
    if (status != 0 || parent == 0) return status;
    return ostrela_db_ver_get_elem(vob, parent, elem);
}

// ---- the VOB's root directory and node ids -------------------------------------------------------------

int ostrela_db_get_vob_root_dir(uint32_t vob, uint32_t* root, uint32_t* gn) {
    ostrela_db_trans_read_check();
    *root = 0;
    int status = vob_record(vob, "DB_VOB");
    uint32_t dbid = 0;
    if (status == 0)
        status = ostrela_db_engine(dt_crread(VOB_ROOT_DIR_DBID, &dbid, &view_db_task, VDB), "D_CRREAD", "DB_VOB");
    if (status == 0 && dbid == 0) status = QEL_ST_NOT_FOUND;
    if (status != 0) return status;
    *root = dbid;
    qel_oid_s scope;
    return ostrela_db_get_ver_scope(vob, dbid, &scope, gn);
}

bool ostrela_db_vob_has_root_dir(uint32_t vob) {
    ostrela_db_trans_read_check();
    uint32_t root = 0, gn = 0;
    int stale = 1;
    return ostrela_db_get_vob_root_dir(vob, &root, &gn) == 0 && ostrela_db_ver_get_stale(vob, root, &stale) == 0 &&
           stale == 0;
}

int ostrela_db_add_vob_root_dir(uint32_t vob, uint32_t dbid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_add_vob_root_dir");
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status != 0) return status;
    status = ostrela_db_set_record(vob, DB_VOB, "DB_VOB");
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(VOB_ROOT_DIR_DBID, &dbid, &view_db_task, VDB), "D_CRWRITE", "DB_VOB");
    if (status == 0) trace.state("VOB 0x%lx root dir dbid %u\n", static_cast<unsigned long>(vob), dbid);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_UPDATE, static_cast<unsigned long>(vob),
                             "DB VOB");
}

int ostrela_db_obj_update_nodeid(uint32_t vob, uint32_t dbid, uint32_t node) {
    ostrela_db_trans_write_check();
    db_address dba = 0, record = 0;
    int found = 0;
    uint32_t mtype = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_obj_lookup(dba, node, &found, &record, &mtype);
    if (status == 0 && !found) status = QEL_ST_INTERNAL;
    if (status == 0) status = ostrela_db_need_by_dbid(OBJ_DBID_KEY, VNS_DB_OBJ, dba, dbid, "OBJ_NODEID");
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(OBJ_NODE_ID, &node, &view_db_task, VDB), "D_CRWRITE", "OBJ_NODEID");
    return status;
}

// ---- checkouts ---------------------------------------------------------------------------------------

int ostrela_db_elem_get_checkedout(uint32_t vob, uint32_t dbid, qel_oid_s* co_oid, int* flag) {
    ostrela_db_trans_read_check();
    vns_db_elem rec;
    int status = element_of(vob, dbid, &rec, "GET_CHECKOUT");
    if (status != 0) return status;
    if (co_oid != nullptr) *co_oid = rec.co_oid;
    if (flag != nullptr) *flag = rec.checkedout != 0;
    return 0;
}

int ostrela_db_elem_set_checkedout(uint32_t vob, uint32_t dbid, const qel_oid_s* co_oid, int flag) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_elem_set_checkedout");
    vns_db_elem rec;
    int status = element_of(vob, dbid, &rec, "SET_CHECKOUT");
    if (status != 0) return status;
    if (co_oid != nullptr) rec.co_oid = *co_oid;
    rec.checkedout = flag ? 1 : 0;
    status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "SET_CHECKOUT");
    // Only checked-out elements join the key; one that leaves keeps its
    // entry, now 0, which the searches for 1 pass over.
    if (status == 0 && flag)
        status = ostrela_db_engine(dt_keystore(ELEM_CHECKEDOUT, &view_db_task, VDB), "D_KEYSTORE", "SET_CHECKOUT");
    if (status == 0) trace.state("setting elem dbid %u checkedout=%d\n", rec.dbid, flag ? 1 : 0);
    return status;
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

// ---- attributes ------------------------------------------------------------------------------------

int ostrela_db_get_vns_elem_info(uint32_t vob, uint32_t elem, qel_oid_s* oid, uint32_t* mtype, int* checked_out,
                                 struct timeval* time, qel_fstat_db_s* fstat) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    vns_db_elem rec;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, elem, "VNS_DB_ELEM");
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VNS_DB_ELEM");
    if (status != 0) return status;
    if (checked_out != nullptr) *checked_out = rec.checkedout != 0;
    if (time != nullptr) *time = to_timeval(rec.time_sec, rec.time_usec);
    return ostrela_db_get_obj_info(dba, elem, oid, mtype, fstat);
}

int ostrela_db_get_ver_vstat(uint32_t vob, uint32_t ver, qel_oid_s* oid, uint32_t* mtype, struct timeval* time,
                             qel_fstat_db_s* fstat, int* checked_out, qel_oid_s* elem_oid) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    vns_db_ver rec;
    uint32_t elem = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_get_obj_info(dba, ver, oid, mtype, fstat);
    if (status == 0) status = read_version(dba, ver, &rec, "VER_GET_VSTAT");
    if (status != 0) return status;
    if (fstat != nullptr) {
        fstat->aux = rec.fstat_aux;
        fstat->size = uint64_t{rec.size_high} << 32 | rec.size_low;
    }
    if (time != nullptr) *time = to_timeval(rec.time_sec, rec.time_usec);
    if (checked_out == nullptr && elem_oid == nullptr) return 0;
    vns_db_elem elem_rec;
    status = ostrela_db_ver_get_elem(vob, ver, &elem);
    if (status == 0) status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, elem, "VNS_DB_ELEM");
    if (status == 0) status = ostrela_db_engine(dt_recread(&elem_rec, &view_db_task, VDB), "D_RECREAD", "VNS_DB_ELEM");
    if (status == 0 && checked_out != nullptr) *checked_out = elem_rec.checkedout != 0;
    if (status == 0 && elem_oid != nullptr) status = ostrela_db_get_obj_info(dba, elem, elem_oid, nullptr, nullptr);
    return status;
}

int ostrela_db_get_ver_info(uint32_t vob, uint32_t ver, size_t size, qel_oid_s* oid, uint32_t* mtype,
                            int* checked_out, struct timeval* time, char* name, qel_fstat_db_s* fstat,
                            qel_oid_s* elem_oid) {
    ostrela_db_trans_read_check();
    int status = ostrela_db_get_ver_vstat(vob, ver, oid, mtype, time, fstat, checked_out, elem_oid);
    if (status == 0 && name != nullptr) status = ostrela_db_dir_ver_ent_get_name(ostrela_db_dbid2dba(vob), ver, size, name);
    return status;
}

int ostrela_db_get_ver_elem_info(uint32_t vob, uint32_t ver, uint32_t* elem, qel_oid_s* elem_oid,
                                 qel_fstat_db_s* elem_fstat, int* checked_out) {
    ostrela_db_trans_read_check();
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, dba, ver, "ELEM_VER_SET");
    if (status != 0) return status;
    int st = dt_ismember(ELEM_VER_SET, &view_db_task, VDB);
    if (st == S_EOS) return QEL_ST_NOT_FOUND;
    db_address owner = 0;
    int type = 0;
    vns_db_elem rec;
    status = ostrela_db_engine(st, "D_ISMEMBER", "ELEM_VER_SET");
    if (status == 0) status = ostrela_db_engine(dt_setmr(ELEM_VER_SET, &view_db_task, VDB), "D_SETMR", "ELEM_VER_SET");
    if (status == 0)
        status = ostrela_db_engine(dt_csoget(ELEM_VER_SET, &owner, &view_db_task, VDB), "D_CSOGET", "ELEM_VER_SET");
    if (status == 0) status = ostrela_db_engine(dt_crset(&owner, &view_db_task, VDB), "D_CRSET", "ELEM_VER_SET");
    if (status == 0) status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", "ELEM_VER_SET");
    if (status == 0 && type != VNS_DB_ELEM) status = QEL_ST_STALE;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "ELEM_VER_SET");
    if (status != 0) return status;
    if (elem != nullptr) *elem = rec.dbid;
    if (checked_out != nullptr) *checked_out = rec.checkedout != 0;
    if (elem_oid == nullptr && elem_fstat == nullptr) return 0;
    return ostrela_db_get_obj_info(dba, rec.dbid, elem_oid, nullptr, elem_fstat);
}

int ostrela_db_get_slink_info(uint32_t vob, uint32_t slink, size_t size, qel_oid_s* oid, struct timeval* time,
                              char* name, char* text, qel_fstat_db_s* fstat) {
    ostrela_db_trans_read_check();
    db_address dba = 0, at = 0;
    vns_db_slink rec;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = ostrela_db_get_obj_info(dba, slink, oid, nullptr, fstat);
    if (status == 0) status = ostrela_db_need_by_dbid(SLINK_KEY, VNS_DB_SLINK, dba, slink, "VNS_SLINK", &at);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VNS_SLINK");
    if (status != 0) return status;
    if (time != nullptr) *time = to_timeval(rec.time_sec, rec.time_usec);
    if (fstat != nullptr) fstat->size = uint64_t{rec.text_len};
    if (name != nullptr && (status = ostrela_db_dir_ver_ent_get_name(dba, slink, size, name)) != 0) return status;
    if (text == nullptr) return 0;
    if (size_t{rec.text_len} + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(text, rec.text, std::min<size_t>(rec.text_len, SLINK_TEXT_ROOM));
    if (rec.text_len > SLINK_TEXT_ROOM &&
        (status = ostrela_db_bytes_read(at, rec.bytes_dba, text + SLINK_TEXT_ROOM, rec.text_len - SLINK_TEXT_ROOM)) != 0)
        return status;
    text[rec.text_len] = '\0';
    return 0;
}

int ostrela_db_get_root_dir_info(uint32_t vob, qel_oid_s* oid, int* checked_out, struct timeval* time,
                                 qel_fstat_db_s* fstat, qel_oid_s* scope, uint32_t* gn) {
    ostrela_db_trans_read_check();
    uint32_t root = 0, root_gn = 0;
    int status = ostrela_db_get_vob_root_dir(vob, &root, &root_gn);
    if (root == 0) return status;
    db_address dba = ostrela_db_dbid2dba(vob);
    db_vob_dbid_key key{dba, root};
    int st = dt_keyfind(VER_KEY, &key, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    int type = 0;
    vns_db_ver rec;
    status = ostrela_db_engine(st, "D_KEYFIND", "VNS_DB_VER");
    if (status == 0) status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", "VNS_DB_VER");
    if (status == 0 && type != VNS_DB_VER) status = QEL_ST_STALE;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", "VNS_DB_VER");
    if (status == 0) status = ostrela_db_get_obj_info(dba, root, oid, nullptr, fstat);
    if (status != 0) return status;
    if (time != nullptr) *time = to_timeval(rec.time_sec, rec.time_usec);
    if (checked_out != nullptr) {
        // A root whose element was not loaded is not checked out.
        *checked_out = 0;
        uint32_t elem = 0;
        if (ostrela_db_ver_get_elem(vob, root, &elem) == 0) {
            vns_db_elem elem_rec;
            status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, dba, elem, "VNS_DB_ELEM");
            if (status == 0)
                status = ostrela_db_engine(dt_recread(&elem_rec, &view_db_task, VDB), "D_RECREAD", "VNS_DB_ELEM");
            if (status != 0) return status;
            *checked_out = elem_rec.checkedout != 0;
        }
    }
    qel_oid_s root_scope;
    uint32_t entry_gn = 0;
    status = ostrela_db_get_ver_scope(vob, root, &root_scope, &entry_gn);
    if (status == 0 && scope != nullptr) *scope = root_scope;
    if (status == 0 && gn != nullptr) *gn = entry_gn;
    return status;
}
