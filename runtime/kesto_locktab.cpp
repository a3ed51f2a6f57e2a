// The lock tables of a task that uses the lock manager: per file its index
// in the lock manager's file table (both lock-manager modes) and, in a
// shared open, the task's lock counts per file and a lock descriptor per
// record type, set and field.
//
// A record type's lock covers its data file and the key files of its keys,
// a set's lock the data files of its owner and member types, a key's lock
// its key file. Static files are never locked and appear in no list.
#include <algorithm>
#include <vector>

#include "runtime/kesto_internal.h"

namespace {

void free_lists(lock_descr *table, int first, int count) {
  if (!table) return;
  for (int i = first; i < first + count; ++i) d_free(&table[i].files);
}

int make_descr(lock_descr &d, std::vector<int> files) {
  db_task &t = kt();
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&](int f) { return f < 0 || (t.file_table[f].flags & FILE_STATIC); }),
              files.end());
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  d = lock_descr{nullptr, static_cast<int16_t>(files.size()), 0, 'f', 'f'};
  if (files.empty()) return S_OKAY;
  d.files = static_cast<int16_t *>(d_alloc(files.size() * sizeof(int16_t)));
  if (!d.files) return dberr_code(S_NOMEMORY, 102);
  for (size_t i = 0; i < files.size(); ++i) d.files[i] = static_cast<int16_t>(files[i]);
  return S_OKAY;
}

template <typename T>
int grow(T **table, int now, int before) {
  return alloc_table(reinterpret_cast<void **>(table), sizeof(T) * static_cast<size_t>(now),
                     sizeof(T) * static_cast<size_t>(before));
}

template <typename T>
void remove_slice(T **table, int first, int count, int size) {
  if (!*table || count <= 0 || first >= size) return;
  int last = std::min(first + count, size) - 1;
  free_table(reinterpret_cast<void **>(table), first, last, size, sizeof(T));
}

// A removed database's files leave the later descriptors' file numbers
// lower by their count.
void rebase(lock_descr *table, int size, int first_file, int file_count) {
  if (!table) return;
  for (int i = 0; i < size; ++i)
    for (int k = 0; k < table[i].count; ++k)
      if (table[i].files[k] >= first_file + file_count) table[i].files[k] = static_cast<int16_t>(table[i].files[k] - file_count);
}

}  // namespace

int locktab_extend() {
  db_task &t = kt();
  if (!t.use_lockmgr) return db_status = S_OKAY;
  if (grow(&t.lm_file_ids, t.size_ft, old_size_ft) != S_OKAY) return db_status;
  for (int f = old_size_ft; f < t.size_ft; ++f) t.lm_file_ids[f] = -1;
  if (t.open_state != 1) return db_status = S_OKAY;

  if (grow(&t.file_locks, t.size_ft, old_size_ft) != S_OKAY || grow(&t.rec_locks, t.size_rt, old_size_rt) != S_OKAY ||
      grow(&t.set_locks, t.size_st, old_size_st) != S_OKAY || grow(&t.fld_locks, t.size_fd, old_size_fd) != S_OKAY)
    return dberr_code(S_NOMEMORY, 103);
  auto failed = [&]() {
    const int old[TBL_COUNT] = {old_size_ft, old_size_rt, old_size_fd, old_size_st, old_size_mt, old_size_srt, old_size_kt};
    locktab_forget_after(old);
    return db_status;
  };
  for (int r = old_size_rt; r < t.size_rt; ++r) {
    const record_entry &re = t.record_table[r];
    std::vector<int> files{re.file};
    for (int f = re.first_field; f < re.first_field + (re.field_count > 0 ? re.field_count : 0); ++f)
      if (t.field_table[f].key != 'n') files.push_back(t.field_table[f].key_file);
    if (make_descr(t.rec_locks[r], files) != S_OKAY) return failed();
  }
  for (int s = old_size_st; s < t.size_st; ++s) {
    const set_entry &se = t.set_table[s];
    std::vector<int> files{t.record_table[se.owner].file};
    for (int m = se.first_member; m < se.first_member + se.member_count; ++m)
      files.push_back(t.record_table[t.member_table[m].record].file);
    if (make_descr(t.set_locks[s], files) != S_OKAY) return failed();
  }
  for (int f = old_size_fd; f < t.size_fd; ++f) {
    const field_entry &fe = t.field_table[f];
    std::vector<int> files;
    if (fe.key != 'n') files.push_back(fe.key_file);
    if (make_descr(t.fld_locks[f], files) != S_OKAY) return failed();
  }
  return db_status = S_OKAY;
}

void locktab_remove(int dbn) {
  db_task &t = kt();
  if (dbn < 0) {
    free_lists(t.rec_locks, 0, t.size_rt);
    free_lists(t.set_locks, 0, t.size_st);
    free_lists(t.fld_locks, 0, t.size_fd);
    d_free(&t.rec_locks);
    d_free(&t.set_locks);
    d_free(&t.fld_locks);
    d_free(&t.file_locks);
    d_free(&t.lm_file_ids);
    return;
  }
  const db_entry &db = t.db_table[dbn];
  const table_slice &files = db.slice[TBL_FILE], &recs = db.slice[TBL_RECORD], &sets = db.slice[TBL_SET],
                    &flds = db.slice[TBL_FIELD];
  free_lists(t.rec_locks, recs.first, recs.count);
  free_lists(t.set_locks, sets.first, sets.count);
  free_lists(t.fld_locks, flds.first, flds.count);
  remove_slice(&t.rec_locks, recs.first, recs.count, t.size_rt);
  remove_slice(&t.set_locks, sets.first, sets.count, t.size_st);
  remove_slice(&t.fld_locks, flds.first, flds.count, t.size_fd);
  remove_slice(&t.file_locks, files.first, files.count, t.size_ft);
  remove_slice(&t.lm_file_ids, files.first, files.count, t.size_ft);
  rebase(t.rec_locks, t.size_rt - recs.count, files.first, files.count);
  rebase(t.set_locks, t.size_st - sets.count, files.first, files.count);
  rebase(t.fld_locks, t.size_fd - flds.count, files.first, files.count);
}

void locktab_forget_after(const int sizes[TBL_COUNT]) {
  db_task &t = kt();
  free_lists(t.rec_locks, sizes[TBL_RECORD], t.size_rt - sizes[TBL_RECORD]);
  free_lists(t.set_locks, sizes[TBL_SET], t.size_st - sizes[TBL_SET]);
  free_lists(t.fld_locks, sizes[TBL_FIELD], t.size_fd - sizes[TBL_FIELD]);
}
