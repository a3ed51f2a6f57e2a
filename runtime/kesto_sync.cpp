// Housekeeping around commits: forcing the files to disk on request, the
// journal's checkpoint limit and checkpoint requests.
#include "runtime/kesto_internal.h"

int dt_syncfiles(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!kt().open_state) return db_status = S_OKAY;
  return dt_isyncfiles(nullptr, -1);
}

int dt_isyncfiles(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (trans_active()) return dberr_code(S_TRACTIVE, 157);
  if (dio_flush() != S_OKAY) return db_status;
  int first = 0, count = t.size_ft;
  if (dbn >= 0 && t.no_of_dbs > 1) {
    first = t.db_table[dbn].slice[TBL_FILE].first;
    count = t.db_table[dbn].slice[TBL_FILE].count;
  }
  for (int f = first; f < first + count; ++f) {
    if (dio_open(f) != S_OKAY || sync_file(t.file_table[f].desc) != S_OKAY) return db_status;
    t.file_table[f].flags &= static_cast<uint16_t>(~FILE_WRITTEN);
  }
  return taf_syncfiles();
}

int dt_settjfsize(int32_t limit, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!kt().open_state) return dberr_code(S_DBOPEN, 158);
  return tjf_set_checkpoint_limit(limit);
}

int dt_checkpoint(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!t.open_state) return dberr_code(S_DBOPEN, 152);
  if (t.open_state == 1) {
    int status = lmc_checkpoint();
    if (status != S_OKAY) return dberr_code(status, 515, "Checkpoint failed\n");
    return db_status = S_OKAY;
  }
  // No other user: a task that journals checkpoints now, or as soon as its
  // transaction is over.
  if (!opt_on(OPT_JOURNAL) && t.tjf_fd < 0) return db_status = S_OKAY;
  if (trans_active()) {
    db_need_checkpoint();
    return db_status = S_OKAY;
  }
  return tjf_chkpoint();
}

void db_need_checkpoint() { kt().checkpoint_needed = 1; }
