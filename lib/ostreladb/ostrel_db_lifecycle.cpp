// The view database's life cycle: what start-up does with the database it
// finds, by the state letter of the state file, and the rebuild that dumps a
// database and loads the dump into a new one (a database left modified by a
// process that did not close it, or mid-recovery, or of another schema
// version).
//
// A rebuild never loses what the database held: the old database directory
// is kept as "db.dumped" (".1", ".2" ...) and the dump files stay until a
// load and the check after it have succeeded; a load that fails keeps the
// letter 'd', and the next start loads the dump again.
#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_cache_flush.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/pfm/pfm.h"
#include "platform/utl/fileutl.h"

std::string view_home;

namespace {

const char* const NEW_DB_MARKER = ".new_db";
const char* const KEPT_DB = "db.dumped";

void utls_message(int kind, int index) {
    imsg_print(kind, &_ostreladb_lib_db_utls_msg_table, index, view_home.c_str());
}

void exit_hook(int) { ostrel_db_on_exit(); }

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

// Whether `name` is a kept old database: "db.dumped" or "db.dumped.<n>".
bool is_kept_db(const char* name) {
    size_t len = std::strlen(KEPT_DB);
    if (std::strncmp(name, KEPT_DB, len) != 0) return false;
    if (name[len] == '\0') return true;
    if (name[len] != '.' || name[len + 1] == '\0') return false;
    for (const char* p = name + len + 1; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    return true;
}

std::vector<std::string> kept_dbs() {
    std::vector<std::string> kept;
    DIR* dir = ::opendir(".");
    if (dir == nullptr) return kept;
    while (struct dirent* entry = ::readdir(dir))
        if (is_kept_db(entry->d_name)) kept.push_back(entry->d_name);
    ::closedir(dir);
    return kept;
}

// Removes the old databases a rebuild kept, now that the new one is loaded
// and checked.
void remove_kept_dbs() {
    for (const std::string& name : kept_dbs())
        if (fileutl_rm(name.c_str(), FILEUTL_RM_RECURSIVE) != 0)
            ostrela_db_file_message(IMSG_KIND_WARN, QEL_MSG_REMOVE, name.c_str(), errno);
    ostrela_db_step("kept-removed");
}

// Loads the dump into a new database and checks it against its containers;
// only then do the old databases go.
int load_and_check() {
    int status = ostrela_db_load_db();
    if (status == 0) status = fsck_db();
    if (status != 0) return status;
    ostrela_db_step("checked");
    remove_kept_dbs();
    return 0;
}

// A new database: schema, engine files, initial content, the letter 'm'.
int create_db(int* created) {
    int status = ostrela_db_init_schema();
    if (status == 0) status = ostrela_db_open_db(0, OSTREL_DB_DEFAULT_PAGES);
    if (status == 0) status = ostrela_db_init_db();
    if (status != 0) return status;
    *created = 1;
    if ((status = ostrela_db_state_change('m')) != 0) return status;
    utls_message(IMSG_KIND_OK, DBU_MSG_DB_INITIALIZED);
    return 0;
}

// Opens the database there is. One of another schema version is rebuilt
// once, unless this start has rebuilt it already (it then stays closed).
int open_db(bool recovered) {
    int status = ostrela_db_open_db(0, OSTREL_DB_DEFAULT_PAGES);
    if (status == QEL_ST_NEEDS_REFORMAT && !recovered) {
        utls_message(IMSG_KIND_WARN, DBU_MSG_REFORMATTING);
        if (ostrel_db_recover_db(1) != 0) {
            utls_message(IMSG_KIND_ERR, DBU_MSG_REFORMAT_FAILED);
            return QEL_ST_NEEDS_REFORMAT;
        }
        if ((status = ostrela_db_open_db(0, OSTREL_DB_DEFAULT_PAGES)) != 0) return status;
    }
    if (status != 0 && status != QEL_ST_NEEDS_REFORMAT) return status;
    if (status == 0) {
        // A rebuild that ended after its load, before its check was done,
        // is finished now.
        if (!kept_dbs().empty() && fsck_db() == 0) remove_kept_dbs();
        // Nothing a build session held survives the process that ran it.
        ostrel_db_rm_build_session(0);
    }
    utls_message(IMSG_KIND_OK, DBU_MSG_DB_INITIALIZED);
    return 0;
}

// Rebuilds the database found modified, mid-recovery or dumped. A failure
// leaves it closed and the agent running.
int recover_at_start() {
    utls_message(IMSG_KIND_WARN, DBU_MSG_RECOVERY_NEEDED);
    if (ostrel_db_recover_db(0) != 0) {
        utls_message(IMSG_KIND_ERR, DBU_MSG_RECOVERY_FAILED);
        return 0;
    }
    utls_message(IMSG_KIND_WARN, DBU_MSG_RECOVERY_SUCCEEDED);
    return open_db(true);
}

int start_up(int* created) {
    int status = ostrela_db_state_file_open();
    if (status != 0) return status;
    char letter = ostrela_db_state_letter();
    switch (letter) {
    case 'm':
        if ((status = ostrela_db_state_change('r')) != 0) return status;
        return recover_at_start();
    case 'r':
    case 'd':  // a load that did not finish is tried again
        return recover_at_start();
    case 'i':
        return open_db(false);
    case '\0':
        if (!exists(NEW_DB_MARKER)) return 0;
        if (::unlink(NEW_DB_MARKER) != 0) {
            ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_UNLINK, NEW_DB_MARKER, errno);
            return QEL_ST_INTERNAL;
        }
        if ((status = ostrela_db_state_change('n')) != 0) return status;
        return create_db(created);
    case 'n':
        return create_db(created);
    default:
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_UNEXPECTED_STATE, letter);
        return QEL_ST_INTERNAL;
    }
}

} // namespace

int ostrel_db_init(int* created) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_init");
    *created = 0;
    static bool hooked = false;
    if (!hooked) hooked = pfm_on_exit(exit_hook, 0) == 0;
    int status = start_up(created);
    if (status == 0 && ostrela_db_trans_start(0) == 0) {
        ostrel_db_sched_scrubber();
        ostrela_db_trans_end(0);
    }
    return status;
}

int ostrel_db_reset() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_reset");
    int status = ostrela_db_close_db();
    int created = 0;
    return status != 0 ? status : start_up(&created);
}

int ostrel_db_close() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_close");
    ostrel_db_unsched_scrubber();
    bool was_open = false;
    int status = ostrela_db_close_db(&was_open);
    // A second close (the exit hook's, after EndView's) closed nothing.
    if (status == 0 && was_open) imsg_print(IMSG_KIND_OK, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_DB_CLOSED);
    return status;
}

void ostrel_db_on_exit() { ostrel_db_close(); }

int ostrel_db_get_mtime(long* mtime) { return ostrela_db_get_mtime(mtime); }

int ostrel_db_recover_db(int force) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_recover_db");
    char letter = ostrela_db_state_letter();
    int status = 0;
    // A database directory that is gone while a dump is there was dumped:
    // the process ended between putting it aside and recording that.
    if (letter != 'd' && !exists(OSTREL_DB_DIR) && exists(OSTREL_DB_DUMP_FILE)) letter = 'd';
    switch (letter) {
    case 'm':
        // Synchronised, it is as after 'i'.
        if ((status = ostrela_db_state_purify()) != 0) return status;
        [[fallthrough]];
    case 'i':
    case 'n':
        if (!force) return QEL_ST_NOTHING_TO_DO;
        break;
    case '\0':
    case 'r':
        break;
    case 'd':
        return load_and_check();
    default:
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_UNEXPECTED_STATE, letter);
        return QEL_ST_INTERNAL;
    }
    char kept[1024];
    if ((status = ostrela_db_dump_db(kept, sizeof kept)) != 0) return status;
    return load_and_check();
}

int ostrel_db_recover(const void*, int force) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_recover");
    OstrelDb_Cache_Flush::flush_installed();
    int status = ostrela_db_state_file_open();
    return status != 0 ? status : ostrel_db_recover_db(force);
}

int ostrel_db_load(const void*, int force) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_load");
    OstrelDb_Cache_Flush::flush_installed();
    int status = ostrela_db_state_file_open();
    if (status != 0) return status;
    if (!force && ostrela_db_state_letter() != 'd') return QEL_ST_NO_ENTRY;
    if ((status = load_and_check()) != 0) return status;
    utls_message(IMSG_KIND_WARN, DBU_MSG_LOAD_SUCCEEDED);
    return 0;
}

int ostrel_db_dump(const void*, int force) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_dump");
    int status = ostrela_db_state_file_open();
    if (status != 0) return status;
    if (ostrela_db_state_letter() == 'd') return QEL_ST_EXISTS;
    if (!force) {
        int version = 0;
        if (ostrela_db_read_schema(&version) != 0) return QEL_ST_INTERNAL;
        if (version == OSTREL_DB_SCHEMA_VERSION) return QEL_ST_NOTHING_TO_DO;
    }
    char kept[1024];
    if ((status = ostrela_db_dump_db(kept, sizeof kept)) != 0) return status;
    imsg_print(IMSG_KIND_WARN, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_DUMP_SUCCEEDED, view_home.c_str(), kept);
    return 0;
}
