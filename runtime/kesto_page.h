// A page of the page cache as the cache and the overflow file see it.
//
// Page slot i and lookup entry i belong together for ever. A data page with
// a non-zero `file_pos` is read from and written to its copy in the
// transaction's overflow file; an overflow-index page keeps its position in
// the overflow file as its page number.
#pragma once

#include <cstdint>

struct db_task;

struct page_slot {
  int32_t recently_used;
  int32_t modified;
  int16_t holdcnt;
  int16_t lu_index;
  uint32_t file_pos;  // 0: home position; else position of the copy in the overflow file
  char *buff;
  uint32_t buff_size;
};

struct lookup_entry {
  db_task *task;      // owning task, null when empty
  int16_t file;       // -1 when empty
  int32_t pageno;     // -1 when empty
  int16_t pg_index;
  int next_inuse;     // in_use_chain (data entries only)
  int prev_inuse;
  int in_chain;
  int next_hash;
};
