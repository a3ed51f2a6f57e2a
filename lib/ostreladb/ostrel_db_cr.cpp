// Config-record references of inodes whose oid is a derived object.
//
// Stand-in: config records themselves (their creation, reading, deletion
// and the config-record file's free extents) are not built yet, so no
// derived object exists and every oid is none: the lookup below finds
// nothing on a database this program made. A database that does hold one
// (from a later program) is refused with 1008 rather than miscounted.
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/stg/stg.h"

namespace {

// 0 when `do_oid` names a derived object, 1002 when it names none.
int find_do(const qel_oid_s* do_oid) {
    int st = dt_keyfind(DO_OID, do_oid, &view_db_task, VDB);
    if (st == S_NOTFOUND) return QEL_ST_NOT_FOUND;
    return ostrela_db_engine(st, "D_KEYFIND", "DB_DO");
}

// Derived objects are not handled yet (see above).
int not_built() {
    qel_log_int_error("view", "lib/ostreladb/ostrel_db_cr", __LINE__, nullptr, 0);
    return QEL_ST_INTERNAL;
}

} // namespace

int ostrela_db_cr_add_ref(const qel_oid_s* do_oid, qel_oid_s*) {
    ostrela_db_trans_write_check();
    int status = find_do(do_oid);
    if (status == 0) status = not_built();
    char text[QEL_OID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, KDB_MSG_CR_ADD_REF, qel_oid_to_str(do_oid, text));
}

int ostrela_db_cr_rm_ref(const qel_oid_s* do_oid, int) {
    ostrela_db_trans_write_check();
    int status = find_do(do_oid);
    if (status == QEL_ST_NOT_FOUND) return 0;
    if (status == 0) status = not_built();
    char text[QEL_OID_STR_SIZE];
    return ostrela_db_report(status, OSTREL_DB_QUIET_NONE, KDB_MSG_CR_RM_REF, qel_oid_to_str(do_oid, text));
}

void ostrela_db_cr_free(_qel_cr_compressed_t* cr) {
    if (cr == nullptr) return;
    if (cr->data != nullptr) stg_free(cr->data);
    stg_free(cr);
}
