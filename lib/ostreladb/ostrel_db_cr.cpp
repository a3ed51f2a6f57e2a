// Config records: the data of each lies in the config-record file
// ".s/ostrel_db.crs_file" at an extent of its own; the database keeps its
// DB_CR (place, length, CRC, references held on it), its derived objects,
// the config records it uses and the VOBs that reference it, and the free
// extents of the file. Free space is allocated best fit through the
// length key and given back by joining neighbours through the offset key,
// so neither walks the free list.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/stg/stg.h"
#include "platform/utl/fileutl.h"
#include "runtime/kesto_io.h"

namespace {

const char* const CR = "DB_CR";
const char* const CR_FREE = "DB_CR_FREE";
const char* const DO = "DB_DO";
const char* const UNELEVATED = "DB_UNELEVATED_REF";

// Statuses the config-record operations pass on without a message.
constexpr int QUIET_LOOKUPS[] = {QEL_ST_NOT_FOUND, QEL_ST_EXISTS, QEL_ST_INVALID, 0};

unsigned long dba_text(db_address dba) { return static_cast<unsigned long>(dba); }

struct OidText {
    explicit OidText(const qel_oid_s* oid) { qel_oid_to_str(oid, text); }
    char text[QEL_OID_STR_SIZE];
};

// The derived object `do_oid` made current; 1002 when there is none.
int find_do(const qel_oid_s* do_oid) {
    int st = dt_keyfind(DO_OID, do_oid, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    return ostrela_db_engine(st, "D_KEYFIND", DO);
}

// The config record that owns the current derived object, made current
// and the current owner of its derived objects.
int owner_of_current_do(db_address* cr) {
    int status = ostrela_db_engine(dt_setmr(DO_OID_SET, &view_db_task, VDB), "D_SETMR", DO);
    if (status == 0) status = ostrela_db_engine(dt_csoget(DO_OID_SET, cr, &view_db_task, VDB), "D_CSOGET", DO);
    if (status == 0) status = ostrela_db_engine(dt_crset(cr, &view_db_task, VDB), "D_CRSET", CR);
    return status;
}

// The config record of the first of `oids` that is a derived object, made
// current; 1002 when none is.
int find_owner(const qel_oid_s* oids, int n, db_address* cr) {
    for (int i = 0; i < n; ++i) {
        int status = find_do(&oids[i]);
        if (status == 0) return owner_of_current_do(cr);
        if (status != QEL_ST_NOT_FOUND) return status;
    }
    return QEL_ST_NOT_FOUND;
}

// ---- the file and its free extents -----------------------------------------------------

int file_failure(int index, uint32_t offset, uint32_t length, const char* why) {
    imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, index, OSTREL_DB_CRS_FILE,
               static_cast<unsigned long>(offset), static_cast<long>(length), why);
    return QEL_ST_INTERNAL;
}

int write_data(uint32_t offset, const void* data, uint32_t length, int sync) {
    int fd = ostrela_db_cr_file_fd();
    const char* bytes = static_cast<const char*>(data);
    for (uint32_t done = 0; done < length;) {
        ssize_t n = kesto_io()->pwrite(fd, bytes + done, length - done, off_t{offset} + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return file_failure(KDB_MSG_CR_WRITE, offset, length, imsg_strerror(n < 0 ? errno : ENOSPC));
        done += static_cast<uint32_t>(n);
    }
    if (sync && kesto_io()->fdatasync(fd) != 0) return file_failure(KDB_MSG_CR_WRITE, offset, length, imsg_strerror(errno));
    return 0;
}

int read_data(uint32_t offset, void* data, uint32_t length) {
    int fd = ostrela_db_cr_file_fd();
    char* bytes = static_cast<char*>(data);
    for (uint32_t done = 0; done < length;) {
        ssize_t n = kesto_io()->pread(fd, bytes + done, length - done, off_t{offset} + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return file_failure(KDB_MSG_CR_READ_FILE, offset, length, imsg_strerror(errno));
        if (n == 0) return file_failure(KDB_MSG_CR_READ_FILE, offset, length, "the file ends before the record");
        done += static_cast<uint32_t>(n);
    }
    return 0;
}

// Takes `length` bytes from the free extent that fits best: one of exactly
// that length, else the next longer one, which keeps its end.
int allocate(uint32_t length, uint32_t* offset) {
    int st = dt_keyfind(CR_FREE_LEN, &length, &view_db_task, VDB);
    if (st == S_NOTFOUND) st = dt_keynext(CR_FREE_LEN, &view_db_task, VDB);
    db_cr_free extent{0, 0};
    if (st == S_OKAY) {
        int status = ostrela_db_engine(dt_recread(&extent, &view_db_task, VDB), "D_RECREAD", CR_FREE);
        if (status != 0) return status;
    } else if (st != S_NOTFOUND) {
        return ostrela_kesto_err("D_KEYNEXT", CR_FREE, st);
    }
    if (st == S_NOTFOUND || extent.len < length) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_CR_NO_SPACE,
                   static_cast<long>(extent.len), static_cast<long>(length));
        return QEL_ST_INTERNAL;
    }
    *offset = extent.offset;
    if (extent.len == length) return ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", CR_FREE);
    extent.offset += length;
    extent.len -= length;
    return ostrela_db_engine(dt_recwrite(&extent, &view_db_task, VDB), "D_RECWRITE", CR_FREE);
}

// Gives an extent back, joined with the free extents right after and right
// before it.
int release(uint32_t offset, uint32_t length) {
    if (length == 0) return 0;
    db_cr_free freed{length, offset};
    uint32_t end = offset + length;
    int st = dt_keyfind(CR_FREE_OFFSET, &end, &view_db_task, VDB);
    if (st == S_OKAY) {
        db_cr_free after;
        int status = ostrela_db_engine(dt_recread(&after, &view_db_task, VDB), "D_RECREAD", CR_FREE);
        if (status == 0) status = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", CR_FREE);
        if (status != 0) return status;
        freed.len += after.len;
    } else if (st != S_NOTFOUND) {
        return ostrela_kesto_err("D_KEYFIND", CR_FREE, st);
    }
    st = dt_keyfind(CR_FREE_OFFSET, &offset, &view_db_task, VDB);
    if (st == S_OKAY || st == S_NOTFOUND) st = dt_keyprev(CR_FREE_OFFSET, &view_db_task, VDB);
    if (st == S_OKAY) {
        db_cr_free before;
        int status = ostrela_db_engine(dt_recread(&before, &view_db_task, VDB), "D_RECREAD", CR_FREE);
        if (status != 0) return status;
        if (before.offset + before.len == offset) {
            if ((status = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", CR_FREE)) != 0) return status;
            freed.offset = before.offset;
            freed.len += before.len;
        }
    } else if (st != S_NOTFOUND) {
        return ostrela_kesto_err("D_KEYPREV", CR_FREE, st);
    }
    return ostrela_db_engine(dt_fillnew(DB_CR_FREE, &freed, &view_db_task, VDB), "D_FILLNEW", CR_FREE);
}

// ---- config records -----------------------------------------------------------------------

// The config record at `cr` made current again, and its record read.
int reread(db_address cr, db_cr* rec) {
    int status = ostrela_db_engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET", CR);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", CR);
    return status;
}

// The current config record's reference count changed by `delta`; at 0 the
// record goes.
int change_refs(db_address cr, int delta) {
    db_cr rec;
    int status = reread(cr, &rec);
    if (status != 0) return status;
    int32_t refs = static_cast<int32_t>(rec.parent_ref_cnt) + delta;
    if (refs <= 0 && delta < 0) return ostrela_db_cr_discon();
    rec.parent_ref_cnt = static_cast<uint32_t>(refs);
    return ostrela_db_engine(dt_crwrite(CR_PARENT_REF_CNT, &rec.parent_ref_cnt, &view_db_task, VDB), "D_CRWRITE",
                             CR);
}

// Deletes every member of `set` of the config record at `cr`.
int delete_members(db_address cr, int set, const char* object) {
    int status = ostrela_db_engine(dt_csoset(set, &cr, &view_db_task, VDB), "D_CSOSET", object);
    return status != 0 ? status : ostrela_db_delete_members(set, object);
}

int cr_discon() {
    db_address cr = 0;
    db_cr rec;
    int status = ostrela_db_engine(dt_crget(&cr, &view_db_task, VDB), "D_CRGET", CR);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", CR);
    if (status == 0) status = delete_members(cr, DO_OID_SET, DO);
    if (status == 0) status = delete_members(cr, UNELEVATED_CR_SET, UNELEVATED);
    // The config records this one uses each lose a reference, and may go in
    // turn; its own derived objects are gone already, so a cycle ends here.
    for (int st; status == 0;) {
        status = ostrela_db_engine(dt_csoset(SUB_DO_SET, &cr, &view_db_task, VDB), "D_CSOSET", "DB_SUB_DO");
        if (status != 0 || (st = dt_findfm(SUB_DO_SET, &view_db_task, VDB)) == S_EOS) break;
        db_address sub = 0;
        db_sub_do used;
        status = ostrela_db_engine(st, "D_FINDFM", "DB_SUB_DO");
        if (status == 0) status = ostrela_db_engine(dt_crget(&sub, &view_db_task, VDB), "D_CRGET", "DB_SUB_DO");
        if (status == 0) status = ostrela_db_engine(dt_recread(&used, &view_db_task, VDB), "D_RECREAD", "DB_SUB_DO");
        for (size_t i = 0; status == 0 && i < SUB_DO_SLOTS; ++i)
            if (!qel_oid_eq(&used.oids[i], &QEL_OID_NULL)) status = ostrela_db_cr_rm_ref(&used.oids[i], 0);
        if (status == 0) status = ostrela_db_engine(dt_crset(&sub, &view_db_task, VDB), "D_CRSET", "DB_SUB_DO");
        if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", "DB_SUB_DO");
    }
    if (status == 0) status = ostrela_db_engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET", CR);
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", CR);
    if (status == 0) status = release(rec.offset, rec.length);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_CR_DISCON, dba_text(cr));
}

int cr_create(const qel_oid_s* do_oids, const qel_uuid_s* uuids, int n, const qel_oid_s* used, int m,
              const _qel_cr_compressed_t* record, int sync, int allow_missing_inodes) {
    db_cr rec{};
    fileutl_crc_buffer(record->data, record->length, &rec.crc);
    rec.header_word = record->header;
    rec.length = record->length;
    int status = 0;
    if (rec.length != 0) {
        status = allocate(rec.length, &rec.offset);
        if (status == 0) status = write_data(rec.offset, record->data, rec.length, sync);
        if (status != 0) return status;
    }
    db_address cr = 0;
    status = ostrela_db_engine(dt_fillnew(DB_CR, &rec, &view_db_task, VDB), "D_FILLNEW", CR);
    if (status == 0) status = ostrela_db_engine(dt_crget(&cr, &view_db_task, VDB), "D_CRGET", CR);
    for (int set : {DO_OID_SET, SUB_DO_SET, UNELEVATED_CR_SET})
        if (status == 0) status = ostrela_db_engine(dt_setor(set, &view_db_task, VDB), "D_SETOR", CR);
    // Each derived object, and a reference for each of its inodes there is.
    for (int i = 0; status == 0 && i < n; ++i) {
        db_do derived{uuids[i], do_oids[i], 0};
        int st = dt_fillnew(DB_DO, &derived, &view_db_task, VDB);
        if (st == S_DUPLICATE) return QEL_ST_EXISTS;
        status = ostrela_db_engine(st, "D_FILLNEW", DO);
        if (status == 0) status = ostrela_db_engine(dt_connect(DO_OID_SET, &view_db_task, VDB), "D_CONNECT", DO);
        uint32_t vob = 0, inode = 0;
        if (status == 0) status = ostrela_db_vob_lookup(&uuids[i], &vob);
        if (status != 0) break;
        status = ostrela_db_inode_lookup(vob, &do_oids[i], &inode);
        if (status == 0) {
            ++rec.parent_ref_cnt;
        } else if (status == QEL_ST_NOT_FOUND && allow_missing_inodes) {
            status = 0;
        }
    }
    if (status == 0) status = ostrela_db_engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET", CR);
    if (status == 0)
        status = ostrela_db_engine(dt_crwrite(CR_PARENT_REF_CNT, &rec.parent_ref_cnt, &view_db_task, VDB),
                                   "D_CRWRITE", CR);
    // The identities of the config records it uses, 14 to a record; an oid
    // that is no derived object takes no slot.
    db_sub_do sub{};
    size_t filled = 0;
    auto store_used = [&] {
        int s = ostrela_db_engine(dt_fillnew(DB_SUB_DO, &sub, &view_db_task, VDB), "D_FILLNEW", "DB_SUB_DO");
        if (s == 0) s = ostrela_db_engine(dt_csoset(SUB_DO_SET, &cr, &view_db_task, VDB), "D_CSOSET", "DB_SUB_DO");
        if (s == 0) s = ostrela_db_engine(dt_connect(SUB_DO_SET, &view_db_task, VDB), "D_CONNECT", "DB_SUB_DO");
        sub = db_sub_do{};
        filled = 0;
        return s;
    };
    for (int j = 0; status == 0 && j < m; ++j) {
        int s = ostrela_db_cr_add_ref(&used[j], &sub.oids[filled]);
        if (s == QEL_ST_NOT_FOUND) continue;
        status = s;
        if (status == 0 && ++filled == SUB_DO_SLOTS) status = store_used();
    }
    if (status == 0 && filled > 0) status = store_used();
    return status;
}

int cr_read(_qel_cr_compressed_t** out) {
    *out = nullptr;
    db_address cr = 0;
    db_cr rec;
    int status = ostrela_db_engine(dt_crget(&cr, &view_db_task, VDB), "D_CRGET", CR);
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", CR);
    if (status != 0) return status;
    auto* result = static_cast<_qel_cr_compressed_t*>(stg_malloc(sizeof(_qel_cr_compressed_t)));
    if (result != nullptr) {
        *result = {rec.header_word, rec.length, nullptr};
        if (rec.length != 0 && (result->data = stg_malloc(rec.length)) == nullptr) status = QEL_ST_INTERNAL;
    } else {
        status = QEL_ST_INTERNAL;
    }
    if (status == 0) status = read_data(rec.offset, result->data, rec.length);
    if (status == 0) {
        uint32_t crc = 0;
        fileutl_crc_buffer(result->data, rec.length, &crc);
        if (crc != rec.crc) {
            imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_CR_CRC, dba_text(cr),
                       static_cast<unsigned long>(rec.crc), static_cast<unsigned long>(crc));
            status = QEL_ST_INTERNAL;
        }
    }
    if (status != 0) {
        ostrela_db_cr_free(result);
        return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_CR_READ, dba_text(cr));
    }
    *out = result;
    return 0;
}

int cr_add_ref(const qel_oid_s* do_oid, qel_oid_s* identity) {
    db_address cr = 0;
    int status = find_do(do_oid);
    if (status == 0) status = owner_of_current_do(&cr);
    if (status == 0) status = change_refs(cr, 1);
    if (status == 0 && identity != nullptr) {
        status = ostrela_db_engine(dt_findfm(DO_OID_SET, &view_db_task, VDB), "D_FINDFM", DO);
        if (status == 0) status = ostrela_db_engine(dt_crread(DO_OID, identity, &view_db_task, VDB), "D_CRREAD", DO);
    }
    return status;
}

int cr_rm_ref(const qel_oid_s* do_oid, int build_session) {
    int status = find_do(do_oid);
    if (status == QEL_ST_NOT_FOUND) return 0;
    if (status != 0) return status;
    if (build_session == 0) {
        db_address cr = 0;
        status = owner_of_current_do(&cr);
        return status != 0 ? status : change_refs(cr, -1);
    }
    // The build session holds the reference until it is released.
    uint32_t hold = 0;
    status = ostrela_db_engine(dt_crread(DO_SESSION_HOLD, &hold, &view_db_task, VDB), "D_CRREAD", DO);
    if (status != 0 || hold != 0) return status;
    hold = static_cast<uint32_t>(build_session);
    status = ostrela_db_engine(dt_crwrite(DO_SESSION_HOLD, &hold, &view_db_task, VDB), "D_CRWRITE", DO);
    if (status == 0) status = ostrela_db_engine(dt_keystore(DO_SESSION_HOLD, &view_db_task, VDB), "D_KEYSTORE", DO);
    return status;
}

// The next derived object held by `session` (by any session for 0), made
// current; 1002 when there is none.
int next_held(uint32_t session) {
    int st;
    if (session != 0) {
        st = dt_keyfind(DO_SESSION_HOLD, &session, &view_db_task, VDB);
    } else {
        st = dt_keyfind(DO_SESSION_HOLD, nullptr, &view_db_task, VDB);
        if (st == S_OKAY || st == S_NOTFOUND) st = dt_keynext(DO_SESSION_HOLD, &view_db_task, VDB);
    }
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    return ostrela_db_engine(st, "D_KEYFIND", DO);
}

int cr_rm_build_session(uint32_t session) {
    int status;
    while ((status = next_held(session)) == 0) {
        // The hold goes (the derived object can be held again later), then
        // the reference it kept.
        db_do held;
        uint32_t none = 0;
        status = ostrela_db_engine(dt_recread(&held, &view_db_task, VDB), "D_RECREAD", DO);
        if (status == 0) status = ostrela_db_engine(dt_keydel(DO_SESSION_HOLD, &view_db_task, VDB), "D_KEYDEL", DO);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(DO_SESSION_HOLD, &none, &view_db_task, VDB), "D_CRWRITE", DO);
        if (status == 0) status = ostrela_db_cr_rm_ref(&held.oid, 0);
        if (status != 0) return status;
    }
    return status == QEL_ST_NOT_FOUND ? 0 : status;
}

int vob_ref(const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid, bool add) {
    if (n < 1) return QEL_ST_INVALID;
    db_address cr = 0;
    int status = find_owner(do_oids, n, &cr);
    if (status == 0) status = ostrela_db_engine(dt_csoset(UNELEVATED_CR_SET, &cr, &view_db_task, VDB), "D_CSOSET", CR);
    if (status != 0) return status;
    int st = dt_findfm(UNELEVATED_CR_SET, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_findnm(UNELEVATED_CR_SET, &view_db_task, VDB)) {
        qel_uuid_s held;
        if ((status = ostrela_db_engine(dt_crread(UNELEVATED_REPLICA_UUID, &held, &view_db_task, VDB), "D_CRREAD",
                                        UNELEVATED)) != 0)
            return status;
        if (qel_uuid_eq(&held, uuid)) break;
    }
    if (st != S_OKAY && st != S_EOS) return ostrela_kesto_err("D_FINDNM", UNELEVATED, st);
    if (add) {
        if (st == S_OKAY) return QEL_ST_EXISTS;
        db_unelevated_ref ref{*uuid};
        status = ostrela_db_engine(dt_fillnew(DB_UNELEVATED_REF, &ref, &view_db_task, VDB), "D_FILLNEW", UNELEVATED);
        if (status == 0)
            status = ostrela_db_engine(dt_connect(UNELEVATED_CR_SET, &view_db_task, VDB), "D_CONNECT", UNELEVATED);
        return status;
    }
    if (st == S_EOS) return QEL_ST_NOT_FOUND;
    // The last VOB reference takes the config record with it.
    int32_t left = 0;
    status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", UNELEVATED);
    if (status == 0)
        status = ostrela_db_engine(dt_members(UNELEVATED_CR_SET, &left, &view_db_task, VDB), "D_MEMBERS", CR);
    if (status == 0 && left == 0) {
        status = ostrela_db_engine(dt_crset(&cr, &view_db_task, VDB), "D_CRSET", CR);
        if (status == 0) status = ostrela_db_cr_discon();
    }
    return status;
}

int fsck_crs() {
    std::vector<db_address> records;
    int status = ostrela_db_scan_records(DB_CR, 0, CR, [&records](db_address record) {
        records.push_back(record);
        return OSTREL_DB_WALK_ON;
    });
    if (status != QEL_ST_NOT_FOUND) return status;
    for (db_address cr : records) {
        // A record that went with another one's deletion is passed over.
        int st = dt_crset(&cr, &view_db_task, VDB);
        if (st == S_DELETED) continue;
        db_cr rec;
        int32_t vobs = 0;
        status = ostrela_db_engine(st, "D_CRSET", CR);
        if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", CR);
        if (status == 0)
            status = ostrela_db_engine(dt_csoset(UNELEVATED_CR_SET, &cr, &view_db_task, VDB), "D_CSOSET", CR);
        if (status == 0)
            status = ostrela_db_engine(dt_members(UNELEVATED_CR_SET, &vobs, &view_db_task, VDB), "D_MEMBERS", CR);
        if (status == 0 && (rec.parent_ref_cnt == 0 || vobs == 0)) status = ostrela_db_cr_discon();
        if (status != 0) return status;
    }
    return 0;
}

int get_dos(uint32_t cursor, uint32_t mtype, const qel_uuid_s* uuid, int max, qel_oid_s* oids, uint32_t* dbids,
            uint32_t* links, int* count, uint32_t* next, int* end) {
    uint32_t vob = 0;
    int status = ostrela_db_vob_lookup(uuid, &vob);
    if (status != 0 || max < 1) return status;
    status = ostrela_db_scan_records(DB_DO, cursor, DO, [&](db_address record) {
        db_do derived;
        int s = ostrela_db_engine(dt_recread(&derived, &view_db_task, VDB), "D_RECREAD", DO);
        if (s != 0) return s;
        *next = record;
        if (!qel_uuid_eq(&derived.replica_uuid, uuid)) return OSTREL_DB_WALK_ON;
        // A derived object whose inode is gone is no file of the view.
        uint32_t inode = 0, kind = 0;
        qel_fstat_db_s fstat;
        s = ostrela_db_inode_lookup(vob, &derived.oid, &inode);
        if (s == QEL_ST_NOT_FOUND) return OSTREL_DB_WALK_ON;
        if (s == 0) s = ostrela_db_inode_read(inode, nullptr, nullptr, &fstat, &kind, nullptr);
        if (s != 0) return s;
        if (kind == mtype) {
            oids[*count] = derived.oid;
            dbids[*count] = inode;
            links[*count] = fstat.nlink;
            ++*count;
        }
        return *count < max ? OSTREL_DB_WALK_ON : OSTREL_DB_WALK_STOP;
    });
    if (status == QEL_ST_NOT_FOUND) {
        *end = 1;
        status = 0;
    }
    return status;
}

} // namespace

int ostrela_db_cr_create(const qel_oid_s* do_oids, const qel_uuid_s* uuids, int n, const qel_oid_s* used, int m,
                         const _qel_cr_compressed_t* cr, int sync, int allow_missing_inodes) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_cr_create");
    ostrela_db_trans_write_check();
    if (n <= 0 || m < 0) return QEL_ST_INVALID;
    OidText first(&do_oids[0]);
    return ostrela_db_report(cr_create(do_oids, uuids, n, used, m, cr, sync, allow_missing_inodes), QUIET_LOOKUPS,
                             KDB_MSG_CR_CREATE, first.text);
}

int ostrela_db_cr_read(_qel_cr_compressed_t** out) {
    ostrela_db_trans_read_check();
    return cr_read(out);
}

int ostrela_db_cr_get(const qel_oid_s* do_oids, int n, _qel_cr_compressed_t** out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_cr_get");
    ostrela_db_trans_read_check();
    *out = nullptr;
    if (n < 1) return QEL_ST_INVALID;
    db_address cr = 0;
    int status = find_owner(do_oids, n, &cr);
    if (status == 0) status = cr_read(out);
    OidText first(&do_oids[0]);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_CR_GET, first.text);
}

int ostrela_db_cr_add_ref(const qel_oid_s* do_oid, qel_oid_s* identity) {
    ostrela_db_trans_write_check();
    OidText text(do_oid);
    return ostrela_db_report(cr_add_ref(do_oid, identity), OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_CR_ADD_REF, text.text);
}

int ostrela_db_cr_rm_ref(const qel_oid_s* do_oid, int build_session) {
    ostrela_db_trans_write_check();
    db_address* currency = nullptr;
    int status = ostrela_db_save_currency(&currency);
    if (status == 0) status = ostrela_db_restore_currency(currency, cr_rm_ref(do_oid, build_session));
    OidText text(do_oid);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_CR_RM_REF, text.text);
}

int ostrela_db_cr_discon() {
    ostrela_db_trans_write_check();
    return cr_discon();
}

int ostrela_db_cr_add_vob_ref(const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid) {
    ostrela_db_trans_write_check();
    if (n < 1) return QEL_ST_INVALID;
    OidText first(&do_oids[0]);
    return ostrela_db_report(vob_ref(do_oids, n, uuid, true), QUIET_LOOKUPS, KDB_MSG_CR_ADD_VOB_REF, first.text);
}

int ostrela_db_cr_rm_vob_ref(const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid) {
    ostrela_db_trans_write_check();
    if (n < 1) return QEL_ST_INVALID;
    OidText first(&do_oids[0]);
    return ostrela_db_report(vob_ref(do_oids, n, uuid, false), QUIET_LOOKUPS, KDB_MSG_CR_RM_VOB_REF, first.text);
}

int ostrela_db_cr_rm_build_session(uint32_t session) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_cr_rm_build_session");
    ostrela_db_trans_write_check();
    return ostrela_db_report(cr_rm_build_session(session), OSTREL_DB_QUIET_NONE, KDB_MSG_CR_RM_BUILD_SESSION,
                             static_cast<unsigned>(session));
}

int ostrela_db_fsck_crs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_fsck_crs");
    ostrela_db_trans_write_check();
    return ostrela_db_report(fsck_crs(), OSTREL_DB_QUIET_NONE, KDB_MSG_FSCK_CRS);
}

int ostrela_db_dos_found(const qel_oid_s* do_oids, int n, int* found) {
    ostrela_db_trans_read_check();
    for (int i = 0; i < n; ++i) {
        int status = find_do(&do_oids[i]);
        found[i] = status == 0;
        if (status != 0 && status != QEL_ST_NOT_FOUND) {
            OidText text(&do_oids[i]);
            return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_DOS_FOUND, text.text);
        }
    }
    return 0;
}

int ostrela_db_get_dos(uint32_t cursor, uint32_t mtype, const qel_uuid_s* uuid, int max, qel_oid_s* oids,
                       uint32_t* dbids, uint32_t* links, int* count, uint32_t* next, int* end) {
    ostrela_db_trans_read_check();
    *count = 0;
    *end = 0;
    *next = cursor;
    int status = get_dos(cursor, mtype, uuid, max, oids, dbids, links, count, next, end);
    if (status != 0) {
        *count = 0;
        *end = 1;
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_GET_DOS, static_cast<unsigned long>(cursor));
}

void ostrela_db_cr_free(_qel_cr_compressed_t* cr) {
    if (cr == nullptr) return;
    if (cr->data != nullptr) stg_free(cr->data);
    stg_free(cr);
}

// ---- transactions of their own -----------------------------------------------------------

int ostrel_db_dos_found(const qel_oid_s* do_oids, int n, int* found) {
    return ostrel_db_traced_transaction("ostrel_db_dos_found", 0,
                                        [&] { return ostrela_db_dos_found(do_oids, n, found); });
}

int ostrel_db_rm_build_session(uint32_t session) {
    int status = ostrel_db_traced_transaction("ostrel_db_rm_build_session", 1,
                                              [&] { return ostrela_db_cr_rm_build_session(session); });
    return ostrel_db_report(status, OSTREL_DB_QUIET_WRITE, DBU_MSG_RM_BUILD_SESSION, static_cast<unsigned>(session));
}

int ostrel_db_get_dos(uint32_t cursor, uint32_t mtype, const qel_uuid_s* uuid, int max, qel_oid_s* oids,
                      uint32_t* dbids, uint32_t* links, int* count, uint32_t* next, int* end) {
    constexpr int MOST = 32;
    int status = ostrel_db_traced_transaction("ostrel_db_get_dos", 0, [&] {
        return ostrela_db_get_dos(cursor, mtype, uuid, std::min(max, MOST), oids, dbids, links, count, next, end);
    });
    if (status != 0) {
        char text[QEL_UUID_STR_SIZE];
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_GET_DOS, qel_uuid_to_str(uuid, text),
                   static_cast<unsigned>(cursor));
    }
    return status;
}

namespace {

const int QUIET_SAVE[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_EXISTS, 0};
const int QUIET_GET[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, 0};
const int QUIET_ADD_VOB_REF[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_EXISTS, QEL_ST_NOT_FOUND, 0};
const int QUIET_RM_VOB_REF[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, QEL_ST_NOT_PERMITTED, 0};

// The text that names a config record in messages: its first derived object.
struct FirstDo {
    FirstDo(const qel_oid_s* do_oids, int n) { qel_oid_to_str(n > 0 ? &do_oids[0] : &QEL_OID_NULL, text); }
    char text[QEL_OID_STR_SIZE];
};

bool listed_before(const qel_uuid_s* uuids, int i) {
    for (int j = 0; j < i; ++j)
        if (qel_uuid_eq(&uuids[j], &uuids[i])) return true;
    return false;
}

} // namespace

int ostrel_cr_save(const void*, const qel_oid_s* do_oids, const qel_uuid_s* uuids, int n, const qel_oid_s* used,
                   int m, const _qel_cr_compressed_t* cr) {
    int status = ostrel_db_traced_transaction("ostrel_cr_save", 1, [&] {
        int s = ostrela_db_cr_create(do_oids, uuids, n, used, m, cr, 1, 0);
        // One reference for each replica, however often it is listed.
        for (int i = 0; s == 0 && i < n; ++i)
            if (!listed_before(uuids, i)) s = ostrela_db_cr_add_vob_ref(do_oids, n, &uuids[i]);
        return s;
    });
    return ostrel_db_report(status, QUIET_SAVE, DBU_MSG_CR_SAVE, FirstDo(do_oids, n).text);
}

int ostrel_cr_get(const void*, const qel_oid_s* do_oids, int n, _qel_cr_compressed_t** cr) {
    int status =
        ostrel_db_traced_transaction("ostrel_cr_get", 0, [&] { return ostrela_db_cr_get(do_oids, n, cr); });
    return ostrel_db_report(status, QUIET_GET, DBU_MSG_CR_GET, FirstDo(do_oids, n).text);
}

void ostrel_cr_free(_qel_cr_compressed_t* cr) { ostrela_db_cr_free(cr); }

int ostrel_cr_add_vob_ref(const void*, const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid) {
    int status = ostrel_db_traced_transaction("ostrel_cr_add_vob_ref", 1,
                                              [&] { return ostrela_db_cr_add_vob_ref(do_oids, n, uuid); });
    return ostrel_db_report(status, QUIET_ADD_VOB_REF, DBU_MSG_CR_ADD_VOB_REF, FirstDo(do_oids, n).text);
}

int ostrel_cr_rm_vob_ref(const void*, const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid) {
    int status = ostrel_db_traced_transaction("ostrel_cr_rm_vob_ref", 1,
                                              [&] { return ostrela_db_cr_rm_vob_ref(do_oids, n, uuid); });
    return ostrel_db_report(status, QUIET_RM_VOB_REF, DBU_MSG_CR_RM_VOB_REF, FirstDo(do_oids, n).text);
}

int ostrel_db_dos_to_unshareable(const unsigned* dbids, int count) {
    // A failed commit undoes the whole list: it names the first.
    unsigned failing = count > 0 ? dbids[0] : 0;
    int status = ostrel_db_traced_transaction("ostrel_db_dos_to_unshareable", 1, [&] {
        for (int i = 0; i < count; ++i) {
            int s = ostrela_db_inode_set_oid(dbids[i], nullptr, VIEW_MTYPE_UNSHARED, 0);
            if (s != 0) {
                failing = dbids[i];
                return s;
            }
        }
        return 0;
    });
    return ostrel_db_report(status, OSTREL_DB_QUIET_NONE, DBU_MSG_DOS_TO_UNSHAREABLE, failing);
}
