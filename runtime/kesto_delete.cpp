// Deleting the current record: only a record that heads no members and
// belongs to no set goes. Its key entries are removed, its slot joins the
// file's chain of deleted slots, and every currency register that named it
// is cleared.
#include "runtime/kesto_internal.h"

int dt_delete(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 77);
  char *rec;
  if (dio_read(cr, &rec, 0) != S_OKAY) return db_status;
  uint16_t id = rec_id(rec);
  if (id & 0x8000) return db_status = S_DELETED;
  db_entry *db = curr_dbt();
  int type = id & ~RLB_MASK;
  if (type >= db->slice[TBL_RECORD].count) return dberr_code(S_INVREC, 79);
  type += db->slice[TBL_RECORD].first;
  if (t.record_table[type].field_count == -1) return dberr_code(S_DELSYS, 80);

  const table_slice &sets = db->slice[TBL_SET];
  for (int si = sets.first; si < sets.first + sets.count; ++si) {
    const set_entry &se = t.set_table[si];
    if (se.owner == type && get_u32(rec + se.owner_ptr + 4) != 0) return dberr_code(S_HASMEM, 81);
  }
  const table_slice &members = db->slice[TBL_MEMBER];
  for (int m = members.first; m < members.first + members.count; ++m) {
    const member_entry &me = t.member_table[m];
    if (me.record == type && get_u32(rec + me.member_ptr) != 0) return dberr_code(S_ISMEM, 82);
  }

  if (r_delrec(type, cr) != S_OKAY) return db_status;

  for (int si = sets.first; si < sets.first + sets.count; ++si) {
    if (t.curr_own[si] == cr) {
      // A set without its owner has no current member either.
      t.curr_own[si] = 0;
      t.curr_mem[si] = 0;
      if (t.rec_stamped) t.co_time[si] = t.cm_time[si] = 0;
      if (t.set_stamped) t.cs_time[si] = 0;
    }
    if (t.curr_mem[si] == cr) {
      t.curr_mem[si] = 0;
      if (t.rec_stamped) t.cm_time[si] = 0;
    }
  }
  t.current_record = 0;
  t.cr_time = 0;
  return db_status = S_OKAY;
}
