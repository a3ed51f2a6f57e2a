#pragma once
// How the view database's operations report a failure: once, with their own
// message, and never for the statuses their callers pass on silently.

#include <string>

#include "lib/core/ostrelagent_trace.h"
#include "lib/ostreladb/ostrel_db_msg.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

// Writes message `index` of `table` with `args` and the status's text as
// its last argument, unless `status` is 0, 1080 or one of `quiet` (a
// 0-terminated list); returns `status`.
template <typename... Args>
int ostrela_db_report_with(const _imsg_message_table_t* table, int status, const int* quiet, int index,
                           Args... args) {
    if (status == 0 || status == QEL_ST_READ_ONLY) return status;
    for (const int* q = quiet; q != nullptr && *q != 0; ++q)
        if (status == *q) return status;
    imsg_print(IMSG_KIND_ERR, table, index, args..., qel_strerror(status));
    return status;
}

// The record-level messages ("ostrelagent_kesto_db"), and the
// namespace-level ones ("ostrelagent_db_utls") of the operations that run
// transactions of their own.
template <typename... Args>
int ostrela_db_report(int status, const int* quiet, int index, Args... args) {
    return ostrela_db_report_with(&_ostreladb_lib_kesto_db_msg_table, status, quiet, index, args...);
}
template <typename... Args>
int ostrel_db_report(int status, const int* quiet, int index, Args... args) {
    return ostrela_db_report_with(&_ostreladb_lib_db_utls_msg_table, status, quiet, index, args...);
}

// The text form of an oid or a uuid, for messages.
inline std::string ostrela_db_id_text(const qel_oid_s& oid) {
    char buf[QEL_OID_STR_SIZE];
    return qel_oid_to_str(&oid, buf);
}
inline std::string ostrela_db_id_text(const qel_uuid_s& uuid) {
    char buf[QEL_UUID_STR_SIZE];
    return qel_uuid_to_str(&uuid, buf);
}

// The class text of the view database's traces.
inline constexpr const char* OSTREL_DB_TRACE_CLASS = "kesto";

// The scoped trace a view-database function opens under its own name;
// state changes of namespace records go to it at level 4 (state()).
class OstrelDb_Trace : public OstrelAgent_Trace {
public:
    explicit OstrelDb_Trace(const char* method)
        : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT_DB, OSTREL_DB_TRACE_CLASS, method) {}
    template <typename... Args>
    void state(const char* fmt, Args... args) const {
        if (shouldTrace(TRACE_LEVEL_4)) writeTrace(fmt, args...);
    }
};

// A base-library message about a file: `index` of the base catalog with the
// path and the system's text for `error`.
inline void ostrela_db_file_message(int kind, int index, const char* path, int error) {
    imsg_print(kind, &_qel_cmsg_qel_msg_table, index, path, imsg_strerror(error));
}

// Reports a record of an unexpected type met where `dbid`'s records are;
// returns `status`.
inline int ostrela_db_unexpected_record(int type, unsigned long dbid, int status = QEL_ST_INTERNAL) {
    imsg_print(IMSG_KIND_ERR, &_ostreladb_lib_kesto_db_msg_table, KDB_MSG_UNEXPECTED_RECORD, type, dbid);
    return status;
}

// Quiet lists.
inline constexpr int OSTREL_DB_QUIET_NONE[] = {0};
inline constexpr int OSTREL_DB_QUIET_NOT_FOUND[] = {QEL_ST_NOT_FOUND, 0};
inline constexpr int OSTREL_DB_QUIET_STALE[] = {QEL_ST_STALE, 0};
inline constexpr int OSTREL_DB_QUIET_NOT_EMPTY[] = {QEL_ST_NOT_EMPTY, QEL_ST_NOT_FOUND, 0};
inline constexpr int OSTREL_DB_QUIET_WRITE[] = {QEL_ST_READ_ONLY_STATE, 0};
