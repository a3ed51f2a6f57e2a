// Record, set and key locks and the record lock bit.
//
// A lock stands for locks on the database files that hold the item, granted
// by the multi-process lock manager in a shared open only. In the exclusive
// and one-user opens, which are the only ones this build can make (a shared
// open needs a lock manager, and none is installed), lock and free calls
// validate their item and succeed at once and every item reports 'f'. The
// record lock bit is read and written in every mode.
#include "runtime/kesto_internal.h"

namespace {

bool exclusive() { return kt().open_state != 1; }

// The shared-mode paths need the lock manager's client.
int no_lock_manager(int msg) { return dberr_code(S_NOLOCKMGR, msg); }

int key_field(long field, int msg) {
  field_entry *fld;
  if (nfld_check(field, nullptr, nullptr, nullptr, &fld) != S_OKAY) return db_status;
  if (fld->key == 'n') return dberr_code(S_NOTKEY, msg);
  return S_OKAY;
}

int current_record_file(int msg_nocr, int msg_file, db_address *dba) {
  db_task &t = kt();
  if (!t.current_record) return dberr_code(S_NOCR, msg_nocr);
  db_entry *db = curr_dbt();
  if (msg_file && static_cast<int>(t.current_record >> FILE_SHIFT) >= db->slice[TBL_FILE].count)
    return dberr_code(S_SYSERR, msg_file);
  *dba = t.current_record;
  return S_OKAY;
}

}  // namespace

int dt_lock(int count, LOCK_REQUEST *requests, DB_TASK *task, int dbn) {
  (void)count;
  (void)requests;
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (exclusive()) return db_status = S_OKAY;
  // A granted request that lists a locked file starts the journal
  // transaction (tjf_start).
  return no_lock_manager(740);
}

int dt_reclock(int rec, char /*type*/, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nrec_check(rec, nullptr, nullptr) != S_OKAY) return db_status;
  return exclusive() ? db_status = S_OKAY : no_lock_manager(741);
}

int dt_setlock(int set, char /*type*/, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nset_check(set, nullptr, nullptr) != S_OKAY) return db_status;
  return exclusive() ? db_status = S_OKAY : no_lock_manager(742);
}

int dt_keylock(long field, char /*type*/, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (key_field(field, 107) != S_OKAY) return db_status;
  return exclusive() ? db_status = S_OKAY : no_lock_manager(743);
}

int dt_recfree(int rec, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nrec_check(rec, nullptr, nullptr) != S_OKAY) return db_status;
  if (exclusive()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, 130);
  return no_lock_manager(746);
}

int dt_setfree(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nset_check(set, nullptr, nullptr) != S_OKAY) return db_status;
  if (exclusive()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, 132);
  return no_lock_manager(747);
}

int dt_keyfree(long field, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (key_field(field, 127) != S_OKAY) return db_status;
  if (exclusive()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, 128);
  return no_lock_manager(748);
}

int dt_reclstat(int rec, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  record_entry *re;
  if (nrec_check(rec, nullptr, &re) != S_OKAY) return db_status;
  *state = exclusive() ? 'f' : (re->flags & REC_STATIC) ? 's' : 'f';
  return db_status = S_OKAY;
}

int dt_setlstat(int set, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nset_check(set, nullptr, nullptr) != S_OKAY) return db_status;
  *state = 'f';
  return db_status = S_OKAY;
}

int dt_keylstat(long field, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (key_field(field, 108) != S_OKAY) return db_status;
  *state = 'f';
  return db_status = S_OKAY;
}

int dt_freeall(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!kt().open_state) return dberr_code(S_DBOPEN, 135);
  if (exclusive()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, 136);
  return free_dblocks(-1);
}

int free_dblocks(int /*dbn*/) {
  if (exclusive()) return db_status = S_OKAY;
  key_reset(kt().size_ft);
  return db_status = S_OKAY;
}

int dt_timeout(int seconds, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!t.open_state) return dberr_code(S_DBOPEN, 90);
  if (!exclusive()) {
    int status = lmc_settime(seconds);
    if (status != S_OKAY) return dberr_code(status, 499);
    t.lock_timeout = seconds;
  }
  return db_status = S_OKAY;
}

int dt_rlbtst(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address dba = 0;
  if (current_record_file(140, 0, &dba) != S_OKAY) return db_status;
  uint16_t word;
  if (dio_rrlb(dba, &word) != S_OKAY) return db_status;
  rlb_status = (word & RLB_MASK) ? S_LOCKED : S_UNLOCKED;
  return db_status = rlb_status;
}

int dt_rlbset(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address dba = 0;
  if (current_record_file(143, 139, &dba) != S_OKAY) return db_status;
  if (!exclusive()) return no_lock_manager(744);
  uint16_t word;
  if (dio_rrlb(dba, &word) != S_OKAY) return db_status;
  if (word & RLB_MASK) {
    rlb_status = S_LOCKED;
  } else {
    rlb_status = dio_wrlb(dba, static_cast<uint16_t>(word | RLB_MASK));
  }
  return db_status = rlb_status;
}

int dt_rlbclr(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address dba = 0;
  if (current_record_file(138, 141, &dba) != S_OKAY) return db_status;
  if (!exclusive()) return no_lock_manager(745);
  if (dio_wrlb(dba, 0) != S_OKAY) return db_status;
  rlb_status = S_UNLOCKED;
  return db_status = rlb_status;
}
