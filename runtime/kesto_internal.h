// Internal services of the engine, by family. Only engine sources and tests
// include this header; programs use runtime/kesto.h.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "runtime/kesto_journal.h"
#include "runtime/kesto_task.h"

// ---- Error reporting (kesto_error.cpp) ----
int dberr_code(int code, int msg);
int dberr_code(int code, int msg, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int dberr(int code);
void dbout_code(int msg, int severity, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void dbautorec();
const char *dberr_text(int code);

// ---- Memory and tables (kesto_table.cpp) ----
void *d_alloc(size_t size);
void d_free(void *pointer_to_pointer);
int alloc_table(void **table, size_t new_size, size_t old_size);
int free_table(void **table, int first, int last, int count, size_t entry_size);

// ---- Tasks and options (kesto_task.cpp) ----
int db_enter(int dbn, DB_TASK *task);
int task_switch(DB_TASK *task);
int taskinit(db_task *block);

// ---- Environment and paths (kesto_env.cpp) ----
int initenv();
void vpathcpy(char *dst, const char *src, size_t size);
const char *get_element(const char *list, int index);
int con_dbd(char *out, const char *name, const char *element);
int con_dbf(char *out, const char *file_name, const char *dictionary_name, const char *element);
int prefix_dbwdir(char *name);
const char *strip_dbwdir(const char *name);

// ---- Small file functions (kesto_file.cpp) ----
int open_b(const char *name, int flags);
int sync_file(int fd);
int commit_file(int file, int fd);
// Forces several files to disk at once (option 0x10); the first failure is
// returned.
int commit_files(const int *fds, int count);
// Forces the directory entry of a newly created file to disk.
int sync_dir_of(const char *path);
int fsblock_size(int fd, long *size);
void kesto_sleep(long seconds, long microseconds);

// ---- Dictionary (kesto_dict.cpp) and file initialisation (kesto_initfile.cpp) ----
extern int16_t old_no_of_dbs;
extern int16_t old_size_ft, old_size_rt, old_size_fd, old_size_st, old_size_mt, old_size_srt,
    old_size_kt;
int inittab();
int initfile(int file);  // file number of the task's file table

// ---- Checks of numbers and addresses (kesto_check.cpp) ----
int nrec_check(int rec, int *index, record_entry **entry);
int nset_check(int set, int *index, set_entry **entry);
int nfld_check(long field, int *rec_index, record_entry **rec_entry, int *fld_index,
               field_entry **fld_entry);
// Where `dba` falls: 0 on a slot of the database's files, 403 past its
// files, 404 past the file's slots (the message numbers of check_dba), -1
// when page zero could not be read (db_status says why). Reports nothing.
int locate_dba(db_address dba);
int check_dba(db_address dba);
bool null_dba(const db_address *dba);
int ADDRcmp(const db_address *a, const db_address *b);
int file_of(db_address dba);  // task file number of an address of the current database

// ---- Field values and their comparison (kesto_fldcmp.cpp) ----
// Order of two values of one field by its type: negative, 0 or positive.
int fldcmp(const field_entry *fld, const char *a, const char *b);
int SHORTcmp(int16_t a, int16_t b);
// Elements of a field: 1, or the product of its dimensions.
int field_elements(const field_entry *fld);
// A character field with at most one dimension: its value ends at its first
// NUL and is stored NUL-filled.
bool string_field(const field_entry *fld);
// Copies a field's value of `length` bytes, string fields NUL-filled after
// their end (never reading past the NUL of the source).
void field_copy(const field_entry *fld, char *dst, const char *src);

// ---- Record images, set and member pointers, optional-key bits (kesto_record.cpp) ----
extern int rlb_status;
int r_gfld(const field_entry *fld, const char *rec, char *data);
uint16_t rec_id(const char *rec);
db_address rec_get_dba(const char *rec, int offset);
// Little-endian words of pages and records; inline, since key searches
// read them for every entry they pass.
inline uint32_t get_u32(const void *p) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}
inline uint16_t get_u16(const void *p) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline void put_u32(void *p, uint32_t v) {
  unsigned char *b = static_cast<unsigned char *>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
  b[2] = static_cast<unsigned char>(v >> 16);
  b[3] = static_cast<unsigned char>(v >> 24);
}
inline void put_u16(void *p, uint16_t v) {
  unsigned char *b = static_cast<unsigned char *>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}
// Combined record-table index of a live record image of the current
// database; -1 for a deleted slot or an id beyond its record types.
int rec_type_index(const char *rec);

// Set pointer of an owner record and member pointer of a member record, as
// numbers (the slot holds them little-endian).
struct set_pointer {
  uint32_t total;     // members connected
  db_address first;   // 0 when the set is empty
  db_address last;
  uint32_t timestamp; // only when the set is timestamped
};
struct member_pointer {
  db_address owner;   // 0: not connected
  db_address prev;
  db_address next;
};
int r_gset(int set_index, const char *rec, set_pointer *sp);
int r_pset(int set_index, char *rec, const set_pointer *sp);
int r_gmem(int set_index, const char *rec, member_pointer *mp);
int r_pmem(int set_index, char *rec, const member_pointer *mp);
int r_smem(const db_address *dba, int set_index);
int r_tstopt(const field_entry *fld, const char *rec);
int r_setopt(const field_entry *fld, char *rec);
int r_clropt(const field_entry *fld, char *rec);

// ---- Field stores with key and set upkeep (kesto_fieldstore.cpp) ----
extern int struct_key_chk;
int r_chkfld(int fld_index, const field_entry *fld, const char *rec, const char *data);
int r_pfld(int fld_index, const field_entry *fld, char *rec, const char *data, const db_address *dba);
int r_delrec(int rec_index, db_address dba);

// ---- Open and close (kesto_open.cpp) ----
int dopen(const char *names, const char *mode, bool incremental);
int initdbt(const char *names);
int close_databases(int dbn);
void termfree(int dbn);
int dt_closeall();
int dupid_check();

// ---- Page cache and file I/O (kesto_dio.cpp) ----
struct page_slot;
struct lookup_entry;
enum dio_table { DIO_NONE, DIO_DATA, DIO_INDEX };
int dio_init();
int dio_findpg(int file, uint32_t page, dio_table table, page_slot **slot, lookup_entry **lookup);
int dio_get(uint32_t page, char **buffer, int hold);
int dio_touch(uint32_t page);
int dio_unget(uint32_t page);
int dio_read(db_address dba, char **record, int hold);
int dio_write(db_address dba, const char *record, int release);
int dio_release(db_address dba, int release);
int dio_read_slot(int file, uint32_t slot, char **record, int hold);
// dio_read and dio_read_slot without the lock test of a shared open.
int dio_read_nolock(db_address dba, char **record, int hold);
int dio_read_slot_nolock(int file, uint32_t slot, char **record, int hold);
int dio_write_slot(int file, uint32_t slot, const char *record, int release);
int dio_out(page_slot *slot, lookup_entry *lookup, int keep_open, int is_data);
int dio_flush();
// A page copy bound for the overflow file, gathered by the commit's first
// flush and written by o_flush with the index areas.
struct ov_copy {
  uint32_t at;
  size_t size;
  void *bytes;
  std::function<void()> written;
};
// dio_flush, except that in the commit's first phase the page copies bound
// for the overflow file are added to `copies` instead of written.
int dio_flush_gathering(std::vector<ov_copy> *copies);
// Forces the files [first, end) of the file table that were written since
// their last synchronisation to disk together, and clears their flags.
int dio_commit_written(int first, int end);
int dio_open(int file);
int dio_close(int file);
// Closes the least recently used open file: 1, 0 when none could be
// closed, or the (negative) status of a close that failed.
int dio_closelru();
void dio_iclose(int dbn);
void dio_free();
int dio_clear();
int dio_clrfile(int file);
int dio_clrfile_cond(int file, uint32_t stamp, uint32_t new_stamp);
void dio_clrfile_cond_prep();
void dio_upgrade_fdtm(int file, uint32_t stamp);
// An overflow-index page that holds nothing yet: a slot in the index-page
// table without a read of the file (a page already cached is kept).
int dio_ixfresh(uint32_t position, page_slot **slot);
// The task's changed overflow-index pages and their positions in the
// overflow file (o_flush writes them with the rest of the index).
std::vector<std::pair<page_slot *, uint32_t>> dio_ixchanged();
void dio_ixclear();
int dio_rrlb(db_address dba, uint16_t *word);
int dio_wrlb(db_address dba, uint16_t word);
void dio_setdef(int file);
void dio_lock(lookup_entry *lookup);
void dio_unlock();
int dio_working_file();
bool dio_tables_exist();
// Modified or held data pages, and the sizes of the two page tables.
int dio_modheld();
int dio_data_pages();
int dio_index_pages();

// ---- Page-zero headers and free-space chains (kesto_pgzero.cpp) ----
int dio_pzread(int file);
uint32_t dio_pznext(int file);
uint32_t dio_pzgetts(int file);
uint32_t dio_pzsetts(int file);
int dio_pzalloc(int file, uint32_t *number);
int dio_pzdel(int file, uint32_t number);
void dio_pzclr();

// ---- Key positions (kesto_keypos.cpp) ----
int key_open();
void key_close(int dbn);
int key_reset(int file);

// ---- Key context and key-file search (kesto_keysearch.cpp) ----
// key_init makes a key field the task's key context; the searches below
// work on it. Results: 0 found, 2 not found (or no further key), negative
// error; each also left in db_status.
int key_init(int fld_index);
inline key_context &kctx() { return kt().keyctx; }
inline field_entry &key_field() { return kt().field_table[kt().keyctx.fldno]; }
inline key_position &key_curkey() { return kt().key_pos[kt().keyctx.keyno]; }
// Searches a stored-form value; *dba 0 asks for the first entry of the
// value and receives its address, else the entry (value, *dba) is wanted.
int key_locpos(const char *value, db_address *dba);
// The same search with the address always compared (an address of 0 then
// lies before every entry of the value).
int key_search(const char *value, db_address dba, bool exact);
int key_scan(int direction, db_address *dba);  // KEY_NEXT or KEY_PREV
int key_boundary(int mode, db_address *dba);   // KEY_RESET, KEY_FIRST, KEY_LAST
enum : int { KEY_NEXT = 1, KEY_PREV = 2 };
enum : int { KEY_RESET = 0, KEY_FIRST = 3, KEY_LAST = 4 };

// ---- Key values (kesto_keyvalue.cpp) ----
// Builds a compound key from record data (the record's bytes from its data
// offset on); with `complement` its descending components are stored
// transformed so that ascending order sorts them descending.
int key_bldcom(int fld_index, const char *rec_data, char *key, bool complement);
void key_cmpcpy(char *dst, const char *src, int n);
// The stored form of a key field's value in a whole record image.
void key_stored_value(int fld_index, const char *rec, char *key);
// The stored form of a value given in the caller's form (a compound key
// laid out like the key with its components in natural form).
void key_search_value(int fld_index, const char *value, char *key);
// Back from stored to the caller's form (dt_keyread).
void key_natural_value(int fld_index, const char *stored, char *value);
// Looks a caller-form value up in the key's index without touching the
// current record: 0 found (address in *dba), 2 not found, or an error.
int key_find(int fld_index, const char *value, db_address *dba);

// ---- Key insertion and deletion (kesto_keyupdate.cpp) ----
// The value is in stored form. With `after_find`, a unique key's value
// that key_find just failed to find, with no change of the key file since,
// goes where that search left off instead of being searched again.
int key_insert(int fld_index, const char *value, db_address dba, bool after_find = false);
int key_delete(int fld_index, const char *value, db_address dba);

// ---- Activity file (kesto_taf.cpp) ----
extern char taf_files[TAF_ENTRIES][PATHLEN];
extern int taf_delay;
int taf_open();
int taf_close();
int taf_lock();
int taf_unlock();
int read_files();
int write_files();
int taf_access(int for_add);
int taf_release();
int taf_add(const char *path);
int taf_del(const char *path);
int taf_syncfiles();
uint16_t taf_check_value(const char *path);

// ---- Country table (kesto_ctb.cpp) ----
int ctb_init();
int ctbl_alloc();
void ctbl_free();

// ---- Renaming (kesto_rename.cpp) ----
int renfiles();

// ---- Overflow file (kesto_overflow.cpp) ----
int o_setup();
int o_init();
int o_fileinit(int file);
uint32_t o_pages(int file);
int o_search(int file, uint32_t page, uint32_t *position);
int o_write(page_slot *slot, lookup_entry *lookup);
// Where o_write writes the page: its copy's place in the overflow file (a
// new one is entered in the index), or its own place for a page beyond the
// file's old extent (position 0).
int o_place(page_slot *slot, lookup_entry *lookup);
int o_pzwrite(int file);
// Writes the overflow file's table, the index areas and `copies` (those
// that follow one another in one call), then forces the files written.
int o_flush(std::vector<ov_copy> copies = {});
int o_update();
int o_free(int dbn);
int o_close();

// ---- Journal (kesto_journal.cpp) ----
// Journaling (option 0x100) records every change of a transaction as an
// after-image in the journal and a commit entry at its commit. Internal
// inconsistencies are reported as -901 and nothing is written.
extern int trlog_flag;
int d_tron();
int d_troff();
int d_trmark();
int d_trbound();
int d_trlog();
int tjf_init();
int tjf_set_checkpoint_limit(int32_t limit);
int tjf_open();
int tjf_close();
int tjf_init_hdr(int fd, const unsigned char *header, uint32_t size);
int tjf_grow_file(int fd, uint32_t size, bool check);
// Locks the journal header (reading it into *header when one is given);
// tjf_release writes it back (when given) and unlocks.
int tjf_access(tjf::journal_header *header);
int tjf_release(const tjf::journal_header *header);
// Room for `size` bytes of entries in the journal buffer; a full buffer is
// written first as one batch. Null on failure (status in db_status).
unsigned char *tjf_get_buff(int size);
// Writes the buffer as one batch; a commit id marks it the end of that
// committed transaction.
int tjf_flush(uint32_t commit_id);
int tjf_begin();
int tjf_start();
int tjf_journal(int file, uint32_t position, const void *data, int length, int kind);
int tjf_journal_pg(int file, const char *page_buffer, const char *data, int length,
                   uint32_t page, int kind);
int tjf_journal_rec(db_address dba, const char *rec, const char *place, int length, int kind);
int tjf_journal_rec_ndba(const char *rec, const char *place, int length, int kind);
int tjf_save_files();
int tjf_commit();
int tjf_abort();
// Writes all `length` bytes at `offset`, repeating a write a signal
// interrupted: a short write or a full file system is -900 (msg_full),
// any other failure -919 (msg_other).
int tjf_write(int fd, const void *data, size_t length, off_t offset, int msg_full, int msg_other);

// ---- Journal readers (kesto_journal_read.cpp) ----
// Outcomes: tjf::ENTRY_READ, tjf::END_REACHED, tjf::DAMAGED (tolerant only).
int tjf_read_entry(int fd, unsigned char *buffer, int capacity, bool tolerant, uint32_t *position,
                   uint32_t end, int *outcome);
int tcf_read_entry(int fd, unsigned char *buffer, bool tolerant, uint32_t *position, uint32_t end,
                   int *outcome);
int tcf_read_hdr(int fd, uint32_t *start, uint32_t *end);
// The journal's header and where its entries run; the end is cut to the
// file's size.
int tjf_read_hdr(int fd, tjf::journal_header *header, uint32_t *start, uint32_t *end);

// ---- Journal checkpoint and emptying (kesto_checkpoint.cpp) ----
int tjf_chkpoint();
int tjf_truncate(uint32_t id_base, bool rename);
int tjf_rename_journal(const char *name);

// ---- Roll-forward (kesto_rollforward.cpp) ----
// 0 when the journal transaction committed, 2 when not, or an error.
int tjf_recover_commit(uint32_t id);
// Re-applies every committed transaction of the journal (apply = false only
// checks it) and empties it.
int tjf_roll_forward(bool apply);

// ---- Recovery (kesto_recovery.cpp) ----
int recovery_check();
// Adds the overflow file to the activity file when missing and recovers
// it; a failure ends the process.
int recover_dead_user(const char *overflow_path);

// ---- Transactions (kesto_trans.cpp) and housekeeping (kesto_sync.cpp) ----
// Test hook: when set, a successful commit reports -916 (and leaves 0).
extern int db_txtest;
// The journal asks for a checkpoint at the next commit or abort.
void db_need_checkpoint();

// ---- New records (kesto_create.cpp) ----
// Frees the set-key list of dt_setkey; the close of databases calls it.
void sk_free();

// ---- Locks (kesto_lock.cpp), the task's lock tables (kesto_locktab.cpp) ----
// In a shared open (open state 1) a task reads a file only while it holds a
// lock on it, and changes it only under a write or exclusive lock (outside
// a transaction only under an exclusive one); static files need none.
int lock_check_read(int file, int msg);
int lock_check_write(int file, int msg_outside, int msg_unlocked);
// The task holds an exclusive lock on the file (its changes may then reach
// the file outside a transaction).
bool lock_exclusive(int file);
bool lock_any_held();
// The task journals, or a journal of the database exists (another process
// journals): checkpoints and roll-forwards have work to do.
bool journal_in_use();
// Commit and abort: the upgrade of the files locked for writing at commit
// ('i' to 'w'), the release of the transaction's locks after the commit,
// and the locks kept beyond it forgotten at an abort.
int lock_commit_upgrade();
int lock_commit_release();
void lock_abort_keep();
int free_dblocks(int dbn);
// Entries for the files, record types, sets and fields that the open just
// appended (old sizes from inittab); removal of a closed database's slice.
int locktab_extend();
void locktab_remove(int dbn);
// Frees the descriptors beyond the given table sizes (a failed open).
void locktab_forget_after(const int sizes[TBL_COUNT]);

// ---- Lock-manager client (kesto_lmc.cpp) ----
namespace lm {
struct file_id;
struct request;
struct reply;
struct granted;
}  // namespace lm
int lmc_login();
int lmc_logout();
int lmc_dbopen(const lm::file_id *files, int count, char mode, lm::reply *reply, int16_t *indexes);
int lmc_lock(const lm::request *requests, int count, lm::reply *reply, lm::granted *granted);
int lmc_free(const int16_t *files, int count);
int lmc_dbclose(const int16_t *files, int count);
int lmc_recovered();
int lmc_recovery_failed();
int lmc_settime(int seconds);
int lmc_trcommit(const char *overflow_name);
int lmc_trend();
int lmc_checkpoint();

// Options of a task that the cache and commit test.
inline bool opt_on(unsigned bits) { return (kt().options & bits) != 0; }
inline bool trans_active() { return kt().trans_id[0] != '\0'; }
