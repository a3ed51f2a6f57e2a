// The recovery check of an open: transactions that a crashed process left in
// the activity file are rolled back before the databases are used.
#include "runtime/kesto_internal.h"

int recovery_check() {
  db_task &t = kt();
  if (taf_open() != S_OKAY) return db_status;
  int status = taf_access(0);
  if (status == S_OKAY) {
    status = taf_release();
    for (int i = 0; i < TAF_ENTRIES && status == S_OKAY; ++i) {
      if (!taf_files[i][0]) continue;
      if (!t.use_lockmgr && t.taf_header == 0x2EAF) {
        status = dberr_code(S_NOLOCKMGR, 98, "Roll forward recovery needed may be needed");
        break;
      }
      status = dt_recover(taf_files[i], nullptr);
    }
  }
  if (t.use_lockmgr) {
    int lm = lmc_recovered();
    if (lm != S_OKAY && status == S_OKAY) status = dberr_code(lm, 501);
  }
  return db_status = status;
}

