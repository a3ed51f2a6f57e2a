// Connecting the current record into a set under the set's current owner,
// at the place the set's order gives: first, last, after the current
// member, or sorted ascending or descending by the members' sort fields
// (a new member goes after every member whose sort fields equal its own).
//
// Every record whose pointers change is read held and written back at the
// end: the neighbour the new member goes next to, that neighbour's old
// successor, the owner with the set's new head, and last the new member.
#include "runtime/kesto_held.h"
#include "runtime/kesto_internal.h"

namespace {

// The member entry of a set for a record type; null when none.
const member_entry *member_entry_of(const set_entry &se, int rec_index) {
  const db_task &t = kt();
  for (int m = se.first_member; m < se.first_member + se.member_count; ++m)
    if (t.member_table[m].record == rec_index) return &t.member_table[m];
  return nullptr;
}

// Order of a new member R against a member M by their sort fields, pair by
// pair as far as the shorter list goes; each pair compared as R's field.
int sort_order(const set_entry &se, const char *r, const char *m) {
  const db_task &t = kt();
  const member_entry *mr = member_entry_of(se, rec_type_index(r));
  const member_entry *mm = member_entry_of(se, rec_type_index(m));
  if (!mr || !mm) return 0;
  int n = mr->sort_count < mm->sort_count ? mr->sort_count : mm->sort_count;
  for (int i = 0; i < n; ++i) {
    const field_entry &fr = t.field_table[t.sort_table[mr->first_sort + i].field];
    const field_entry &fm = t.field_table[t.sort_table[mm->first_sort + i].field];
    int order = fldcmp(&fr, r + fr.offset, m + fm.offset);
    if (order != 0) return order;
  }
  return 0;
}

// Walks a sorted set from its first member to the member after which the
// new one goes: the last member before the first that sorts after it (0
// when it goes first), or the set's last member.
int sorted_place(int si, const char *rec, const set_pointer &head, bool descending, db_address *after) {
  const set_entry &se = kt().set_table[si];
  uint32_t steps = 0;
  for (db_address m = head.first; m;) {
    // A chain longer than its count loops; it must not hang the walk.
    if (++steps > head.total)
      return dberr_code(S_SYSERR, 815, "set %d: the chain outgrows its %u members", si, head.total);
    char *mrec;
    if (dio_read(m, &mrec, 0) != S_OKAY) return db_status;
    member_pointer ml;
    if (r_gmem(si, mrec, &ml) != S_OKAY) return db_status;
    int order = sort_order(se, rec, mrec);
    if (descending ? order > 0 : order < 0) {
      *after = ml.prev;
      return S_OKAY;
    }
    if (!ml.next) {
      *after = m;
      return S_OKAY;
    }
    m = ml.next;
  }
  *after = head.last;
  return S_OKAY;
}

}  // namespace

int dt_connect(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 192);
  db_address own = t.curr_own[si];
  if (!own) return dberr_code(S_NOCO, 193);

  held_records held;
  char *crec, *orec;
  if (held.read(cr, &crec) != S_OKAY || held.read(own, &orec) != S_OKAY) return db_status;
  member_pointer link;
  if (r_gmem(si, crec, &link) != S_OKAY) return db_status;
  if (link.owner) return dberr_code(S_ISOWNED, 194);
  if (rec_type_index(orec) != se->owner) return dberr_code(S_SYSERR, 195);
  set_pointer head;
  if (r_gset(si, orec, &head) != S_OKAY) return db_status;

  link = {own, 0, 0};
  db_address neighbour = 0, successor = 0;
  char *nrec = nullptr, *srec = nullptr;
  member_pointer nlink{}, slink{};
  if (!head.first) {
    head.first = head.last = cr;
  } else {
    char order = static_cast<char>(se->order);
    if (order == 'a' || order == 'd') {
      if (sorted_place(si, crec, head, order == 'd', &t.curr_mem[si]) != S_OKAY) return db_status;
      order = 'n';
    } else if (order == 'l') {
      t.curr_mem[si] = head.last;
      order = 'n';
    } else if (order != 'f' && order != 'n') {
      return dberr_code(S_SYSERR, 196, "set order '%c'", order);
    }
    if (order == 'n' && !t.curr_mem[si]) order = 'f';

    if (order == 'f') {
      neighbour = head.first;
      if (held.read(neighbour, &nrec) != S_OKAY || r_gmem(si, nrec, &nlink) != S_OKAY) return db_status;
      nlink.prev = cr;
      link.next = neighbour;
      head.first = cr;
    } else {
      neighbour = t.curr_mem[si];
      if (held.read(neighbour, &nrec) != S_OKAY || r_gmem(si, nrec, &nlink) != S_OKAY) return db_status;
      // A current member of another owner would splice two chains.
      if (nlink.owner != own)
        return dberr_code(S_SYSERR, 813, "current member %08x is not a member of owner %08x", neighbour, own);
      link.prev = neighbour;
      link.next = nlink.next;
      nlink.next = cr;
      if (!link.next) {
        head.last = cr;
      } else {
        successor = link.next;
        if (held.read(successor, &srec) != S_OKAY || r_gmem(si, srec, &slink) != S_OKAY) return db_status;
        slink.prev = cr;
      }
    }
  }

  ++head.total;
  if (se->flags & SET_TIMESTAMPED) {
    if (static_cast<int>(own >> FILE_SHIFT) >= curr_dbt()->slice[TBL_FILE].count)
      return dberr_code(S_SYSERR, 197);
    head.timestamp = dio_pzgetts(file_of(own));
    if (db_status != S_OKAY) return db_status;
  }

  if (neighbour && (r_pmem(si, nrec, &nlink) != S_OKAY || held.write(neighbour) != S_OKAY)) return db_status;
  if (successor && (r_pmem(si, srec, &slink) != S_OKAY || held.write(successor) != S_OKAY)) return db_status;
  if (r_pset(si, orec, &head) != S_OKAY || held.write(own) != S_OKAY) return db_status;
  if (r_pmem(si, crec, &link) != S_OKAY || held.write(cr) != S_OKAY) return db_status;

  t.curr_mem[si] = cr;
  if (t.rec_stamped && dt_utscr(&t.cm_time[si], nullptr, t.curr_db) != S_OKAY) return db_status;
  if (t.set_stamped) t.cs_time[si] = head.timestamp;
  return db_status = S_OKAY;
}
