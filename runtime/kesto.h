// db_KESTO record database engine: the calls that programs use.
//
// Every call returns an int status and leaves it in `db_status`: 0 is
// success, a positive value a navigation outcome, a negative value an error
// that has been reported (one numbered line on standard error, or the task's
// error callback). Calls take the task handle and, where they work on a
// database, the database number last: a null task means the current task;
// database -1 is the default database, -2 "no database needed".
//
// The engine is single-threaded: callers serialise every call.
#pragma once

#include <cstdint>

// Record address: file number within its database in bits 24-31, slot (from
// 1) in bits 0-23; 0 is the null address.
using db_address = uint32_t;

struct db_task;

// Task handle: the first word names the task's block; the second is carried
// along and means nothing here.
struct DB_TASK {
  db_task *block;
  void *reserved;
};

// Error callback: receives the status code and its text; nothing is printed
// while one is installed.
using DBERR_CALLBACK = void (*)(int code, const char *text);

// Page cache callback: kind 0 before a page is read, 1 after it was written.
using CACHE_CALLBACK = void (*)(void *handle, int kind, int file, uint32_t page);

extern int db_status;

// Status codes.
enum : int {
  S_OKAY = 0,
  S_EOS = 1,        // end of set
  S_NOTFOUND = 2,
  S_DUPLICATE = 3,
  S_KEYSEQ = 4,     // the key found last is not positioned
  S_UNAVAIL = 5,    // lock or open refused
  S_DELETED = 6,
  S_LOCKED = 8,     // record lock bit set
  S_UNLOCKED = 9,   // record lock bit clear

  S_DBOPEN = -1,
  S_INVSET = -2,
  S_INVREC = -3,
  S_INVDB = -4,
  S_INVFLD = -5,
  S_INVADDR = -6,
  S_NOCR = -7,
  S_NOCO = -8,
  S_NOCM = -9,
  S_KEYREQD = -10,
  S_BADTYPE = -11,
  S_HASMEM = -12,
  S_ISMEM = -13,
  S_ISOWNED = -14,
  S_ISCOMKEY = -15,
  S_NOTCON = -16,
  S_NOTKEY = -17,
  S_INVOWN = -18,
  S_INVMEM = -19,
  S_SETPAGES = -20,
  S_INCOMPAT = -21,
  S_DELSYS = -22,
  S_NOTFREE = -23,
  S_NOTLOCKED = -24,
  S_TRANSID = -25,
  S_TRACTIVE = -26,
  S_TRNOTACT = -27,
  S_TRLOCKS = -28,
  S_TRFREE = -29,
  S_TRCHANGES = -30,
  S_NOTRANS = -31,
  S_EXCLUSIVE = -32,
  S_STATIC = -33,
  S_USERID = -34,
  S_NAMELEN = -35,
  S_RENAME = -36,
  S_NOTOPTKEY = -37,
  S_BADFIELD = -38,
  S_COMKEY = -39,
  S_INVNUM = -40,
  S_TIMESTAMP = -41,
  S_BADUSERID = -42,
  S_NONETBIOS = -43,
  S_BADDBDPATH = -44,
  S_BADDBFPATH = -45,
  S_NOCRTYPE = -46,
  S_INVSORT = -47,
  S_DBCLOSE = -48,
  S_INVPTR = -49,
  S_INVID = -50,

  S_NOSPACE = -900,
  S_SYSERR = -901,
  S_FAULT = -902,
  S_NOWORK = -903,
  S_NOMEMORY = -904,
  S_NOFILE = -905,
  S_DBLACCESS = -906,
  S_DBLERR = -907,
  S_BADLOCKS = -908,
  S_RECLIMIT = -909,
  S_KEYERR = -910,
  S_USERLIMIT = -911,
  S_BADSEEK = -912,
  S_INVFILE = -913,
  S_BADREAD = -914,
  S_NETSYNC = -915,
  S_DEBUG = -916,
  S_NETERR = -917,
  S_RECOVERY = -918,
  S_BADWRITE = -919,
  S_NOLOCKMGR = -920,
  S_DUPUSERID = -921,
  S_LMBUSY = -922,
  S_DISCARDED = -923,
  S_SEMERR = -924,
  S_TJFERR = -925,
  S_SHMERR = -926,
  S_READONLY = -939,
};

// Option bits of a task (default 0x3).
enum : unsigned {
  OPT_REUSE = 0x1,        // reuse deleted slots and key nodes
  OPT_TWOPHASE = 0x2,     // commit in two phases through the overflow file
  OPT_TRLOG = 0x4,        // transaction log
  OPT_IGNORECASE = 0x8,   // letters collate as upper case
  OPT_SYNCFILES = 0x10,   // force each changed file to disk at commit
  OPT_CLOSEFILES = 0x20,  // close a file after every read or write
  OPT_JOURNAL = 0x100,    // transaction journaling
  OPT_READONLY = 0x800,   // files read-only, every write refused
};

// Error reporting.
int dt_set_dberr(DBERR_CALLBACK callback, DB_TASK *task);

// Tasks and options.
int dt_opentask(DB_TASK *task);
int dt_closetask(DB_TASK *task);
int dt_on_opt(unsigned bits, DB_TASK *task);
int dt_off_opt(unsigned bits, DB_TASK *task);
int dt_ctbpath(const char *path, DB_TASK *task);
int dt_dbwdir(const char *dir, DB_TASK *task);
int dt_dbdpath(const char *path, DB_TASK *task);
int dt_settafvars(int pause_ms, int attempts, DB_TASK *task);

// Open and close. Modes "o", "n", "t" and "c" (the last without the
// recovery check) open for one user; "s" shares the databases with other
// processes through the lock manager (reads need a lock, changes a write
// lock, see dt_lock), and "x" opens them exclusively, the lock manager
// keeping other processes out. The shared modes need DBUSERID (at most 15
// characters, one process each) and database files that exist.
int dt_open(const char *names, const char *mode, DB_TASK *task);
int dt_iopen(const char *names, DB_TASK *task);
int dt_close(DB_TASK *task);
int dt_iclose(DB_TASK *task, int dbn);
int dt_initialize(DB_TASK *task, int dbn);
int dt_initfile(int file, DB_TASK *task, int dbn);

// Transactions. Changes between dt_trbegin and dt_trend reach the files all
// together or not at all; dt_trabort drops them (and clears currency
// registers that named what it dropped). A commit that fails before its
// point of no return (recording it in the activity file) leaves the
// transaction active for the caller to abort; one that fails after it ends
// the process, and the next open completes the commit if it was recorded.
int dt_trbegin(const char *tid, DB_TASK *task);
int dt_trend(DB_TASK *task);
int dt_trabort(DB_TASK *task);

// Recovery of an interrupted commit from its overflow file (every open but
// mode "c" runs it for each commit the activity file lists). Never returns
// a failure: a recovery that fails ends the process.
int dt_recover(const char *overflow_path, DB_TASK *task);

// Forces the files of the open databases (of one database, or -1 for all)
// to disk; refused during a transaction.
int dt_syncfiles(DB_TASK *task);
int dt_isyncfiles(DB_TASK *task, int dbn);

// Journal checkpoint limit (bytes) and checkpoint request.
int dt_settjfsize(int32_t limit, DB_TASK *task);
int dt_checkpoint(DB_TASK *task);

// Space of one file of the current database.
struct db_file_stats {
  char name[1024];     // the file's name without its directory
  int32_t kind;        // 1 data file, 2 key file
  int32_t allocated;   // slots (data) or nodes (key) the file's size holds
  int32_t in_use;      // live records, or key nodes in the tree
  int32_t maximum;     // the most the file can ever hold
};
int dt_getdbfilestats(const char *file_name, db_file_stats *stats, DB_TASK *task, int dbn);

// Page cache settings and statistics.
int d_setpages(int data_pages, int index_pages);
int dt_setfiles(int count, DB_TASK *task);
int d_getcachestats(uint32_t *accesses, uint32_t *redundant, uint32_t *misses);
int d_zerocachestats();
int d_cachecallback(CACHE_CALLBACK callback, void *handle);

// Currency registers.
int dt_crget(db_address *dba, DB_TASK *task, int dbn);
int dt_crset(const db_address *dba, DB_TASK *task, int dbn);
// S_OKAY when `dba` names a slot of the database's files, S_INVADDR (not
// reported) when it does not: for an address that came from outside.
int dt_dbavalid(const db_address *dba, DB_TASK *task, int dbn);
int dt_crtype(int *rectype, DB_TASK *task, int dbn);
int dt_crread(long field, void *data, DB_TASK *task, int dbn);
int dt_crwrite(long field, const void *data, DB_TASK *task, int dbn);
int dt_csoget(int set, db_address *dba, DB_TASK *task, int dbn);
int dt_csoset(int set, const db_address *dba, DB_TASK *task, int dbn);
int dt_csoread(int set, long field, void *data, DB_TASK *task, int dbn);
int dt_csowrite(int set, long field, const void *data, DB_TASK *task, int dbn);

// Whole records and record scans. Record data is the slot from the record
// type's data offset on; a field lies at its offset minus the data offset.
int dt_recread(void *data, DB_TASK *task, int dbn);
int dt_recwrite(const void *data, DB_TASK *task, int dbn);
int dt_recset(int rec, DB_TASK *task, int dbn);
int dt_recfrst(int rec, DB_TASK *task, int dbn);
int dt_recnext(DB_TASK *task, int dbn);

// New records. dt_fillnew takes the record's data part (as dt_recread gives
// it) and enters every key that is not optional; dt_makenew makes a record
// holding only the key values announced with dt_setkey. Both answer 3 for a
// duplicate unique key, storing nothing, and make the new record current.
int dt_fillnew(int rec, const void *image, DB_TASK *task, int dbn);
int dt_setkey(long field, const void *value, DB_TASK *task, int dbn);
int dt_makenew(int rec, DB_TASK *task, int dbn);

// Sets. Each owner heads a doubly linked chain of its members in the order
// its set declares; every set has a current owner and a current member.
// Connecting places the current record under the set's current owner;
// disconnecting takes out the current member. Moves through a set make the
// member they reach the current record and answer 1 at the end of the set.
int dt_connect(int set, DB_TASK *task, int dbn);
int dt_discon(int set, DB_TASK *task, int dbn);
int dt_findfm(int set, DB_TASK *task, int dbn);
int dt_findlm(int set, DB_TASK *task, int dbn);
int dt_findnm(int set, DB_TASK *task, int dbn);
int dt_ismember(int set, DB_TASK *task, int dbn);  // 0 connected, 1 not
int dt_members(int set, int32_t *count, DB_TASK *task, int dbn);
int dt_csmset(int set, const db_address *dba, DB_TASK *task, int dbn);
int dt_setmo(int member_set, int owner_set, DB_TASK *task, int dbn);
int dt_setmr(int set, DB_TASK *task, int dbn);
int dt_setoo(int destination_set, int source_set, DB_TASK *task, int dbn);
int dt_setor(int set, DB_TASK *task, int dbn);
int dt_setro(int set, DB_TASK *task, int dbn);

// Deleting the current record: dt_delete refuses a record that owns members
// or is a member; dt_disdel first takes it out of every set.
int dt_delete(DB_TASK *task, int dbn);
int dt_disdel(DB_TASK *task, int dbn);

// The whole currency of a task saved and restored: dt_rdcurr allocates a
// buffer and fills it, dt_rerdcurr fills it again, dt_wrcurr restores it
// and frees the buffer. A buffer serves only while the same databases stay
// open in the same task.
int dt_rdcurr(db_address **buffer, int *size, DB_TASK *task);
int dt_rerdcurr(db_address **buffer, DB_TASK *task);
int dt_wrcurr(db_address *buffer, DB_TASK *task);

// Keys. A key value is passed in its field's form; a compound key as a
// structure laid out like the key, components in natural form. Moves make
// the record they land on the current record.
int dt_keyfind(long field, const void *value, DB_TASK *task, int dbn);
int dt_keynext(long field, DB_TASK *task, int dbn);
int dt_keyprev(long field, DB_TASK *task, int dbn);
int dt_keylast(long field, DB_TASK *task, int dbn);
int dt_keyread(void *value, DB_TASK *task);
int dt_curkey(DB_TASK *task, int dbn);
int dt_keystore(long field, DB_TASK *task, int dbn);
int dt_keydel(long field, DB_TASK *task, int dbn);

// Currency timestamps and file renaming.
int dt_utscr(uint32_t *stamp, DB_TASK *task, int dbn);
int dt_utsco(int set, uint32_t *stamp, DB_TASK *task, int dbn);
int dt_utscm(int set, uint32_t *stamp, DB_TASK *task, int dbn);
int dt_utscs(int set, uint32_t *stamp, DB_TASK *task, int dbn);
int dt_renfile(const char *dbname, int file, const char *newname, DB_TASK *task);
int dt_renclean(DB_TASK *task);

// Country table.
int dt_mapchar(unsigned char in, unsigned char out, const char *sort, short order, DB_TASK *task);

// Locks (granted at once in the one-user and exclusive modes). In mode "s"
// a refused or timed-out request answers 5 and changes nothing; locks taken
// in a transaction are given back when it ends ('k' keeps a read lock).
struct LOCK_REQUEST {
  int item;   // 10000 + record type, 20000 + set, 30000 + key field
  char type;  // 'r', 'w', 'x', 'i', 'k'
};
int dt_lock(int count, LOCK_REQUEST *requests, DB_TASK *task, int dbn);
int dt_reclock(int rec, char type, DB_TASK *task, int dbn);
int dt_setlock(int set, char type, DB_TASK *task, int dbn);
int dt_keylock(long field, char type, DB_TASK *task, int dbn);
int dt_recfree(int rec, DB_TASK *task, int dbn);
int dt_setfree(int set, DB_TASK *task, int dbn);
int dt_keyfree(long field, DB_TASK *task, int dbn);
int dt_reclstat(int rec, char *state, DB_TASK *task, int dbn);
int dt_setlstat(int set, char *state, DB_TASK *task, int dbn);
int dt_keylstat(long field, char *state, DB_TASK *task, int dbn);
int dt_freeall(DB_TASK *task);
int dt_timeout(int seconds, DB_TASK *task);
int dt_rlbset(DB_TASK *task, int dbn);
int dt_rlbclr(DB_TASK *task, int dbn);
int dt_rlbtst(DB_TASK *task, int dbn);
