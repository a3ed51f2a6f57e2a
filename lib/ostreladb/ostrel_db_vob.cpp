// VOB records: one DB_VOB per VOB whose objects the view holds, found by
// the replica uuid, counting the inodes that belong to it and numbering
// them.
#include <algorithm>
#include <cstring>

#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

const char* const VOB = "DB_VOB";

int vob_create(const qel_uuid_s* uuid, const char* text, uint32_t* dbid) {
    size_t len = std::strlen(text);
    // The length is kept in 16 bits.
    if (len > 0xFFFF) return QEL_ST_TOO_LONG;
    db_vob rec{};
    rec.replica_uuid = *uuid;
    rec.next_dbid = 1;
    rec.gen_num = ostrela_db_view_time().tv_sec;
    rec.text_len = static_cast<uint16_t>(len);
    std::memcpy(rec.text, text, std::min(len, VOB_TEXT_ROOM));
    int st = dt_fillnew(DB_VOB, &rec, &view_db_task, VDB);
    if (st == S_DUPLICATE) return QEL_ST_EXISTS;
    int status = ostrela_db_engine(st, "D_FILLNEW", VOB);
    db_address dba = 0;
    if (status == 0) status = ostrela_db_engine(dt_crget(&dba, &view_db_task, VDB), "D_CRGET", VOB);
    if (status == 0 && len > VOB_TEXT_ROOM) {
        status = ostrela_db_bytes_create(dba, text + VOB_TEXT_ROOM, len - VOB_TEXT_ROOM, &rec.bytes_dba);
        if (status == 0)
            status = ostrela_db_engine(dt_crwrite(VOB_BYTES_DBA, &rec.bytes_dba, &view_db_task, VDB), "D_CRWRITE", VOB);
    }
    if (status == 0) *dbid = ostrela_db_dba2dbid(dba);
    return status;
}

// Reads the VOB record at `vob`, lets `change` alter it and writes it back.
template <typename Change>
int update_vob(db_address vob, Change change) {
    int status = ostrela_db_set_record(ostrela_db_dba2dbid(vob), DB_VOB, VOB);
    db_vob rec;
    if (status == 0) status = ostrela_db_engine(dt_recread(&rec, &view_db_task, VDB), "D_RECREAD", VOB);
    if (status != 0) return status;
    change(rec);
    return ostrela_db_engine(dt_recwrite(&rec, &view_db_task, VDB), "D_RECWRITE", VOB);
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

int ostrela_db_vob_add_ref(db_address vob, uint32_t* gen) {
    ostrela_db_trans_write_check();
    int status = update_vob(vob, [gen](db_vob& rec) {
        ++rec.ref_cnt;
        *gen = ++rec.gen_num;
    });
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_ADD_REF, static_cast<unsigned long>(vob));
}

int ostrela_db_vob_rm_ref(db_address vob) {
    ostrela_db_trans_write_check();
    int status = update_vob(vob, [](db_vob& rec) { --rec.ref_cnt; });
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_VOB_RM_REF, static_cast<unsigned long>(vob));
}
