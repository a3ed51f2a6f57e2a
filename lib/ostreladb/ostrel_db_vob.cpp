// VOB records: one DB_VOB per VOB whose objects the view holds, found by
// the replica uuid, counting the inodes that belong to it and numbering
// them, with the VOB's storage text, one flag bit and the VOB's listing.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

const char* const VOB = "DB_VOB";

// The one flag bit: the VOB's hard links and its set-work state share it.
constexpr uint16_t VOB_FLAG = 0x1;

// Puts `text` into `rec`: its length and its first bytes; a longer text
// goes on in a byte string (store_rest). 1084 for a text of more than
// 65535 bytes.
int fill_text(const char* text, db_vob* rec) {
    size_t len = std::strlen(text);
    // The length is kept in 16 bits.
    if (len > 0xFFFF) return QEL_ST_TOO_LONG;
    rec->text_len = static_cast<uint16_t>(len);
    rec->bytes_dba = 0;
    std::memset(rec->text, 0, sizeof rec->text);
    std::memcpy(rec->text, text, std::min(len, VOB_TEXT_ROOM));
    return 0;
}

// The rest of a long text, as a byte string owned by the record at `dba`.
int store_rest(db_address dba, const char* text, db_vob* rec) {
    if (rec->text_len <= VOB_TEXT_ROOM) return 0;
    return ostrela_db_bytes_create(dba, text + VOB_TEXT_ROOM, rec->text_len - VOB_TEXT_ROOM, &rec->bytes_dba);
}

int vob_create(const qel_uuid_s* uuid, const char* text, uint32_t* dbid) {
    db_vob rec{};
    int status = fill_text(text, &rec);
    if (status != 0) return status;
    rec.replica_uuid = *uuid;
    rec.next_dbid = 1;
    rec.gen_num = ostrela_db_view_time().tv_sec;
    int st = dt_fillnew(DB_VOB, &rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    status = ostrela_db_engine(st, "D_FILLNEW", VOB);
    db_address dba = 0;
    if (status == 0) status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", VOB);
    if (status == 0 && rec.text_len > VOB_TEXT_ROOM) {
        status = store_rest(dba, text, &rec);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(VOB_BYTES_DBA, &rec.bytes_dba, &view_db_task, VDB), "D_CRWRITE", VOB);
    }
    if (status == 0) *dbid = ostrela_db_dba2dbid(dba);
    return status;
}

// The VOB record of `uuid` made current and read; 1002 when there is none.
int find_vob(const qel_uuid_s* uuid, db_vob* rec, db_address* dba) {
    int st = dt_keyfind(REPLICA_UUID, uuid, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    int status = ostrela_db_engine(st, "D_KEYFIND", VOB);
    if (status == 0) status = ostrela_db_engine(dt_crget(dba, &view_db_task, VDB), "D_CRGET", VOB);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", VOB);
    return status;
}

// Reads the VOB record at `vob`, lets `change` alter it and writes it back.
template <typename Change>
int update_vob(db_address vob, Change change) {
    int status = ostrela_db_set_record(ostrela_db_dba2dbid(vob), DB_VOB, VOB);
    db_vob rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", VOB);
    if (status != 0) return status;
    if ((status = change(rec)) != 0) return status;
    int st = dt_recwrite(&rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    return ostrela_db_engine(st, "D_RECWRITE", VOB);
}

int set_flag(uint32_t dbid, int on) {
    if (!ostrela_db_is_dbid(dbid)) return QEL_ST_INTERNAL;
    return update_vob(ostrela_db_dbid2dba(dbid), [on](db_vob& rec) {
        rec.flags = on ? rec.flags | VOB_FLAG : rec.flags & ~VOB_FLAG;
        return 0;
    });
}

// Each DB_DO and DB_UNELEVATED_REF of the old replica takes the new one,
// then the VOB record itself (only that with `records_too` false).
int change_replica(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid, bool records_too) {
    db_vob rec;
    db_address vob = 0;
    int status = find_vob(old_uuid, &rec, &vob);
    if (status != 0) return status;
    const struct {
        int type;
        long field;
        const char* object;
    } holders[] = {{DB_DO, DO_REPLICA_UUID, "DB_DO"},
                   {DB_UNELEVATED_REF, UNELEVATED_REPLICA_UUID, "DB_UNELEVATED_REF"}};
    for (size_t i = 0; records_too && i < std::size(holders); ++i) {
        const auto& h = holders[i];
        status = ostrela_db_scan_records(h.type, 0, h.object, [&](db_address) {
            qel_uuid_s held;
            int s = ostrela_db_engine(dt_crread(h.field, &held, &view_db_task, VDB), "D_CRREAD", h.object);
            if (s == 0 && qel_uuid_eq(&held, old_uuid))
                s = ostrela_db_engine(dt_crwrite(h.field, new_uuid, &view_db_task, VDB), "D_CRWRITE", h.object);
            return s;
        });
        if (status != QEL_ST_NOT_FOUND) return status;
    }
    return update_vob(vob, [new_uuid](db_vob& r) {
        r.replica_uuid = *new_uuid;
        return 0;
    });
}

// One write transaction of its own around change_replica.
int change_replica_transaction(const char* method, const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid,
                               bool records_too) {
    int status = ostrel_db_traced_transaction(method, 1, [&] { return change_replica(old_uuid, new_uuid, records_too); });
    static constexpr int quiet[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, 0};
    return ostrela_db_report(status, quiet, KDB_MSG_CHANGE_VOB_OID);
}

} // namespace

int ostrela_db_vob_create(const qel_uuid_s* uuid, const char* text, uint32_t* dbid) {
    ostrela_db_trans_write_check();
    char uuid_text[QEL_UUID_STR_SIZE];
    return ostrela_db_report(vob_create(uuid, text, dbid), OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_CREATE,
                             qel_uuid_to_str(uuid, uuid_text), text);
}

int ostrela_db_vob_lookup(const qel_uuid_s* uuid, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    int st = dt_keyfind(REPLICA_UUID, uuid, &view_db_task, VDB);
    int status = st == S_NOTFOUND ? QEL_ST_NOT_FOUND : ostrela_db_engine(st, "D_KEYFIND", VOB);
    db_address dba = 0;
    if (status == 0) status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", VOB);
    if (status == 0) *dbid = ostrela_db_dba2dbid(dba);
    char uuid_text[QEL_UUID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_VOB_FIND, qel_uuid_to_str(uuid, uuid_text));
}

int ostrela_db_vob_read(const qel_uuid_s* uuid, size_t size, char* text, uint32_t* dbid) {
    ostrela_db_trans_read_check();
    db_vob rec;
    db_address dba = 0;
    int status = find_vob(uuid, &rec, &dba);
    if (status == 0 && dbid != nullptr) *dbid = ostrela_db_dba2dbid(dba);
    if (status == 0 && text != nullptr) {
        if (size_t{rec.text_len} + 1 > size) {
            status = QEL_ST_TOO_LONG;
        } else {
            std::memcpy(text, rec.text, std::min<size_t>(rec.text_len, VOB_TEXT_ROOM));
            if (rec.text_len > VOB_TEXT_ROOM)
                status = ostrela_db_bytes_read(dba, rec.bytes_dba, text + VOB_TEXT_ROOM, rec.text_len - VOB_TEXT_ROOM);
            if (status == 0) text[rec.text_len] = '\0';
        }
    }
    char uuid_text[QEL_UUID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_VOB_READ, qel_uuid_to_str(uuid, uuid_text));
}

int ostrela_db_vob_update(uint32_t dbid, const char* text) {
    ostrela_db_trans_write_check();
    int status = QEL_ST_INTERNAL;
    if (ostrela_db_is_dbid(dbid)) {
        db_address dba = ostrela_db_dbid2dba(dbid);
        status = update_vob(dba, [&](db_vob& rec) {
            int s = ostrela_db_bytes_delete(rec.bytes_dba);
            if (s == 0) s = fill_text(text, &rec);
            return s != 0 ? s : store_rest(dba, text, &rec);
        });
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_UPDATE, static_cast<unsigned long>(dbid), text);
}

int ostrela_db_vob_delete(const qel_uuid_s* uuid) {
    ostrela_db_trans_write_check();
    db_vob rec;
    db_address dba = 0;
    int status = find_vob(uuid, &rec, &dba);
    // Inodes or a loaded root directory still hold it.
    if (status == 0 && (rec.ref_cnt != 0 || rec.root_dir_dbid != 0)) status = QEL_ST_NOT_EMPTY;
    if (status == 0) status = ostrela_db_bytes_delete(rec.bytes_dba);
    if (status == 0) status = ostrela_db_engine(dt_delete(&view_db_task, VDB), "D_DELETE", VOB);
    char uuid_text[QEL_UUID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_EMPTY, KDB_MSG_VOB_DELETE, qel_uuid_to_str(uuid, uuid_text));
}

int ostrela_db_vob_add_ref(db_address vob, uint32_t* gen) {
    ostrela_db_trans_write_check();
    int status = update_vob(vob, [gen](db_vob& rec) {
        ++rec.ref_cnt;
        *gen = ++rec.gen_num;
        return 0;
    });
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_ADD_REF, static_cast<unsigned long>(vob));
}

int ostrela_db_vob_rm_ref(db_address vob) {
    ostrela_db_trans_write_check();
    int status = update_vob(vob, [](db_vob& rec) {
        --rec.ref_cnt;
        return 0;
    });
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_RM_REF, static_cast<unsigned long>(vob));
}

int ostrela_db_vob_set_hlink_flag(uint32_t dbid, int on) {
    ostrela_db_trans_write_check();
    static constexpr int quiet[] = {QEL_ST_READ_ONLY_STATE, 0};
    return ostrela_db_report(set_flag(dbid, on), quiet, KDB_MSG_VOB_SET_HLINK);
}

int ostrela_db_vob_set_setwork_flag(uint32_t dbid, int on) {
    ostrela_db_trans_write_check();
    static constexpr int quiet[] = {QEL_ST_READ_ONLY_STATE, 0};
    return ostrela_db_report(set_flag(dbid, on), quiet, KDB_MSG_VOB_SET_SETWORK);
}

int ostrela_db_inventory_vobs(uint32_t cursor, int filter, int max, qel_uuid_s* uuids, int* count, uint32_t* next,
                              int* end) {
    ostrela_db_trans_read_check();
    *count = 0;
    *end = 0;
    *next = cursor;
    int status = OSTREL_DB_WALK_ON;
    if (max > 0) {
        status = ostrela_db_scan_records(DB_VOB, cursor, VOB, [&](db_address record) {
            db_vob rec;
            int s = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", VOB);
            if (s != 0) return s;
            *next = record;
            if (filter == 0 || ((filter & 0x3) != 0 && (rec.flags & VOB_FLAG) != 0)) uuids[(*count)++] = rec.replica_uuid;
            return *count < max ? OSTREL_DB_WALK_ON : OSTREL_DB_WALK_STOP;
        });
    }
    if (status == QEL_ST_NOT_FOUND) {
        *end = 1;
        status = 0;
    }
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_INVENTORY, static_cast<unsigned long>(cursor));
}

int ostrela_db_vob_get_uuid(uint32_t vob, qel_uuid_s* uuid) {
    ostrela_db_trans_read_check();
    if (vob == 0) return QEL_ST_NOT_FOUND;
    if (!ostrela_db_is_dbid(vob)) return QEL_ST_INTERNAL;
    int status = ostrela_db_set_record(vob, DB_VOB, VOB);
    // A live record of another type is a bad handle; a deleted one is stale.
    if (status == QEL_ST_STALE) {
        db_address dba = ostrela_db_dbid2dba(vob);
        if (dt_crset(&dba, &view_db_task, VDB) == S_OKAY) status = QEL_ST_INTERNAL;
    }
    if (status == 0)
        status = ostrela_db_engine(dt_crread(REPLICA_UUID, uuid, &view_db_task, VDB), "D_CRREAD", VOB);
    return status;
}

int ostrela_db_reparent_replica_uuid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid) {
    return change_replica_transaction("ostrela_db_reparent_replica_uuid", old_uuid, new_uuid, false);
}

int ostrela_db_change_vob_oid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid) {
    return change_replica_transaction("ostrela_db_change_vob_oid", old_uuid, new_uuid, true);
}

int ostrel_db_change_vob_oid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid) {
    return ostrela_db_change_vob_oid(old_uuid, new_uuid);
}
