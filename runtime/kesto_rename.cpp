// File renaming before an open, and the update timestamps of the records in
// the currency registers.
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

char *copy_text(const char *s) {
  size_t n = std::strlen(s) + 1;
  char *p = static_cast<char *>(d_alloc(n));
  if (p) std::memcpy(p, s, n);
  return p;
}

// Reads the record at dba without lock checks and returns its update
// timestamp (0 for a record type without timestamps).
int record_stamp(db_address dba, int msg_invalid, uint32_t *stamp) {
  char *rec;
  if (dio_read_nolock(dba, &rec, 0) != S_OKAY) return db_status;
  uint16_t id = rec_id(rec);
  if (id & 0x8000) return db_status = S_DELETED;
  db_entry *db = curr_dbt();
  int type = id & ~RLB_MASK;
  if (type >= db->slice[TBL_RECORD].count) return dberr_code(S_INVREC, msg_invalid);
  const record_entry &re = kt().record_table[db->slice[TBL_RECORD].first + type];
  *stamp = (re.flags & REC_TIMESTAMPED) ? get_u32(rec + 10) : 0;
  return db_status = S_OKAY;
}

}  // namespace

int dt_renfile(const char *dbname, int file, const char *newname, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  for (int i = 0; i < t.no_of_dbs; ++i)
    if (std::strcmp(t.db_table[i].name, dbname) == 0) return -1;
  // The new name must fit a file table entry.
  if (std::strlen(newname) > 1024) return dberr_code(S_NAMELEN, 750, "%s", newname);
  rename_entry **link = &t.renames;
  for (; *link; link = &(*link)->next) {
    rename_entry *r = *link;
    if (r->file == file && std::strcmp(r->dbname, dbname) == 0) {
      char *name = copy_text(newname);
      if (!name) return dberr_code(S_NOMEMORY, 314);
      std::free(r->newname);
      r->newname = name;
      return db_status = S_OKAY;
    }
  }
  rename_entry *r = static_cast<rename_entry *>(d_alloc(sizeof(rename_entry)));
  if (!r) return dberr_code(S_NOMEMORY, 315);
  r->dbname = copy_text(dbname);
  r->newname = copy_text(newname);
  if (!r->dbname || !r->newname) {
    std::free(r->dbname);
    std::free(r->newname);
    std::free(r);
    return dberr_code(S_NOMEMORY, 316);
  }
  r->file = static_cast<int16_t>(file);
  *link = r;
  return db_status = S_OKAY;
}

int dt_renclean(DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  while (rename_entry *r = t.renames) {
    t.renames = r->next;
    std::free(r->dbname);
    std::free(r->newname);
    std::free(r);
  }
  return db_status = S_OKAY;
}

int renfiles() {
  db_task &t = kt();
  for (rename_entry *r = t.renames; r; r = r->next) {
    for (int i = old_no_of_dbs; i < t.no_of_dbs; ++i) {
      const db_entry &db = t.db_table[i];
      if (std::strcmp(db.name, r->dbname) != 0) continue;
      if (r->file < 0 || r->file >= db.slice[TBL_FILE].count)
        return dberr_code(S_RENAME, 317, "%s file %d", r->dbname, r->file);
      char name[2 * PATHLEN];
      std::strcpy(name, r->newname);
      if (prefix_dbwdir(name) != S_OKAY) return db_status;
      std::strcpy(t.file_table[db.slice[TBL_FILE].first + r->file].name, name);
      break;
    }
  }
  return db_status = S_OKAY;
}

int dt_utscr(uint32_t *stamp, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address cr = kt().current_record;
  if (!cr) return dberr_code(S_NOCR, 200);
  return record_stamp(cr, 201, stamp);
}

int dt_utsco(int set, uint32_t *stamp, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  db_address owner = kt().curr_own[si];
  if (!owner) return dberr_code(S_NOCO, 202);
  return record_stamp(owner, 203, stamp);
}

int dt_utscm(int set, uint32_t *stamp, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  db_address member = kt().curr_mem[si];
  if (!member) return dberr_code(S_NOCM, 204);
  return record_stamp(member, 205, stamp);
}

int dt_utscs(int set, uint32_t *stamp, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  db_address owner = t.curr_own[si];
  if (!owner) return dberr_code(S_NOCO, 199);
  char *rec;
  if (dio_read_nolock(owner, &rec, 0) != S_OKAY) return db_status;
  if (rec_id(rec) & 0x8000) return db_status = S_DELETED;
  *stamp = (se->flags & SET_TIMESTAMPED) ? get_u32(rec + se->owner_ptr + 12) : 0;
  return db_status = S_OKAY;
}
