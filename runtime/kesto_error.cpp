// Error reporting: every failure of the engine ends here as one numbered line
// on standard error (or the task's callback) and a status in `db_status`.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/kesto_internal.h"

int db_status = 0;

namespace {

const char *const user_error[] = {
    "database not opened",
    "invalid set",
    "invalid record",
    "invalid database",
    "invalid field name",
    "invalid db_address",
    "no current record",
    "set has no current owner",
    "set has no current member",
    "key value required",
    "invalid lock value",
    "record is owner of non-empty set(s)",
    "record is member of set(s)",
    "member already owned",
    "field is a compound key",
    "record not connected to set",
    "field is not a valid key",
    "record not legal owner of set",
    "record not legal member of set",
    "error in d_setpages (database open or bad param)",
    "incompatible dictionary file",
    "illegal attempt to delete system record",
    "illegal attempt to lock locked set/record",
    "attempt to access unlocked set/record",
    "transaction id not supplied",
    "transaction already active",
    "transaction not active",
    "transaction cannot begin due to locked files",
    "cannot free locks within a transaction",
    "too many changed database pages",
    "cannot update database outside a transaction",
    "exclusive access required",
    "write locks not allowed on static files",
    "unspecified or duplicate user id",
    "database, path or file name too long",
    "invalid file number was passed to d_renfile",
    "field is not an optional key field",
    "field is not defined in current record type",
    "record/field has/in a compound key",
    "invalid record or set number",
    "record/set not timestamped",
    "bad DBUSERID (contains non-alphanumeric)",
    "NetBIOS has not been installed on machine",
    "wrong # of elements in DBDPATH",
    "wrong # of elements in DBFPATH",
    "no current record type",
    "invalid country table sort string",
    "database not closed",
    "invalid pointer",
    "invalid internal ID",
};

const char *const system_error[] = {
    "no more space on file",
    "system error",
    "page fault",
    "no working file in dio",
    "unable to allocate sufficient memory",
    "error opening file",
    "unable to get access to database taf file",
    "database taf/log file error",
    "inconsistent database locks",
    "file record limit exceeded",
    "key file inconsistency",
    "maximum concurrent user limit exceeded",
    "error seeking in database file",
    "invalid file specified",
    "error reading from a database/overflow file",
    "lock manager synchronization error",
    "debug check interrupt",
    "network communications error",
    "auto-recovery in process",
    "error writing to a database/overflow file",
    "no lock manager is installed",
    "DBUSERID is already being used",
    "the lock manager is busy",
    "attempt to lock discarded memory",
    "db_KESTO Semaphore error",
    "error in Transaction Journaling File",
    "problem in shared memory lock manager",
};

static_assert(sizeof(user_error) / sizeof(user_error[0]) == 50, "50 user error texts");
static_assert(sizeof(system_error) / sizeof(system_error[0]) == 27, "27 system error texts");

DBERR_CALLBACK current_callback() {
  return Kestotask.block ? Kestotask.block->dberr_callback : nullptr;
}

// Formats into a string; one trailing newline of the text is dropped, since
// every report is exactly one line.
std::string vformat(const char *fmt, va_list ap) {
  if (!fmt || !*fmt) return std::string();
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&text[0], text.size(), fmt, ap);
  text.resize(static_cast<size_t>(n));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void put_line(const std::string &line) {
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

}  // namespace

const char *dberr_text(int code) {
  if (code <= -1 && code >= -50) return user_error[-code - 1];
  if (code <= -900 && code >= -926) return system_error[-900 - code];
  if (code == S_READONLY) return "database opened read-only";
  return "unknown error";
}

namespace {

int report(int code, int msg, const std::string *detail) {
  int saved_errno = errno;
  if (code < 0) {
    const char *text = dberr_text(code);
    if (DBERR_CALLBACK cb = current_callback()) {
      cb(code, text);
    } else {
      char head[160];
      snprintf(head, sizeof head, "QVKDM%04d%c *** db_KESTO database error %d - %s", msg,
               code == S_RECOVERY ? 'I' : 'E', code, text);
      std::string line(head);
      if (detail) {
        line += ": ";
        line += *detail;
      }
      line += '\n';
      put_line(line);
    }
  }
  db_status = code == S_DEBUG ? 0 : code;
  errno = saved_errno;
  return db_status;
}

}  // namespace

int dberr_code(int code, int msg) { return report(code, msg, nullptr); }

int dberr_code(int code, int msg, const char *fmt, ...) {
  int saved_errno = errno;
  std::string detail;
  bool has_detail = fmt && *fmt;
  if (has_detail && code < 0) {
    va_list ap;
    va_start(ap, fmt);
    detail = vformat(fmt, ap);
    va_end(ap);
  }
  errno = saved_errno;
  return report(code, msg, has_detail ? &detail : nullptr);
}

int dberr(int code) {
  int saved_errno = errno;
  if (code < 0) {
    const char *text = dberr_text(code);
    if (DBERR_CALLBACK cb = current_callback()) {
      cb(code, text);
    } else {
      char line[200];
      snprintf(line, sizeof line, "\n*** db_KESTO database error %d - %s\n", code, text);
      put_line(line);
    }
  }
  db_status = code == S_DEBUG ? 0 : code;
  errno = saved_errno;
  return db_status;
}

void dbout_code(int msg, int severity, const char *fmt, ...) {
  int saved_errno = errno;
  char head[16];
  snprintf(head, sizeof head, "QVKDM%04d%c ", msg, severity == 1 ? 'W' : severity == 2 ? 'I' : 'E');
  va_list ap;
  va_start(ap, fmt);
  std::string line = head + vformat(fmt, ap) + "\n";
  va_end(ap);
  put_line(line);
  errno = saved_errno;
}

void dbautorec() { dberr_code(S_RECOVERY, 498); }

int dt_set_dberr(DBERR_CALLBACK callback, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  kt().dberr_callback = callback;
  return db_status = S_OKAY;
}
