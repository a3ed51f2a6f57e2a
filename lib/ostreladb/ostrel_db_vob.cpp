// VOB records: one DB_VOB per VOB whose objects the view holds, found by
// the replica uuid, counting the inodes that belong to it and numbering
// them, with the VOB's storage text, one flag bit and the VOB's listing;
// and the operations on them that run transactions of their own.
#include <algorithm>
#include <cstring>
#include <string>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vob.h"

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

int ostrela_db_vob_on_demand(view_vob* vob, uint32_t* dbid, bool* made) {
    ostrela_db_trans_write_check();
    *made = false;
    if (vob->db_id != 0) {
        *dbid = vob->db_id;
        return 0;
    }
    int status = ostrela_db_vob_lookup(&vob->uuid, dbid);
    if (status != QEL_ST_NOT_FOUND) return status;
    *made = true;
    return ostrela_db_vob_create(&vob->uuid, ":", dbid);
}

// ---- transactions of their own -----------------------------------------------------------

namespace {

// The longest "host:pathname" a VOB record is read or written with, its NUL
// included.
constexpr size_t HOST_PATH_MAX = 1024;
// Inodes listed at a time while a VOB's data is deleted.
constexpr int DELETE_BATCH = 10;

const int QUIET_WRITE[] = {QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_READ[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, 0};
const int QUIET_FLAG[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_DELETE[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, 39, 0};

struct UuidText {
    explicit UuidText(const qel_uuid_s* uuid) { qel_uuid_to_str(uuid, text); }
    char text[QEL_UUID_STR_SIZE];
};

// Runs `change` on the VOB's record, made when the VOB has none, in a write
// transaction of its own; a record made is kept in the VOB once committed.
template <typename Change>
int change_vob(const char* method, view_vob* vob, Change change) {
    uint32_t dbid = 0;
    bool made = false;
    int status = ostrel_db_traced_transaction(method, 1, [&] {
        int s = ostrela_db_vob_on_demand(vob, &dbid, &made);
        return s != 0 ? s : change(dbid);
    });
    if (status == 0 && made) vob->db_id = dbid;
    return status;
}

// Copies `len` bytes of `part` and a NUL into `buf` of `size` bytes (null:
// nothing); 1084 when they do not fit.
int copy_part(const char* part, size_t len, unsigned size, char* buf) {
    if (buf == nullptr) return 0;
    if (len + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, part, len);
    buf[len] = '\0';
    return 0;
}

// Lists up to DELETE_BATCH inodes of the VOB `vob` from its first; each must
// be an empty cover directory without links (else 1085).
int vob_covers(uint32_t vob, uint32_t* dbids, int* count) {
    int listed = 0;
    int status = ostrela_db_inode_inventory(vob, &QEL_OID_NULL, dbids, DELETE_BATCH, &listed, 0);
    *count = 0;
    for (int i = 0; status == 0 && i < listed; ++i) {
        qel_fstat_db_s fstat{};
        uint32_t of_vob = 0;
        status = ostrela_db_inode_read(dbids[i], nullptr, nullptr, &fstat, nullptr, &of_vob);
        // The listing runs on into the inodes of the next VOB.
        if (status != 0 || of_vob != vob) break;
        if (fstat.type != QEL_FTYPE_DIR || fstat.nlink != 0) status = QEL_ST_NOT_EMPTY;
        ++*count;
    }
    return status;
}

} // namespace

int ostrel_db_vob_lookup(const qel_uuid_s* uuid, unsigned* dbid) {
    *dbid = 0;
    uint32_t found = 0;
    int status =
        ostrel_db_traced_transaction("ostrel_db_vob_lookup", 0, [&] { return ostrela_db_vob_lookup(uuid, &found); });
    if (status == 0) *dbid = found;
    return ostrel_db_report(status, QUIET_READ, DBU_MSG_LOOKUP, "vob_lookup", UuidText(uuid).text);
}

int ostrel_db_vob_read(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path,
                       unsigned* vob_dbid) {
    char text[HOST_PATH_MAX];
    uint32_t dbid = 0;
    int status = ostrel_db_traced_transaction("ostrel_db_vob_read", 0,
                                              [&] { return ostrela_db_vob_read(uuid, sizeof text, text, &dbid); });
    if (status == 0 && vob_dbid != nullptr) *vob_dbid = dbid;
    if (status == 0 && (host != nullptr || path != nullptr)) {
        const char* colon = std::strchr(text, ':');
        if (colon == nullptr) {
            imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_BAD_HOST_PATH, text);
            status = QEL_ST_INTERNAL;
        } else {
            status = copy_part(text, static_cast<size_t>(colon - text), host_size, host);
            if (status == 0) status = copy_part(colon + 1, std::strlen(colon + 1), path_size, path);
        }
    }
    return ostrel_db_report(status, QUIET_READ, DBU_MSG_VOB_READ, UuidText(uuid).text);
}

int ostrel_db_vob_create(view_vob* vob) {
    if (vob->db_id != 0) return 0;
    int status = change_vob("ostrel_db_vob_create", vob, [](uint32_t) { return 0; });
    return ostrel_db_report(status, QUIET_WRITE, DBU_MSG_VOB_CREATE, vob->host.c_str(), vob->path.c_str());
}

int ostrel_db_vob_update(view_vob* vob) {
    std::string text = vob->host + ":" + vob->path;
    int status = text.size() + 1 > HOST_PATH_MAX
                     ? QEL_ST_TOO_LONG
                     : change_vob("ostrel_db_vob_update", vob,
                                  [&](uint32_t dbid) { return ostrela_db_vob_update(dbid, text.c_str()); });
    return ostrel_db_report(status, QUIET_WRITE, DBU_MSG_VOB_UPDATE, vob->host.c_str(), vob->path.c_str());
}

int ostrel_db_vob_set_hlink(view_vob* vob, int flag) {
    int status = change_vob("ostrel_db_vob_set_hlink", vob,
                            [&](uint32_t dbid) { return ostrela_db_vob_set_hlink_flag(dbid, flag); });
    return ostrel_db_report(status, QUIET_FLAG, DBU_MSG_VOB_SET_HLINK, vob->host.c_str(), vob->path.c_str());
}

int ostrel_db_vob_set_setwork(view_vob* vob, int flag) {
    int status = change_vob("ostrel_db_vob_set_setwork", vob,
                            [&](uint32_t dbid) { return ostrela_db_vob_set_setwork_flag(dbid, flag); });
    return ostrel_db_report(status, QUIET_FLAG, DBU_MSG_VOB_SET_SETWORK, vob->host.c_str(), vob->path.c_str());
}

int ostrel_db_vob_delete(const qel_uuid_s* uuid) {
    OstrelDb_Trace trace("ostrel_db_vob_delete");
    int status = 0;
    // Each empty cover directory goes in a write of its own, and the listing
    // begins again after them, so other threads run between the steps.
    for (int count = DELETE_BATCH; status == 0 && count > 0;) {
        uint32_t dbids[DELETE_BATCH];
        status = ostrel_db_in_transaction(0, [&] {
            uint32_t vob = 0;
            int s = ostrela_db_vob_lookup(uuid, &vob);
            return s != 0 ? s : vob_covers(vob, dbids, &count);
        });
        for (int i = 0; status == 0 && i < count; ++i)
            status = ostrel_db_in_transaction(1, [&] { return ostrel_db_inode_delete(nullptr, dbids[i], QEL_FTYPE_DIR); });
    }
    if (status == 0) status = ostrel_db_in_transaction(1, [&] { return ostrela_db_vob_delete(uuid); });
    return ostrel_db_report(status, QUIET_DELETE, DBU_MSG_VOB_DELETE, UuidText(uuid).text);
}

int ostrel_inventory_vobs(const void*, unsigned cursor, int filter, int max, qel_uuid_s* uuids, int* count,
                          unsigned* next, int* end) {
    if (max == 0) return QEL_ST_INVALID;
    int status = ostrel_db_traced_transaction("ostrel_inventory_vobs", 0, [&] {
        return ostrela_db_inventory_vobs(cursor, filter, max, uuids, count, next, end);
    });
    return ostrel_db_report(status, QUIET_WRITE, DBU_MSG_INVENTORY);
}
