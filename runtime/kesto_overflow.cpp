// The overflow file's place among the task's files. The file holds the pages
// that a transaction changes until it commits; its entry in the file table
// follows the files of all open databases.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

constexpr int OV_PAGE_SIZE = 1024;

}  // namespace

int o_setup() {
  db_task &t = kt();
  // The log name: the user id and ".log", in the directory DBLOG names when
  // it ends in '/', else DBLOG itself.
  char name[2 * PATHLEN];
  size_t n = std::strlen(t.log_name);
  if (n == 0 || t.log_name[n - 1] == '/') {
    if (n + std::strlen(t.user_id) + 4 > 1024) return dberr_code(S_NAMELEN, 760);
    std::strcpy(name, t.log_name);
    std::strcat(name, t.user_id);
    std::strcat(name, ".log");
    std::strcpy(t.log_name, name);
  }
  const int files = t.size_ft;
  const int old_files = old_size_ft;
  t.ov_file = static_cast<int16_t>(files);
  t.ov_setup = 0;
  if (files > old_files || !t.ov_table) {
    if (alloc_table(reinterpret_cast<void **>(&t.ov_table), sizeof(ov_entry) * (files ? files : 1),
                    sizeof(ov_entry) * (t.ov_table ? old_files : 0)) != S_OKAY)
      return db_status;
  }
  t.ov_evicted = 0;
  t.ov_root = 6 + static_cast<uint32_t>(files) * 1027;
  t.ov_initial = t.ov_next = t.ov_root + static_cast<uint32_t>(files) * 16;
  file_entry &fe = t.file_table[files];
  std::strcpy(name, t.log_name);
  if (prefix_dbwdir(name) != S_OKAY) return db_status;
  std::memset(&fe, 0, sizeof fe);
  std::strcpy(fe.name, name);
  fe.desc = -1;
  fe.status = 'c';
  fe.type = 'o';
  fe.slots = 1;
  fe.slot_size = OV_PAGE_SIZE;
  fe.page_size = OV_PAGE_SIZE;
  t.ov_in_use = 1;
  return db_status = S_OKAY;
}

int o_close() {
  db_task &t = kt();
  if (!t.ov_in_use || !t.file_table) return S_OKAY;
  return dio_close(t.ov_file);
}

int o_free(int dbn) {
  db_task &t = kt();
  int status = o_close();
  dio_ixclear();
  t.ov_setup = 0;
  if (!t.ov_table) return status;
  if (dbn < 0) {
    for (int f = 0; f < t.size_ft; ++f) d_free(&t.ov_table[f].bitmap);
    d_free(&t.ov_table);
    t.ov_file = 0;
    t.ov_in_use = 0;
    return status;
  }
  const table_slice &fs = t.db_table[dbn].slice[TBL_FILE];
  for (int f = fs.first + fs.count - 1; f >= fs.first; --f) {
    d_free(&t.ov_table[f].bitmap);
    --t.ov_file;
  }
  if (fs.count) free_table(reinterpret_cast<void **>(&t.ov_table), fs.first, fs.first + fs.count - 1,
                           t.size_ft, sizeof(ov_entry));
  return status;
}
