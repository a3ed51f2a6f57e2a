#include <errno.h>

#include <cstdio>

#include "platform/qel/qel.h"

namespace {

// How a row of the table is used.
enum Direction {
    kBoth,        // errno <-> status
    kToErrno,     // status -> errno only: the errno belongs to another status
    kFromErrno,   // errno -> status only: a further errno of the status
};

struct StatusRow {
    qel_status_t status;
    int err;  // 0: none (the status gives EIO)
    const char* text;
    Direction direction = kBoth;
};

// One table for both directions. A status's first row gives its text and
// its errno; further rows add errno values that map to it.
const StatusRow kStatuses[] = {
    {QEL_ST_NO_MEMORY, ENOMEM, "Out of memory"},
    {QEL_ST_NOT_FOUND, ENOENT, "Not found", kToErrno},
    {QEL_ST_NOT_SUPPORTED, EOPNOTSUPP, "Operation not supported"},
    {QEL_ST_NOT_SUPPORTED, ENOSYS, nullptr, kFromErrno},
    {QEL_ST_INTERNAL, 0, "Internal error"},
    {QEL_ST_CANNOT_CREATE, 0, "Object could not be created"},
    {QEL_ST_NO_VIEW_ROOT, ENOENT, "View root not available", kToErrno},
    {QEL_ST_NOTHING_TO_DO, EALREADY, "Nothing to do, or already in progress"},
    {QEL_ST_NOT_VISIBLE, ENOENT, "Name not visible in the view", kToErrno},
    {QEL_ST_NO_CLEARTEXT, 0, "Cleartext or container not available"},
    {QEL_ST_NO_SUCH_VOB, ENOENT, "VOB not known to the view", kToErrno},
    {QEL_ST_INTERRUPTED, EINTR, "Interrupted"},
    {QEL_ST_TIMED_OUT, ETIMEDOUT, "Timed out"},
    {QEL_ST_READ_ONLY_STATE, EROFS, "Not writable in the current state", kToErrno},
    {QEL_ST_NEEDS_REFORMAT, 0, "Database must be reformatted"},
    {QEL_ST_STALE_GENERATION, ESTALE, "Stale: older than the view's generation", kToErrno},
    {QEL_ST_SHUTDOWN, ESHUTDOWN, "Service is shutting down"},
    {QEL_ST_ACCESS_DENIED, EACCES, "Permission denied"},
    {QEL_ST_NO_ENTRY, ENOENT, "No such file or directory"},
    {QEL_ST_UNEXPECTED_TYPE, 0, "Object of an unexpected type"},
    {QEL_ST_NO_RESOURCES, ENOBUFS, "Not enough space or resources"},
    {QEL_ST_NO_RESOURCES, ENOSPC, nullptr, kFromErrno},
    {QEL_ST_NO_RESOURCES, EDQUOT, nullptr, kFromErrno},
    {QEL_ST_NOT_PERMITTED, EPERM, "Operation not permitted"},
    {QEL_ST_EXISTS, EEXIST, "Already exists"},
    {QEL_ST_CROSS_VOB, EXDEV, "Link or rename across VOBs or devices"},
    {QEL_ST_NOT_DIRECTORY, ENOTDIR, "Not a directory"},
    {QEL_ST_IS_DIRECTORY, EISDIR, "Is a directory"},
    {QEL_ST_INVALID, EINVAL, "Invalid argument"},
    {QEL_ST_UNREACHABLE, EHOSTUNREACH, "Not reachable"},
    {QEL_ST_READ_ONLY, EROFS, "Read-only"},
    {QEL_ST_TOO_MANY_LINKS, ELOOP, "Too many levels of symbolic links"},
    {QEL_ST_TOO_LONG, ENAMETOOLONG, "Name or text too long"},
    {QEL_ST_TOO_LONG, ERANGE, nullptr, kFromErrno},
    {QEL_ST_NOT_EMPTY, ENOTEMPTY, "Not empty or still in use"},
    {QEL_ST_STALE, ESTALE, "Stale handle"},
    {QEL_ST_BUSY, EBUSY, "Busy"},
};

// Values below this are errno values, not statuses.
constexpr int kFirstStatus = 1000;

const StatusRow* first_row_of(qel_status_t status) {
    for (const StatusRow& row : kStatuses) {
        if (row.status == status) return &row;
    }
    return nullptr;
}

}  // namespace

const char* qel_strerror(qel_status_t status) {
    if (status == QEL_ST_OK) return "Success";
    if (status > 0 && status < kFirstStatus) return imsg_strerror(status);
    if (const StatusRow* row = first_row_of(status)) return row->text;
    thread_local char unknown[48];
    std::snprintf(unknown, sizeof unknown, "Unknown status %d", status);
    return unknown;
}

qel_status_t qel_errno2status(int err) {
    if (err == 0) return QEL_ST_OK;
    for (const StatusRow& row : kStatuses) {
        if (row.err == err && row.direction != kToErrno) return row.status;
    }
    return QEL_ST_INTERNAL;
}

int qel_status2errno(qel_status_t status) {
    if (status == QEL_ST_OK) return 0;
    if (status > 0 && status < kFirstStatus) return status;
    const StatusRow* row = first_row_of(status);
    return row != nullptr && row->err != 0 ? row->err : EIO;
}
