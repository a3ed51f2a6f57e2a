// Inodes by dbid and by oid, the deletion of an inode with its container,
// and the recovery of a lost object into lost+found: the view database's
// operations on inodes, each in a transaction of its own (the deletion in
// the caller's).

#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_container_removals.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace {

const int QUIET_DBID2OID[] = {QEL_ST_READ_ONLY_STATE, QEL_ST_STALE, 0};
const int QUIET_OID2DBID[] = {QEL_ST_NOT_FOUND, QEL_ST_READ_ONLY_STATE, 0};

} // namespace

int ostrel_db_inode_delete(view_build_rec* build, unsigned dbid, unsigned type, size_t moved_to_size,
                           char* moved_to) {
    return ostrela_db_inode_delete_kept(build, dbid, type, moved_to_size, moved_to, nullptr);
}

int ostrel_db_dbid2oid(unsigned, unsigned dbid, qel_oid_s* oid, qel_fstat_db_s* fstat, vob_mtype_t* mtype,
                       unsigned* stamp) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_dbid2oid");
    auto op = [&] { return ostrela_db_inode_read(dbid, stamp, oid, fstat, mtype, nullptr); };
    int status = fstat != nullptr ? ostrel_db_read_fstat_in_transaction(fstat, false, op, Ostrel_Db_Identities::STORED)
                                  : ostrel_db_in_transaction(0, op);
    return ostrel_db_report(status, QUIET_DBID2OID, DBU_MSG_DBID2OID, static_cast<unsigned long>(dbid));
}

int ostrel_db_oid2dbid(unsigned vob_dbid, const qel_oid_s* oid, unsigned* dbid, unsigned* stamp,
                       qel_fstat_db_s* fstat, vob_mtype_t* mtype) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_oid2dbid");
    uint32_t found = 0;
    auto op = [&] {
        int status = ostrela_db_inode_lookup(vob_dbid, oid, &found);
        return status != 0 ? status : ostrela_db_inode_read(found, stamp, nullptr, fstat, mtype, nullptr);
    };
    int status = fstat != nullptr ? ostrel_db_read_fstat_in_transaction(fstat, false, op, Ostrel_Db_Identities::STORED)
                                  : ostrel_db_in_transaction(0, op);
    if (status == 0 && dbid != nullptr) *dbid = found;
    char text[QEL_OID_STR_SIZE];
    return ostrel_db_report(status, QUIET_OID2DBID, DBU_MSG_OID2DBID, qel_oid_to_str(oid, text));
}

int ostrel_db_recover_object(const qel_uuid_s* uuid, const qel_oid_s* dir_oid, const char* name, unsigned size,
                             char* moved_to) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_recover_object");
    if (moved_to != nullptr && size > 0) moved_to[0] = '\0';
    unsigned vob_dbid = 0, dir = 0;
    int status = ostrel_db_vob_read(uuid, 0, nullptr, 0, nullptr, &vob_dbid);
    if (status == 0) status = ostrel_db_oid2dbid(vob_dbid, dir_oid, &dir, nullptr, nullptr, nullptr);
    if (status == 0) {
        status = ostrel_db_in_transaction(1, [&] {
            qel_fstat_db_s dir_fstat{};
            int st = ostrela_db_inode_read(dir, nullptr, nullptr, &dir_fstat, nullptr, nullptr);
            uint32_t object = 0;
            if (st == 0) st = ostrela_db_dir_entry_delete(dir, name, 0, &object);
            if (st == 0 && object != 0) {
                qel_fstat_db_s fstat{};
                st = ostrela_db_inode_read(object, nullptr, nullptr, &fstat, nullptr, nullptr);
                if (st == 0 && fstat.type == QEL_FTYPE_DIR && dir_fstat.nlink > 0) --dir_fstat.nlink;
                // Its container goes to lost+found rather than away.
                if (st == 0) st = ostrela_db_inode_delete_kept(nullptr, object, fstat.type, size, moved_to, nullptr);
            }
            if (st == 0) {
                dir_fstat.size = uint64_t{dir_fstat.size} - (std::strlen(name) + OSTREL_DB_DIRENT_OVERHEAD);
                st = ostrela_db_inode_rewrite(dir, &dir_fstat);
            }
            return st;
        });
    }
    if (status != 0 && moved_to != nullptr && size > 0) moved_to[0] = '\0';
    static constexpr int quiet[] = {QEL_ST_READ_ONLY, QEL_ST_READ_ONLY_STATE, QEL_ST_NOT_EMPTY, QEL_ST_NOT_FOUND, 0};
    return ostrel_db_report(status, quiet, DBU_MSG_RECOVER_OBJECT, ostrela_db_id_text(*dir_oid).c_str(), name);
}

bool ostrel_db_is_private_mtype(vob_mtype_t mtype) {
    return mtype == VIEW_MTYPE_PRIVATE || mtype == VIEW_MTYPE_BUILD_FLAGGED || mtype == VIEW_MTYPE_REQUESTED ||
           mtype == VIEW_MTYPE_BUILD || mtype == VIEW_MTYPE_UNSHARED;
}
