// Namespace operations and queries that the namespace cache calls: reading
// inodes by dbid and by oid, the VOB registrations, deleting a view object,
// and the texts that name objects in messages.
//
// Stand-in: object recovery (which needs the lost+found handling of the
// database's life cycle) is not built yet and answers 1007.

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ns_vob.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_storage.h"

namespace {

const char* const VOB = "DB_VOB";
constexpr size_t VOB_TEXT_MAX = 1024;
// A container that cannot be removed now is given up this much later.
constexpr long STRANDED_DELAY_SECONDS = 86400;
// The status of an operation on the wrong kind of object.
constexpr int WRONG_KIND = 1001;

const int QUIET_DBID2OID[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_STALE, 0};
const int QUIET_OID2DBID[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_VOB_READ[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, 0};
const int QUIET_WRITE[] = {QEL_ST_READ_ONLY_STATE, 0};
const int QUIET_VOB_DELETE[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_FOUND, 39, 0};

// Writes namespace-level message `index` with `args` and the status's text,
// unless the status is 0, 1080 or one of `quiet`; returns the status.
template <typename... Args>
int report(int status, const int* quiet, int index, Args... args) {
    if (status == 0 || status == QEL_ST_READ_ONLY) return status;
    for (const int* q = quiet; *q != 0; ++q)
        if (status == *q) return status;
    imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, index, args..., qel_strerror(status));
    return status;
}

// The VOB record of `uuid`, left current (1002 when there is none), its dbid
// and its "host:path" text (when `text` is not null).
int read_vob_record(const qel_uuid_s* uuid, db_vob* rec, uint32_t& dbid, std::string* text) {
    int status = ostrela_db_vob_lookup(uuid, &dbid);
    if (status == 0) status = ostrela_db_engine(dt_recread(rec, &view_db_task, VDB), "D_RECREAD", VOB);
    if (status != 0) return status;
    if (text == nullptr) return 0;
    size_t len = rec->text_len;
    size_t inline_len = std::min(len, VOB_TEXT_ROOM);
    text->assign(rec->text, inline_len);
    if (len > inline_len) {
        std::string rest(len - inline_len, '\0');
        status = ostrela_db_bytes_read(ostrela_db_dbid2dba(dbid), rec->bytes_dba, &rest[0], rest.size());
        text->append(rest);
    }
    return status;
}

// Copies `part` into `buf` of `size` bytes (null: nothing); 1084 when it
// does not fit with its NUL.
int copy_part(const std::string& part, unsigned size, char* buf) {
    if (buf == nullptr) return 0;
    if (part.size() + 1 > size) return QEL_ST_TOO_LONG;
    std::memcpy(buf, part.c_str(), part.size() + 1);
    return 0;
}

// Deletes the current VOB record and its byte string.
int delete_vob_record(const db_vob& rec) {
    int status = ostrela_db_bytes_delete(rec.bytes_dba);
    if (status == 0) status = ostrela_db_engine(dt_disdel(&view_db_task, VDB), "D_DISDEL", VOB);
    return status;
}

// Deletes the first inode of the VOB, which must be an empty cover directory
// without links; 1002 when the VOB has none left.
int delete_first_cover(uint32_t vob_dbid) {
    uint32_t dbid = 0;
    int count = 0;
    int status = ostrela_db_inode_inventory(vob_dbid, &QEL_OID_NULL, &dbid, 1, &count, 1);
    if (status != 0) return status;
    if (count == 0) return QEL_ST_NOT_FOUND;
    qel_fstat_db_s fstat{};
    status = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr);
    if (status != 0) return status;
    if (fstat.type != QEL_FTYPE_DIR || fstat.nlink != 0) return QEL_ST_NOT_EMPTY;
    status = ostrela_db_dir_empty(dbid);
    return status != 0 ? status : ostrela_db_inode_delete(dbid, 0);
}

// Deletes a view object's inode and its container (inside a write
// transaction). A container that cannot be removed now (1063) leaves the
// inode stranded for a day instead.
int delete_inode(uint32_t dbid) {
    qel_fstat_db_s fstat{};
    int status = ostrela_db_inode_read(dbid, nullptr, nullptr, &fstat, nullptr, nullptr);
    if (status != 0) return status;
    if (fstat.type == QEL_FTYPE_DIR) return WRONG_KIND;
    char text[VOB_TEXT_MAX];
    status = ostrela_db_inode_read_text(dbid, text, sizeof text);
    if (status != 0) return status;
    if (text[0] != '\0' && fstat.type != QEL_FTYPE_LNK) {
        status = ostrel_storage_remove(text);
        if (status == QEL_ST_NOT_PERMITTED) {
            struct timeval when;
            gettimeofday(&when, nullptr);
            when.tv_sec += STRANDED_DELAY_SECONDS;
            return ostrela_db_mark_inode_stranded(dbid, &when);
        }
        if (status != 0) return status;
    }
    return ostrela_db_inode_delete(dbid, 0);
}

} // namespace

int ostrel_db_dbid2oid(unsigned, unsigned dbid, qel_oid_s* oid, qel_fstat_db_s* fstat, vob_mtype_t* mtype,
                       unsigned* stamp) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_dbid2oid");
    auto op = [&] { return ostrela_db_inode_read(dbid, stamp, oid, fstat, mtype, nullptr); };
    int status = fstat != nullptr ? ostrel_db_read_fstat_in_transaction(fstat, false, op)
                                  : ostrel_db_in_transaction(0, op);
    return report(status, QUIET_DBID2OID, DBU_MSG_DBID2OID, static_cast<unsigned long>(dbid));
}

int ostrel_db_oid2dbid(unsigned vob_dbid, const qel_oid_s* oid, unsigned* dbid, unsigned* stamp,
                       qel_fstat_db_s* fstat, vob_mtype_t* mtype) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_oid2dbid");
    uint32_t found = 0;
    auto op = [&] {
        int status = ostrela_db_inode_lookup(vob_dbid, oid, &found);
        return status != 0 ? status : ostrela_db_inode_read(found, stamp, nullptr, fstat, mtype, nullptr);
    };
    int status = fstat != nullptr ? ostrel_db_read_fstat_in_transaction(fstat, false, op)
                                  : ostrel_db_in_transaction(0, op);
    if (status == 0 && dbid != nullptr) *dbid = found;
    char text[QEL_OID_STR_SIZE];
    return report(status, QUIET_OID2DBID, DBU_MSG_OID2DBID, qel_oid_to_str(oid, text));
}

int ostrel_db_vob_read(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path,
                       unsigned* vob_dbid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_vob_read");
    std::string text;
    uint32_t dbid = 0;
    int status = ostrel_db_in_transaction(0, [&] {
        db_vob rec;
        return read_vob_record(uuid, &rec, dbid, &text);
    });
    if (status == 0 && vob_dbid != nullptr) *vob_dbid = dbid;
    if (status == 0 && (host != nullptr || path != nullptr)) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) {
            imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_BAD_HOST_PATH, text.c_str());
            status = QEL_ST_INTERNAL;
        } else {
            status = copy_part(text.substr(0, colon), host_size, host);
            if (status == 0) status = copy_part(text.substr(colon + 1), path_size, path);
        }
    }
    char uuid_text[QEL_UUID_STR_SIZE];
    return report(status, QUIET_VOB_READ, DBU_MSG_VOB_READ, qel_uuid_to_str(uuid, uuid_text));
}

int ostrel_db_vob_create(view_vob* vob) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_vob_create");
    if (vob->db_id != 0) return 0;
    uint32_t dbid = 0;
    int status = ostrel_db_in_transaction(1, [&] {
        int st = ostrela_db_vob_lookup(&vob->uuid, &dbid);
        return st == QEL_ST_NOT_FOUND ? ostrela_db_vob_create(&vob->uuid, ":", &dbid) : st;
    });
    if (status == 0) vob->db_id = dbid;
    return report(status, QUIET_WRITE, DBU_MSG_VOB_CREATE, vob->host.c_str(), vob->path.c_str());
}

int ostrel_db_vob_delete(const qel_uuid_s* uuid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_vob_delete");
    uint32_t vob_dbid = 0;
    int status = ostrel_db_in_transaction(0, [&] { return ostrela_db_vob_lookup(uuid, &vob_dbid); });
    // Each empty cover directory goes in a transaction of its own.
    while (status == 0) status = ostrel_db_in_transaction(1, [&] { return delete_first_cover(vob_dbid); });
    if (status == QEL_ST_NOT_FOUND && vob_dbid != 0) {
        status = ostrel_db_in_transaction(1, [&] {
            db_vob rec;
            int st = read_vob_record(uuid, &rec, vob_dbid, nullptr);
            return st != 0 ? st : delete_vob_record(rec);
        });
    }
    char uuid_text[QEL_UUID_STR_SIZE];
    return report(status, QUIET_VOB_DELETE, DBU_MSG_VOB_DELETE, qel_uuid_to_str(uuid, uuid_text));
}

int ostrel_db_delete(obj_entry* obj) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_delete");
    uint32_t dbid = static_cast<uint32_t>(obj->dbid);
    int status = ostrel_db_in_transaction(1, [&] { return delete_inode(dbid); });
    if (status == 0) {
        obj_flush(obj);
        return 0;
    }
    report(status, QUIET_WRITE, DBU_MSG_DELETE, obj_2str(obj));
    obj_free(obj);
    return status;
}

int ostrel_db_recover_object(const qel_uuid_s*, const qel_oid_s*, const char*, unsigned, char* moved_to) {
    if (moved_to != nullptr) moved_to[0] = '\0';
    return QEL_ST_NOT_SUPPORTED;
}

const char* ostrel_dbid2str(const view_vob* vob, unsigned dbid) {
    static std::string slot;
    char number[16];
    std::snprintf(number, sizeof number, "0x%lX", static_cast<unsigned long>(dbid));
    slot = (vob != nullptr ? vob->name : std::string()) + ":" + number;
    return slot.c_str();
}

const char* ostrel_oid2str(const view_vob* vob, const qel_oid_s* oid) {
    static std::string slot;
    char text[QEL_OID_STR_SIZE];
    slot = (vob != nullptr ? vob->name : std::string()) + ":" + qel_oid_to_str(oid, text);
    return slot.c_str();
}

const char* obj_2str(const obj_entry* obj) {
    static std::string slot;
    slot = ostrel_dbid2str(obj->vob, static_cast<uint32_t>(obj->dbid));
    return slot.c_str();
}
