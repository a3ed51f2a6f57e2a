// Checks of the caller's record, set and field numbers and of record
// addresses against the current database.
#include "runtime/kesto_internal.h"

int nrec_check(int rec, int *index, record_entry **entry) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  int n = rec - RECORD_BASE;
  if (!db || n < 0 || n >= db->slice[TBL_RECORD].count) return dberr_code(S_INVREC, 402);
  n += db->slice[TBL_RECORD].first;
  if (index) *index = n;
  if (entry) *entry = &t.record_table[n];
  return S_OKAY;
}

int nset_check(int set, int *index, set_entry **entry) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  int n = set - SET_BASE;
  if (!db || n < 0 || n >= db->slice[TBL_SET].count) return dberr_code(S_INVSET, 400);
  n += db->slice[TBL_SET].first;
  if (index) *index = n;
  if (entry) *entry = &t.set_table[n];
  return S_OKAY;
}

int nfld_check(long field, int *rec_index, record_entry **rec_entry, int *fld_index,
               field_entry **fld_entry) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  if (!db || field < 0) return dberr_code(S_INVFLD, 401);
  long rec = field / FIELD_FACTOR;
  long part = field % FIELD_FACTOR;
  if (rec >= db->slice[TBL_RECORD].count || part >= db->slice[TBL_FIELD].count)
    return dberr_code(S_INVFLD, 401);
  int r = static_cast<int>(rec) + db->slice[TBL_RECORD].first;
  long f = t.record_table[r].first_field + part;
  // The field must lie in this database's part of the field table.
  if (f < db->slice[TBL_FIELD].first || f >= db->slice[TBL_FIELD].first + db->slice[TBL_FIELD].count)
    return dberr_code(S_INVFLD, 401);
  if (rec_index) *rec_index = r;
  if (rec_entry) *rec_entry = &t.record_table[r];
  if (fld_index) *fld_index = static_cast<int>(f);
  if (fld_entry) *fld_entry = &t.field_table[f];
  return S_OKAY;
}

int file_of(db_address dba) {
  db_entry *db = curr_dbt();
  return static_cast<int>(dba >> FILE_SHIFT) + (db ? db->slice[TBL_FILE].first : 0);
}

int locate_dba(db_address dba) {
  db_entry *db = curr_dbt();
  int rel = static_cast<int>(dba >> FILE_SHIFT);
  if (!db || rel >= db->slice[TBL_FILE].count) return 403;
  uint32_t slot = dba & SLOT_MASK;
  int file = rel + db->slice[TBL_FILE].first;
  uint32_t next = dio_pznext(file);
  if (db_status != S_OKAY) return -1;
  if (slot < 1 || slot >= next) return 404;
  return 0;
}

int check_dba(db_address dba) {
  int where = locate_dba(dba);
  if (where < 0) return db_status;
  if (where > 0) return dberr_code(S_INVADDR, where);
  return S_OKAY;
}

bool null_dba(const db_address *dba) { return *dba == 0; }

int ADDRcmp(const db_address *a, const db_address *b) {
  int fa = static_cast<int>(*a >> FILE_SHIFT), fb = static_cast<int>(*b >> FILE_SHIFT);
  if (fa != fb) return fa - fb;
  uint32_t sa = *a & SLOT_MASK, sb = *b & SLOT_MASK;
  return sa < sb ? -1 : sa > sb ? 1 : 0;
}
