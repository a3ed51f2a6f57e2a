// Transactions: the changes of a task between dt_trbegin and dt_trend reach
// the database files all together or not at all.
//
// While a transaction runs, no page of a file's old extent is written in
// place (the cache keeps it, or sends it to the overflow file). The commit,
// with two-phase commit on (option 0x2, the default):
//   phase one  every changed page of an old extent and every changed
//              page-zero header goes to the overflow file; pages beyond the
//              old extents go to their files, which are forced to disk; the
//              overflow file's index is written and forced to disk;
//   recorded   the overflow file's name is added to the activity file: from
//              here on the commit can only be completed, by this call or by
//              the recovery at the next open. A journaled transaction
//              (option 0x100) lists its files in the journal before, and
//              forces its commit entry to the journal after this step; the
//              recovery completes it only when that entry is there;
//   phase two  evicted pages are copied back, the cached ones written in
//              place, the files forced to disk, and the activity entry
//              removed.
// A failure before the commit is recorded leaves the transaction active
// with the files as they were (the caller aborts); a failure after it ends
// the process, leaving the entry for the recovery.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

int db_txtest = 0;

namespace {

[[noreturn]] void commit_failed(int status) {
  dberr_code(status, 549, "*** db_KESTO error during commit, exiting");
  std::fflush(stdout);
  std::fflush(stderr);
  std::abort();
}

// Reports a failure of a commit step (a message number of 0: a line on
// standard error, the step having reported its own error); after the
// point of no return the process ends.
int step_failed(int status, int msg, const char *what, const char *tid) {
  if (msg) dberr_code(status, msg, "Trend, %s failed %s\n", what, tid);
  else std::fprintf(stderr, "Trend, %s failed %s\n", what, tid);
  if (kt().trcommit) commit_failed(status);
  return db_status = status;
}

// A checkpoint the journal asked for in a shared open: the lock manager
// has it run once no user holds a lock; it is asked at the start of the
// next commit or abort.
void request_checkpoint() {
  db_task &t = kt();
  if (t.open_state != 1 || !t.checkpoint_needed) return;
  t.checkpoint_needed = 0;
  lmc_checkpoint();
}

// Without other users (no lock manager, or an exclusive open) the
// checkpoint runs as soon as the transaction is over. One that fails is
// reported and tried again after the next transaction; the transaction
// stands.
void one_user_checkpoint() {
  db_task &t = kt();
  if (t.open_state == 1 || !t.checkpoint_needed) return;
  t.checkpoint_needed = 0;
  if ((opt_on(OPT_JOURNAL) || t.tjf_fd >= 0) && tjf_chkpoint() != S_OKAY) t.checkpoint_needed = 1;
  db_status = S_OKAY;
}

// Ends the transaction's bookkeeping once its pages are where they belong
// (or dropped).
void end_transaction() {
  db_task &t = kt();
  t.trcommit = 0;
  t.trans_id[0] = '\0';
  o_init();
}

// ---- currency after an abort ----

// The record at `dba` of the current database when its slot holds a live
// record; null otherwise (nothing reported for an address that is simply
// no longer in use).
const char *live_record(db_address dba) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  int rel = static_cast<int>(dba >> FILE_SHIFT);
  uint32_t slot = dba & SLOT_MASK;
  if (!db || rel >= db->slice[TBL_FILE].count || slot == 0) return nullptr;
  int file = db->slice[TBL_FILE].first + rel;
  if (t.file_table[file].type != 'd') return nullptr;
  uint32_t next = dio_pznext(file);
  if (db_status != S_OKAY || slot >= next) return nullptr;
  char *rec;
  // In a shared open the abort has given up the locks: the file is read as
  // it is.
  if (dio_read_slot_nolock(file, slot, &rec, 0) != S_OKAY) return nullptr;
  return rec_type_index(rec) < 0 ? nullptr : rec;
}

bool member_of(const char *rec, int set, db_address owner) {
  db_task &t = kt();
  const set_entry &se = t.set_table[set];
  int type = rec_type_index(rec);
  bool may_join = false;
  for (int m = se.first_member; m < se.first_member + se.member_count; ++m)
    if (t.member_table[m].record == type) may_join = true;
  if (!may_join) return false;
  member_pointer mp;
  return r_gmem(set, rec, &mp) == S_OKAY && mp.owner == owner;
}

// An abort puts the files back as they were; registers that name a record
// the transaction made, or a membership it made, would now point at
// nothing. They are cleared, so that later calls answer "no current
// record" (owner, member) instead of working on a stale address.
void drop_rolled_back_currency() {
  db_task &t = kt();
  const int original = t.curr_db;
  const db_address original_cr = t.current_record;
  for (int d = 0; d < t.no_of_dbs; ++d) {
    db_entry &db = t.db_table[d];
    t.curr_db = d;
    db_address cr = d == original ? original_cr : db.saved_cr;
    if (cr && !live_record(cr)) cr = 0;
    if (d == original) t.current_record = cr;
    else db.saved_cr = cr;
    if (!t.curr_own || !t.curr_mem) continue;
    const table_slice &sets = db.slice[TBL_SET];
    for (int s = sets.first; s < sets.first + sets.count; ++s) {
      db_address &own = t.curr_own[s];
      db_address &mem = t.curr_mem[s];
      if (own) {
        const char *rec = live_record(own);
        if (!rec || rec_type_index(rec) != t.set_table[s].owner) own = 0;
      }
      if (mem) {
        const char *rec = own ? live_record(mem) : nullptr;
        if (!rec || !member_of(rec, s, own)) mem = 0;
      }
    }
  }
  t.curr_db = original;
  db_status = S_OKAY;
}

}  // namespace

int dt_trbegin(const char *tid, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (opt_on(OPT_READONLY)) return dberr_code(S_READONLY, 144);
  if (!t.open_state) return dberr_code(S_DBOPEN, 145);
  // An empty id would leave the transaction looking inactive.
  if (!tid || !*tid) return dberr_code(S_TRANSID, 146);
  if (trans_active()) return dberr_code(S_TRACTIVE, 147);
  if (dio_flush() != S_OKAY || taf_open() != S_OKAY || tjf_begin() != S_OKAY || o_init() != S_OKAY)
    return db_status;
  vpathcpy(t.trans_id, tid, TRANS_ID_LEN);
  // One user holds every file: the journal transaction starts with the
  // transaction. In a shared open it starts when the first lock is
  // granted (dt_lock), or now when the task holds locks already; until
  // then a checkpoint may run.
  if ((t.open_state != 1 || lock_any_held()) && tjf_start() != S_OKAY) {
    t.trans_id[0] = '\0';
    return db_status;
  }
  return db_status = S_OKAY;
}

int dt_trend(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!trans_active()) return dberr_code(S_TRNOTACT, 148);
  request_checkpoint();
  char tid[TRANS_ID_LEN];
  std::strcpy(tid, t.trans_id);
  if (trlog_flag) d_trmark();
  // Shared open: files locked to be written at commit become write-locked
  // before anything of the commit reaches them; a refusal leaves the
  // transaction active (5).
  if (lock_commit_upgrade() != S_OKAY) return db_status;

  // A journaled transaction always commits in two phases: its page-zero
  // headers reach the journal as phase one saves them, and its commit
  // entry must be on disk before any of its pages reaches its file.
  if (!opt_on(OPT_TWOPHASE) && !t.tjf_trans_no) {
    // Everything goes in place at once: a crash part-way leaves the files
    // half-written.
    if (t.ov_evicted && o_update() != S_OKAY) return step_failed(db_status, 677, "o_update", tid);
    if (dio_flush() != S_OKAY) return step_failed(db_status, 678, "dio_flush(2)", tid);
  } else {
    // Phase one: nothing of an old extent is written in place; the copies
    // of its pages go to the overflow file with its index.
    std::vector<ov_copy> copies;
    if (dio_flush_gathering(&copies) != S_OKAY) return step_failed(db_status, 0, "dio_flush", tid);
    // The new pages of the files are forced to disk with the overflow file.
    if (o_flush(std::move(copies)) != S_OKAY) return step_failed(db_status, 0, "o_flush", tid);
    if (tjf_save_files() != S_OKAY) return db_status;

    // The point of no return.
    t.trcommit = 1;
    int lm = lmc_trcommit(t.log_name);
    if (lm != S_OKAY) {
      dberr_code(lm, 513);
      commit_failed(lm);
    }
    if (taf_add(t.log_name) != S_OKAY) step_failed(db_status, 672, "taf_add", tid);
    if (tjf_commit() != S_OKAY) step_failed(db_status, 673, "tjf_commit", tid);
    if (db_txtest) dberr_code(S_DEBUG, 149);

    // Phase two.
    if (t.ov_evicted && o_update() != S_OKAY) step_failed(db_status, 674, "o_update", tid);
    if (dio_flush() != S_OKAY) step_failed(db_status, 675, "dio_flush(2)", tid);
    if (taf_del(t.log_name) != S_OKAY) {
      dberr_code(db_status, 676);
      commit_failed(db_status);
    }
    lm = lmc_trend();
    if (lm != S_OKAY) {
      dberr_code(lm, 514);
      commit_failed(lm);
    }
  }
  end_transaction();
  const int released = lock_commit_release();
  key_reset(t.size_ft);
  if (trlog_flag) d_trbound();
  one_user_checkpoint();
  return db_status = released;
}

int dt_trabort(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  request_checkpoint();
  if (!trans_active()) return dberr_code(S_TRNOTACT, 151);
  tjf_abort();
  lock_abort_keep();
  end_transaction();
  dio_pzclr();
  free_dblocks(-1);
  dio_clear();
  dio_ixclear();
  key_reset(t.size_ft);
  drop_rolled_back_currency();
  one_user_checkpoint();
  return db_status = S_OKAY;
}
