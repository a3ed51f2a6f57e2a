// The transaction journal as the rest of the engine calls it. Journaling
// (option 0x100) records changes only inside a transaction; transactions
// come with a later part of the engine, so every call here has nothing to
// record yet, and a change that would need a journal record is refused.
#include "runtime/kesto_internal.h"

int d_trlog = 0;

void d_tron() { d_trlog = 1; }
void d_troff() { d_trlog = 0; }

namespace {

bool journaling() { return opt_on(OPT_JOURNAL) && trans_active(); }

int not_supported(int msg) {
  return dberr_code(S_TJFERR, msg, "transaction journaling is not supported");
}

}  // namespace

int tjf_init() { return db_status = S_OKAY; }

int tjf_close() {
  db_task &t = kt();
  t.tjf_fd = -1;
  t.tcf_fd = -1;
  return S_OKAY;
}

int tjf_journal(int, uint32_t, const void *, int, int) {
  return journaling() ? not_supported(770) : S_OKAY;
}

int tjf_journal_pg(int, const char *, const char *, int, uint32_t, int) {
  return journaling() ? not_supported(771) : S_OKAY;
}

int tjf_journal_rec(db_address, const char *, const char *, int, int) {
  return journaling() ? not_supported(772) : S_OKAY;
}

int tjf_journal_rec_ndba(const char *, const char *, int, int) {
  return journaling() ? not_supported(773) : S_OKAY;
}
