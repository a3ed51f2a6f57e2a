#pragma once
// The view database's session: the one engine task and database, the
// process-wide transaction mutex, the state file, the idle synchronisation
// and the report of engine failures. Everything the view database does runs
// inside one transaction of this layer; the record-level operations
// (ostrela_db_*) assume one is open, and each public operation (ostrel_db_*)
// runs one of its own through ostrel_db_in_transaction.
//
// Locking: `ostrelagent_kesto_mutex` is recursive and held from a
// transaction's start to its end or abort, reads included, so the engine is
// entered by one thread at a time. The namespace cache's mutex is always
// taken before it; nothing else is taken while it is held.
//
// Statuses are base-library statuses: 0; 1008 for an engine failure (reported
// once, by ostrela_kesto_err) or a state that allows nothing; 1022 for a
// write while the state letter forbids writes; 1023 when the database needs
// to be reformatted or is dumped and closed.

#include <sys/time.h>

#include "lib/core/ostrelagent_credentials.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "platform/norvanethread/norvanethread.h"
#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"
#include "runtime/kesto.h"

// Transaction states of the process and of each thread.
enum : int {
    DB_TRANS_NULL = 0,
    DB_TRANS_WRITE = 1,
    DB_TRANS_READ = 2,
};

// The per-thread block: zero-filled when a thread first asks for it.
struct ostrelagent_kesto_tls_t {
    int tls_db_trans_state;
    // Inside a batch (ostrel_db_batch_begin): transactions started and not
    // yet ended within it, and whether its engine transaction was aborted.
    int tls_db_batch_depth;
    int tls_db_batch_broken;
    bool tls_db_batch;
};

// The engine task of every engine call of the view database, and the
// database number those calls pass.
extern DB_TASK view_db_task;
constexpr int VDB = 0;

extern norvanethread_mutex_t ostrelagent_kesto_mutex;

// Name of the state file in the view storage, and of the config-record file
// in the container pool.
inline constexpr const char* OSTREL_DB_STATE_FILE = "ostrel_db.state";
inline constexpr const char* OSTREL_DB_CRS_FILE = "ostrel_db.crs_file";

// Pages of the engine's cache that the life cycle asks for; the environment
// variable NORVANE_VIEW_CACHE_SIZE_EV overrides it (64 to 32766).
constexpr int OSTREL_DB_DEFAULT_PAGES = 512;
// Interval of the idle synchronisation, in seconds of the main event loop.
constexpr int OSTREL_DB_IDLE_INTERVAL = 10;

// ---- session ---------------------------------------------------------------------

// Opens "ostrel_db" in the directory "db" of the current directory (the view
// storage) in the one-user mode, with a cache of `default_pages` pages (or as
// the environment says; halved while the engine runs out of memory, never
// below 64), and opens the config-record file. A schema version other than
// ours gives 1023 (reported unless `quiet_version`). Opening an open database
// only makes sure the config-record file is open.
int ostrela_db_open_db(int quiet_version, int default_pages);
// Closes the database (synchronising it first when it is marked modified),
// its task, the state file and the config-record file. The first failure,
// though every step runs.
// `was_open` (when given) tells whether a database was open to close.
int ostrela_db_close_db(bool* was_open = nullptr);
// Gives the just-opened, empty database its initial content: initialised
// files, the one free extent of the config-record file (which is emptied).
int ostrela_db_init_db();
// Reads "db/ostrel_db_schema_version".
int ostrela_db_read_schema(int* version);
// Makes the directory "db" when it is missing.
int ostrela_db_mkdb_dir();
// The modification time (seconds) of the state file, which changes with
// every state letter.
int ostrela_db_get_mtime(long* mtime);
// 1 once any thread has had its per-thread block.
int ostrelagent_kesto_initialized();
// Whether the database is open; what the last open returned.
bool ostrela_db_is_open();
int ostrela_db_open_status();
// The descriptor of the open config-record file (-1 while it is closed);
// used only inside transactions.
int ostrela_db_cr_file_fd();

// ---- transactions ------------------------------------------------------------------

// Starts a read (0) or write (1) transaction and locks the mutex until the
// matching end or abort. A read transaction begins no engine transaction.
// Inside the calling thread's batch, transactions join the batch's: an end
// commits nothing, and an abort of a write aborts the whole batch (the
// engine cannot undo one part of a transaction), after which every start
// within the batch fails with 1008 until the batch ends.
int ostrela_db_trans_start(int write);
// With `check_state` 0 the state letter is not looked at (the dump loader).
int ostrela_db_trans_start_int(int write, int check_state);
// Ends (commits) the transaction; `write` repeats the start's value. A failed
// commit is reported, rolled back and answered 1008.
int ostrela_db_trans_end(int write);
// Aborts the transaction; always 0 (failures are reported).
int ostrela_db_trans_abort(int write);
// The calling thread's block, after checking that it is inside a transaction
// of any kind, or inside a write transaction.
ostrelagent_kesto_tls_t* ostrela_db_trans_read_check();
ostrelagent_kesto_tls_t* ostrela_db_trans_write_check();
ostrelagent_kesto_tls_t* ostrelagent_kesto_tls_get();

// Runs `op` (a callable returning a status) in a transaction of its own: a
// start that fails is returned at once with nothing ended; a failure of `op`
// aborts the transaction and is returned; otherwise the transaction ends and
// the end's status is returned, so a failed commit is never reported as 0.
template <typename Op>
int ostrel_db_in_transaction(int write, Op&& op) {
    int status = ostrela_db_trans_start(write);
    if (status != 0) return status;
    status = op();
    if (status != 0) {
        ostrela_db_trans_abort(write);
        return status;
    }
    return ostrela_db_trans_end(write);
}

// ostrel_db_in_transaction under a trace of the operation `method`: the
// form of every operation that runs one transaction of its own.
template <typename Op>
int ostrel_db_traced_transaction(const char* method, int write, Op&& op) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, method);
    return ostrel_db_in_transaction(write, op);
}

// The form of the queries that append what they find to `list`: a read
// transaction of its own under a trace of `method`; a failure leaves the
// list as it was and is reported with namespace-level message `index`
// (1002 passes quietly).
template <typename List, typename Op>
int ostrel_db_find_names(const char* method, int index, List& list, Op&& op) {
    size_t before = list.size();
    int status = ostrel_db_traced_transaction(method, 0, op);
    if (status != 0) list.resize(before);
    return ostrel_db_report(status, OSTREL_DB_QUIET_NOT_FOUND, index);
}

// A view-private object's status as it is handed out: the owner and group
// it was given; one that names nobody (a cover's) is the agent's own.
inline void ostrel_db_hand_out_identities(qel_fstat_db_s& fstat) {
    qel_fstat_db_s own = fstat;
    ostrelagent_replace_fstat_identities(own);
    if (!credutl_sid_is_set(&fstat.usid)) fstat.usid = own.usid;
    if (!credutl_sid_is_set(&fstat.gsid)) fstat.gsid = own.gsid;
}

// Which owner and group a status read is handed out with: the agent's own
// (a VOB object's), or those of the view-private object.
enum class Ostrel_Db_Identities { AGENTS, STORED };

// The attribute-reading form of ostrel_db_in_transaction: `op` fills
// `*fstat` (when asked for: not null) in a read transaction (`*fstat` is
// zeroed first when `zero_first`); once the transaction has ended well, the
// status's owner and group become those `identities` says.
template <typename Op>
int ostrel_db_read_fstat_in_transaction(qel_fstat_db_s* fstat, bool zero_first, Op&& op,
                                        Ostrel_Db_Identities identities = Ostrel_Db_Identities::AGENTS) {
    if (zero_first && fstat != nullptr) *fstat = qel_fstat_db_s{};
    int status = ostrel_db_in_transaction(0, op);
    if (status != 0 || fstat == nullptr) return status;
    if (identities == Ostrel_Db_Identities::STORED) {
        ostrel_db_hand_out_identities(*fstat);
    } else {
        ostrelagent_replace_fstat_identities(*fstat);
    }
    return status;
}

// ---- state file ----------------------------------------------------------------------

// Opens "ostrel_db.state" (made with the letter 'n' when missing) and reads
// its letter ('\0' for an empty or unreadable file).
int ostrela_db_state_file_open();
int ostrela_db_state_file_close();
// Writes the letter and a newline at the start of the file and forces it to
// disk; the letter 'm' schedules the idle callback. Letter 0 writes nothing
// but still synchronises and forgets the letter.
int ostrela_db_state_change(int letter);
// Forces the engine's files and the config-record file to disk.
int ostrela_db_sync_files();
// A database marked 'm' is forced to disk and marked 'i'. Commits force
// nothing (unless NORVANE_ZFS_OPTIMIZATION is set): this, run when the
// agent has been idle, at close and (its first half) after a write abort,
// is what puts the committed pages on disk.
int ostrela_db_state_purify();
// The idle timer's procedure: purifies the database once a whole interval
// passed without a write transaction beginning, else looks again later.
void ostrela_db_state_idle_callback(void* argument);
// The state letter ('\0' when there is none).
char ostrela_db_state_letter();

// ---- errors ----------------------------------------------------------------------------

// Reports a failed engine call `op` (its name in capitals, "D_OPEN") on
// `object` (the database, a record type or "") and returns 1008.
int ostrela_kesto_err(const char* op, const char* object, int engine_status);
