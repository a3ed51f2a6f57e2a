// Byte strings: texts and names longer than the room in their record go on
// in a DB_BYTES head and its DB_BYTES_MED and DB_BYTES_SMALL continuations,
// and the engine calls every record-level operation shares.
#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "lib/core/ostrelagent_util.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/pfm/pfm.h"

int ostrela_db_engine(int engine_status, const char* op, const char* object) {
    return engine_status == S_OKAY ? 0 : ostrela_kesto_err(op, object, engine_status);
}

int ostrela_db_set_record(uint32_t dbid, int type, const char* object) {
    if (!ostrela_db_is_dbid(dbid)) return QEL_ST_INTERNAL;
    db_address dba = ostrela_db_dbid2dba(dbid);
    // A dbid may come from a kernel handle kept across a rebuild, past the
    // end of the files now: it names no object, as a deleted one does.
    int st = dt_dbavalid(&dba, &view_db_task, VDB);
    if (st == S_INVADDR) return QEL_ST_STALE;
    if (st != S_OKAY) return ostrela_kesto_err("D_DBAVALID", object, st);
    st = dt_crset(&dba, &view_db_task, VDB);
    if (st == S_DELETED) return QEL_ST_STALE;
    if (st != S_OKAY) return ostrela_kesto_err("D_CRSET", object, st);
    int found = 0;
    if ((st = dt_crtype(&found, &view_db_task, VDB)) != S_OKAY) return ostrela_kesto_err("D_CRTYPE", object, st);
    return found == type ? 0 : QEL_ST_STALE;
}

int ostrela_db_scan_records(int type, db_address after, const char* object,
                            const std::function<int(db_address record)>& visit) {
    int st = S_NOTFOUND;
    if (after != 0) {
        // Resume right after the cursor's record while it lives; a deleted
        // one leaves the scan to start from the first record.
        st = dt_crset(&after, &view_db_task, VDB);
        int found = 0;
        if (st == S_OKAY && (st = dt_crtype(&found, &view_db_task, VDB)) == S_OKAY && found == type) {
            if ((st = dt_recset(type, &view_db_task, VDB)) != S_OKAY) return ostrela_kesto_err("D_RECSET", object, st);
            st = dt_recnext(&view_db_task, VDB);
        } else if (st == S_OKAY || st == S_DELETED) {
            st = S_NOTFOUND;
        } else {
            return ostrela_kesto_err("D_CRSET", object, st);
        }
    }
    if (st == S_NOTFOUND) st = dt_recfrst(type, &view_db_task, VDB);
    for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) {
        db_address record = 0;
        int status = ostrela_db_engine(dt_crget(&record, &view_db_task, VDB), "D_CRGET", object);
        if (status == 0 && record > after) status = visit(record);
        if (status == OSTREL_DB_WALK_STOP) return 0;
        if (status != 0) return status;
    }
    return st == S_NOTFOUND ? QEL_ST_NOT_FOUND : ostrela_kesto_err("D_RECNEXT", object, st);
}

int ostrela_db_delete_members(int set, const char* object) {
    int status = 0, st;
    while (status == 0 && (st = dt_findfm(set, &view_db_task, VDB)) != S_EOS) {
        status = ostrela_db_engine(st, "D_FINDFM", object);
        if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", object);
    }
    return status;
}

int ostrela_db_save_currency(db_address** saved) {
    int size = 0;
    return ostrela_db_engine(dt_rdcurr(saved, &size, &view_db_task), "D_RDCURR", "CURRENCY");
}

int ostrela_db_restore_currency(db_address* saved, int status) {
    int st = dt_wrcurr(saved, &view_db_task);
    return status != 0 ? status : ostrela_db_engine(st, "D_WRCURR", "CURRENCY");
}

qel_fstat_time_s ostrela_db_view_time() {
    struct timeval now;
    OstrelAgent_Util::get_view_time(&now);
    return {static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec)};
}

namespace {

const char* const BYTES = "DB_BYTES";

// The type of the current record.
int current_type(int* type) { return ostrela_db_engine(dt_crtype(type, &view_db_task, VDB), "D_CRTYPE", BYTES); }

int bytes_create(db_address owner, const char* data, size_t len, db_address* head) {
    db_bytes first{};
    first.owner_dba = owner;
    size_t done = std::min(len, BYTES_HEAD_ROOM);
    std::memcpy(first.data, data, done);
    int status = ostrela_db_engine(dt_fillnew(DB_BYTES, &first, &view_db_task, VDB), "D_FILLNEW", BYTES);
    if (status == 0) status = ostrela_db_engine(dt_crget(head, &view_db_task, VDB), "D_CRGET", BYTES);
    if (status == 0) status = ostrela_db_engine(dt_setor(DB_BYTES_SET, &view_db_task, VDB), "D_SETOR", BYTES);
    while (status == 0 && done < len) {
        size_t rest = len - done;
        if (rest > BYTES_SMALL_ROOM) {
            db_bytes_med med{};
            med.owner_dba = owner;
            size_t n = std::min(rest, BYTES_MED_ROOM);
            std::memcpy(med.data, data + done, n);
            done += n;
            status = ostrela_db_engine(dt_fillnew(DB_BYTES_MED, &med, &view_db_task, VDB), "D_FILLNEW",
                                       "DB_BYTES_MED");
        } else {
            db_bytes_small small{};
            small.owner_dba = owner;
            std::memcpy(small.data, data + done, rest);
            done = len;
            status = ostrela_db_engine(dt_fillnew(DB_BYTES_SMALL, &small, &view_db_task, VDB), "D_FILLNEW",
                                       "DB_BYTES_SMALL");
        }
        if (status == 0)
            status = ostrela_db_engine(dt_connect(DB_BYTES_SET, &view_db_task, VDB), "D_CONNECT", BYTES);
    }
    if (status == 0) status = ostrela_db_engine(dt_crset(&owner, &view_db_task, VDB), "D_CRSET", "DB_BYTES OWNER");
    return status;
}

// Walks the byte string at `head` of `owner` (0: any owner), handing each
// record's bytes to `visit(offset, bytes, count)` until `len` bytes have
// passed; a string shorter or longer than `len` is an error.
template <typename Visit>
int walk_bytes(db_address owner, db_address head, size_t len, Visit visit) {
    int st = dt_crset(&head, &view_db_task, VDB);
    if (st != S_OKAY) return ostrela_kesto_err("D_CRSET", BYTES, st);
    int type = 0;
    int status = current_type(&type);
    if (status != 0) return status;
    if (type != DB_BYTES) return ostrela_db_unexpected_record(type, ostrela_db_dba2dbid(head));
    db_bytes first;
    if ((status = ostrela_db_engine(dt_recread(&first, &view_db_task, VDB), "D_RECREAD", BYTES)) != 0) return status;
    auto wrong_owner = [head](db_address found) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_BYTES_OWNER,
                   static_cast<unsigned long>(found), static_cast<unsigned long>(head));
        return QEL_ST_INTERNAL;
    };
    if (owner != 0 && first.owner_dba != owner) return wrong_owner(first.owner_dba);
    size_t done = std::min(len, BYTES_HEAD_ROOM);
    if ((status = visit(size_t{0}, first.data, done)) != 0) return status;
    if ((status = ostrela_db_engine(dt_setor(DB_BYTES_SET, &view_db_task, VDB), "D_SETOR", BYTES)) != 0)
        return status;
    st = dt_findfm(DB_BYTES_SET, &view_db_task, VDB);
    while (done < len) {
        if (st == S_EOS) {
            imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_BYTES_SHORT,
                       static_cast<unsigned long>(head));
            return QEL_ST_INTERNAL;
        }
        if (st != S_OKAY) return ostrela_kesto_err("D_FINDNM", BYTES, st);
        if ((status = current_type(&type)) != 0) return status;
        // Both continuations begin with the owner; a medium one is the larger.
        db_bytes_med part;
        size_t room;
        if (type == DB_BYTES_MED) {
            room = BYTES_MED_ROOM;
        } else if (type == DB_BYTES_SMALL) {
            room = BYTES_SMALL_ROOM;
        } else {
            return ostrela_db_unexpected_record(type, ostrela_db_dba2dbid(head), QEL_ST_UNEXPECTED_TYPE);
        }
        if ((status = ostrela_db_engine(dt_recread(&part, &view_db_task, VDB), "D_RECREAD", BYTES)) != 0)
            return status;
        if (owner != 0 && part.owner_dba != owner) return wrong_owner(part.owner_dba);
        size_t n = std::min(len - done, room);
        if ((status = visit(done, part.data, n)) != 0) return status;
        done += n;
        st = dt_findnm(DB_BYTES_SET, &view_db_task, VDB);
    }
    if (st == S_OKAY) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_BYTES_EXTRA,
                   static_cast<unsigned long>(head));
        return QEL_ST_INTERNAL;
    }
    return st == S_EOS ? 0 : ostrela_kesto_err("D_FINDNM", BYTES, st);
}

} // namespace

int ostrela_db_bytes_create(db_address owner, const char* data, size_t len, db_address* head) {
    ostrela_db_trans_write_check();
    if (len == 0) pfm_assert_fail("len != 0", "lib/ostreladb/ostrel_db_bytes", __LINE__);
    return ostrela_db_report(bytes_create(owner, data, len, head), OSTREL_DB_QUIET_NONE, KDB_MSG_BYTES_CREATE);
}

int ostrela_db_bytes_read(db_address owner, db_address head, char* buf, size_t len) {
    ostrela_db_trans_read_check();
    if (len == 0) return 0;
    int status = walk_bytes(owner, head, len, [buf](size_t at, const char* bytes, size_t n) {
        std::memcpy(buf + at, bytes, n);
        return 0;
    });
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_BYTES_READ);
}

int ostrela_db_bytes_cmp(db_address head, const char* buf, size_t len, int* differs) {
    ostrela_db_trans_read_check();
    *differs = 0;
    db_address current = 0;
    int status = ostrela_db_engine(dt_crget(&current, &view_db_task, VDB), "D_CRGET", BYTES);
    if (status == 0) {
        status = walk_bytes(0, head, len, [buf, differs](size_t at, const char* bytes, size_t n) {
            if (*differs == 0 && std::memcmp(buf + at, bytes, n) != 0) *differs = 1;
            return 0;
        });
        int st = dt_crset(&current, &view_db_task, VDB);
        if (status == 0 && st != S_OKAY) status = ostrela_kesto_err("D_CRSET", BYTES, st);
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_BYTES_CMP);
}

int ostrela_db_bytes_delete(db_address head) {
    ostrela_db_trans_write_check();
    if (head == 0) return 0;
    db_address* currency = nullptr;
    int status = ostrela_db_save_currency(&currency);
    if (status != 0) return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_BYTES_DELETE);
    int type = 0;
    status = ostrela_db_engine(dt_crset(&head, &view_db_task, VDB), "D_CRSET", BYTES);
    if (status == 0) status = current_type(&type);
    if (status == 0 && type != DB_BYTES) status = ostrela_db_unexpected_record(type, ostrela_db_dba2dbid(head));
    if (status == 0) status = ostrela_db_engine(dt_setor(DB_BYTES_SET, &view_db_task, VDB), "D_SETOR", BYTES);
    if (status == 0) status = ostrela_db_delete_members(DB_BYTES_SET, BYTES);
    if (status == 0) status = ostrela_db_engine(dt_crset(&head, &view_db_task, VDB), "D_CRSET", BYTES);
    if (status == 0) status = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", BYTES);
    status = ostrela_db_restore_currency(currency, status);
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_BYTES_DELETE);
}
