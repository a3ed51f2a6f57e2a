// Moving through a set (first, last, next member), testing and counting
// membership, and setting a set's current owner and member from the other
// registers.
//
// A set's current member always belongs to its current owner: every call
// that makes a record current member also makes that record's owner the
// current owner, and every call that sets the owner clears the member.
#include "runtime/kesto_internal.h"

namespace {

bool is_member_type(const set_entry &se, int rec_index) {
  const db_task &t = kt();
  for (int m = se.first_member; m < se.first_member + se.member_count; ++m)
    if (t.member_table[m].record == rec_index) return true;
  return false;
}

// A move reached member m of set si: it becomes the current record, and
// its timestamp the current record's and the set's member timestamp.
int land(int si, db_address m) {
  db_task &t = kt();
  t.current_record = m;
  if (t.rec_stamped) {
    if (dt_utscr(&t.cr_time, nullptr, t.curr_db) != S_OKAY) return db_status;
    t.cm_time[si] = t.cr_time;
  }
  return db_status = S_OKAY;
}

// dt_findfm and dt_findlm: the first or last member of the current owner.
int find_end(int set, bool last, int msg_noco, int msg_owner, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  db_address own = t.curr_own[si];
  if (!own) return dberr_code(S_NOCO, msg_noco);
  char *rec;
  if (dio_read(own, &rec, 0) != S_OKAY) return db_status;
  if (rec_type_index(rec) != se->owner) return dberr_code(S_SYSERR, msg_owner);
  set_pointer head;
  if (r_gset(si, rec, &head) != S_OKAY) return db_status;
  db_address m = last ? head.last : head.first;
  t.curr_mem[si] = m;
  if (!m) return db_status = S_EOS;
  if (land(si, m) != S_OKAY) return db_status;
  if (t.set_stamped && dt_utscs(set, &t.cs_time[si], nullptr, t.curr_db) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

}  // namespace

int dt_findfm(int set, DB_TASK *task, int dbn) { return find_end(set, false, 492, 493, task, dbn); }

int dt_findlm(int set, DB_TASK *task, int dbn) { return find_end(set, true, 490, 491, task, dbn); }

int dt_findnm(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  if (!t.curr_own[si]) return dberr_code(S_NOCO, 489);
  db_address mem = t.curr_mem[si];
  if (!mem) return dt_findfm(set, nullptr, t.curr_db);
  char *rec;
  if (dio_read(mem, &rec, 0) != S_OKAY) return db_status;
  member_pointer link;
  if (r_gmem(si, rec, &link) != S_OKAY) return db_status;
  t.curr_mem[si] = link.next;
  if (!link.next) return db_status = S_EOS;
  return land(si, link.next);
}

int dt_ismember(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  if (!t.current_record) return dberr_code(S_NOCR, 452);
  char *rec;
  if (dio_read_nolock(t.current_record, &rec, 0) != S_OKAY) return db_status;
  member_pointer link;
  if (r_gmem(si, rec, &link) != S_OKAY) return db_status;
  return db_status = link.owner ? S_OKAY : S_EOS;
}

int dt_members(int set, int32_t *count, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  if (!t.curr_own[si]) return dberr_code(S_NOCO, 389);
  char *rec;
  if (dio_read_nolock(t.curr_own[si], &rec, 0) != S_OKAY) return db_status;
  if (rec_type_index(rec) != se->owner) return dberr_code(S_SYSERR, 390);
  set_pointer head;
  if (r_gset(si, rec, &head) != S_OKAY) return db_status;
  *count = static_cast<int32_t>(head.total);
  return db_status = S_OKAY;
}

int dt_csmset(int set, const db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  if (!dba) {
    t.curr_mem[si] = 0;
    return db_status = S_OKAY;
  }
  if (check_dba(*dba) != S_OKAY) return db_status;
  char *rec;
  if (dio_read(*dba, &rec, 0) != S_OKAY) return db_status;
  if (!is_member_type(*se, rec_type_index(rec))) return dberr_code(S_INVMEM, 182);
  return r_smem(dba, si);
}

int dt_setmr(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 307);
  char *rec;
  if (dio_read_nolock(cr, &rec, 0) != S_OKAY) return db_status;
  if (!is_member_type(*se, rec_type_index(rec))) return dberr_code(S_INVMEM, 308);
  return r_smem(&cr, si);
}

int dt_setmo(int member_set, int owner_set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int oi, mi;
  set_entry *os, *ms;
  if (nset_check(owner_set, &oi, &os) != S_OKAY || nset_check(member_set, &mi, &ms) != S_OKAY) return db_status;
  db_address own = t.curr_own[oi];
  if (!own) return dberr_code(S_NOCO, 309);
  if (!is_member_type(*ms, os->owner)) return dberr_code(S_INVMEM, 310);
  return r_smem(&own, mi);
}

int dt_setoo(int destination_set, int source_set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int di, si;
  set_entry *ds, *ss;
  if (nset_check(destination_set, &di, &ds) != S_OKAY || nset_check(source_set, &si, &ss) != S_OKAY)
    return db_status;
  if (ds->owner != ss->owner) return dberr_code(S_INVOWN, 304);
  if (!t.curr_own[si]) return dberr_code(S_NOCO, 305);
  t.curr_own[di] = t.curr_own[si];
  t.curr_mem[di] = 0;
  if (t.rec_stamped) {
    t.co_time[di] = t.co_time[si];
    t.cm_time[di] = 0;
  }
  if (t.set_stamped && dt_utscs(destination_set, &t.cs_time[di], nullptr, t.curr_db) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int dt_setor(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  int type;
  if (dt_crtype(&type, nullptr, t.curr_db) != S_OKAY) return db_status;
  if (type - RECORD_BASE + curr_dbt()->slice[TBL_RECORD].first != se->owner) return dberr_code(S_INVOWN, 303);
  t.curr_own[si] = t.current_record;
  t.curr_mem[si] = 0;
  if (t.rec_stamped) {
    t.co_time[si] = t.cr_time;
    t.cm_time[si] = 0;
  }
  if (t.set_stamped && dt_utscs(set, &t.cs_time[si], nullptr, t.curr_db) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int dt_setro(int set, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  if (!t.curr_own[si]) return dberr_code(S_NOCO, 301);
  t.current_record = t.curr_own[si];
  if (t.rec_stamped) t.cr_time = t.co_time[si];
  return db_status = S_OKAY;
}
