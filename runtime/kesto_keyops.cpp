// The key operations of the interface: find a record by key value, step
// through a key's values, read the value found last, position every key on
// the current record, and store or delete an optional key's entry.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

// The entry steps of the navigation calls: the field checked and made the
// key context.
int navigation_key(long field, int *fld_index, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nfld_check(field, nullptr, nullptr, fld_index, nullptr) != S_OKAY) return db_status;
  return key_init(*fld_index);
}

// A move landed on a record: it becomes the current record.
int land(db_address dba) {
  db_task &t = kt();
  t.current_record = dba;
  if (t.rec_stamped && dt_utscr(&t.cr_time, nullptr, t.curr_db) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int moved(int status, db_address dba) { return status == S_OKAY ? land(dba) : status; }

// Reads the current record for an optional-key call, checking that the
// field is an optional key of the record's type.
int optional_key_record(long field, int *fld_index, field_entry **fld, char **rec, int msg_nocr,
                        int msg_type, int msg_optional) {
  db_task &t = kt();
  if (nfld_check(field, nullptr, nullptr, fld_index, fld) != S_OKAY) return db_status;
  if (!t.current_record) return dberr_code(S_NOCR, msg_nocr);
  int type;
  if (dt_crtype(&type, nullptr, t.curr_db) != S_OKAY) return db_status;
  if (type - RECORD_BASE + curr_dbt()->slice[TBL_RECORD].first != (*fld)->record)
    return dberr_code(S_BADFIELD, msg_type);
  if (((*fld)->flags & FLD_OPTKEY_MASK) == 0) return dberr_code(S_NOTOPTKEY, msg_optional);
  return dio_read(t.current_record, rec, 1);
}

// Puts the record back: written when the call changed it, its own status
// kept unless the write fails.
int put_back(db_address dba, int status, bool write) {
  int back = write ? dio_write(dba, nullptr, 1) : dio_release(dba, 1);
  if (back != S_OKAY) return back;
  return db_status = status;
}

}  // namespace

int dt_keyfind(long field, const void *value, DB_TASK *task, int dbn) {
  int fld_index;
  if (navigation_key(field, &fld_index, task, dbn) != S_OKAY) return db_status;
  db_address dba = 0;
  if (!value) return key_boundary(KEY_RESET, &dba);
  char key[KEYSLOT_LEN];
  key_search_value(fld_index, static_cast<const char *>(value), key);
  int status = key_locpos(key, &dba);
  return moved(status, dba);
}

int dt_keynext(long field, DB_TASK *task, int dbn) {
  int fld_index;
  if (navigation_key(field, &fld_index, task, dbn) != S_OKAY) return db_status;
  db_address dba = 0;
  int status = key_scan(KEY_NEXT, &dba);
  return moved(status, dba);
}

int dt_keyprev(long field, DB_TASK *task, int dbn) {
  int fld_index;
  if (navigation_key(field, &fld_index, task, dbn) != S_OKAY) return db_status;
  db_address dba = 0;
  int status = key_scan(KEY_PREV, &dba);
  return moved(status, dba);
}

int dt_keylast(long field, DB_TASK *task, int dbn) {
  int fld_index;
  if (navigation_key(field, &fld_index, task, dbn) != S_OKAY) return db_status;
  db_address dba = 0;
  int status = key_boundary(KEY_LAST, &dba);
  return moved(status, dba);
}

int dt_keyread(void *value, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  db_task &t = kt();
  const key_context &c = t.keyctx;
  if (!c.valid || c.keyno < 0 || c.keyno >= t.key_count) return db_status = S_KEYSEQ;
  int status = t.key_pos[c.keyno].status;
  if (status != 1 && status != 2 && status != 3) return db_status = S_KEYSEQ;
  key_natural_value(c.fldno, t.key_slot + 6, static_cast<char *>(value));
  return db_status = S_OKAY;
}

int dt_curkey(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 443);
  char *rec;
  if (dio_read_nolock(cr, &rec, 1) != S_OKAY) return db_status;
  uint16_t id = rec_id(rec);
  if (id & 0x8000) {
    dio_release(cr, 1);
    return dberr_code(S_INVADDR, 444);
  }
  int type = rec_type_index(rec);
  if (type < 0) {
    dio_release(cr, 1);
    return dberr_code(S_INVREC, 445);
  }
  for (int k = 0; k < t.key_count; ++k) {
    key_position &kp = t.key_pos[k];
    const field_entry &fld = t.field_table[kp.field];
    if (fld.record != type) continue;
    if (fld.flags & FLD_OPTKEY_MASK) {
      int stored = r_tstopt(&fld, rec);
      if (stored == S_OKAY) continue;
      if (stored != S_DUPLICATE) {
        dio_release(cr, 1);
        return db_status = stored;
      }
    }
    key_stored_value(kp.field, rec, kp.value);
    kp.dba = cr;
    kp.status = 3;
  }
  return put_back(cr, S_OKAY, false);
}

int dt_keystore(long field, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int fld_index;
  field_entry *fld;
  char *rec;
  if (optional_key_record(field, &fld_index, &fld, &rec, 405, 406, 407) != S_OKAY) return db_status;
  db_address cr = t.current_record;
  int status = r_tstopt(fld, rec);
  if (status == S_DUPLICATE) return put_back(cr, S_OKAY, false);
  if (status != S_OKAY) return put_back(cr, status, false);
  if (fld->key == 'u') {
    char value[KEYSLOT_LEN];
    if (fld->type == 'k') key_bldcom(fld_index, rec + t.record_table[fld->record].data, value, false);
    else field_copy(fld, value, rec + fld->offset);
    status = key_find(fld_index, value, nullptr);
    if (status == S_OKAY) return put_back(cr, S_DUPLICATE, false);
    if (status != S_NOTFOUND) return put_back(cr, status, false);
  }
  char key[KEYSLOT_LEN];
  key_stored_value(fld_index, rec, key);
  status = key_insert(fld_index, key, cr);
  if (status == S_OKAY) status = r_setopt(fld, rec);
  return put_back(cr, status, true);
}

int dt_keydel(long field, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int fld_index;
  field_entry *fld;
  char *rec;
  if (optional_key_record(field, &fld_index, &fld, &rec, 800, 448, 449) != S_OKAY) return db_status;
  db_address cr = t.current_record;
  int status = r_tstopt(fld, rec);
  if (status != S_DUPLICATE) return put_back(cr, status == S_OKAY ? S_NOTFOUND : status, false);
  char key[KEYSLOT_LEN];
  key_stored_value(fld_index, rec, key);
  status = key_delete(fld_index, key, cr);
  if (status == S_OKAY) status = r_clropt(fld, rec);
  return put_back(cr, status, true);
}
