// The engine's task block and its run-time dictionary tables.
//
// All state of a task lives in one `db_task` block. The block of the current
// task is reached through `Kestotask.block` (see `kt()`); the default task's
// block is `db_global`. Switching tasks moves that pointer, so every task keeps
// its own state (the default task included).
//
// The dictionary tables of all open databases of a task follow one another
// in its combined tables; each database's table entry records how many
// entries of each table it owns and where they begin. Every index stored in a
// table entry is an index of the combined tables.
//
// Blocks are plain data: tables are single allocations made with `d_alloc`
// and maintained with `alloc_table` and `free_table`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/kesto.h"

constexpr int FILENMLEN = 1026;     // file name field of a file table entry
constexpr int DBNMLEN = 12;         // database name, 11 characters and a NUL
constexpr int DBPATHLEN = 1012;     // database directory, 1009 characters and a NUL
constexpr int PATHLEN = 1025;       // 1024 characters and a NUL
constexpr int PATHLISTLEN = 2050;   // DBDPATH and DBFPATH lists
constexpr int TRANS_ID_LEN = 21;    // transaction id, 20 characters and a NUL
constexpr int KEYSLOT_LEN = 260;    // largest key-file slot
constexpr int TAF_ENTRIES = 5;      // entries of the activity file
constexpr int RECORD_BASE = 10000;  // caller's record type numbers
constexpr int SET_BASE = 20000;     // caller's set numbers
constexpr int FIELD_FACTOR = 1000;  // field = record index * 1000 + position
constexpr uint16_t RLB_MASK = 0x4000;  // record lock bit of the id word
constexpr uint32_t SLOT_MASK = 0x00FFFFFF;
constexpr int FILE_SHIFT = 24;

// File table entry (mirrors the dictionary's 1038-byte entry).
struct file_entry {
  char name[FILENMLEN];  // full path once the dictionary is read
  int16_t desc;          // descriptor, -1 when closed
  char status;           // 'o' open, 'c' closed
  char type;             // 'd' data, 'k' key, 'o' overflow
  int16_t slots;         // slots per page
  int16_t slot_size;     // bytes per slot
  int16_t page_size;     // bytes per page
  uint16_t flags;        // FILE_WRITTEN, FILE_STATIC, FILE_JOURNALED
};
constexpr uint16_t FILE_WRITTEN = 0x1;    // written since last synchronised
constexpr uint16_t FILE_STATIC = 0x2;     // static file, never locked
constexpr uint16_t FILE_JOURNALED = 0x8;  // journaled change pending

struct record_entry {
  int16_t file;         // data file holding the records
  int16_t length;       // bytes of a record in its slot, header included
  int16_t data;         // offset of the first field
  int16_t first_field;  // first field table entry
  int16_t field_count;  // -1 marks the system record
  uint16_t flags;       // REC_TIMESTAMPED, REC_STATIC, REC_COMKEY
};
constexpr uint16_t REC_TIMESTAMPED = 0x1;
constexpr uint16_t REC_STATIC = 0x2;
constexpr uint16_t REC_COMKEY = 0x10;

struct field_entry {
  char key;            // 'n' not a key, 'd' duplicates, 'u' unique
  char type;           // 'c','s','i','l','f','F','d','g','k'
  int16_t length;      // bytes of the whole field
  int16_t dims[3];     // 0 where a dimension is absent
  int16_t key_file;    // key fields: their key file
  int16_t key_number;  // key fields: index in the key position table
  int16_t offset;      // offset in the record; 'k': first key table entry
  int16_t record;      // owning record type
  uint16_t flags;      // FLD_* and the optional-key number in bits 10-15
};
constexpr uint16_t FLD_SORT = 0x1;       // sort field of some set
constexpr uint16_t FLD_GROUPED = 0x2;    // member of a group field
constexpr uint16_t FLD_UNSIGNED = 0x4;
constexpr uint16_t FLD_COMPONENT = 0x10; // part of a compound key
constexpr uint16_t FLD_OPTKEY_MASK = 0xFC00;

struct set_entry {
  int16_t order;          // 'f', 'l', 'n', 'a', 'd'
  int16_t owner;          // owner record type
  int16_t owner_ptr;      // offset of the set pointer in the owner
  int16_t first_member;   // first member table entry
  int16_t member_count;
  uint16_t flags;         // SET_TIMESTAMPED
};
constexpr uint16_t SET_TIMESTAMPED = 0x1;

struct member_entry {
  int16_t record;      // member record type
  int16_t member_ptr;  // offset of the member pointer in the member
  int16_t first_sort;  // first sort table entry
  int16_t sort_count;
};

struct sort_entry {
  int16_t field;
  int16_t set;
};

struct key_entry {
  int16_t compound;   // the compound key field
  int16_t component;  // one of its component fields
  int16_t offset;     // offset of the component in the key value
  int16_t order;      // 'd' descending, else ascending
};

// Slice of one combined table that a database owns.
struct table_slice {
  int16_t count;
  int16_t first;
};

enum db_table_kind { TBL_FILE, TBL_RECORD, TBL_FIELD, TBL_SET, TBL_MEMBER, TBL_SORT, TBL_KEY, TBL_COUNT };

// One open database.
struct db_entry {
  char name[DBNMLEN];
  char path[DBPATHLEN];   // directory from the open list, separator included
  db_address sysdba;      // its system record, 0 when none
  db_address saved_cr;    // its current record while another is current
  int16_t page_size;
  table_slice slice[TBL_COUNT];
  int16_t first_key;      // first key number
};

// Per database: the record type being scanned and the address reached.
struct scan_entry {
  int16_t record;
  db_address dba;
};

// Page-zero header of a file as the task holds it.
struct pgzero_entry {
  uint32_t head;      // deleted chain
  uint32_t next;      // next never-used slot or node page; 0 = not read
  uint32_t stamp;     // timestamp counter
  int32_t modified;
};

// Open-descriptor table entry, indexed by descriptor.
struct ring_entry {
  int32_t file;   // -1 free
  int16_t used;   // recently used
};

// Per-file state of the transaction overflow file.
struct ov_entry {
  uint32_t pages;
  uint32_t index_pos;
  uint32_t pz_saved;
  uint32_t *bitmap;
};

// Position of one key field (one per key field of all open databases).
struct key_path_step {
  uint32_t page;
  int16_t slot;
};
struct key_position {
  key_path_step *path;
  int16_t level;
  int16_t max_levels;
  int16_t status;
  int16_t field;
  int16_t key_file;
  char *value;
  db_address dba;
};

// The key that the last key operation of the task set up (see key_init):
// every key search, scan, insertion and deletion works on it, and
// dt_keyread reads the entry it found. Indexes, not pointers, because the
// field and key position tables move when databases open and close.
struct key_context {
  int32_t valid;      // 0 until key_init has run (and again after a close)
  int16_t fldno;      // field table index of the key
  int16_t keyno;      // its key number: index in the key position table
  int16_t key_len;    // bytes of its key value
  int16_t prefix;     // key number within its database, stored in each entry
  int16_t keyfile;    // its key file
  int16_t slot_len;   // bytes per entry of the key file
  int16_t max_slots;  // entries at which a node splits
  int16_t mid_slot;   // max_slots / 2
  int16_t unique;     // 1 for a unique key
};

// A key value announced with dt_setkey for the next dt_makenew.
struct setkey_entry {
  int16_t field;        // field table index
  char *value;          // the field's length + 1 bytes
  setkey_entry *next;
};

// Requested renaming of a database file.
struct rename_entry {
  char *dbname;
  char *newname;
  int16_t file;
  rename_entry *next;
};

// The lock-manager file as a task maps it (see kesto_lockmgr.h).
struct lm_map {
  char *base;      // null while not mapped
  size_t length;   // bytes mapped
  int fd;          // -1 while closed
  int32_t users;   // table sizes U, F and Q (0 means 128)
  int32_t files;
  int32_t queue;
  int32_t stamp;   // the area's stamp when this task logged in
  char path[PATHLEN];  // of the lock-manager file
};

// What a lock on a record type, set or key stands for in a shared open:
// locks on the files that hold it, in file-number order.
struct lock_descr {
  int16_t *files;
  int16_t count;
  int16_t kept;  // 'k': its locks outlive the transaction
  char state;    // 'f', 'r', 'w', 'x', 'i'
  char prev;     // the state before the request in progress
};

// The locks a task holds on one file.
struct file_lock {
  int32_t app;   // read locks held; -1 write-locked; -2 write at commit
  int32_t excl;  // exclusive locks held
  int32_t kept;  // locks kept beyond the transaction
};

// Country table entry.
struct ctb_entry {
  unsigned char out;
  unsigned char primary;
  unsigned char second;
  unsigned char order;
};

struct db_task {
  int32_t open_state;  // 0 none, 1 shared, 2 exclusive
  char open_mode[2];   // "x" or "s"
  char user_id[PATHLEN];
  char dbdpath[PATHLISTLEN];
  char dbfpath[PATHLISTLEN];
  char dbwdir[PATHLEN];
  char lockmgr_name[PATHLEN];
  char taf_name[PATHLEN];
  char tcf_name[PATHLEN];
  char tjf_name[PATHLEN];
  char log_name[PATHLEN];
  char ctbpath[PATHLEN];

  uint32_t options;
  DBERR_CALLBACK dberr_callback;

  // Databases and their dictionary tables.
  int16_t no_of_dbs;
  int32_t curr_db;
  int32_t default_db;
  db_entry *db_table;
  scan_entry *scan_table;
  file_entry *file_table;  // size_ft entries plus the overflow file's
  int size_ft;
  record_entry *record_table;
  int size_rt;
  field_entry *field_table;
  int size_fd;
  set_entry *set_table;
  int size_st;
  member_entry *member_table;
  int size_mt;
  sort_entry *sort_table;
  int size_srt;
  key_entry *key_table;
  int size_kt;
  int16_t largest_page;
  int32_t rec_stamped;  // some record type is timestamped
  int32_t set_stamped;  // some set is timestamped

  // Currency.
  db_address current_record;
  uint32_t cr_time;
  db_address *curr_own;  // per set
  db_address *curr_mem;  // per set
  uint32_t *co_time;     // per set, when records are timestamped
  uint32_t *cm_time;     // per set, when records are timestamped
  uint32_t *cs_time;     // per set, when sets are timestamped

  // Page cache bookkeeping.
  pgzero_entry *pgzero;      // per file
  uint32_t *file_stamps;     // per file
  int pgzero_size;           // entries of pgzero and file_stamps
  ring_entry *ring;          // indexed by descriptor
  int ring_size;
  int ring_hand;
  int ring_last;             // highest index of a fresh ring
  int open_files;
  int max_open_files;
  int32_t cache_user;        // the task holds entries in the page cache

  // Keys.
  int key_count;
  key_position *key_pos;
  char key_slot[KEYSLOT_LEN];  // copy of the entry found last
  key_context keyctx;
  setkey_entry *setkeys;       // newest first; emptied when databases close

  // Transactions, overflow file, activity file and journal.
  char trans_id[TRANS_ID_LEN];
  int32_t trcommit;          // second phase of a commit
  int32_t checkpoint_needed;
  int32_t ov_in_use;
  int32_t ov_setup;
  int32_t ov_active;         // evicted pages go to the overflow file
  int32_t ov_evicted;
  int16_t ov_file;
  uint32_t ov_root;
  uint32_t ov_initial;
  uint32_t ov_next;
  uint32_t ov_word;          // the header word the overflow file holds
  int32_t ov_word_known;     // ov_word is what the file holds
  ov_entry *ov_table;
  int taf_fd;
  uint16_t taf_header;
  uint32_t taf_time;
  int taf_pause_ms;
  int taf_attempts;
  int tjf_fd;
  int tcf_fd;
  uint32_t tjf_trans_no;     // journal transaction in progress, 0 = none
  int32_t tjf_lost;          // a batch of its entries may or may not be in the journal
  int32_t tjf_limit;         // checkpoint limit in bytes
  char *tjf_buff;            // journal entries waiting for the next batch
  int tjf_fill;
  int tjf_capacity;
  long tjf_unit;             // grow unit of both journal files, 0 until known

  // Lock manager client.
  int32_t use_lockmgr;
  int32_t lockmgr_handle;    // the task's user slot in the lock-manager area
  int32_t lockmgr_logged_in;
  int32_t lock_request_flag;
  int32_t lock_timeout;
  int32_t lock_retry_delay;
  lm_map lm;
  int16_t *lm_file_ids;      // per file: its index in the lock manager's file table
  // Shared open only: per file, per record type, per set and per field.
  file_lock *file_locks;
  lock_descr *rec_locks;
  lock_descr *set_locks;
  lock_descr *fld_locks;

  // Country table.
  ctb_entry *ctbl;
  int32_t ctbl_active;

  rename_entry *renames;
};

// The default task's block, the current task and the default task.
extern db_task db_global;
extern DB_TASK Kestotask;
extern DB_TASK Orgtask;
extern int db_glob_init;
extern db_task **Db_task_table;
extern int task_count;

// The current task's block.
inline db_task &kt() { return *Kestotask.block; }

// The seven run-time table sizes of a task, indexed by db_table_kind.
inline void set_table_sizes(db_task &t, const int sizes[TBL_COUNT]) {
  t.size_ft = sizes[TBL_FILE];
  t.size_rt = sizes[TBL_RECORD];
  t.size_fd = sizes[TBL_FIELD];
  t.size_st = sizes[TBL_SET];
  t.size_mt = sizes[TBL_MEMBER];
  t.size_srt = sizes[TBL_SORT];
  t.size_kt = sizes[TBL_KEY];
}

// The current database's table entry (null when none).
inline db_entry *curr_dbt() {
  db_task &t = kt();
  return t.curr_db >= 0 && t.curr_db < t.no_of_dbs ? &t.db_table[t.curr_db] : nullptr;
}
