// Record, set and key locks, the record lock bit, and the client side of
// the lock manager's requests.
//
// A lock on a record type, set or key stands for locks on the files that
// hold it (kesto_locktab.cpp), granted by the lock manager in a shared open
// (open state 1) only. In every other open, lock and free calls validate
// their item and succeed at once, every item reports 'f', and the record
// lock bit is read and written without a lock.
//
// Per file the task counts what it holds: read locks (app > 0), write
// locked (-1) or write at commit (-2, turned into a write lock when the
// transaction commits), exclusive locks, and locks kept beyond the
// transaction. Only a file whose counts change is asked of the lock
// manager. When a request is granted, the pages this task has cached of a
// file that another process changed meanwhile are dropped.
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_lockmgr.h"

namespace {

bool shared() { return kt().open_state == 1; }

// The lock manager's index of a file of the task.
int16_t lm_id(int file) { return kt().lm_file_ids[file]; }

int strength(char mode) {
  switch (mode) {
    case 'r': return 1;
    case 'R': return 2;
    case 'i': return 3;
    case 'w': return 4;
    case 'x': return 5;
    default: return 0;
  }
}

// A lock request being built: one entry per file, the strongest mode
// asked for it.
class lock_message {
 public:
  void add(int file, char mode) {
    for (size_t i = 0; i < files_.size(); ++i) {
      if (files_[i] != file) continue;
      if (strength(mode) > strength(entries_[i].mode)) entries_[i].mode = mode;
      return;
    }
    files_.push_back(file);
    entries_.push_back({lm_id(file), mode});
  }
  bool empty() const { return entries_.empty(); }
  const std::vector<lm::request> &entries() const { return entries_; }
  const std::vector<int> &files() const { return files_; }

 private:
  std::vector<int> files_;
  std::vector<lm::request> entries_;
};

// What the lock manager answered to a request.
struct answer {
  lm::reply reply;
  std::vector<lm::granted> files;
};

// A journal checkpoint asked of this process by the lock manager. A task
// that neither journals nor finds a journal has nothing to force.
int run_checkpoint() { return journal_in_use() ? tjf_chkpoint() : db_status = S_OKAY; }

// Sends a lock request until the answer is final: a dead process's commit
// is recovered first, a full queue waited out (for at most the task's
// lock time-out), a checkpoint run. The final answer is the caller's.
int send_lock(const std::vector<lm::request> &requests, answer *a) {
  db_task &t = kt();
  a->files.resize(requests.size());
  time_t first_full = 0;
  for (;;) {
    int status = lmc_lock(requests.data(), static_cast<int>(requests.size()), &a->reply, a->files.data());
    if (status != S_OKAY) return dberr_code(status, 508);
    switch (a->reply.status) {
      case lm::R_RECOVER:
        recover_dead_user(a->reply.name);
        if ((status = lmc_recovered()) != S_OKAY) return dberr_code(status, 509);
        continue;
      case lm::R_QUEUE_FULL:
        if (!first_full) first_full = time(nullptr);
        if (time(nullptr) - first_full >= t.lock_timeout) return db_status = S_OKAY;
        kesto_sleep(t.lock_retry_delay, 0);
        continue;
      case lm::R_CHECKPOINT: {
        const int checkpoint = run_checkpoint();
        if (checkpoint == S_OKAY) {
          if ((status = lmc_recovered()) != S_OKAY) return dberr_code(status, 511);
          continue;
        }
        if ((status = lmc_recovery_failed()) != S_OKAY) dberr_code(status, 510);
        return db_status = checkpoint;
      }
      default:
        return db_status = S_OKAY;
    }
  }
}

// Pages cached of a file that another process changed since this task
// last held it are dropped, unless the task holds a lock on it still (then
// nobody could have changed it).
int validate_cache(const answer &a) {
  db_task &t = kt();
  dio_clrfile_cond_prep();
  for (int i = 0; i < a.reply.count; ++i) {
    const lm::granted &g = a.files[static_cast<size_t>(i)];
    int file = -1;
    for (int f = 0; f < t.size_ft && file < 0; ++f)
      if (t.lm_file_ids[f] == g.file) file = f;
    if (file < 0) return dberr_code(S_SYSERR, 123, "lock manager file %d", g.file);
    const file_lock &fl = t.file_locks[file];
    if (fl.app == 0 && fl.excl == 0) {
      if (dio_clrfile_cond(file, g.previous, a.reply.generation) != S_OKAY) return db_status;
    } else {
      dio_upgrade_fdtm(file, a.reply.generation);
    }
  }
  return db_status = S_OKAY;
}

// Whether the task's counts cover a lock on a file already.
bool covered(const file_lock &fl, char mode) {
  switch (mode) {
    case 'r': return fl.app != 0 || fl.excl > 0;
    case 'i': return fl.app < 0 || fl.excl > 0;
    case 'w': return fl.app == -1 || fl.excl > 0;
    default: return fl.excl > 0;
  }
}

// One lock request of a call, for putting things back on failure.
struct change {
  lock_descr *d;
  char type;
  bool kept;  // a 'k' that marked the descriptor kept
};

// Checks a request against the descriptor's state, records the new state
// and queues the files it does not cover yet.
int process_lock(lock_descr &d, char type, lock_message &msg, std::vector<change> &changes) {
  db_task &t = kt();
  const bool in_trans = trans_active();
  const char s = d.state;
  auto allowed = [&](const char *states, int msg_state, int msg_outside, bool outside_ok) -> int {
    if (!outside_ok && !in_trans) return dberr_code(S_NOTRANS, msg_outside);
    if (!std::strchr(states, s)) return dberr_code(S_NOTFREE, msg_state);
    return S_OKAY;
  };
  int status;
  switch (type) {
    case 'r': status = allowed("f", 116, 0, true); break;
    case 'w': status = allowed("fri", 118, 117, false); break;
    case 'x': status = allowed("fr", 119, 0, true); break;
    case 'i': status = allowed("fr", 121, 120, false); break;
    case 'k':
      if (!in_trans) return dberr_code(S_NOTRANS, 114);
      if (s == 'f') return dberr_code(S_NOTLOCKED, 115);
      if (s == 'x') return S_OKAY;  // an exclusive lock outlives the transaction anyway
      if (!d.kept) {
        d.kept = 1;
        for (int i = 0; i < d.count; ++i) ++t.file_locks[d.files[i]].kept;
        changes.push_back({&d, type, true});
      }
      return S_OKAY;
    default:
      return dberr_code(S_BADTYPE, 122, "lock type '%c'", type);
  }
  if (status != S_OKAY) return status;
  d.prev = d.state;
  d.state = type;
  changes.push_back({&d, type, false});
  for (int i = 0; i < d.count; ++i)
    if (!covered(t.file_locks[d.files[i]], type)) msg.add(d.files[i], type);
  return S_OKAY;
}

void undo(const std::vector<change> &changes) {
  db_task &t = kt();
  for (const change &c : changes) {
    if (c.kept) {
      c.d->kept = 0;
      for (int i = 0; i < c.d->count; ++i) --t.file_locks[c.d->files[i]].kept;
    } else {
      c.d->state = c.d->prev;
    }
  }
}

// The granted requests change the task's counts of their files.
void count_granted(const std::vector<change> &changes) {
  db_task &t = kt();
  for (const change &c : changes) {
    if (c.kept) continue;
    for (int i = 0; i < c.d->count; ++i) {
      file_lock &fl = t.file_locks[c.d->files[i]];
      switch (c.type) {
        case 'r':
          if (fl.app >= 0) ++fl.app;
          break;
        case 'w':
          fl.app = -1;
          break;
        case 'i':
          if (fl.app >= 0) fl.app = -2;
          break;
        case 'x':
          ++fl.excl;
          if (c.d->prev == 'r' && fl.app > 0) --fl.app;
          break;
      }
    }
  }
}

// The descriptor of an item of dt_lock's numbering, or null with the
// status set.
lock_descr *item_descr(int item) {
  db_task &t = kt();
  const db_entry *db = curr_dbt();
  if (item < RECORD_BASE) {
    dberr_code(S_INVNUM, 113);
    return nullptr;
  }
  if (item < SET_BASE) {
    const int n = item - RECORD_BASE;
    if (n >= db->slice[TBL_RECORD].count) {
      dberr_code(S_INVREC, 111);
      return nullptr;
    }
    const int r = db->slice[TBL_RECORD].first + n;
    if (t.record_table[r].flags & REC_STATIC) {
      dberr_code(S_STATIC, 112);
      return nullptr;
    }
    return &t.rec_locks[r];
  }
  if (item < 30000) {
    const int n = item - SET_BASE;
    if (n >= db->slice[TBL_SET].count) {
      dberr_code(S_INVSET, 110);
      return nullptr;
    }
    return &t.set_locks[db->slice[TBL_SET].first + n];
  }
  const int n = item - 30000;
  if (n >= db->slice[TBL_FIELD].count) {
    dberr_code(S_INVFLD, 109);
    return nullptr;
  }
  return &t.fld_locks[db->slice[TBL_FIELD].first + n];
}

// Sends a request and turns the answer into the call's status: 0 granted,
// 5 not available, else the failure. On grant the cache is validated.
int request_files(const lock_message &msg, answer *a, int msg_other) {
  if (send_lock(msg.entries(), a) != S_OKAY) return db_status;
  switch (a->reply.status) {
    case lm::R_DONE:
      return validate_cache(*a);
    case lm::R_REFUSED:
    case lm::R_TIMEOUT:
    case lm::R_QUEUE_FULL:
      return db_status = S_UNAVAIL;
    default:
      return dberr_code(S_SYSERR, msg_other, "lock manager answered %d", a->reply.status);
  }
}

int lock_items(int count, const LOCK_REQUEST *requests) {
  if (count < 0 || (count && !requests)) return dberr_code(S_INVPTR, 935);
  lock_message msg;
  std::vector<change> changes;
  int status = S_OKAY;
  for (int i = 0; i < count && status == S_OKAY; ++i) {
    lock_descr *d = item_descr(requests[i].item);
    status = d ? process_lock(*d, requests[i].type, msg, changes) : db_status;
  }
  answer a;
  if (status == S_OKAY && !msg.empty()) status = request_files(msg, &a, 125);
  if (status != S_OKAY) {
    undo(changes);
    return db_status = status;
  }
  count_granted(changes);
  if (a.reply.count > 0 && trans_active() && tjf_start() != S_OKAY) {
    status = db_status;
    // A journal that cannot take more is emptied by a checkpoint.
    if (status == S_TJFERR) lmc_checkpoint();
    return db_status = status;
  }
  return db_status = S_OKAY;
}

// Releases the files of a descriptor that nothing else holds them for.
int free_files(lock_descr &d) {
  db_task &t = kt();
  lock_message downgrade;
  std::vector<int16_t> release;
  bool flushed = false;
  for (int i = 0; i < d.count; ++i) {
    const int f = d.files[i];
    file_lock &fl = t.file_locks[f];
    bool gone = false;
    if (d.state == 'r') {
      if (fl.app > 0) --fl.app;
      gone = fl.app == 0 && fl.excl == 0;
    } else {
      if (d.state == 'x' && fl.excl > 0) --fl.excl;
      else if (d.state != 'x') fl.app = 0;
      if (fl.excl == 0) {
        // What was changed under the exclusive lock reaches the file
        // before anybody else may read it.
        if (!flushed && dio_flush() != S_OKAY) return db_status;
        flushed = true;
        if (fl.app > 0) downgrade.add(f, 'r');
        else gone = true;
      }
    }
    if (gone) {
      release.push_back(lm_id(f));
      if (t.file_table[f].type == 'k') key_reset(f);
    }
  }
  if (d.kept) {
    for (int i = 0; i < d.count; ++i)
      if (--t.file_locks[d.files[i]].kept < 0) return dberr_code(S_BADLOCKS, 134);
    d.kept = 0;
  }
  if (!downgrade.empty()) {
    answer a;
    if (request_files(downgrade, &a, 125) != S_OKAY) return db_status;
  }
  const int status = lmc_free(release.data(), static_cast<int>(release.size()));
  if (status != S_OKAY) return dberr_code(status, 512);
  return db_status = S_OKAY;
}

int free_item(lock_descr *d, int msg_trans, int msg_free) {
  if (!shared()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, msg_trans);
  if (d->state == 'f') return dberr_code(S_NOTLOCKED, msg_free);
  if (free_files(*d) != S_OKAY) return db_status;
  d->state = d->prev = 'f';
  return db_status = S_OKAY;
}

int key_field(long field, int msg, int *index) {
  field_entry *fld;
  if (nfld_check(field, nullptr, nullptr, index, &fld) != S_OKAY) return db_status;
  if (fld->key == 'n') return dberr_code(S_NOTKEY, msg);
  return S_OKAY;
}

int lock_one(int item, char type) {
  if (!shared()) return db_status = S_OKAY;
  LOCK_REQUEST request{item, type};
  return lock_items(1, &request);
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

// The record lock bit is changed across processes under a short 'R' lock
// on its file, unless the task holds a write or exclusive lock on it.
class bit_lock {
 public:
  explicit bit_lock(int file) : file_(file) {}
  int take() {
    const file_lock &fl = kt().file_locks[file_];
    if (fl.app == -1 || fl.excl > 0) return S_OKAY;
    lock_message msg;
    msg.add(file_, 'R');
    answer a;
    int status = request_files(msg, &a, 125);
    taken_ = status == S_OKAY;
    return status;
  }
  // Gives the 'R' lock back, or back to a read lock when the file is
  // read-locked.
  int give_back() {
    if (!taken_) return S_OKAY;
    taken_ = false;
    if (kt().file_locks[file_].app > 0) {
      lock_message msg;
      msg.add(file_, 'r');
      answer a;
      return request_files(msg, &a, 125);
    }
    const int16_t id = lm_id(file_);
    const int status = lmc_free(&id, 1);
    return status == S_OKAY ? S_OKAY : dberr_code(status, 512);
  }

 private:
  int file_;
  bool taken_ = false;
};

}  // namespace

namespace {

// Every lock descriptor of the task: record types, sets, fields.
template <typename Visit>
void each_descr(Visit visit) {
  db_task &t = kt();
  const struct {
    lock_descr *table;
    int size;
  } tables[] = {{t.rec_locks, t.size_rt}, {t.set_locks, t.size_st}, {t.fld_locks, t.size_fd}};
  for (const auto &tb : tables)
    for (int i = 0; i < tb.size; ++i) visit(tb.table[i]);
}

// What the end of the locks' transaction leaves of them: a kept lock is a
// read lock, an exclusive one stays, any other is free.
void end_descriptors() {
  each_descr([](lock_descr &d) {
    if (d.kept) d.state = 'r';
    else if (d.state != 'x') d.state = 'f';
    d.prev = d.state;
    d.kept = 0;
  });
}

}  // namespace

bool journal_in_use() {
  db_task &t = kt();
  if (opt_on(OPT_JOURNAL) || t.tjf_fd >= 0) return true;
  char path[PATHLEN];
  vpathcpy(path, t.tjf_name, PATHLEN);
  return prefix_dbwdir(path) == S_OKAY && access(path, F_OK) == 0;
}

// ---- checks of the page cache ----

int lock_check_read(int file, int msg) {
  db_task &t = kt();
  if (t.open_state != 1 || !t.file_locks || file < 0 || file >= t.size_ft) return S_OKAY;
  if (t.file_table[file].flags & FILE_STATIC) return S_OKAY;
  const file_lock &fl = t.file_locks[file];
  if (fl.app == 0 && fl.excl == 0) return dberr_code(S_NOTLOCKED, msg, "%s", t.file_table[file].name);
  return S_OKAY;
}

int lock_check_write(int file, int msg_outside, int msg_unlocked) {
  db_task &t = kt();
  if (t.open_state != 1 || !t.file_locks || file < 0 || file >= t.size_ft) return S_OKAY;
  if (t.file_table[file].flags & FILE_STATIC) return S_OKAY;
  const file_lock &fl = t.file_locks[file];
  if (!trans_active() && fl.excl == 0) return dberr_code(S_NOTRANS, msg_outside, "%s", t.file_table[file].name);
  if (fl.app >= 0 && fl.excl == 0) return dberr_code(S_NOTLOCKED, msg_unlocked, "%s", t.file_table[file].name);
  return S_OKAY;
}

bool lock_exclusive(int file) {
  db_task &t = kt();
  return t.open_state == 1 && t.file_locks && file >= 0 && file < t.size_ft && t.file_locks[file].excl > 0;
}

bool lock_any_held() {
  db_task &t = kt();
  if (t.open_state != 1 || !t.file_locks) return false;
  for (int f = 0; f < t.size_ft; ++f)
    if (t.file_locks[f].app != 0 || t.file_locks[f].excl > 0) return true;
  return false;
}

// ---- commit and abort ----

int lock_commit_upgrade() {
  db_task &t = kt();
  if (!shared()) return db_status = S_OKAY;
  lock_message msg;
  for (int f = 0; f < t.size_ft; ++f)
    if (t.file_locks[f].app == -2) msg.add(f, 'w');
  if (msg.empty()) return db_status = S_OKAY;
  answer a;
  if (request_files(msg, &a, 124) != S_OKAY) return db_status;
  for (int f : msg.files()) t.file_locks[f].app = -1;
  each_descr([](lock_descr &d) {
    if (d.state == 'i') d.state = 'w';
  });
  return db_status = S_OKAY;
}

int lock_commit_release() {
  db_task &t = kt();
  if (!shared()) return db_status = S_OKAY;
  lock_message reads;
  std::vector<int16_t> release;
  for (int f = 0; f < t.size_ft; ++f) {
    file_lock &fl = t.file_locks[f];
    const int32_t was = fl.app;
    fl.app = fl.kept;
    fl.kept = 0;
    if (fl.excl > 0 || was == 0) continue;
    if (was < 0 && fl.app > 0) reads.add(f, 'r');
    else if (fl.app == 0) release.push_back(lm_id(f));
  }
  end_descriptors();
  int status = S_OKAY;
  if (!reads.empty()) {
    answer a;
    status = request_files(reads, &a, 125);
  }
  const int lm = lmc_free(release.data(), static_cast<int>(release.size()));
  if (lm != S_OKAY && status == S_OKAY) status = dberr_code(lm, 512);
  key_reset(t.size_ft);
  return db_status = status;
}

void lock_abort_keep() {
  db_task &t = kt();
  if (!shared()) return;
  for (int f = 0; f < t.size_ft; ++f) t.file_locks[f].kept = 0;
  each_descr([](lock_descr &d) { d.kept = 0; });
}

int free_dblocks(int dbn) {
  db_task &t = kt();
  if (t.open_state != 1 || !t.file_locks) {
    key_reset(t.size_ft);
    return db_status = S_OKAY;
  }
  int first = 0, count = t.size_ft;
  if (dbn >= 0 && t.no_of_dbs > 1) {
    first = t.db_table[dbn].slice[TBL_FILE].first;
    count = t.db_table[dbn].slice[TBL_FILE].count;
  }
  std::vector<int16_t> release;
  for (int f = first; f < first + count; ++f) {
    file_lock &fl = t.file_locks[f];
    if (fl.app == 0) continue;
    fl.app = 0;
    if (fl.excl == 0) release.push_back(lm_id(f));
  }
  if (dbn < 0) end_descriptors();
  key_reset(t.size_ft);
  const int status = lmc_free(release.data(), static_cast<int>(release.size()));
  if (status != S_OKAY) return dberr_code(status, 512);
  return db_status = S_OKAY;
}

// ---- the calls ----

int dt_lock(int count, LOCK_REQUEST *requests, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (!shared()) return db_status = S_OKAY;
  return lock_items(count, requests);
}

int dt_reclock(int rec, char type, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nrec_check(rec, nullptr, nullptr) != S_OKAY) return db_status;
  return lock_one(rec, type);
}

int dt_setlock(int set, char type, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nset_check(set, nullptr, nullptr) != S_OKAY) return db_status;
  return lock_one(set, type);
}

int dt_keylock(long field, char type, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (key_field(field, 107, &index) != S_OKAY) return db_status;
  return lock_one(30000 + index - curr_dbt()->slice[TBL_FIELD].first, type);
}

int dt_recfree(int rec, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (nrec_check(rec, &index, nullptr) != S_OKAY) return db_status;
  return free_item(shared() ? &kt().rec_locks[index] : nullptr, 130, 131);
}

int dt_setfree(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (nset_check(set, &index, nullptr) != S_OKAY) return db_status;
  return free_item(shared() ? &kt().set_locks[index] : nullptr, 132, 133);
}

int dt_keyfree(long field, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (key_field(field, 127, &index) != S_OKAY) return db_status;
  return free_item(shared() ? &kt().fld_locks[index] : nullptr, 128, 129);
}

int dt_reclstat(int rec, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  record_entry *re;
  int index;
  if (nrec_check(rec, &index, &re) != S_OKAY) return db_status;
  *state = !shared() ? 'f' : (re->flags & REC_STATIC) ? 's' : kt().rec_locks[index].state;
  return db_status = S_OKAY;
}

int dt_setlstat(int set, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (nset_check(set, &index, nullptr) != S_OKAY) return db_status;
  *state = shared() ? kt().set_locks[index].state : 'f';
  return db_status = S_OKAY;
}

int dt_keylstat(long field, char *state, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int index;
  if (key_field(field, 108, &index) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!shared()) *state = 'f';
  else if (t.file_table[t.field_table[index].key_file].flags & FILE_STATIC) *state = 's';
  else *state = t.fld_locks[index].state;
  return db_status = S_OKAY;
}

int dt_freeall(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (!kt().open_state) return dberr_code(S_DBOPEN, 135);
  if (!shared()) return db_status = S_OKAY;
  if (trans_active()) return dberr_code(S_TRFREE, 136);
  return free_dblocks(-1);
}

int dt_timeout(int seconds, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!t.open_state) return dberr_code(S_DBOPEN, 90);
  if (shared()) {
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
  bit_lock lock(file_of(dba));
  if (shared() && lock.take() != S_OKAY) return db_status;
  uint16_t word;
  int status = dio_rrlb(dba, &word);
  if (status == S_OKAY) {
    if (word & RLB_MASK) rlb_status = S_LOCKED;
    else rlb_status = status = dio_wrlb(dba, static_cast<uint16_t>(word | RLB_MASK));
  }
  if (lock.give_back() != S_OKAY && status == S_OKAY) status = db_status;
  return db_status = status != S_OKAY ? status : rlb_status;
}

int dt_rlbclr(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address dba = 0;
  if (current_record_file(138, 141, &dba) != S_OKAY) return db_status;
  const int file = file_of(dba);
  bit_lock lock(file);
  if (shared()) {
    if (!trans_active()) {
      if (lock.take() != S_OKAY) return db_status;
    } else if (kt().file_locks[file].app >= 0 && kt().file_locks[file].excl == 0) {
      return dberr_code(S_NOTLOCKED, 142);
    }
  }
  int status = dio_wrlb(dba, 0);
  if (lock.give_back() != S_OKAY && status == S_OKAY) status = db_status;
  if (status != S_OKAY) return db_status = status;
  rlb_status = S_UNLOCKED;
  return db_status = rlb_status;
}
