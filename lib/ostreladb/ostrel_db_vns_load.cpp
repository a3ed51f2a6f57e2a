// What a load or update of the view writes into the element namespace:
// objects numbered from their VOB's counter, elements, versions, symbolic
// links and the VOB's root directory version, each under a name in a
// directory version and a load scope. A delivery of what is loaded already
// confirms it; a new version of an element under its name replaces the old
// one; another object holding the name (an evil twin) goes first.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"

namespace {

const char* const OBJ = "VNS_DB_OBJ";

// The scope a load names: the null oid stands for the default scope at the
// default scope's own generation number.
int load_scope(const qel_oid_s* scope, uint32_t gn, qel_oid_s* out, uint32_t* out_gn) {
    *out = *scope;
    *out_gn = gn;
    if (!qel_oid_eq(scope, &QEL_OID_NULL)) return 0;
    *out = AUTOMATIC_LOAD_SCOPE_OID;
    return ostrela_db_get_def_scope_gn(out_gn);
}

// The oid of the object `dbid` of the VOB at `vob`; 1002 when there is none.
int oid_of(db_address vob, uint32_t dbid, qel_oid_s* oid) {
    return ostrela_db_get_obj_info(vob, dbid, oid, nullptr, nullptr);
}

// The creation check, resolving evil twins until none holds the name.
int check_creation(db_address vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid, uint32_t parent,
                   uint32_t mtype, const char* name, ostrela_db_creation* check) {
    for (;;) {
        int status = ostrela_db_obj_creation_check(vob, ver_oid, elem_oid, parent, mtype, name, check);
        if (status != 0 || !check->evil_twin) return status;
        if ((status = ostrela_db_handle_evil_twins(parent, check->record)) != 0) return status;
    }
}

// Whether a lookup or a listing of the parent (not a load or update, which
// lists the directory itself) delivers the directory version at `entry`
// again with nothing new: its name valid, in the same scope and generation,
// the version not stale. Its own listing, complete or not, then stays as it
// is; forgetting a complete one would make a checkin of the directory skip
// reading the new version's listing.
bool unchanged_directory(uint32_t vob, db_address entry, const qel_oid_s* scope, uint32_t gn, int readdir_state) {
    if (readdir_state == 1 || readdir_state == 2) return false;
    vns_db_dir_ver_ent rec;
    if (ostrela_db_read_at(entry, &rec, "VNS_CREATE_VER") != 0) return false;
    if (rec.mtype != VNS_MTYPE_DIR_VER || !rec.valid || rec.gn != gn || !qel_oid_eq(&rec.scope, scope)) return false;
    int stale = 1;
    return ostrela_db_ver_get_stale(vob, rec.ver, &stale) == 0 && !stale;
}

// The same object delivered again under its name (the entry at `entry`):
// the entry takes the scope and generation number and becomes valid, the
// version stops being stale, and a directory's readdir flags are set for
// what the load will do with its names (kept when nothing changed).
int confirm(uint32_t vob, db_address entry, const qel_oid_s* scope, uint32_t gn, int readdir_state,
            qel_oid_s* other_scope, bool root, uint32_t* dbid) {
    OstrelDb_Trace trace("ostrela_db_confirm_vns_ver");
    db_address dba = ostrela_db_dbid2dba(vob);
    const bool keeps_listing = unchanged_directory(vob, entry, scope, gn, readdir_state);
    int moved = 0, to_default = 0;
    int status = ostrela_db_dir_ver_ent_update_scope(entry, scope, gn, other_scope, &moved, &to_default);
    vns_db_dir_ver_ent rec;
    if (status == 0) status = ostrela_db_read_at(entry, &rec, "VNS_CREATE_VER");
    if (status != 0) return status;
    if (!rec.valid) {
        rec.valid = 1;
        status = ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", "VNS_CREATE_VER");
        if (status != 0) return status;
        if (root)
            trace.state("setting root dir_ver_ent dbid %d valid=%d\n", rec.ver, 1);
        else
            trace.state("setting dir_ver_ent dbid %d name '%.*s' valid=%d\n", rec.ver,
                        std::min<int>(rec.name_len, DIR_VER_ENT_NAME_ROOM), rec.name, 1);
    }
    *dbid = rec.ver;
    if (rec.mtype == VNS_MTYPE_SLINK) return 0;
    if ((status = ostrela_db_ver_set_stale(vob, rec.ver, 0)) != 0 || rec.mtype != VNS_MTYPE_DIR_VER || keeps_listing)
        return status;
    status = moved ? ostrela_db_mark_saved_readdir_done(dba, rec.ver, scope, readdir_state)
                   : ostrela_db_ver_set_readdir_done_only(dba, rec.ver, 0);
    if (status == 0 && to_default) status = ostrela_db_dir_ver_reconn_sub_ver_scope(dba, rec.ver, scope);
    return status;
}

// A new directory version `dbid` takes the name and the names of the old
// one that the entry at `entry` named; the old version goes.
int replace_version(db_address vob, uint32_t dbid, uint32_t mtype, db_address entry, const qel_oid_s* scope,
                    uint32_t gn, int readdir_state) {
    int to_default = 0;
    uint32_t old = 0;
    int status = ostrela_db_dir_ver_ent_move(vob, dbid, entry, scope, gn, &to_default, &old);
    if (status == 0 && mtype == VNS_MTYPE_DIR_VER) {
        status = ostrela_db_dir_ver_update_dbid(vob, old, dbid, readdir_state == 2);
        if (status == 0 && to_default) status = ostrela_db_dir_ver_reconn_sub_ver_scope(vob, dbid, scope);
    }
    if (status != 0) return status;
    return mtype == VNS_MTYPE_SLINK ? ostrela_db_remove_one_slink(vob, old, 0, 0)
                                    : ostrela_db_remove_one_ver(vob, old, 0, 0);
}

// The dbid of the version or link record at `record`.
int dbid_at(db_address record, long field, uint32_t* dbid) {
    return ostrela_db_engine(dt_crset(&record, &view_db_task, VDB), "D_CRSET", "VNS_CREAT_VER_2") != 0
               ? QEL_ST_INTERNAL
               : ostrela_db_engine(dt_crread(field, dbid, &view_db_task, VDB), "D_CRREAD", "VNS_CREAT_VER_2");
}

} // namespace

// ---- objects, elements and versions ---------------------------------------------------------------

int ostrela_db_create_vns_obj(db_address vob, const qel_oid_s* oid, uint32_t mtype, const qel_fstat_db_s* fstat,
                              uint32_t* dbid) {
    ostrela_db_trans_write_check();
    int st = dt_crset(&vob, &view_db_task, VDB);
    if (st == S_DELETED) return QEL_ST_STALE;
    if (st != S_OKAY) return ostrela_kesto_err("D_CRSET", "DB_VOB", st);
    int type = 0;
    db_vob vob_rec;
    int status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", "DB_VOB");
    if (status == 0 && type != DB_VOB) status = QEL_ST_STALE;
    if (status == 0) status = ostrela_db_engine(dt_recread(&vob_rec, &view_db_task, VDB), "D_RECREAD", "DB_VOB");
    if (status != 0) return status;
    uint32_t next = vob_rec.next_dbid + 1;
    vns_db_obj rec{};
    rec.vob_dba = vob;
    rec.oid = *oid;
    rec.mtype = mtype;
    rec.dbid = next;
    rec.fstat_type = fstat->type;
    rec.fstat_mode = fstat->mode;
    rec.node_id = vns_is_element(mtype) || mtype == VNS_MTYPE_SLINK ? next : 0;
    rec.atime = fstat->atime;
    rec.mtime = fstat->mtime;
    rec.ctime = fstat->ctime;
    rec.xtime = fstat->xtime;
    st = dt_fillnew(VNS_DB_OBJ, &rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    if ((status = ostrela_db_engine(st, "D_FILLNEW", OBJ)) != 0) return status;
    // The counter rises only once the object is made.
    status = ostrela_db_engine(dt_crset(&vob, &view_db_task, VDB), "D_CRSET", "CREATE_OBJ_2");
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(VOB_NEXT_DBID, &next, &view_db_task, VDB), "D_CRWRITE", "CREATE_OBJ_2");
    if (status == 0) *dbid = next;
    return status;
}

int ostrela_db_create_vns_elem(uint32_t vob, const qel_oid_s* oid, const struct timeval* time,
                               const qel_fstat_db_s* fstat, uint32_t mtype, int checked_out, uint32_t* dbid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_vns_elem");
    // The kind comes from the server or a dump: an element of another kind
    // would stand in the database without the object it needs.
    if (!vns_is_element(mtype)) return QEL_ST_INTERNAL;
    db_address dba = 0;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status != 0) return status;
    uint32_t found = 0;
    status = ostrela_db_vns_elem_lookup(vob, oid, &found);
    if (status == 0) {
        *dbid = found;
        return ostrela_db_elem_set_checkedout(vob, found, nullptr, checked_out);
    }
    if (status != QEL_ST_NOT_FOUND) return status;
    uint32_t made = 0;
    if ((status = ostrela_db_create_vns_obj(dba, oid, mtype, fstat, &made)) != 0) return status;
    vns_db_elem rec{dba, made, {}, static_cast<uint32_t>(time->tv_sec), static_cast<uint32_t>(time->tv_usec), 0,
                    checked_out ? 1u : 0u};
    int st = dt_fillnew(VNS_DB_ELEM, &rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    status = ostrela_db_engine(st, "D_FILLNEW", "VNS_DB_ELEM");
    if (status == 0 && checked_out)
        status = ostrela_db_engine(dt_keystore(ELEM_CHECKEDOUT, &view_db_task, VDB), "D_KEYSTORE", "VNS_DB_ELEM");
    if (status != 0) return status;
    trace.state("created elem dbid %u checkedout=%u\n", made, rec.checkedout);
    *dbid = made;
    return 0;
}

int ostrela_db_create_ver_rec(db_address vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid, uint32_t mtype,
                              const struct timeval* time, const qel_fstat_db_s* fstat, uint32_t* dbid) {
    ostrela_db_trans_write_check();
    uint32_t made = 0;
    int status = ostrela_db_create_vns_obj(vob, ver_oid, mtype, fstat, &made);
    if (status != 0) return status;
    vns_db_ver rec{vob,         made,       static_cast<uint32_t>(time->tv_sec),
                   fstat->size.low, fstat->size.high, static_cast<uint32_t>(time->tv_usec),
                   fstat->aux,  mtype,      0};
    db_address at = 0;
    status = ostrela_db_engine(dt_fillnew(VNS_DB_VER, &rec, &view_db_task, VDB), "D_FILLNEW", "VNS_DB_VER");
    if (status == 0) status = ostrela_db_engine(dt_crget(&at, &view_db_task, VDB), "D_CRGET", "VNS_DB_VER");
    if (status != 0) return status;
    *dbid = made;
    // The version joins its element when that is loaded; a version without
    // one is no failure, but a failure to join is: the version would stay
    // apart from its element.
    uint32_t elem = 0, kind = 0;
    db_address elem_at = 0;
    status = ostrela_db_vns_obj_lookup(vob, elem_oid, &elem, &kind);
    if (status == 0 && !vns_is_element(kind)) status = QEL_ST_NOT_FOUND;
    if (status == 0) status = ostrela_db_need_by_dbid(ELEM_KEY, VNS_DB_ELEM, vob, elem, "VNS_DB_VER_2", &elem_at);
    if (status == QEL_ST_NOT_FOUND) return 0;
    if (status == 0) status = ostrela_db_connect_to(ELEM_VER_SET, elem_at, at, "VNS_DB_VER_2");
    if (status == 0) status = ostrela_db_obj_update_nodeid(ostrela_db_dba2dbid(vob), made, elem);
    if (status != 0) return status;
    if (dt_crset(&at, &view_db_task, VDB) != S_OKAY || dt_ismember(ELEM_VER_SET, &view_db_task, VDB) != S_OKAY)
        imsg_print(IMSG_KIND_ERR, "*** not in VNS_ELEM_VER_SET set.\n", -1);
    return 0;
}

// ---- the creation check --------------------------------------------------------------------------

int ostrela_db_obj_creation_check(db_address vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                                  uint32_t parent, uint32_t mtype, const char* name, ostrela_db_creation* check) {
    ostrela_db_trans_read_check();
    const char* const object = "EVIL_TWINS_CHECK";
    *check = ostrela_db_creation{};
    uint32_t handle = ostrela_db_dba2dbid(vob);
    int found = 0;
    db_address at = 0;
    int status = name != nullptr ? ostrela_db_dir_ver_ent_lookup_name(vob, parent, name, &found, &at) : 0;
    if (status != 0) return status;
    if (found) {
        vns_db_dir_ver_ent rec;
        if ((status = ostrela_db_read_at(at, &rec, object)) != 0) return status;
        check->record = at;
        if (rec.mtype != mtype) {
            check->evil_twin = true;
            return 0;
        }
        qel_oid_s held;
        if (vns_is_version(mtype)) {
            // A version whose element is not loaded is told by itself.
            uint32_t elem = 0;
            status = ostrela_db_ver_get_elem(handle, rec.ver, &elem);
            if (status == 0) status = oid_of(vob, elem, &held);
            if (status == QEL_ST_NOT_FOUND) {
                status = oid_of(vob, rec.ver, &held);
                if (status == 0 && !qel_oid_eq(&held, ver_oid)) {
                    check->evil_twin = true;
                    return 0;
                }
                held = *elem_oid;
            }
            if (status != 0) return status;
            if (!qel_oid_eq(&held, elem_oid)) {
                check->evil_twin = true;
                return 0;
            }
        } else if (mtype != VNS_MTYPE_SLINK) {
            return QEL_ST_INTERNAL;
        }
        if ((status = oid_of(vob, rec.ver, &held)) != 0) return status;
        check->same_element = true;
        (qel_oid_eq(&held, ver_oid) ? check->same_object : check->replace) = true;
        return 0;
    }
    uint32_t dbid = 0, kind = 0, ver = 0;
    if (mtype == VNS_MTYPE_SLINK) {
        if (ostrela_db_vns_obj_lookup(vob, ver_oid, &dbid, &kind) != 0) return 0;
        status = ostrela_db_need_by_dbid(SLINK_KEY, VNS_DB_SLINK, vob, dbid, object, &check->record);
        check->add_name = status == 0;
        return status == QEL_ST_NOT_FOUND ? 0 : status;
    }
    if (!vns_is_version(mtype)) return QEL_ST_INTERNAL;
    uint32_t elem = 0;
    if (ostrela_db_vns_obj_lookup(vob, elem_oid, &elem, &kind) != 0) return 0;
    if (ostrela_db_vns_obj_lookup(vob, ver_oid, &dbid, &kind) != 0) {
        // A new version of a loaded element: under a parent it is simply
        // made; as a root it replaces the element's loaded version.
        if (parent != 0 || ostrela_db_elem_get_ver(handle, elem, &ver) != 0) return 0;
        status = ostrela_db_dir_ver_ent_lookup(vob, ver, &found, &check->record);
        check->replace = status == 0 && found;
        return status;
    }
    if (parent == 0) {
        status = ostrela_db_dir_ver_ent_lookup(vob, dbid, &found, &check->record);
        if (status != 0) return status;
        if (found) {
            check->same_element = check->same_object = true;
            return 0;
        }
    }
    // The version is loaded: it gets one more name (a root its first).
    status = ostrela_db_need_by_dbid(VER_KEY, VNS_DB_VER, vob, dbid, object, &check->record);
    check->add_name = status == 0;
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

// ---- loading versions, links and roots ------------------------------------------------------------

int ostrela_db_create_vns_ver(uint32_t vob, uint32_t parent, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                              uint32_t mtype, const struct timeval* time, const char* name,
                              const qel_fstat_db_s* fstat, const qel_oid_s* scope, uint32_t gn, int readdir_state,
                              uint32_t* dbid, qel_oid_s* other_scope, qel_oid_s* parent_oid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_vns_ver");
    *dbid = 0;
    if (other_scope != nullptr) *other_scope = QEL_OID_NULL;
    if (parent_oid != nullptr) *parent_oid = QEL_OID_NULL;
    if (name != nullptr && std::strlen(name) > VNS_NAME_MAX) return QEL_ST_TOO_LONG;
    if (!vns_is_version(mtype)) return QEL_ST_INTERNAL;
    db_address dba = 0;
    qel_oid_s in_scope;
    ostrela_db_creation check;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = load_scope(scope, gn, &in_scope, &gn);
    if (status == 0) status = check_creation(dba, ver_oid, elem_oid, parent, mtype, name, &check);
    if (status != 0) return status;
    uint32_t made = 0;
    int created = 0;
    if (check.same_element && check.same_object) {
        status = confirm(vob, check.record, &in_scope, gn, readdir_state, other_scope, false, &made);
    } else if (check.add_name) {
        status = dbid_at(check.record, VER_DBID, &made);
        if (status == 0)
            status = ostrela_db_create_dir_ver_ent_rec(dba, made, parent, mtype, &in_scope, gn, name, &created,
                                                       other_scope);
    } else {
        status = ostrela_db_create_ver_rec(dba, ver_oid, elem_oid, mtype, time, fstat, &made);
        if (status == 0 && mtype == VNS_MTYPE_DIR_VER)
            status = ostrela_db_create_dir_ver_rec(dba, made, parent, readdir_state,
                                                   !ostrela_db_is_def_scope(&in_scope), &created);
        if (status == 0) {
            status = check.replace ? replace_version(dba, made, mtype, check.record, &in_scope, gn, readdir_state)
                                   : ostrela_db_create_dir_ver_ent_rec(dba, made, parent, mtype, &in_scope, gn, name,
                                                                       &created, other_scope);
        }
    }
    if (status == 0 && parent_oid != nullptr && parent != 0) status = oid_of(dba, parent, parent_oid);
    if (status == 0) *dbid = made;
    return status;
}

int ostrela_db_create_vns_slink(uint32_t vob, uint32_t parent, const qel_oid_s* oid, const struct timeval* time,
                                const char* name, const char* text, const qel_fstat_db_s* fstat,
                                const qel_oid_s* scope, uint32_t gn, uint32_t* dbid, qel_oid_s* parent_oid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_vns_slink");
    *dbid = 0;
    if (parent_oid != nullptr) *parent_oid = QEL_OID_NULL;
    size_t len = std::strlen(text);
    if ((name != nullptr && std::strlen(name) > VNS_NAME_MAX) || len > VNS_SLINK_TEXT_MAX) return QEL_ST_TOO_LONG;
    db_address dba = 0;
    qel_oid_s in_scope;
    ostrela_db_creation check;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = load_scope(scope, gn, &in_scope, &gn);
    if (status == 0) status = check_creation(dba, oid, &QEL_OID_NULL, parent, VNS_MTYPE_SLINK, name, &check);
    if (status != 0) return status;
    uint32_t made = 0;
    int created = 0;
    if (check.same_object) {
        status = confirm(vob, check.record, &in_scope, gn, 0, nullptr, false, &made);
    } else if (check.add_name) {
        status = dbid_at(check.record, SLINK_DBID, &made);
        if (status == 0)
            status = ostrela_db_create_dir_ver_ent_rec(dba, made, parent, VNS_MTYPE_SLINK, &in_scope, gn, name,
                                                       &created, nullptr);
    } else {
        qel_fstat_db_s link_fstat = *fstat;
        link_fstat.type = QEL_FTYPE_LNK;
        link_fstat.mode = 0777;
        link_fstat.nlink = 1;
        link_fstat.aux = 0;
        vns_db_slink rec{};
        db_address at = 0;
        status = ostrela_db_create_vns_obj(dba, oid, VNS_MTYPE_SLINK, &link_fstat, &made);
        rec.vob_dba = dba;
        rec.dbid = made;
        rec.time_sec = static_cast<uint32_t>(time->tv_sec);
        rec.time_usec = static_cast<uint32_t>(time->tv_usec);
        rec.text_len = static_cast<uint16_t>(len);
        std::memcpy(rec.text, text, std::min(len, SLINK_TEXT_ROOM));
        if (status == 0) status = ostrela_db_engine(dt_fillnew(VNS_DB_SLINK, &rec, &view_db_task, VDB), "D_FILLNEW", "VNS_SLINK");
        if (status == 0) status = ostrela_db_engine(dt_crget(&at, &view_db_task, VDB), "D_CRGET", "VNS_SLINK");
        if (status == 0 && len > SLINK_TEXT_ROOM) {
            status = ostrela_db_bytes_create(at, text + SLINK_TEXT_ROOM, len - SLINK_TEXT_ROOM, &rec.bytes_dba);
            if (status == 0) status = ostrela_db_engine(dt_crset(&at, &view_db_task, VDB), "D_CRSET", "VNS_SLINK_2");
            if (status == 0)
                status = ostrela_db_engine(dt_crwrite(SLINK_BYTES_DBA, &rec.bytes_dba, &view_db_task, VDB),
                                           "D_CRWRITE", "VNS_SLINK_2");
        }
        if (status == 0) {
            status = check.replace ? replace_version(dba, made, VNS_MTYPE_SLINK, check.record, &in_scope, gn, 0)
                                   : ostrela_db_create_dir_ver_ent_rec(dba, made, parent, VNS_MTYPE_SLINK, &in_scope,
                                                                       gn, name, &created, nullptr);
        }
    }
    if (status == 0 && parent_oid != nullptr && parent != 0) status = oid_of(dba, parent, parent_oid);
    if (status == 0) *dbid = made;
    return status;
}

int ostrela_db_create_root_dir(uint32_t vob, const qel_oid_s* ver_oid, const qel_oid_s* elem_oid,
                               const struct timeval* time, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                               uint32_t gn, int readdir_state, uint32_t* dbid) {
    ostrela_db_trans_write_check();
    OstrelDb_Trace trace("ostrela_db_create_root_dir");
    *dbid = 0;
    db_address dba = 0;
    qel_oid_s in_scope;
    ostrela_db_creation check;
    int status = ostrela_db_vob_handle(vob, &dba);
    if (status == 0) status = load_scope(scope, gn, &in_scope, &gn);
    if (status == 0) status = check_creation(dba, ver_oid, elem_oid, 0, VNS_MTYPE_DIR_VER, nullptr, &check);
    if (status != 0) return status;
    uint32_t made = 0;
    int created = 0;
    if (check.same_element && check.same_object) {
        status = confirm(vob, check.record, &in_scope, gn, readdir_state, nullptr, true, &made);
    } else if (check.add_name) {
        // A loaded version that lost its root entry gets it back.
        status = dbid_at(check.record, VER_DBID, &made);
        if (status == 0)
            status = ostrela_db_create_dir_ver_ent_rec(dba, made, 0, VNS_MTYPE_DIR_VER, &in_scope, gn, nullptr,
                                                       &created, nullptr);
    } else {
        status = ostrela_db_create_ver_rec(dba, ver_oid, elem_oid, VNS_MTYPE_DIR_VER, time, fstat, &made);
        if (status == 0)
            status = ostrela_db_create_dir_ver_rec(dba, made, 0, readdir_state, !ostrela_db_is_def_scope(&in_scope),
                                                   &created);
        if (status == 0) {
            status = check.replace
                         ? replace_version(dba, made, VNS_MTYPE_DIR_VER, check.record, &in_scope, gn, readdir_state)
                         : ostrela_db_create_dir_ver_ent_rec(dba, made, 0, VNS_MTYPE_DIR_VER, &in_scope, gn, nullptr,
                                                             &created, nullptr);
        }
    }
    if (status == 0) status = ostrela_db_add_vob_root_dir(vob, made);
    if (status == 0) *dbid = made;
    return status;
}
