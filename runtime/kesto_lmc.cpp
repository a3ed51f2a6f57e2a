// Client calls of the multi-process lock manager. Only the shared open modes
// ("s", "x") use it; the one-user modes never reach it. No lock manager is
// installed in this system, so a task that needs one is told so (-920); the
// callers report it with their own message numbers. A checkpoint that
// lmc_checkpoint asks for runs (tjf_chkpoint) in the process whose lock
// request the lock manager answers -7.
#include "runtime/kesto_internal.h"

namespace {

int call() { return kt().use_lockmgr ? S_NOLOCKMGR : S_OKAY; }

}  // namespace

int lmc_login() { return call(); }
int lmc_logout() { return call(); }
int lmc_dbopen() { return call(); }
int lmc_dbclose() { return call(); }
int lmc_recovered() { return call(); }
int lmc_free() { return call(); }
int lmc_settime(int) { return call(); }
int lmc_trcommit(const char *) { return call(); }
int lmc_trend() { return call(); }
int lmc_checkpoint() { return call(); }
