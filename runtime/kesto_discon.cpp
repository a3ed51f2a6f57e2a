// Taking a set's current member out of its owner's chain (dt_discon), and
// taking the current record out of every set before deleting it
// (dt_disdel).
#include "runtime/kesto_held.h"
#include "runtime/kesto_internal.h"

namespace {

// The registers of one set, as dt_disdel notes them before it works on it.
struct set_currency {
  db_address owner, member;
  uint32_t owner_time, member_time, set_time;
};

set_currency note(int si) {
  const db_task &t = kt();
  set_currency c{t.curr_own[si], t.curr_mem[si], 0, 0, 0};
  if (t.rec_stamped) {
    c.owner_time = t.co_time[si];
    c.member_time = t.cm_time[si];
  }
  if (t.set_stamped) c.set_time = t.cs_time[si];
  return c;
}

// Puts a set's noted registers back; those naming the record that is
// leaving are cleared (a set without its owner has no member either).
void restore(int si, set_currency c, db_address leaving) {
  db_task &t = kt();
  if (c.owner == leaving) c = {};
  if (c.member == leaving) {
    c.member = 0;
    c.member_time = 0;
  }
  t.curr_own[si] = c.owner;
  t.curr_mem[si] = c.member;
  if (t.rec_stamped) {
    t.co_time[si] = c.owner_time;
    t.cm_time[si] = c.member_time;
  }
  if (t.set_stamped) t.cs_time[si] = c.set_time;
}

// Takes the record (the current record) out of one set: as owner, every
// member goes; as member, it leaves its owner.
int leave_set(int si, int set, int rec_index, db_address dba) {
  db_task &t = kt();
  const set_entry &se = t.set_table[si];
  if (se.owner == rec_index) {
    if (dt_setor(set, nullptr, t.curr_db) != S_OKAY) return db_status;
    int status;
    while ((status = dt_findfm(set, nullptr, t.curr_db)) == S_OKAY)
      if (dt_discon(set, nullptr, t.curr_db) < 0) return db_status;
    if (status < 0) return status;
    if (dt_setro(set, nullptr, t.curr_db) != S_OKAY) return db_status;
  }
  for (int m = se.first_member; m < se.first_member + se.member_count; ++m) {
    if (t.member_table[m].record != rec_index) continue;
    int status = dt_ismember(set, nullptr, t.curr_db);
    if (status < 0) return status;
    if (status != S_OKAY) continue;
    if (dt_csmset(set, &dba, nullptr, t.curr_db) != S_OKAY) return db_status;
    if (dt_discon(set, nullptr, t.curr_db) < 0) return db_status;
  }
  return db_status = S_OKAY;
}

}  // namespace

int dt_discon(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  db_address own = t.curr_own[si];
  if (!own) return dberr_code(S_NOCO, 3);
  db_address mem = t.curr_mem[si];
  if (!mem) return dberr_code(S_NOCM, 4);

  held_records held;
  char *mrec, *orec;
  if (held.read(mem, &mrec) != S_OKAY) return db_status;
  member_pointer link;
  if (r_gmem(si, mrec, &link) != S_OKAY) return db_status;
  if (!link.owner) return db_status = S_NOTCON;
  // Unlinking from another owner's chain would break both heads.
  if (link.owner != own)
    return dberr_code(S_SYSERR, 816, "current member %08x is not a member of owner %08x", mem, own);
  if (held.read(own, &orec) != S_OKAY) return db_status;
  set_pointer head;
  if (r_gset(si, orec, &head) != S_OKAY) return db_status;

  // The neighbours are read before anything changes, so that a failed
  // read leaves the chain whole.
  char *nrec = nullptr, *prec = nullptr;
  member_pointer next_link{}, prev_link{};
  if (link.next) {
    if (held.read(link.next, &nrec) != S_OKAY || r_gmem(si, nrec, &next_link) != S_OKAY) return db_status;
    next_link.prev = link.prev;
  } else {
    head.last = link.prev;
  }
  if (link.prev) {
    if (held.read(link.prev, &prec) != S_OKAY || r_gmem(si, prec, &prev_link) != S_OKAY) return db_status;
    prev_link.next = link.next;
  } else {
    head.first = link.next;
  }
  uint32_t stamp = 0;
  if (se->flags & SET_TIMESTAMPED) {
    if (static_cast<int>(own >> FILE_SHIFT) >= curr_dbt()->slice[TBL_FILE].count) return dberr_code(S_SYSERR, 5);
    stamp = dio_pzgetts(file_of(own));
    if (db_status != S_OKAY) return db_status;
    head.timestamp = stamp;
  }
  --head.total;
  if (nrec && (r_pmem(si, nrec, &next_link) != S_OKAY || held.write(link.next) != S_OKAY)) return db_status;
  if (prec && (r_pmem(si, prec, &prev_link) != S_OKAY || held.write(link.prev) != S_OKAY)) return db_status;
  if (r_pset(si, orec, &head) != S_OKAY || held.write(own) != S_OKAY) return db_status;

  t.current_record = mem;
  t.curr_mem[si] = link.next;
  const member_pointer none{0, 0, 0};
  if (r_pmem(si, mrec, &none) != S_OKAY || held.write(mem) != S_OKAY) return db_status;

  if (t.rec_stamped) {
    if (dt_utscr(&t.cr_time, nullptr, t.curr_db) != S_OKAY) return db_status;
    if (t.curr_mem[si] && dt_utscm(set, &t.cm_time[si], nullptr, t.curr_db) != S_OKAY) return db_status;
  }
  if (se->flags & SET_TIMESTAMPED) t.cs_time[si] = stamp;
  return db_status = t.curr_mem[si] ? S_OKAY : S_EOS;
}

int dt_disdel(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int type;
  if (dt_crtype(&type, nullptr, t.curr_db) != S_OKAY) return db_status;
  db_address dba = t.current_record;
  uint32_t stamp = t.cr_time;
  const table_slice &sets = curr_dbt()->slice[TBL_SET];
  int rec_index = type - RECORD_BASE + curr_dbt()->slice[TBL_RECORD].first;
  for (int s = 0; s < sets.count; ++s) {
    int si = sets.first + s;
    set_currency noted = note(si);
    int status = leave_set(si, SET_BASE + s, rec_index, dba);
    t.current_record = dba;
    t.cr_time = stamp;
    restore(si, noted, dba);
    if (status != S_OKAY) return db_status = status;
  }
  return dt_delete(nullptr, t.curr_db);
}
