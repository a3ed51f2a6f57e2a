// Internal services of the engine, by family. Only engine sources and tests
// include this header; programs use runtime/kesto.h.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

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
int check_dba(db_address dba);
bool null_dba(const db_address *dba);
int ADDRcmp(const db_address *a, const db_address *b);
int file_of(db_address dba);  // task file number of an address of the current database

// ---- Record image access (kesto_record.cpp) ----
extern int rlb_status;
int r_gfld(const field_entry *fld, const char *rec, char *data);
uint16_t rec_id(const char *rec);
db_address rec_get_dba(const char *rec, int offset);
uint32_t get_u32(const void *p);
uint16_t get_u16(const void *p);
void put_u32(void *p, uint32_t v);
void put_u16(void *p, uint16_t v);

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
int dio_write_slot(int file, uint32_t slot, const char *record, int release);
int dio_out(page_slot *slot, lookup_entry *lookup, int keep_open, int is_data);
int dio_flush();
int dio_open(int file);
int dio_close(int file);
int dio_closelru();
void dio_iclose(int dbn);
void dio_free();
int dio_clear();
int dio_clrfile(int file);
int dio_clrfile_cond(int file, uint32_t stamp, uint32_t new_stamp);
void dio_clrfile_cond_prep();
void dio_upgrade_fdtm(int file, uint32_t stamp);
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

// ---- Overflow file (kesto_overflow.cpp; the transaction part comes later) ----
int o_setup();
int o_free(int dbn);
int o_close();
int o_init();
int o_fileinit(int file);
uint32_t o_pages(int file);
int o_search(int file, uint32_t page, uint32_t *position);
int o_write(page_slot *slot, lookup_entry *lookup);
int o_pzwrite(int file);

// ---- Journal (kesto_journal.cpp) ----
int tjf_init();
int tjf_close();
int tjf_journal(int file, uint32_t position, const void *data, int length, int kind);
int tjf_journal_pg(int file, const char *page_buffer, const char *data, int length,
                   uint32_t page, int kind);
int tjf_journal_rec(db_address dba, const char *rec, const char *place, int length, int kind);

// ---- Recovery (kesto_recovery.cpp) ----
int recovery_check();
int dt_recover(const char *overflow_path, DB_TASK *task);

// ---- Transactions (not built yet: kesto_pending.cpp) ----
int dt_trabort(DB_TASK *task);

// ---- Record fields with key upkeep (not built yet: kesto_pending.cpp) ----
int r_chkfld(int fld_index, const field_entry *fld, const char *rec, const char *data);
int r_pfld(int fld_index, const field_entry *fld, char *rec, const char *data, const db_address *dba);
void sk_free();

// ---- Locks (kesto_lock.cpp) and lock-manager client (kesto_lmc.cpp) ----
int free_dblocks(int dbn);
int lmc_login();
int lmc_logout();
int lmc_dbopen();
int lmc_dbclose();
int lmc_recovered();
int lmc_free();
int lmc_settime(int seconds);

// Options of a task that the cache and commit test.
inline bool opt_on(unsigned bits) { return (kt().options & bits) != 0; }
inline bool trans_active() { return kt().trans_id[0] != '\0'; }
