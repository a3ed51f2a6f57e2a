#include "lib/ostreladb/ostrel_db_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrel_db_vns.h"
#include "platform/pfm/pfm.h"
#include "platform/qel/qel.h"
#include "platform/rt/rt.h"
#include "platform/utl/strutl.h"
#include "runtime/kesto_io.h"

DB_TASK view_db_task = {nullptr, nullptr};
norvanethread_mutex_t ostrelagent_kesto_mutex = NORVANETHREAD_RECURSIVE_MUTEX_INITIALIZER;

namespace {

const char* const SOURCE = "lib/ostreladb/ostrel_db_session";

constexpr int MIN_PAGES = 64;
constexpr int MAX_PAGES = 32766;
// The overflow file's index pages the engine keeps: one for each data and
// key file, so that a commit that changes pages of many files writes each
// index page once, with the others, instead of evicting some on the way.
constexpr int INDEX_PAGES = 32;
// Room for every file of the view database (32 data and key files) at once.
// The engine's own limit is 8, so a write touching a dozen files closed and
// reopened some at every transaction, and a file closed after a write is
// forced to disk: a dozen extra synchronisations per transaction.
constexpr int OPEN_FILES = 64;

// Process-wide state, all of it guarded by ostrelagent_kesto_mutex.
int ostrela_db_open = 0;
int ostrela_db_open_fail_st = 0;
int ostrela_kesto_db_trans_state = DB_TRANS_NULL;
char db_state[3] = {0, 0, 0};
FILE* db_state_file = nullptr;
int db_state_modified_flag = 0;
rt_timer_t db_state_callback_pending = 0;
int db_cr_file_fd = -1;

norvanethread_once_t tls_once = NORVANETHREAD_ONCE_INIT;
norvanethread_key_t ostrelagent_kesto_tls_key;
std::atomic<int> ostrelagent_kesto_tls_stg_initialized{0};

class Lock {
public:
    Lock() { norvanethread_mutex_lock(&ostrelagent_kesto_mutex); }
    ~Lock() { norvanethread_mutex_unlock(&ostrelagent_kesto_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

void check(bool condition, const char* text, int line) {
    if (!condition) pfm_assert_fail(text, SOURCE, line);
}

// What the session remembers of records to spare engine reads: wrong once
// a transaction's changes are undone or another database is opened.
void forget_remembered() {
    ostrela_db_readdir_forget();
    ostrela_db_subdirs_forget();
}

void free_tls_block(void* block) { norvanethread_free_tls(block); }

void make_tls_key() {
    if (norvanethread_key_create(&ostrelagent_kesto_tls_key, free_tls_block) != 0)
        pfm_panic(SOURCE, __LINE__, "cannot create the thread key of the view database");
}

// The cache size: NORVANE_VIEW_CACHE_SIZE_EV read as a number and held to
// 64..32766, else the caller's default.
int cache_pages(int default_pages) {
    const char* text = std::getenv("NORVANE_VIEW_CACHE_SIZE_EV");
    int pages = 0;
    if (text == nullptr || std::sscanf(text, "%d", &pages) != 1) return default_pages;
    if (pages < MIN_PAGES) return MIN_PAGES;
    if (pages > MAX_PAGES) return MAX_PAGES;
    return pages;
}

// How commits reach the disk. The two-phase commit is always on: a commit
// that the process does not finish (killed, or failed after its commit
// point) is completed from the overflow file at the next open, and every
// committed page is in the system's cache when the commit returns. The
// files are forced to disk only when the agent has been idle, after a
// write abort and at close (the purify); a power failure in between may
// lose the commits since the last purify, which the state letter 'm' left
// on disk makes the next start rebuild. NORVANE_ZFS_OPTIMIZATION forces
// every changed file at each commit as well.
int set_durability() {
    int st = dt_on_opt(OPT_TWOPHASE, &view_db_task);
    if (st != S_OKAY) return st;
    if (std::getenv("NORVANE_ZFS_OPTIMIZATION") != nullptr) return dt_on_opt(OPT_SYNCFILES, &view_db_task);
    return dt_off_opt(OPT_SYNCFILES, &view_db_task);
}

// The engine's task and database, opened; the mutex is held. 0 or 1008, and
// on failure nothing stays open.
int open_engine(int pages) {
    int st = dt_opentask(&view_db_task);
    if (st != S_OKAY) return ostrela_kesto_err("D_OPENTASK", OSTREL_DB_NAME, st);
    const char* failed = nullptr;
    if ((st = dt_dbwdir(OSTREL_DB_DIR, &view_db_task)) != S_OKAY) failed = "D_DBWDIR";
    else if ((st = dt_setfiles(OPEN_FILES, &view_db_task)) != S_OKAY) failed = "D_SETFILES";
    while (failed == nullptr) {
        if ((st = d_setpages(pages - INDEX_PAGES, INDEX_PAGES)) != S_OKAY) {
            failed = "D_SETPAGES";
        } else if ((st = dt_open(OSTREL_DB_NAME, "o", &view_db_task)) == S_OKAY) {
            break;
        } else if (st == S_NOMEMORY && (pages >> 1) >= MIN_PAGES) {
            pages >>= 1;
        } else {
            failed = "D_OPEN";
        }
    }
    if (failed == nullptr) {
        if ((st = set_durability()) == S_OKAY) return 0;
        failed = "D_ON_OPT";
        dt_close(&view_db_task);
    }
    int status = ostrela_kesto_err(failed, OSTREL_DB_NAME, st);
    dt_closetask(&view_db_task);
    return status;
}

// The config-record file goes through the engine's I/O table, as the
// engine's files do: it reaches the disk with them, and a test that plays a
// power failure loses its unsynchronised writes with theirs. `flags` may
// add O_TRUNC.
int open_crs_file(int flags = 0) {
    char path[1024];
    if (strutl_concat(path, sizeof path, ".s/", OSTREL_DB_CRS_FILE, nullptr) != 0) {
        qel_log_int_error("view", SOURCE, __LINE__, nullptr, 0);
        return QEL_ST_INTERNAL;
    }
    db_cr_file_fd = kesto_io()->open(path, O_RDWR | O_CREAT | O_CLOEXEC | flags, 0700);
    if (db_cr_file_fd >= 0) return 0;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPEN, path, errno);
    return QEL_ST_INTERNAL;
}

int close_crs_file() {
    if (db_cr_file_fd < 0) return 0;
    int fd = db_cr_file_fd;
    db_cr_file_fd = -1;
    if (kesto_io()->close(fd) == 0) return 0;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CLOSE, OSTREL_DB_CRS_FILE, errno);
    return QEL_ST_INTERNAL;
}

void schedule_idle_callback() {
    if (db_state_callback_pending == 0)
        db_state_callback_pending = rt_sched(ostrela_db_state_idle_callback, nullptr, OSTREL_DB_IDLE_INTERVAL);
}

} // namespace

// ---- session ---------------------------------------------------------------------

int ostrela_db_open_db(int quiet_version, int default_pages) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_open_db");
    int pages = cache_pages(default_pages);
    Lock lock;
    int status = 0;
    if (!ostrela_db_open) {
        int version = 0;
        status = ostrela_db_read_schema(&version);
        if (status == 0 && version != OSTREL_DB_SCHEMA_VERSION) {
            if (!quiet_version)
                imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_WRONG_SCHEMA, version,
                           OSTREL_DB_SCHEMA_VERSION);
            status = QEL_ST_NEEDS_REFORMAT;
        }
        if (status == 0) status = open_engine(pages);
        if (status == 0) ostrela_db_open = 1;
    }
    if (status == 0 && db_cr_file_fd < 0) status = open_crs_file();
    ostrela_db_open_fail_st = status;
    return status;
}

int ostrela_db_close_db(bool* was_open) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_close_db");
    Lock lock;
    if (was_open != nullptr) *was_open = ostrela_db_open != 0;
    int status = 0;
    auto keep_first = [&status](int st) {
        if (status == 0) status = st;
    };
    if (ostrela_db_open) {
        keep_first(ostrela_db_state_purify());
        int st = dt_close(&view_db_task);
        if (st != S_OKAY) keep_first(ostrela_kesto_err("D_CLOSE", OSTREL_DB_NAME, st));
        st = dt_closetask(&view_db_task);
        if (st != S_OKAY) keep_first(ostrela_kesto_err("D_CLOSETASK", OSTREL_DB_NAME, st));
        ostrela_db_open = 0;
        forget_remembered();
    }
    // The state file goes too when the database was left closed (a dumped or
    // missing database): a later open may be of another storage.
    keep_first(ostrela_db_state_file_close());
    keep_first(close_crs_file());
    ostrela_db_open_fail_st = 0;
    return status;
}

int ostrela_db_init_db() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_init_db");
    Lock lock;
    forget_remembered();
    int st = dt_initialize(&view_db_task, VDB);
    if (st != S_OKAY) return ostrela_kesto_err("D_INIT", OSTREL_DB_NAME, st);
    // The config-record file's whole range is one free extent.
    const db_cr_free all = {0xFFFFFFFFu, 0};
    if ((st = dt_fillnew(DB_CR_FREE, &all, &view_db_task, VDB)) != S_OKAY)
        return ostrela_kesto_err("D_FILLNEW", "DB_CR_FREE", st);
    if ((st = dt_close(&view_db_task)) != S_OKAY) return ostrela_kesto_err("D_CLOSE", OSTREL_DB_NAME, st);
    if ((st = dt_dbwdir(OSTREL_DB_DIR, &view_db_task)) != S_OKAY)
        return ostrela_kesto_err("D_DBWDIR", OSTREL_DB_NAME, st);
    if ((st = dt_open(OSTREL_DB_NAME, "o", &view_db_task)) != S_OKAY) {
        // The task has no database now: the session is closed.
        dt_closetask(&view_db_task);
        ostrela_db_open = 0;
        return ostrela_kesto_err("D_OPEN", OSTREL_DB_NAME, st);
    }
    if (db_cr_file_fd >= 0) {
        int status = close_crs_file();
        if (status == 0) status = open_crs_file(O_TRUNC);
        if (status != 0) return status;
    }
    // A new database reaches the disk, its files' names included, before
    // anything relies on it: a power failure before the first purify leaves
    // one that can be dumped.
    int status = ostrela_db_sync_files();
    for (const char* dir : {OSTREL_DB_DIR, ".s"}) {
        if (status == 0 && ostrela_db_sync_dir(dir) != 0) {
            ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_WRITE, dir, errno);
            status = QEL_ST_INTERNAL;
        }
    }
    return status;
}

int ostrela_db_read_schema(int* version) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_read_schema");
    char path[1024];
    if (strutl_concat(path, sizeof path, OSTREL_DB_DIR, "/", OSTREL_DB_SCHEMA_VERSION_FILE, nullptr) != 0) {
        qel_log_int_error("view", SOURCE, __LINE__, nullptr, 0);
        return QEL_ST_INTERNAL;
    }
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        int error = errno;
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPEN, path, error);
        return qel_errno2status(error);
    }
    int status = 0;
    if (std::fscanf(file, "%d", version) != 1) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_READ, path, ferror(file) ? errno : EINVAL);
        status = QEL_ST_NO_MEMORY;
    }
    if (std::fclose(file) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CLOSE, path, errno);
        if (status == 0) status = QEL_ST_NO_MEMORY;
    }
    return status;
}

int ostrela_db_mkdb_dir() {
    struct stat st;
    if (::stat(OSTREL_DB_DIR, &st) == 0) return 0;
    if (errno != ENOENT) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_ACCESS, OSTREL_DB_DIR, errno);
        return QEL_ST_INTERNAL;
    }
    if (::mkdir(OSTREL_DB_DIR, 0777) == 0) return 0;
    ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_MKDIR, OSTREL_DB_DIR, errno);
    return QEL_ST_INTERNAL;
}

int ostrela_db_get_mtime(long* mtime) {
    struct stat st;
    if (::stat(OSTREL_DB_STATE_FILE, &st) != 0) {
        int error = errno;
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, OSTREL_DB_STATE_FILE, error);
        return qel_errno2status(error);
    }
    *mtime = static_cast<long>(st.st_mtime);
    return 0;
}

int ostrelagent_kesto_initialized() { return ostrelagent_kesto_tls_stg_initialized.load(); }

bool ostrela_db_is_open() {
    Lock lock;
    return ostrela_db_open != 0;
}

int ostrela_db_open_status() {
    Lock lock;
    return ostrela_db_open_fail_st;
}

int ostrela_db_cr_file_fd() {
    Lock lock;
    return db_cr_file_fd;
}

// ---- transactions ------------------------------------------------------------------

ostrelagent_kesto_tls_t* ostrelagent_kesto_tls_get() {
    norvanethread_once(&tls_once, make_tls_key);
    auto* block = static_cast<ostrelagent_kesto_tls_t*>(norvanethread_get_tls(ostrelagent_kesto_tls_key));
    if (block == nullptr) {
        block = static_cast<ostrelagent_kesto_tls_t*>(norvanethread_alloc_tls(sizeof *block));
        if (block == nullptr || norvanethread_set_tls(ostrelagent_kesto_tls_key, block) != 0)
            pfm_panic(SOURCE, __LINE__, "cannot set up the view database's thread block");
    }
    ostrelagent_kesto_tls_stg_initialized.store(1);
    return block;
}

namespace {

// Write transactions begun, counted under the database's mutex before their
// first change.
std::atomic<unsigned> g_write_transactions{0};

} // namespace

unsigned ostrel_db_write_generation() { return g_write_transactions.load(); }

int ostrela_db_trans_start(int write) { return ostrela_db_trans_start_int(write, 1); }

int ostrela_db_trans_start_int(int write, int check_state) {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    if (tls->tls_db_batch) {
        if (tls->tls_db_batch_broken) return QEL_ST_INTERNAL;
        ++tls->tls_db_batch_depth;
        return 0;
    }
    norvanethread_mutex_lock(&ostrelagent_kesto_mutex);
    check(ostrela_kesto_db_trans_state == DB_TRANS_NULL, "ostrela_kesto_db_trans_state == DB_TRANS_NULL", __LINE__);
    check(tls->tls_db_trans_state == DB_TRANS_NULL, "tls->tls_db_trans_state == DB_TRANS_NULL", __LINE__);
    auto refuse = [](int status) {
        norvanethread_mutex_unlock(&ostrelagent_kesto_mutex);
        return status;
    };
    if (!ostrela_db_open) {
        bool dumped = (ostrela_db_open_fail_st == 0 || ostrela_db_open_fail_st == QEL_ST_NOT_FOUND) &&
                      db_state[0] == 'd';
        return refuse(ostrela_db_open_fail_st == QEL_ST_NEEDS_REFORMAT || dumped ? QEL_ST_NEEDS_REFORMAT
                                                                               : QEL_ST_INTERNAL);
    }
    pfm_inhibit();
    if (check_state) {
        int status = 0;
        switch (db_state[0]) {
        case 'i':
            if (write) status = ostrela_db_state_change('m');
            break;
        case 'm':
            break;
        case '\0':
        case 'd':
        case 'r':
            if (write) status = QEL_ST_READ_ONLY_STATE;
            break;
        default:  // 'n' (a database still being made) and unknown letters
            status = QEL_ST_INTERNAL;
            break;
        }
        if (status != 0) {
            pfm_enable();
            return refuse(status);
        }
    }
    if (!write) {
        ostrela_kesto_db_trans_state = tls->tls_db_trans_state = DB_TRANS_READ;
        return 0;
    }
    db_state_modified_flag = 1;
    g_write_transactions.fetch_add(1);
    int st = dt_trbegin("tid", &view_db_task);
    if (st != S_OKAY) {
        ostrela_kesto_err("D_TRBEGIN", "", st);
        pfm_enable();
        return refuse(QEL_ST_INTERNAL);
    }
    ostrela_kesto_db_trans_state = tls->tls_db_trans_state = DB_TRANS_WRITE;
    return 0;
}

namespace {

void end_transaction(ostrelagent_kesto_tls_t* tls) {
    ostrela_kesto_db_trans_state = tls->tls_db_trans_state = DB_TRANS_NULL;
    norvanethread_mutex_unlock(&ostrelagent_kesto_mutex);
    pfm_enable();
}

} // namespace

int ostrela_db_trans_end(int write) {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    if (tls->tls_db_batch) {
        check(tls->tls_db_batch_depth > 0, "tls->tls_db_batch_depth > 0", __LINE__);
        --tls->tls_db_batch_depth;
        return 0;
    }
    int status = 0;
    if (write) {
        check(ostrela_kesto_db_trans_state == DB_TRANS_WRITE, "ostrela_kesto_db_trans_state == DB_TRANS_WRITE",
              __LINE__);
        check(tls->tls_db_trans_state == DB_TRANS_WRITE, "tls->tls_db_trans_state == DB_TRANS_WRITE", __LINE__);
        int st = dt_trend(&view_db_task);
        if (st != S_OKAY) {
            status = ostrela_kesto_err("D_TREND", "", st);
            forget_remembered();
            st = dt_trabort(&view_db_task);
            if (st != S_OKAY) ostrela_kesto_err("D_TRABORT", "", st);
        }
    } else {
        check(ostrela_kesto_db_trans_state == DB_TRANS_READ, "ostrela_kesto_db_trans_state == DB_TRANS_READ",
              __LINE__);
    }
    end_transaction(tls);
    return status;
}

namespace {

void abort_engine_transaction() {
    forget_remembered();
    int st = dt_trabort(&view_db_task);
    if (st != S_OKAY) ostrela_kesto_err("D_TRABORT", "", st);
    st = dt_syncfiles(&view_db_task);
    if (st != S_OKAY) ostrela_kesto_err("D_SYNCFILES", OSTREL_DB_NAME, st);
}

} // namespace

int ostrela_db_trans_abort(int write) {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    if (tls->tls_db_batch) {
        check(tls->tls_db_batch_depth > 0, "tls->tls_db_batch_depth > 0", __LINE__);
        --tls->tls_db_batch_depth;
        if (write && !tls->tls_db_batch_broken) {
            abort_engine_transaction();
            tls->tls_db_batch_broken = 1;
        }
        return 0;
    }
    if (write) {
        abort_engine_transaction();
    } else {
        check(ostrela_kesto_db_trans_state == DB_TRANS_READ, "ostrela_kesto_db_trans_state == DB_TRANS_READ",
              __LINE__);
        check(tls->tls_db_trans_state == DB_TRANS_READ, "tls->tls_db_trans_state == DB_TRANS_READ", __LINE__);
    }
    end_transaction(tls);
    return 0;
}

ostrelagent_kesto_tls_t* ostrela_db_trans_read_check() {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    check(tls->tls_db_trans_state != DB_TRANS_NULL, "tls->tls_db_trans_state != DB_TRANS_NULL", __LINE__);
    return tls;
}

ostrelagent_kesto_tls_t* ostrela_db_trans_write_check() {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    check(ostrela_kesto_db_trans_state == DB_TRANS_WRITE, "ostrela_kesto_db_trans_state == DB_TRANS_WRITE",
          __LINE__);
    check(tls->tls_db_trans_state == DB_TRANS_WRITE, "tls->tls_db_trans_state == DB_TRANS_WRITE", __LINE__);
    return tls;
}

// ---- batches --------------------------------------------------------------------------

int ostrel_db_batch_begin() {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    check(!tls->tls_db_batch, "!tls->tls_db_batch", __LINE__);
    const int status = ostrela_db_trans_start(1);
    if (status != 0) return status;
    tls->tls_db_batch = true;
    tls->tls_db_batch_depth = 0;
    tls->tls_db_batch_broken = 0;
    return 0;
}

bool ostrel_db_batch_broken() {
    const ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    return tls->tls_db_batch && tls->tls_db_batch_broken != 0;
}

bool ostrel_db_in_batch() { return ostrelagent_kesto_tls_get()->tls_db_batch; }

int ostrel_db_batch_end(bool commit) {
    ostrelagent_kesto_tls_t* tls = ostrelagent_kesto_tls_get();
    check(tls->tls_db_batch && tls->tls_db_batch_depth == 0, "tls->tls_db_batch && tls->tls_db_batch_depth == 0",
          __LINE__);
    const bool broken = tls->tls_db_batch_broken != 0;
    tls->tls_db_batch = false;
    tls->tls_db_batch_broken = 0;
    if (broken) {
        // The engine transaction is gone already; only the mutex is held.
        end_transaction(tls);
        return QEL_ST_INTERNAL;
    }
    if (commit) return ostrela_db_trans_end(1);
    ostrela_db_trans_abort(1);
    return 0;
}

// ---- state file ----------------------------------------------------------------------

int ostrela_db_state_file_open() {
    Lock lock;
    if (db_state_file == nullptr) {
        db_state_file = std::fopen(OSTREL_DB_STATE_FILE, "r+e");
        if (db_state_file == nullptr) {
            int error = errno;
            if (error == ENOENT) db_state_file = std::fopen(OSTREL_DB_STATE_FILE, "w+e");
            if (db_state_file == nullptr) {
                ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_OPEN, OSTREL_DB_STATE_FILE, error == ENOENT ? errno : error);
                return QEL_ST_INTERNAL;
            }
            if (error == ENOENT) return ostrela_db_state_change('n') == 0 ? 0 : QEL_ST_INTERNAL;
        }
    }
    db_state[0] = db_state[1] = db_state[2] = '\0';
    std::clearerr(db_state_file);
    if (::fseeko(db_state_file, 0, SEEK_SET) == 0 && std::fgets(db_state, sizeof db_state, db_state_file) != nullptr &&
        db_state[0] != '\0') {
        if (db_state[0] == 'm') schedule_idle_callback();
        return 0;
    }
    if (std::ferror(db_state_file)) ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_READ, OSTREL_DB_STATE_FILE, errno);
    return ostrela_db_state_change(0) == 0 ? 0 : QEL_ST_INTERNAL;
}

int ostrela_db_state_file_close() {
    Lock lock;
    int status = 0;
    if (db_state_file != nullptr) {
        if (std::fclose(db_state_file) != 0) {
            ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CLOSE, OSTREL_DB_STATE_FILE, errno);
            status = QEL_ST_INTERNAL;
        }
        db_state_file = nullptr;
    }
    if (db_state_callback_pending != 0) {
        rt_unsched(db_state_callback_pending);
        db_state_callback_pending = 0;
    }
    return status;
}

int ostrela_db_state_change(int letter) {
    Lock lock;
    bool ok = db_state_file != nullptr;
    if (ok && letter != 0) {
        const char text[3] = {static_cast<char>(letter), '\n', '\0'};
        ok = ::fseeko(db_state_file, 0, SEEK_SET) == 0 && std::fputs(text, db_state_file) >= 0;
    }
    ok = ok && std::fflush(db_state_file) == 0 && ::fsync(fileno(db_state_file)) == 0;
    if (!ok) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_WRITE, OSTREL_DB_STATE_FILE, db_state_file != nullptr ? errno : EBADF);
        return QEL_ST_INTERNAL;
    }
    db_state[0] = static_cast<char>(letter);
    db_state[1] = letter != 0 ? '\n' : '\0';
    db_state[2] = '\0';
    if (letter == 'm') schedule_idle_callback();
    return 0;
}

int ostrela_db_sync_files() {
    Lock lock;
    int st = dt_syncfiles(&view_db_task);
    if (st != S_OKAY) return ostrela_kesto_err("D_SYNCFILES", OSTREL_DB_NAME, st);
    if (db_cr_file_fd >= 0 && kesto_io()->fdatasync(db_cr_file_fd) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_WRITE, OSTREL_DB_CRS_FILE, errno);
        return QEL_ST_INTERNAL;
    }
    return 0;
}

int ostrela_db_state_purify() {
    Lock lock;
    if (db_state[0] != 'm') return 0;
    int status = ostrela_db_sync_files();
    return status != 0 ? status : ostrela_db_state_change('i');
}

void ostrela_db_state_idle_callback(void*) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_state_idle_callback");
    Lock lock;
    db_state_callback_pending = 0;
    if (!db_state_modified_flag) {
        int status = ostrela_db_state_purify();
        if (status == 0) return;
        if (status == QEL_ST_INTERNAL)
            imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "ostrela_db_state_purify",
                       qel_strerror(status));
    }
    db_state_modified_flag = 0;
    schedule_idle_callback();
}

char ostrela_db_state_letter() {
    Lock lock;
    return db_state[0];
}

// ---- errors ----------------------------------------------------------------------------

int ostrela_kesto_err(const char* op, const char* object, int engine_status) {
    int error = errno;
    if (error == ENOENT && std::strcmp(object, OSTREL_DB_NAME) == 0) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_NO_COMPONENT, op);
    } else if (error == ENOENT) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_NO_NAMED_COMPONENT, object, op);
    } else {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_INTERNAL, op, object, engine_status,
                   qel_strerror(error));
    }
    errno = error;
    return QEL_ST_INTERNAL;
}
