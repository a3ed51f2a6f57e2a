// The view database's life cycle: what start-up does with the database it
// finds, by the state letter of the state file.
//
// Stand-in: dump and reload (the recovery of a database left modified by a
// process that did not close it, and the reformat of one of another schema
// version) are not built yet. Until they are, a database left 'm' or 'r' is
// opened as it is (the engine's open has already completed any commit that
// was recorded and not finished, so it holds exactly the committed
// transactions), and a database of another schema version stays closed with
// "Reformat failed". The stranded-container scrubber and the release of
// build sessions join start-up with the operations they need.
#include <unistd.h>

#include <cerrno>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/pfm/pfm.h"

std::string view_home;

namespace {

const char* const NEW_DB_MARKER = ".new_db";

void utls_message(int kind, int index) {
    imsg_print(kind, &_ostreladb_lib_db_utls_msg_table, index, view_home.c_str());
}

void exit_hook(int) { ostrel_db_on_exit(); }

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

int open_db() {
    int status = ostrela_db_open_db(0, OSTREL_DB_DEFAULT_PAGES);
    if (status == QEL_ST_NEEDS_REFORMAT) {
        utls_message(IMSG_KIND_WARN, DBU_MSG_REFORMATTING);
        utls_message(IMSG_KIND_ERR, DBU_MSG_REFORMAT_FAILED);
        return status;
    }
    if (status != 0) return status;
    utls_message(IMSG_KIND_OK, DBU_MSG_DB_INITIALIZED);
    return 0;
}

int start_up(int* created) {
    int status = ostrela_db_state_file_open();
    if (status != 0) return status;
    char letter = ostrela_db_state_letter();
    switch (letter) {
    case 'i':
    case 'm':
        return open_db();
    case 'r':
        if ((status = ostrela_db_state_change('m')) != 0) return status;
        return open_db();
    case 'd':
        return 0;
    case '\0':
        if (::access(NEW_DB_MARKER, F_OK) != 0) return 0;
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
    return start_up(created);
}

int ostrel_db_reset() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_reset");
    int status = ostrela_db_close_db();
    int created = 0;
    return status != 0 ? status : start_up(&created);
}

int ostrel_db_close() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrel_db_close");
    int status = ostrela_db_close_db();
    if (status == 0) imsg_print(IMSG_KIND_OK, &_ostreladb_lib_db_utls_msg_table, DBU_MSG_DB_CLOSED);
    return status;
}

void ostrel_db_on_exit() { ostrel_db_close(); }

int ostrel_db_get_mtime(long* mtime) { return ostrela_db_get_mtime(mtime); }
