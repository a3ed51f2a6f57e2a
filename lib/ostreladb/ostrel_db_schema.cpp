// Installing the schema into a new database: the dictionary and the schema
// version come from the product's server directory.
#include <sys/stat.h>

#include <cerrno>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"

namespace {

const char* const SOURCE = "lib/ostreladb/ostrel_db_schema";

// The flag word of the copies; fileutl_cp gives every flag word one meaning.
constexpr unsigned COPY_FLAGS = 0x2205;

// Copies the installed file `name` into "db"; its destination goes to `dest`.
int install(const char* name, char* dest, size_t size) {
    char source[1024];
    if (strutl_concat(source, sizeof source, qel_product_server_dir(), "/", name, nullptr) != 0 ||
        strutl_concat(dest, size, OSTREL_DB_DIR, "/", name, nullptr) != 0) {
        qel_log_int_error("view", SOURCE, __LINE__, nullptr, 0);
        return QEL_ST_INTERNAL;
    }
    if (fileutl_cp(source, dest, COPY_FLAGS) == 0) return 0;
    imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_COPY, source, dest, imsg_strerror(errno));
    return QEL_ST_INTERNAL;
}

} // namespace

int ostrela_db_init_schema() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_init_schema");
    if (ostrela_db_mkdb_dir() != 0) return QEL_ST_INTERNAL;
    char dest[1024];
    int status = install(OSTREL_DB_SCHEMA_VERSION_FILE, dest, sizeof dest);
    if (status == 0) status = install(OSTREL_DB_DICTIONARY, dest, sizeof dest);
    if (status != 0) return status;
    struct stat st;
    if (fileutl_stat(dest, 0, &st) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_STAT, dest, errno);
        return QEL_ST_INTERNAL;
    }
    if (::chmod(dest, 0640) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_CHMOD, dest, errno);
        return QEL_ST_INTERNAL;
    }
    return 0;
}
