// Opening databases into a task and closing them again.
//
// An open reads each database's dictionary and appends its tables to the
// task's combined tables, sets up the page cache, the activity file and the
// overflow file and runs the recovery check. A close undoes each step;
// closing one database of several removes exactly its slice of every table
// and renumbers the slices behind it.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_lockmgr.h"

namespace {

// Removes entries [first, first + count) of a table of `size` entries.
template <typename T>
void remove_slice(T **table, int first, int count, int size) {
  if (!*table || count <= 0 || first >= size) return;
  int last = first + count - 1;
  if (last >= size) last = size - 1;
  free_table(reinterpret_cast<void **>(table), first, last, size, sizeof(T));
}

void recompute_stamps() {
  db_task &t = kt();
  t.rec_stamped = t.set_stamped = 0;
  for (int r = 0; r < t.size_rt; ++r)
    if (t.record_table[r].flags & REC_TIMESTAMPED) t.rec_stamped = 1;
  for (int s = 0; s < t.size_st; ++s)
    if (t.set_table[s].flags & SET_TIMESTAMPED) t.set_stamped = 1;
}

void reset_task_after_close_all() {
  db_task &t = kt();
  t.no_of_dbs = 0;
  t.curr_db = t.default_db = -1;
  t.open_state = 0;
  t.use_lockmgr = 1;
  t.lock_retry_delay = 1;
  t.lockmgr_logged_in = 0;
  t.size_ft = t.size_rt = t.size_fd = t.size_st = t.size_mt = t.size_srt = t.size_kt = 0;
  t.current_record = 0;
  t.cr_time = 0;
  t.rec_stamped = t.set_stamped = 0;
  t.largest_page = 0;
  t.ov_in_use = t.ov_setup = t.ov_active = t.ov_evicted = 0;
  t.ov_file = 0;
  t.key_count = 0;
}

// Releases everything an open of all databases set up (without writing).
void teardown_all() {
  db_task &t = kt();
  if (t.file_table) {
    dio_clear();
    for (int f = 0; f <= t.size_ft; ++f) dio_close(f);
  }
  taf_close();
  ctbl_free();
  tjf_close();
  o_free(-1);
  key_close(-1);
  dio_iclose(-1);
  termfree(-1);
  sk_free();
  dio_free();
  reset_task_after_close_all();
}

// The first opener after the lock-manager area was made (a reboot) writes
// the journal's committed transactions into the files again, then
// completes what the activity file lists.
int first_opener_recovery() {
  if (journal_in_use()) {
    const int status = tjf_roll_forward(true);
    if (status != S_OKAY) {
      const int lm = lmc_recovery_failed();
      if (lm != S_OKAY) dberr_code(lm, 503);
      return db_status = status;
    }
  }
  return recovery_check();
}

// The shared branch of an open: the task logs in (once), tells the lock
// manager which files this open adds, recovers what it is told to, and
// enters the lock manager's indexes of the files. `opened` receives those
// indexes as soon as the lock manager has the files open for this task.
int lock_manager_open(bool *first_login, std::vector<int16_t> *opened) {
  db_task &t = kt();
  if (!t.lm.base) {
    const int lm = lmc_login();
    if (lm != S_OKAY) return dberr_code(lm, 504);
    *first_login = true;
    t.lock_timeout = lm::DEFAULT_TIMEOUT;
  }
  const int first = old_size_ft, count = t.size_ft - old_size_ft;
  std::vector<lm::file_id> files(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    struct stat st;
    if (stat(t.file_table[first + i].name, &st) < 0)
      return dberr_code(S_NOFILE, 100, "%s: %s", t.file_table[first + i].name, std::strerror(errno));
    files[static_cast<size_t>(i)] = {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
  }
  std::vector<int16_t> indexes(static_cast<size_t>(count));
  lm::reply reply;
  for (;;) {
    int lm = lmc_dbopen(files.data(), count, t.open_mode[0], &reply, indexes.data());
    if (lm != S_OKAY) return dberr_code(lm, 505);
    if (reply.status != lm::R_RECOVER) break;
    // A process died in the middle of a commit: it is completed first.
    recover_dead_user(reply.name);
    if ((lm = lmc_recovered()) != S_OKAY) return dberr_code(lm, 502);
  }
  if (reply.status != lm::R_DONE) return db_status = S_UNAVAIL;
  *opened = indexes;
  if (reply.what == lm::OPEN_ROLL_FORWARD && first_opener_recovery() != S_OKAY) return db_status;
  if (reply.what == lm::OPEN_RECOVERY_CHECK && recovery_check() != S_OKAY) return db_status;
  for (int i = 0; i < count; ++i) {
    for (int f = 0; f < first; ++f)
      if (t.lm_file_ids[f] == indexes[static_cast<size_t>(i)]) return dberr_code(S_DBCLOSE, 101);
    t.lm_file_ids[first + i] = indexes[static_cast<size_t>(i)];
  }
  t.lockmgr_logged_in = 1;
  return db_status = S_OKAY;
}

// A failed open gives back to the lock manager what it took there.
void undo_lock_manager_open(bool first_login, const std::vector<int16_t> &opened) {
  if (!opened.empty()) lmc_dbclose(opened.data(), static_cast<int>(opened.size()));
  if (first_login) {
    lmc_logout();
    kt().lockmgr_logged_in = 0;
  }
}

}  // namespace

int dupid_check() {
  db_task &t = kt();
  auto same_user = [&](const db_task *other) {
    return other != &t && other->open_state != 0 && std::strcmp(other->user_id, t.user_id) == 0;
  };
  int matches = same_user(&db_global) ? 1 : 0;
  for (int i = 0; i < task_count; ++i)
    if (same_user(Db_task_table[i])) ++matches;
  if (matches) return dberr_code(S_DUPUSERID, 94, "%s", t.user_id);
  return S_OKAY;
}

int initdbt(const char *names) {
  db_task &t = kt();
  old_no_of_dbs = t.db_table ? t.no_of_dbs : 0;
  int added = 1;
  for (const char *p = names; *p; ++p)
    if (*p == ';') ++added;
  int n = old_no_of_dbs + added;
  if (alloc_table(reinterpret_cast<void **>(&t.db_table), sizeof(db_entry) * n,
                  sizeof(db_entry) * old_no_of_dbs) != S_OKAY ||
      alloc_table(reinterpret_cast<void **>(&t.scan_table), sizeof(scan_entry) * n,
                  sizeof(scan_entry) * old_no_of_dbs) != S_OKAY)
    return db_status;
  t.no_of_dbs = static_cast<int16_t>(n);
  const char *start = names;
  for (int i = old_no_of_dbs; i < n; ++i) {
    const char *semi = std::strchr(start, ';');
    size_t len = semi ? static_cast<size_t>(semi - start) : std::strlen(start);
    if (len > 1024) return db_status = S_NAMELEN;
    char name[PATHLEN];
    std::memcpy(name, start, len);
    name[len] = '\0';
    db_entry &db = t.db_table[i];
    char *sep = std::strrchr(name, '/');
    if (!sep) sep = std::strrchr(name, ':');
    const char *base = sep ? sep + 1 : name;
    if (std::strlen(base) > DBNMLEN - 1) return dberr_code(S_NAMELEN, 95, "%s", base);
    if (sep) {
      size_t dirlen = static_cast<size_t>(sep - name) + 1;
      if (dirlen > 1009) return dberr_code(S_NAMELEN, 96);
      std::memcpy(db.path, name, dirlen);
      db.path[dirlen] = '\0';
    }
    std::strcpy(db.name, base);
    t.scan_table[i] = {-1, 0};
    start = semi ? semi + 1 : start + len;
  }
  return db_status = S_OKAY;
}

int dopen(const char *names, const char *mode, bool incremental) {
  db_task &t = kt();
  if (!names) return dberr_code(S_INVPTR, 730);

  if (!incremental) {
    if (t.open_state && close_databases(-1) != S_OKAY) return db_status;
  } else {
    if (!t.open_state) return dberr_code(S_DBOPEN, 91);
    if (trans_active()) return dberr_code(S_TRACTIVE, 92);
  }

  // What a failed open puts back.
  const int saved_state = t.open_state;
  const int saved_dbs = t.no_of_dbs;
  const int saved_sizes[TBL_COUNT] = {t.size_ft, t.size_rt, t.size_fd, t.size_st,
                                      t.size_mt, t.size_srt, t.size_kt};
  const int saved_keys = t.key_count;
  const int16_t saved_largest = t.largest_page;
  const int saved_curr = t.curr_db, saved_default = t.default_db;
  const db_address saved_cr = t.current_record;
  file_entry saved_ov{};
  if (incremental && t.file_table) saved_ov = t.file_table[t.size_ft];

  if (!incremental) {
    char letter = mode ? mode[0] : '\0';
    switch (letter) {
      case 'c': case 'n': case 'o': case 't':
        t.use_lockmgr = 0;
        std::strcpy(t.open_mode, "x");
        break;
      case 's': case 'x':
        t.use_lockmgr = 1;
        t.open_mode[0] = letter;
        t.open_mode[1] = '\0';
        break;
      case '\0':
        std::strcpy(t.open_mode, "x");
        break;
      default:
        return dberr_code(S_BADTYPE, 93, "open mode \"%s\"", mode);
    }
    if (initenv() != S_OKAY) return db_status;
    // The user id is known once the environment is read.
    if (dupid_check() != S_OKAY) return db_status;
    if (tjf_init() != S_OKAY) return db_status;
    t.checkpoint_needed = 0;
    if (ctb_init() != S_OKAY) return db_status;
  } else {
    o_close();
  }

  bool added_keys = false, added_locks = false, first_login = false;
  std::vector<int16_t> lm_opened;
  int status = S_OKAY;
  do {
    if (initdbt(names) != S_OKAY || inittab() != S_OKAY || renfiles() != S_OKAY) break;
    t.open_state = t.open_mode[0] == 's' && t.use_lockmgr ? 1 : 2;
    if (locktab_extend() != S_OKAY) break;
    added_locks = true;
    if (dio_init() != S_OKAY) break;
    if (!incremental && taf_open() != S_OKAY) break;
    if (!t.use_lockmgr) {
      if ((incremental || !mode || mode[0] != 'c') && recovery_check() != S_OKAY) break;
    } else if (lock_manager_open(&first_login, &lm_opened) != S_OKAY) {
      break;
    }
    if (o_setup() != S_OKAY) break;
    added_keys = true;
    if (key_open() != S_OKAY) break;
    return db_status = S_OKAY;
  } while (false);
  status = db_status;
  if (t.use_lockmgr) undo_lock_manager_open(first_login, lm_opened);

  // Put back what was there before this open.
  if (!incremental || saved_dbs == 0) {
    teardown_all();
  } else {
    for (int f = saved_sizes[TBL_FILE]; f < t.size_ft; ++f) {
      dio_close(f);
      if (f < t.pgzero_size) dio_clrfile(f);
    }
    if (added_keys) {
      for (int k = saved_keys; k < t.key_count; ++k) {
        d_free(&t.key_pos[k].path);
        d_free(&t.key_pos[k].value);
      }
      t.key_count = saved_keys;
    }
    if (t.pgzero_size > saved_sizes[TBL_FILE]) t.pgzero_size = saved_sizes[TBL_FILE];
    if (added_locks) locktab_forget_after(saved_sizes);
    set_table_sizes(t, saved_sizes);
    t.file_table[t.size_ft] = saved_ov;
    t.ov_file = static_cast<int16_t>(t.size_ft);
    t.no_of_dbs = static_cast<int16_t>(saved_dbs);
    t.largest_page = saved_largest;
    t.curr_db = saved_curr;
    t.default_db = saved_default;
    t.current_record = saved_cr;
    t.open_state = saved_state;
    recompute_stamps();
    taf_close();
  }
  return db_status = status;
}

int close_databases(int dbn) {
  db_task &t = kt();
  if (t.no_of_dbs <= 1) dbn = -1;

  if (trans_active()) {
    if (dt_trabort(nullptr) != S_OKAY) return db_status;
  } else if (dio_flush() != S_OKAY) {
    // Nothing is closed while changed pages could not be written.
    return db_status;
  }
  int first_error = S_OKAY;
  auto keep = [&](int status) {
    if (status != S_OKAY && first_error == S_OKAY) first_error = status;
  };
  keep(dio_clear());

  if (dbn < 0) {
    keep(dt_closeall());
    ctbl_free();
  } else {
    const table_slice &fs = t.db_table[dbn].slice[TBL_FILE];
    for (int f = fs.first; f < fs.first + fs.count; ++f) keep(dio_close(f));
  }
  keep(tjf_close());
  keep(free_dblocks(dbn));
  keep(o_free(dbn));
  key_close(dbn);
  dio_iclose(dbn);
  if (t.use_lockmgr && t.lockmgr_logged_in) {
    int first = 0, count = t.size_ft;
    if (dbn >= 0) {
      first = t.db_table[dbn].slice[TBL_FILE].first;
      count = t.db_table[dbn].slice[TBL_FILE].count;
    }
    std::vector<int16_t> ids(t.lm_file_ids + first, t.lm_file_ids + first + count);
    int lm = lmc_dbclose(ids.data(), count);
    if (lm != S_OKAY) keep(dberr_code(lm, 507));
    if (dbn < 0 && (lm = lmc_logout()) != S_OKAY) keep(dberr_code(lm, 507));
  }
  termfree(dbn);
  sk_free();
  if (dbn < 0) {
    dio_free();
    reset_task_after_close_all();
  } else {
    --t.no_of_dbs;
    if (t.curr_db > dbn) --t.curr_db;
    else if (t.curr_db == dbn) t.curr_db = 0;
    if (t.default_db > dbn) --t.default_db;
    else if (t.default_db == dbn) t.default_db = 0;
    t.current_record = t.db_table[t.curr_db].saved_cr;
    recompute_stamps();
  }
  return db_status = first_error;
}

void termfree(int dbn) {
  db_task &t = kt();
  locktab_remove(dbn);
  if (dbn < 0) {
    d_free(&t.curr_own);
    d_free(&t.curr_mem);
    d_free(&t.co_time);
    d_free(&t.cm_time);
    d_free(&t.cs_time);
    d_free(&t.set_table);
    d_free(&t.member_table);
    d_free(&t.sort_table);
    d_free(&t.field_table);
    d_free(&t.key_table);
    d_free(&t.record_table);
    d_free(&t.file_table);
    d_free(&t.db_table);
    d_free(&t.scan_table);
    d_free(&t.ring);
    t.ring_size = 0;
    t.ring_hand = 0;
    t.open_files = 0;
    t.size_ft = t.size_rt = t.size_fd = t.size_st = t.size_mt = t.size_srt = t.size_kt = 0;
    t.no_of_dbs = 0;
    return;
  }
  const db_entry db = t.db_table[dbn];
  int c[TBL_COUNT], f[TBL_COUNT];
  for (int k = 0; k < TBL_COUNT; ++k) {
    c[k] = db.slice[k].count;
    f[k] = db.slice[k].first;
  }
  int removed_keys = 0;
  for (int i = f[TBL_FIELD]; i < f[TBL_FIELD] + c[TBL_FIELD]; ++i)
    if (t.field_table[i].key != 'n') ++removed_keys;

  remove_slice(&t.curr_own, f[TBL_SET], c[TBL_SET], t.size_st);
  remove_slice(&t.curr_mem, f[TBL_SET], c[TBL_SET], t.size_st);
  remove_slice(&t.co_time, f[TBL_SET], c[TBL_SET], t.size_st);
  remove_slice(&t.cm_time, f[TBL_SET], c[TBL_SET], t.size_st);
  remove_slice(&t.cs_time, f[TBL_SET], c[TBL_SET], t.size_st);

  remove_slice(&t.set_table, f[TBL_SET], c[TBL_SET], t.size_st);
  t.size_st -= c[TBL_SET];
  for (int i = f[TBL_SET]; i < t.size_st; ++i) {
    t.set_table[i].owner = static_cast<int16_t>(t.set_table[i].owner - c[TBL_RECORD]);
    t.set_table[i].first_member = static_cast<int16_t>(t.set_table[i].first_member - c[TBL_MEMBER]);
  }
  remove_slice(&t.member_table, f[TBL_MEMBER], c[TBL_MEMBER], t.size_mt);
  t.size_mt -= c[TBL_MEMBER];
  for (int i = f[TBL_MEMBER]; i < t.size_mt; ++i) {
    t.member_table[i].record = static_cast<int16_t>(t.member_table[i].record - c[TBL_RECORD]);
    t.member_table[i].first_sort = static_cast<int16_t>(t.member_table[i].first_sort - c[TBL_SORT]);
  }
  remove_slice(&t.sort_table, f[TBL_SORT], c[TBL_SORT], t.size_srt);
  t.size_srt -= c[TBL_SORT];
  for (int i = f[TBL_SORT]; i < t.size_srt; ++i) {
    t.sort_table[i].field = static_cast<int16_t>(t.sort_table[i].field - c[TBL_FIELD]);
    t.sort_table[i].set = static_cast<int16_t>(t.sort_table[i].set - c[TBL_SET]);
  }
  remove_slice(&t.field_table, f[TBL_FIELD], c[TBL_FIELD], t.size_fd);
  t.size_fd -= c[TBL_FIELD];
  for (int i = f[TBL_FIELD]; i < t.size_fd; ++i) {
    field_entry &fd = t.field_table[i];
    fd.record = static_cast<int16_t>(fd.record - c[TBL_RECORD]);
    if (fd.key != 'n') {
      fd.key_file = static_cast<int16_t>(fd.key_file - c[TBL_FILE]);
      fd.key_number = static_cast<int16_t>(fd.key_number - removed_keys);
    }
    if (fd.type == 'k') fd.offset = static_cast<int16_t>(fd.offset - c[TBL_KEY]);
  }
  remove_slice(&t.key_table, f[TBL_KEY], c[TBL_KEY], t.size_kt);
  t.size_kt -= c[TBL_KEY];
  for (int i = f[TBL_KEY]; i < t.size_kt; ++i) {
    t.key_table[i].compound = static_cast<int16_t>(t.key_table[i].compound - c[TBL_FIELD]);
    t.key_table[i].component = static_cast<int16_t>(t.key_table[i].component - c[TBL_FIELD]);
  }
  remove_slice(&t.record_table, f[TBL_RECORD], c[TBL_RECORD], t.size_rt);
  t.size_rt -= c[TBL_RECORD];
  for (int i = f[TBL_RECORD]; i < t.size_rt; ++i) {
    t.record_table[i].file = static_cast<int16_t>(t.record_table[i].file - c[TBL_FILE]);
    t.record_table[i].first_field = static_cast<int16_t>(t.record_table[i].first_field - c[TBL_FIELD]);
  }
  // The file table keeps the overflow file's entry behind the database files.
  remove_slice(&t.file_table, f[TBL_FILE], c[TBL_FILE], t.size_ft + 1);
  t.size_ft -= c[TBL_FILE];
  for (int i = 0; i < t.ring_size; ++i) {
    ring_entry &r = t.ring[i];
    if (r.file < 0) continue;
    if (r.file >= f[TBL_FILE] && r.file < f[TBL_FILE] + c[TBL_FILE]) r = {-1, 0};
    else if (r.file >= f[TBL_FILE] + c[TBL_FILE]) r.file -= c[TBL_FILE];
  }

  remove_slice(&t.db_table, dbn, 1, t.no_of_dbs);
  remove_slice(&t.scan_table, dbn, 1, t.no_of_dbs);
  for (int i = dbn; i < t.no_of_dbs - 1; ++i) {
    db_entry &later = t.db_table[i];
    for (int k = 0; k < TBL_COUNT; ++k)
      later.slice[k].first = static_cast<int16_t>(later.slice[k].first - c[k]);
    later.first_key = static_cast<int16_t>(later.first_key - removed_keys);
  }
}

int dt_closeall() {
  db_task &t = kt();
  int first_error = S_OKAY;
  for (int f = 0; f < t.size_ft; ++f) {
    int status = dio_close(f);
    if (status != S_OKAY && first_error == S_OKAY) first_error = status;
  }
  int status = o_close();
  if (status != S_OKAY && first_error == S_OKAY) first_error = status;
  taf_close();
  return db_status = first_error;
}

int dt_open(const char *names, const char *mode, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  return dopen(names, mode, false);
}

int dt_iopen(const char *names, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  return dopen(names, nullptr, true);
}

int dt_close(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  if (kt().open_state == 0) return db_status = S_OKAY;
  return dt_iclose(nullptr, -1);
}

int dt_iclose(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  return close_databases(dbn);
}
