// Services that later parts of the engine provide: transactions (begin,
// commit, abort), the overflow file's transaction work and recovery of an
// interrupted commit. Until they exist each one refuses with a reported
// error instead of pretending to succeed. Nothing here is reached by the
// calls built so far except through those services' own entry points.
#include "runtime/kesto_internal.h"

namespace {

int not_supported(int msg, const char *what) {
  return dberr_code(S_SYSERR, msg, "%s is not supported", what);
}

}  // namespace

int dt_trabort(DB_TASK *) { return not_supported(790, "transaction abort"); }

int o_init() { return not_supported(791, "overflow file set-up"); }
int o_fileinit(int) { return not_supported(792, "overflow file change"); }
uint32_t o_pages(int) { return 0; }
int o_search(int, uint32_t, uint32_t *) { return not_supported(793, "overflow page search"); }
int o_write(page_slot *, lookup_entry *) { return not_supported(794, "overflow page write"); }
int o_pzwrite(int) { return not_supported(795, "overflow page-zero write"); }

int dt_recover(const char *overflow_path, DB_TASK *) {
  return dberr_code(S_SYSERR, 796, "recovery of '%s' is not supported", overflow_path);
}
