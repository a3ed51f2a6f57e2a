// The transaction journal as the rest of the engine calls it. Journaling
// (option 0x100) records changes only inside a transaction and comes with a
// later part of the engine: a transaction begun with journaling on is
// refused, and a journal record that would be needed is refused too. With
// journaling off (the one-user use of the engine) every call has nothing to
// record.
#include "runtime/kesto_internal.h"

int d_trlog = 0;

void d_tron() { d_trlog = 1; }
void d_troff() { d_trlog = 0; }

namespace {

bool journaling() { return opt_on(OPT_JOURNAL) && trans_active(); }

int not_supported(int msg) {
  return dberr_code(S_TJFERR, msg, "transaction journaling is not supported");
}

constexpr int32_t DEFAULT_LIMIT = 268435456;
constexpr int32_t SMALLEST_LIMIT = 1048576;
constexpr int32_t LARGEST_LIMIT = 1073741824;

}  // namespace

int tjf_init() {
  if (kt().tjf_limit == 0) kt().tjf_limit = DEFAULT_LIMIT;
  return db_status = S_OKAY;
}

int tjf_close() {
  db_task &t = kt();
  t.tjf_fd = -1;
  t.tcf_fd = -1;
  return S_OKAY;
}

int tjf_begin() {
  db_task &t = kt();
  if (opt_on(OPT_JOURNAL)) return not_supported(774);
  for (int f = 0; f < t.size_ft; ++f) t.file_table[f].flags &= static_cast<uint16_t>(~FILE_JOURNALED);
  t.tjf_trans_no = 0;
  return db_status = S_OKAY;
}

int tjf_save_files() { return journaling() ? not_supported(775) : S_OKAY; }
int tjf_commit() { return journaling() ? not_supported(776) : S_OKAY; }
int tjf_abort() { return S_OKAY; }

int tjf_recover_commit(uint32_t id) {
  // Without a journal every commit is recorded by its overflow file alone.
  if (id == 0) return db_status = S_OKAY;
  return dberr_code(S_TJFERR, 777, "journal transaction %u: transaction journaling is not supported", id);
}

int tjf_set_checkpoint_limit(int32_t limit) {
  if (limit < 0) return dberr_code(S_TJFERR, 206, "Invalid TJF checkpoint limit %d", limit);
  if (limit == 0) limit = DEFAULT_LIMIT;
  else if (limit < SMALLEST_LIMIT) limit = SMALLEST_LIMIT;
  else if (limit > LARGEST_LIMIT) limit = LARGEST_LIMIT;
  kt().tjf_limit = limit;
  return db_status = S_OKAY;
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
