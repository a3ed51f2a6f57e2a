// Space statistics of one file of the current database: how many slots or
// key nodes its size holds, how many are in use, and the most it can hold.
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"
#include "runtime/kesto_keynode.h"

namespace {

constexpr uint32_t KEY_CHAIN_END = 0xFFFFFFFFu;
constexpr int32_t POSITION_LIMIT = 2147483647;
constexpr int32_t SLOT_LIMIT = 16777215;

const char *base_name(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int file_size(int file, int msg, off_t *size) {
  db_task &t = kt();
  if (dio_open(file) != S_OKAY) return db_status;
  struct stat st;
  if (kesto_io()->fstat(t.file_table[file].desc, &st) < 0) return dberr_code(S_DBLERR, msg);
  *size = st.st_size;
  return S_OKAY;
}

// Deleted slots of a data file, following its chain through the cache.
int count_deleted_slots(int file, uint32_t next, int32_t *deleted) {
  db_task &t = kt();
  *deleted = 0;
  uint32_t slot = t.pgzero[file].head;
  // A chain never holds more slots than were handed out.
  for (uint32_t steps = 0; slot != 0 && slot < next && steps < next; ++steps) {
    char *rec;
    if (dio_read_slot(file, slot, &rec, 0) != S_OKAY) return db_status;
    if (!(rec_id(rec) & 0x8000)) dbout_code(550, 1, "Bad deleted rec (%ld)", static_cast<long>(slot));
    ++*deleted;
    slot = get_u32(rec + 2);
  }
  return S_OKAY;
}

// Freed nodes of a key file, following its chain through the cache.
int count_deleted_nodes(int file, uint32_t next, int32_t *deleted) {
  db_task &t = kt();
  *deleted = 0;
  int saved = dio_working_file();
  dio_setdef(file);
  uint32_t page = t.pgzero[file].head;
  int status = S_OKAY;
  for (uint32_t steps = 0; page != KEY_CHAIN_END && page >= 1 && page < next && steps < next; ++steps) {
    char *node;
    if ((status = dio_get(page, &node, 0)) != S_OKAY) break;
    if (keynode::count(node) != 0) dbout_code(551, 1, "Bad deleted node (%ld)", static_cast<long>(page));
    ++*deleted;
    page = get_u32(node + 6);
  }
  dio_setdef(saved);
  return db_status = status;
}

int fill(int file, db_file_stats *stats) {
  db_task &t = kt();
  const file_entry &fe = t.file_table[file];
  if (fe.type != 'd' && fe.type != 'k') return db_status = S_NOFILE;
  // A header changed in the cache is newer than the file's: reading it
  // again would forget slots already handed out.
  if (t.pgzero[file].next == 0 && dio_pzread(file) != S_OKAY) return db_status;
  off_t size = 0;
  if (file_size(file, fe.type == 'd' ? 159 : 160, &size) != S_OKAY) return db_status;
  const uint32_t next = t.pgzero[file].next;
  const int32_t page_size = fe.page_size;
  const int32_t pages = static_cast<int32_t>(size / page_size) - 1;
  int32_t deleted = 0;
  if (fe.type == 'd') {
    if (count_deleted_slots(file, next, &deleted) != S_OKAY) return db_status;
    stats->kind = 1;
    stats->allocated = pages * fe.slots;
    stats->in_use = static_cast<int32_t>(next) - 1 - deleted;
    int64_t most = static_cast<int64_t>(POSITION_LIMIT / page_size - 1) * fe.slots;
    stats->maximum = static_cast<int32_t>(most > SLOT_LIMIT ? SLOT_LIMIT : most);
  } else {
    if (count_deleted_nodes(file, next, &deleted) != S_OKAY) return db_status;
    stats->kind = 2;
    stats->allocated = pages;
    stats->in_use = static_cast<int32_t>(next) - 2 - deleted;
    stats->maximum = POSITION_LIMIT / page_size - 1;
  }
  vpathcpy(stats->name, base_name(fe.name), sizeof stats->name);
  return db_status = S_OKAY;
}

}  // namespace

int dt_getdbfilestats(const char *file_name, db_file_stats *stats, DB_TASK *task, int dbn) {
  if (task && task_switch(task) != S_OKAY) return db_status;
  db_task &t = kt();
  stats->name[0] = '\0';
  db_entry *db = curr_dbt();
  if (!db || !file_name || (t.no_of_dbs > 1 && dbn != t.curr_db)) return db_status = S_INVDB;
  const char *wanted = base_name(file_name);
  const table_slice &files = db->slice[TBL_FILE];
  for (int f = files.first; f < files.first + files.count; ++f) {
    if (std::strcmp(base_name(t.file_table[f].name), wanted) != 0) continue;
    if (fill(f, stats) != S_OKAY) stats->name[0] = '\0';
    return db_status;
  }
  return db_status = S_INVDB;
}
