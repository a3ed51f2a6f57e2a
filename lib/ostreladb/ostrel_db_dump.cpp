// The dump step of a rebuild: the installed dump program writes the dump
// files, then the old database directory is put aside and the state letter
// says that the database lives in its dump. Also what the dump program and
// the loader share of the format.
#include "lib/ostreladb/ostrel_db_dump.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "lib/ostreladb/ostrel_db_report.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const SOURCE = "lib/ostreladb/ostrel_db_dump";

ostrela_db_step_hook_t step_hook = nullptr;

// The fields of the file status a block carries, in the block's order.
struct BlockWords {
    uint32_t* at[OSTREL_DB_DUMP_FSTAT_WORDS];
    explicit BlockWords(qel_fstat_db_s& s)
        : at{&s.type,         &s.mode,         &s.nodeid,       &s.atime.tv_sec, &s.atime.tv_usec, &s.mtime.tv_sec,
             &s.mtime.tv_usec, &s.ctime.tv_sec, &s.ctime.tv_usec, &s.xtime.tv_sec, &s.xtime.tv_usec} {}
};

} // namespace

std::string ostrela_db_dump_file_name(int index) {
    return index == 0 ? std::string(OSTREL_DB_DUMP_FILE) : std::string(OSTREL_DB_DUMP_FILE) + "." + std::to_string(index);
}

void ostrela_db_fstat_to_words(const qel_fstat_db_s& fstat, uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS]) {
    qel_fstat_db_s copy = fstat;
    BlockWords block(copy);
    for (int i = 0; i < OSTREL_DB_DUMP_FSTAT_WORDS; ++i) words[i] = *block.at[i];
}

void ostrela_db_fstat_from_words(const uint32_t words[OSTREL_DB_DUMP_FSTAT_WORDS], qel_fstat_db_s* fstat) {
    *fstat = qel_fstat_db_s{};
    BlockWords block(*fstat);
    for (int i = 0; i < OSTREL_DB_DUMP_FSTAT_WORDS; ++i) *block.at[i] = words[i];
}

int ostrela_db_dumper_path(int version, char* buf, size_t size) {
    char name[32];
    std::snprintf(name, sizeof name, "ostrel_dumper_%d", version);
    if (strutl_concat(buf, size, qel_product_server_dir(), "/", name, nullptr) == 0) return 0;
    qel_log_int_error("view", SOURCE, __LINE__, nullptr, 0);
    return QEL_ST_INTERNAL;
}

int ostrela_db_sync_dir(const char* dir) {
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return qel_errno2status(errno);
    int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    errno = error;
    return error == 0 ? 0 : qel_errno2status(error);
}

void ostrela_db_set_step_hook(ostrela_db_step_hook_t hook) { step_hook = hook; }

void ostrela_db_step(const char* step) {
    if (step_hook != nullptr) step_hook(step);
}

int ostrela_db_dump_db(char* buf, size_t size) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, "ostrela_db_dump_db");
    buf[0] = '\0';
    int version = 0;
    if (ostrela_db_read_schema(&version) != 0) return QEL_ST_INTERNAL;
    char program[1024];
    if (ostrela_db_dumper_path(version, program, sizeof program) != 0) return QEL_ST_INTERNAL;
    if (::access(program, X_OK) != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_ACCESS, program, errno);
        return QEL_ST_NO_MEMORY;
    }
    imsg_print(IMSG_KIND_WARN, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_DUMPING, view_home.c_str());
    int exit_status = -1;
    if (sysutl_invoke_general_redirect(SYSUTL_REDIRECT_STDOUT_TO_STDERR, program, view_home.c_str(), &exit_status) !=
            0 ||
        exit_status != 0) {
        imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_DUMPER_EXIT, program, exit_status);
        return QEL_ST_INTERNAL;
    }
    ostrela_db_step("dump-written");

    int status = ostrela_db_close_db();
    if (status != 0) return status;
    if ((status = ostrela_db_state_file_open()) != 0) return status;
    if (fileutl_rename_unique(OSTREL_DB_DIR, ".dumped", buf, size) != 0) {
        buf[0] = '\0';
        if (errno != ENOENT) {
            imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_RENAME, OSTREL_DB_DIR, ".dumped",
                       imsg_strerror(errno));
            return QEL_ST_INTERNAL;
        }
    }
    // The rename reaches the disk before the letter that relies on it.
    if (ostrela_db_sync_dir(".") != 0) {
        ostrela_db_file_message(IMSG_KIND_ERR, QEL_MSG_WRITE, view_home.c_str(), errno);
        return QEL_ST_INTERNAL;
    }
    ostrela_db_step("db-renamed");
    return ostrela_db_state_change('d');
}
