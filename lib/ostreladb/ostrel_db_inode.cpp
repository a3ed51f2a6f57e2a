// Inodes: the view database's records of view-private objects and of the
// cover objects of VOB objects, with their file status, kind, text and the
// identities of their owner and group; and the deletion of an inode with
// its container.
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_storage.h"

namespace {

const char* const INODE = "DB_INODE";

unsigned long dbid_text(uint32_t dbid) { return static_cast<unsigned long>(dbid); }

// An identity's length as stored: its significant bytes, at most its size.
uint16_t sid_length(const credutl_sid_t& sid) {
    return static_cast<uint16_t>(std::min(credutl_sid_length(&sid), CREDUTL_SID_SIZE));
}

// The record's file status for `fstat`, byte-string addresses left 0.
db_inode_fstat to_record(const qel_fstat_db_s& fstat) {
    db_inode_fstat r{};
    r.type = fstat.type;
    r.mode = fstat.mode;
    r.nlink = fstat.nlink;
    r.aux = fstat.aux;
    r.size_low = fstat.size.low;
    r.size_high = fstat.size.high;
    r.atime_sec = fstat.atime.tv_sec;
    r.atime_usec = fstat.atime.tv_usec;
    r.mtime_sec = fstat.mtime.tv_sec;
    r.mtime_usec = fstat.mtime.tv_usec;
    r.ctime_sec = fstat.ctime.tv_sec;
    r.ctime_usec = fstat.ctime.tv_usec;
    r.xtime_sec = fstat.xtime.tv_sec;
    r.xtime_usec = fstat.xtime.tv_usec;
    r.usid_len = sid_length(fstat.usid);
    r.gsid_len = sid_length(fstat.gsid);
    std::memcpy(r.usid, fstat.usid.bytes, std::min<size_t>(r.usid_len, INODE_SID_ROOM));
    std::memcpy(r.gsid, fstat.gsid.bytes, std::min<size_t>(r.gsid_len, INODE_SID_ROOM));
    return r;
}

// The file status of a record; the identities' bytes beyond the inline
// ones are read from their byte strings (the inode at `owner`).
int from_record(const db_inode_fstat& r, db_address owner, qel_fstat_db_s* fstat) {
    *fstat = qel_fstat_db_s{};
    fstat->type = r.type;
    fstat->mode = r.mode;
    fstat->nlink = r.nlink;
    fstat->aux = r.aux;
    fstat->size.low = r.size_low;
    fstat->size.high = r.size_high;
    fstat->atime = {r.atime_sec, r.atime_usec};
    fstat->mtime = {r.mtime_sec, r.mtime_usec};
    fstat->ctime = {r.ctime_sec, r.ctime_usec};
    fstat->xtime = {r.xtime_sec, r.xtime_usec};
    struct Sid {
        credutl_sid_t* out;
        const unsigned char* inline_bytes;
        uint16_t len;
        uint32_t bytes_dba;
    } sids[] = {{&fstat->usid, r.usid, r.usid_len, r.usid_bytes_dba},
                {&fstat->gsid, r.gsid, r.gsid_len, r.gsid_bytes_dba}};
    for (const Sid& s : sids) {
        size_t len = std::min<size_t>(s.len, CREDUTL_SID_SIZE);
        std::memcpy(s.out->bytes, s.inline_bytes, std::min(len, INODE_SID_ROOM));
        if (len > INODE_SID_ROOM) {
            int status = ostrela_db_bytes_read(owner, s.bytes_dba, reinterpret_cast<char*>(s.out->bytes) + INODE_SID_ROOM,
                                               len - INODE_SID_ROOM);
            if (status != 0) return status;
        }
    }
    return 0;
}

// Byte strings of identities longer than their inline room, owned by the
// current record at `owner`; their addresses go into `r`.
int store_long_sids(db_address owner, const qel_fstat_db_s& fstat, db_inode_fstat* r) {
    if (r->usid_len > INODE_SID_ROOM) {
        int status = ostrela_db_bytes_create(owner, reinterpret_cast<const char*>(fstat.usid.bytes) + INODE_SID_ROOM,
                                             r->usid_len - INODE_SID_ROOM, &r->usid_bytes_dba);
        if (status != 0) return status;
    }
    if (r->gsid_len > INODE_SID_ROOM) {
        int status = ostrela_db_bytes_create(owner, reinterpret_cast<const char*>(fstat.gsid.bytes) + INODE_SID_ROOM,
                                             r->gsid_len - INODE_SID_ROOM, &r->gsid_bytes_dba);
        if (status != 0) return status;
    }
    return 0;
}

// The inode `dbid` made current and read whole.
int read_inode(uint32_t dbid, db_inode* rec) {
    int status = ostrela_db_set_record(dbid, DB_INODE, INODE);
    if (status != 0) return status;
    return ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", INODE);
}

int write_current(const db_inode& rec) {
    int st = dt_recwrite(&rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    return ostrela_db_engine(st, "D_RECWRITE", INODE);
}

// A config-record reference whose derived object does not exist is none.
int cr_ref_status(int status) { return status == QEL_ST_NOT_FOUND ? 0 : status; }

int inode_create(uint32_t vob_dbid, const qel_oid_s* oid, const qel_fstat_db_s* fstat, uint32_t mtype,
                 uint32_t* dbid, uint32_t* gen) {
    if (!ostrela_db_is_dbid(vob_dbid)) return QEL_ST_INTERNAL;
    db_inode rec{};
    rec.vob_dba = ostrela_db_dbid2dba(vob_dbid);
    rec.oid = *oid;
    rec.fstat = to_record(*fstat);
    rec.mtype = mtype;
    int status = ostrela_db_vob_add_ref(rec.vob_dba, &rec.gen_num);
    if (status != 0) return status;
    int st = dt_fillnew(DB_INODE, &rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) {
        char text[QEL_OID_STR_SIZE];
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_DUPLICATE_INODE,
                   qel_oid_to_str(oid, text));
        return QEL_ST_EXISTS;
    }
    if ((status = ostrela_db_engine(st, "D_FILLNEW", INODE)) != 0) return status;
    db_address dba = 0;
    if ((status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", INODE)) != 0) return status;
    if (rec.fstat.usid_len > INODE_SID_ROOM || rec.fstat.gsid_len > INODE_SID_ROOM) {
        if ((status = store_long_sids(dba, *fstat, &rec.fstat)) != 0) return status;
        if ((status = ostrela_db_engine(dt_crwrite(INODE_FSTAT, &rec.fstat, &view_db_task, VDB), "D_CRWRITE",
                                        INODE)) != 0)
            return status;
    }
    *dbid = ostrela_db_dba2dbid(dba);
    if (gen != nullptr) *gen = rec.gen_num;
    return cr_ref_status(ostrela_db_cr_add_ref(oid, nullptr));
}

int inode_delete(uint32_t dbid, int build_session) {
    db_inode rec;
    int status = read_inode(dbid, &rec);
    if (status != 0) return status;
    db_address dba = ostrela_db_dbid2dba(dbid);
    // The names that name this inode stay (they become white-outs); its own
    // directory part goes with every name in it.
    db_address dir = 0;
    status = ostrela_db_walk_inode(dbid, [&dir](int type, db_address member) {
        if (type == DB_DIR) dir = member;
        return OSTREL_DB_WALK_ON;
    });
    if (status != QEL_ST_NOT_FOUND) return status;
    int st;
    if (dir != 0) {
        status = ostrela_db_engine(dt_crset(&dir, &view_db_task, VDB), "D_CRSET", "DB_DIR");
        if (status == 0) status = ostrela_db_engine(dt_setor(DIR_ENT_SET, &view_db_task, VDB), "D_SETOR", "DB_DIR");
        while (status == 0 && (st = dt_findfm(DIR_ENT_SET, &view_db_task, VDB)) != S_EOS) {
            db_dir_ent ent;
            status = ostrela_db_engine(st, "D_FINDFM", "DB_DIR");
            if (status == 0)
                status = ostrela_db_engine(dt_recread(&ent, &view_db_task, VDB), "D_RECREAD", "DB_DIR_ENT");
            if (status == 0) status = ostrela_db_bytes_delete(ent.bytes_dba);
            if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "DB_DIR_ENT");
        }
        if (status == 0) status = ostrela_db_engine(dt_crset(&dir, &view_db_task, VDB), "D_CRSET", "DB_DIR");
        if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "DB_DIR");
        if (status != 0)
            return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_DIR_DELETE, dbid_text(dbid));
    }
    status = ostrela_db_engine(dt_crset(&dba, &view_db_task, VDB), "D_CRSET", INODE);
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", INODE);
    if (status == 0) status = cr_ref_status(ostrela_db_cr_rm_ref(&rec.oid, build_session));
    if (status == 0) status = ostrela_db_bytes_delete(rec.fstat.usid_bytes_dba);
    if (status == 0) status = ostrela_db_bytes_delete(rec.fstat.gsid_bytes_dba);
    if (status == 0) status = ostrela_db_bytes_delete(rec.text_bytes_dba);
    if (status == 0 && rec.vob_dba != 0) status = ostrela_db_vob_rm_ref(rec.vob_dba);
    return status;
}

} // namespace

int ostrela_db_inode_create(uint32_t vob_dbid, const qel_oid_s* oid, const qel_fstat_db_s* fstat, uint32_t mtype,
                            uint32_t* dbid, uint32_t* gen) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_inode_create");
    ostrela_db_trans_write_check();
    int status = inode_create(vob_dbid, oid, fstat, mtype, dbid, gen);
    if (status == QEL_ST_EXISTS) return status;  // reported as a duplicate
    char text[QEL_OID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_INODE_CREATE, qel_oid_to_str(oid, text));
}

int ostrela_db_inode_read(uint32_t dbid, uint32_t* gen, qel_oid_s* oid, qel_fstat_db_s* fstat, uint32_t* mtype,
                          uint32_t* vob_dbid) {
    ostrela_db_trans_read_check();
    db_inode rec;
    int status = read_inode(dbid, &rec);
    if (status == 0 && fstat != nullptr) {
        status = from_record(rec.fstat, ostrela_db_dbid2dba(dbid), fstat);
        fstat->nodeid = dbid;
    }
    if (status == 0) {
        if (gen != nullptr) *gen = rec.gen_num;
        if (oid != nullptr) *oid = rec.oid;
        if (mtype != nullptr) *mtype = rec.mtype;
        if (vob_dbid != nullptr) *vob_dbid = rec.vob_dba != 0 ? ostrela_db_dba2dbid(rec.vob_dba) : 0;
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_STALE, KDB_MSG_INODE_READ, dbid_text(dbid));
}

int ostrela_db_inode_lookup(uint32_t vob_dbid, const qel_oid_s* oid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    if (vob_dbid == 0) return QEL_ST_NOT_FOUND;
    int status = QEL_ST_INTERNAL;
    if (ostrela_db_is_dbid(vob_dbid)) {
        db_inode_key key{ostrela_db_dbid2dba(vob_dbid), *oid};
        int st = dt_keyfind(INODE_KEY, &key, &view_db_task, VDB);
        db_address dba = 0;
        if (st == S_NOTFOUND) {
            status = QEL_ST_NOT_FOUND;
        } else if ((status = ostrela_db_engine(st, "D_KEYFIND", INODE)) == 0 &&
                   (status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", INODE)) == 0) {
            *dbid = ostrela_db_dba2dbid(dba);
        }
    }
    char text[QEL_OID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_INODE_LOOKUP, qel_oid_to_str(oid, text));
}

int ostrela_db_inode_rewrite(uint32_t dbid, const qel_fstat_db_s* fstat) {
    ostrela_db_trans_write_check();
    db_inode_fstat old;
    int status = ostrela_db_set_record(dbid, DB_INODE, INODE);
    if (status == 0) status = ostrela_db_engine(dt_crread(INODE_FSTAT, &old, &view_db_task, VDB), "D_CRREAD", INODE);
    if (status == 0) status = ostrela_db_bytes_delete(old.usid_bytes_dba);
    if (status == 0) status = ostrela_db_bytes_delete(old.gsid_bytes_dba);
    db_inode_fstat fresh = to_record(*fstat);
    if (status == 0) status = store_long_sids(ostrela_db_dbid2dba(dbid), *fstat, &fresh);
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(INODE_FSTAT, &fresh, &view_db_task, VDB), "D_CRWRITE", INODE);
    return ostrela_db_report(status, OSTREL_DB_QUIET_STALE, KDB_MSG_INODE_REWRITE, dbid_text(dbid));
}

int ostrela_db_inode_set_oid(uint32_t dbid, const qel_oid_s* oid, uint32_t mtype, int build_session) {
    ostrela_db_trans_write_check();
    db_inode rec;
    int status = read_inode(dbid, &rec);
    qel_oid_s old = rec.oid;
    if (status == 0) {
        if (oid != nullptr) rec.oid = *oid;
        rec.mtype = mtype;
        qel_fstat_time_s now = ostrela_db_view_time();
        rec.fstat.ctime_sec = now.tv_sec;
        rec.fstat.ctime_usec = now.tv_usec;
        status = write_current(rec);
    }
    if (status == 0 && oid != nullptr && !qel_oid_eq(oid, &old)) {
        status = cr_ref_status(ostrela_db_cr_rm_ref(&old, build_session));
        if (status == 0) status = cr_ref_status(ostrela_db_cr_add_ref(oid, nullptr));
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_SET_OID, dbid_text(dbid));
}

int ostrela_db_inode_read_text(uint32_t dbid, char* buf, size_t size) {
    ostrela_db_trans_read_check();
    db_inode rec;
    int status = read_inode(dbid, &rec);
    if (status == 0 && size_t{rec.text_len} + 1 > size) status = QEL_ST_TOO_LONG;
    if (status == 0) {
        std::memcpy(buf, rec.text, std::min<size_t>(rec.text_len, INODE_TEXT_ROOM));
        if (rec.text_len > INODE_TEXT_ROOM)
            status = ostrela_db_bytes_read(ostrela_db_dbid2dba(dbid), rec.text_bytes_dba, buf + INODE_TEXT_ROOM,
                                           rec.text_len - INODE_TEXT_ROOM);
        if (status == 0) buf[rec.text_len] = '\0';
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_STALE, KDB_MSG_INODE_READ, dbid_text(dbid));
}

int ostrela_db_inode_write_text(uint32_t dbid, const char* text) {
    ostrela_db_trans_write_check();
    size_t len = std::strlen(text);
    // The length is kept in 16 bits.
    if (len > 0xFFFF) return ostrela_db_report(QEL_ST_TOO_LONG, OSTREL_DB_QUIET_NONE, KDB_MSG_WRITE_TEXT, dbid_text(dbid));
    db_inode rec;
    int status = read_inode(dbid, &rec);
    if (status == 0) status = ostrela_db_bytes_delete(rec.text_bytes_dba);
    if (status == 0) {
        rec.text_bytes_dba = 0;
        rec.text_len = static_cast<uint16_t>(len);
        std::memset(rec.text, 0, sizeof rec.text);
        std::memcpy(rec.text, text, std::min(len, INODE_TEXT_ROOM));
        if (len > INODE_TEXT_ROOM)
            status = ostrela_db_bytes_create(ostrela_db_dbid2dba(dbid), text + INODE_TEXT_ROOM, len - INODE_TEXT_ROOM,
                                             &rec.text_bytes_dba);
    }
    if (status == 0) status = write_current(rec);
    return ostrela_db_report(status, OSTREL_DB_QUIET_STALE, KDB_MSG_WRITE_TEXT, dbid_text(dbid));
}

int ostrela_db_inode_delete(uint32_t dbid, int build_session) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_inode_delete");
    ostrela_db_trans_write_check();
    return ostrela_db_report(inode_delete(dbid, build_session), OSTREL_DB_QUIET_NONE, KDB_MSG_INODE_DELETE,
                             dbid_text(dbid));
}

int ostrela_db_mark_inode_stranded(uint32_t dbid, const struct timeval* when) {
    ostrela_db_trans_write_check();
    db_inode rec;
    int status = read_inode(dbid, &rec);
    if (status == 0 && rec.vob_dba != 0) {
        db_address* currency = nullptr;
        status = ostrela_db_save_currency(&currency);
        if (status == 0) status = ostrela_db_restore_currency(currency, ostrela_db_vob_rm_ref(rec.vob_dba));
    }
    if (status == 0) {
        rec.vob_dba = 0;
        rec.fstat.xtime_sec = static_cast<uint32_t>(when->tv_sec);
        rec.fstat.xtime_usec = static_cast<uint32_t>(when->tv_usec);
        status = write_current(rec);
    }
    if (status != 0 && status != QEL_ST_READ_ONLY)
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_STRANDED);
    return status;
}

int ostrela_db_inode_inventory(uint32_t vob_dbid, const qel_oid_s* oid, uint32_t* dbids, int max, int* count,
                               int same_vob_only) {
    ostrela_db_trans_read_check();
    *count = 0;
    if (vob_dbid != 0 && !ostrela_db_is_dbid(vob_dbid)) return QEL_ST_INTERNAL;
    db_inode_key key{ostrela_db_dbid2dba(vob_dbid), *oid};
    int st = dt_keyfind(INODE_KEY, &key, &view_db_task, VDB);
    if (st != S_OKAY && st != S_NOTFOUND) return ostrela_kesto_err("D_KEYFIND", INODE, st);
    while (*count < max) {
        st = dt_keynext(INODE_KEY, &view_db_task, VDB);
        if (st == S_NOTFOUND) break;
        if (st != S_OKAY) return ostrela_kesto_err("D_KEYNEXT", INODE, st);
        db_address dba = 0;
        int status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", INODE);
        uint32_t vob = 0;
        if (status == 0 && same_vob_only)
            status = ostrela_db_engine(dt_crread(INODE_VOB_DBA, &vob, &view_db_task, VDB), "D_CRREAD", INODE);
        if (status != 0) return status;
        if (same_vob_only && vob != key.vob_dba) break;
        dbids[(*count)++] = ostrela_db_dba2dbid(dba);
    }
    return 0;
}

int ostrela_db_walk_inode(uint32_t dbid, const std::function<int(int type, db_address member)>& visit) {
    if (!ostrela_db_is_dbid(dbid)) return QEL_ST_INTERNAL;
    db_address dba = ostrela_db_dbid2dba(dbid);
    int status = ostrela_db_engine(dt_csoset(INODE_OID_SET, &dba, &view_db_task, VDB), "D_CSOSET", INODE);
    int st = status == 0 ? dt_findfm(INODE_OID_SET, &view_db_task, VDB) : S_EOS;
    while (status == 0 && st == S_OKAY) {
        int type = 0;
        db_address member = 0;
        status = ostrela_db_engine(dt_crtype(&type, &view_db_task, VDB), "D_CRTYPE", INODE);
        if (status == 0) status = ostrela_db_engine(dt_crget(&member, &view_db_task, VDB), "D_CRGET", INODE);
        if (status == 0 && type != DB_DIR && type != DB_DIR_ENT)
            status = ostrela_db_unexpected_record(type, dbid_text(dbid));
        if (status == 0) status = visit(type, member);
        // The member that stopped the walk stays current.
        if (status == 0) st = dt_findnm(INODE_OID_SET, &view_db_task, VDB);
    }
    if (status == OSTREL_DB_WALK_STOP) return 0;
    if (status != 0) return status;
    return st == S_EOS ? QEL_ST_NOT_FOUND : ostrela_kesto_err("D_FINDNM", INODE, st);
}

int ostrela_db_inode_get_dir_name(db_address inode, char* path, qel_oid_s* oid) {
    ostrela_db_trans_read_check();
    for (;;) {
        db_inode rec;
        int status = read_inode(ostrela_db_dba2dbid(inode), &rec);
        if (status != 0) return status;
        if (rec.mtype == 2) {
            *oid = rec.oid;
            return 0;
        }
        uint32_t parent = 0;
        char name[OSTREL_DB_NAME_BUF];
        if ((status = ostrela_db_find_parent(ostrela_db_dba2dbid(inode), &parent, name)) != 0) return status;
        size_t name_len = std::strlen(name), path_len = std::strlen(path);
        if (name_len + 1 + path_len + 1 > QEL_PNAME_MAX) return QEL_ST_TOO_LONG;
        std::memmove(path + name_len + 1, path, path_len + 1);
        std::memcpy(path, name, name_len);
        path[name_len] = '/';
        inode = ostrela_db_dbid2dba(parent);
    }
}

