// Client calls of the multi-process lock manager: thin calls from the open,
// lock, commit, abort and close of a shared open (modes "s" and "x") to the
// lock manager's operations, which this process runs itself in the mapped
// lock-manager file (kesto_lockmgr.cpp). A failure is reported here once,
// with its status; the callers add their own message numbers.
//
// Without a lock manager (the one-user modes) every call but lmc_lock,
// lmc_free and lmc_logout succeeds at once.
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_lockmgr.h"

namespace {

// The task's user slot in the area, or -1 when it is not logged in.
int user() {
  db_task &t = kt();
  return t.lm.base ? t.lockmgr_handle : -1;
}

int result(int status) { return status == S_OKAY ? db_status = S_OKAY : dberr(status); }

// Runs an operation when the task uses the lock manager.
template <typename Op>
int when_used(Op op) {
  if (!kt().use_lockmgr) return db_status = S_OKAY;
  if (user() < 0) return dberr(S_SYSERR);
  return result(op(kt().lm, user()));
}

}  // namespace

int lmc_login() {
  db_task &t = kt();
  if (!t.use_lockmgr) return db_status = S_OKAY;
  char path[PATHLEN];
  vpathcpy(path, t.lockmgr_name, PATHLEN);
  if (prefix_dbwdir(path) != S_OKAY) return db_status;
  const int slot = shm_login(t.lm, path, t.user_id, t.taf_fd);
  if (slot == -2) return dberr(S_DUPUSERID);
  if (slot < 0) return dberr(S_SYSERR);
  t.lockmgr_handle = slot;
  return db_status = S_OKAY;
}

int lmc_logout() {
  db_task &t = kt();
  if (!t.lm.base) return db_status = S_OKAY;
  int status = l_closeuser(t.lm, t.lockmgr_handle);
  if (shm_close_lockmgr(t.lm) != 0 && status == S_OKAY) status = S_SYSERR;
  t.lockmgr_handle = -1;
  return result(status);
}

int lmc_dbopen(const lm::file_id *files, int count, char mode, lm::reply *reply, int16_t *indexes) {
  return when_used([&](lm_map &m, int u) { return l_dbopen(m, u, files, count, mode, reply, indexes); });
}

int lmc_lock(const lm::request *requests, int count, lm::reply *reply, lm::granted *granted) {
  if (user() < 0) return dberr(S_SYSERR);
  return result(l_lock(kt().lm, user(), requests, count, reply, granted));
}

int lmc_free(const int16_t *files, int count) {
  if (user() < 0) return dberr(S_SYSERR);
  if (count == 0) return db_status = S_OKAY;
  return result(l_freelock(kt().lm, user(), files, count));
}

int lmc_dbclose(const int16_t *files, int count) {
  return when_used([&](lm_map &m, int u) { return l_dbclose(m, u, files, count); });
}

int lmc_trcommit(const char *overflow_name) {
  return when_used([&](lm_map &m, int u) { return l_trcommit(m, u, overflow_name); });
}

int lmc_trend() {
  return when_used([](lm_map &m, int u) { return l_trend(m, u); });
}

int lmc_recovered() {
  return when_used([](lm_map &m, int u) { return l_recovered(m, u); });
}

int lmc_recovery_failed() {
  return when_used([](lm_map &m, int u) { return l_recfail(m, u); });
}

int lmc_checkpoint() {
  return when_used([](lm_map &m, int u) { return l_force_chkpoint(m, u); });
}

int lmc_settime(int seconds) {
  return when_used([&](lm_map &m, int u) { return l_settime(m, u, seconds); });
}
