// Tasks: the entry guard of every call, task creation and switching, and the
// option bits.
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

db_task db_global;
DB_TASK Kestotask = {nullptr, nullptr};
DB_TASK Orgtask = {nullptr, nullptr};
int db_glob_init = 0;
db_task **Db_task_table = nullptr;
int task_count = 0;

int taskinit(db_task *block) {
  std::memset(block, 0, sizeof *block);
  block->use_lockmgr = 1;
  block->lock_request_flag = 1;
  block->lock_timeout = 10;
  block->lock_retry_delay = 1;
  block->taf_pause_ms = 10;
  block->taf_attempts = 50;
  block->max_open_files = 8;
  block->ring_last = 19;
  block->curr_db = -1;
  block->default_db = -1;
  block->options = OPT_REUSE | OPT_TWOPHASE;
  block->taf_fd = -1;
  block->tjf_fd = -1;
  block->tcf_fd = -1;
  block->lm.fd = -1;
  return S_OKAY;
}

int db_enter(int dbn, DB_TASK *task) {
  if (!db_glob_init) {
    Kestotask.block = Orgtask.block = &db_global;
    Kestotask.reserved = Orgtask.reserved = nullptr;
    taskinit(&db_global);
    db_glob_init = 1;
  }
  db_status = S_OKAY;
  if (task && task_switch(task) != S_OKAY) return db_status;
  if (dbn == -2) return S_OKAY;
  db_task &t = kt();
  if (t.open_state == 0) return dberr_code(S_DBOPEN, 496);
  if (dbn == -1) {
    dbn = t.default_db;
  } else if (dbn < 0 || dbn >= t.no_of_dbs) {
    return dberr_code(S_INVDB, 497);
  }
  if (dbn != t.curr_db && dbn >= 0 && dbn < t.no_of_dbs) {
    if (db_entry *old = curr_dbt()) old->saved_cr = t.current_record;
    t.curr_db = dbn;
    t.current_record = t.db_table[dbn].saved_cr;
  }
  return S_OKAY;
}

int task_switch(DB_TASK *task) {
  if (!task->block) return dberr_code(S_INVPTR, 272);
  if (task->block != Kestotask.block) Kestotask = *task;
  return S_OKAY;
}

int dt_opentask(DB_TASK *task) {
  if (db_enter(-2, nullptr) != S_OKAY) return db_status;
  db_task *block = static_cast<db_task *>(d_alloc(sizeof(db_task)));
  if (!block) return dberr_code(S_NOMEMORY, 273);
  taskinit(block);
  db_task **table = static_cast<db_task **>(d_alloc(sizeof(db_task *) * (task_count + 1)));
  if (!table) {
    std::free(block);
    return dberr_code(S_NOMEMORY, 274);
  }
  if (task_count) std::memcpy(table, Db_task_table, sizeof(db_task *) * task_count);
  table[task_count] = block;
  d_free(&Db_task_table);
  Db_task_table = table;
  ++task_count;
  task->block = block;
  task->reserved = nullptr;
  return db_status = S_OKAY;
}

int dt_closetask(DB_TASK *task) {
  if (db_enter(-2, nullptr) != S_OKAY) return db_status;
  if (!task || !task->block) return dberr_code(S_INVPTR, 275);
  int at = -1;
  for (int i = 0; i < task_count; ++i)
    if (Db_task_table[i] == task->block) at = i;
  // Only blocks made by dt_opentask can be closed.
  if (at < 0) return dberr_code(S_INVPTR, 275);
  if (task->block->open_state > 0) return dberr_code(S_DBCLOSE, 276);
  db_task **table = nullptr;
  if (task_count > 1) {
    table = static_cast<db_task **>(d_alloc(sizeof(db_task *) * (task_count - 1)));
    if (!table) return dberr_code(S_NOMEMORY, 277);
    std::memcpy(table, Db_task_table, sizeof(db_task *) * at);
    std::memcpy(table + at, Db_task_table + at + 1, sizeof(db_task *) * (task_count - at - 1));
  }
  d_free(&Db_task_table);
  Db_task_table = table;
  --task_count;
  if (Kestotask.block == task->block) Kestotask = Orgtask;
  // Closing a task also forgets its renamings and country table.
  db_task *block = task->block;
  for (rename_entry *r = block->renames; r;) {
    rename_entry *next = r->next;
    std::free(r->dbname);
    std::free(r->newname);
    std::free(r);
    r = next;
  }
  std::free(block->ctbl);
  std::free(block);
  task->block = nullptr;
  return db_status = S_OKAY;
}

int dt_on_opt(unsigned bits, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  t.options |= bits;
  if (bits & OPT_TRLOG) d_tron();
  if (bits & OPT_IGNORECASE) {
    if (!t.ctbl_active && ctbl_alloc() != S_OKAY) return db_status;
    for (int c = 'a'; c <= 'z'; ++c) t.ctbl[c].primary = static_cast<unsigned char>(c - 'a' + 'A');
  }
  return db_status = S_OKAY;
}

int dt_off_opt(unsigned bits, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  t.options &= ~bits;
  if (bits & OPT_TRLOG) d_troff();
  if ((bits & OPT_IGNORECASE) && t.ctbl_active) {
    for (int c = 'a'; c <= 'z'; ++c) t.ctbl[c].primary = static_cast<unsigned char>(c);
  }
  return db_status = S_OKAY;
}

int dt_settafvars(int pause_ms, int attempts, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  kt().taf_pause_ms = pause_ms;
  kt().taf_attempts = attempts;
  return db_status = S_OKAY;
}
