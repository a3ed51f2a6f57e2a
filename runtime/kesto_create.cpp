// Creating records: a whole image with all its keys (dt_fillnew), or a
// record made of key values announced beforehand (dt_setkey, dt_makenew).
//
// A new record is checked against every unique key before anything is
// stored, so a duplicate leaves no trace. Once its slot is taken, a failure
// takes the record back out: the key entries made so far and the slot.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

// Keys that creation enters: every key field of the record type that is
// not an optional key (optional keys are stored later, on request).
bool entered_at_creation(const field_entry &fld) {
  return fld.key != 'n' && !(fld.flags & FLD_OPTKEY_MASK);
}

// End of a record type's part of the field table: its own fields, then its
// compound keys.
int fields_end(int rec_index) {
  const db_task &t = kt();
  int f = t.record_table[rec_index].first_field;
  while (f >= 0 && f < t.size_fd && t.field_table[f].record == rec_index) ++f;
  return f;
}

setkey_entry *find_setkey(int fld_index) {
  for (setkey_entry *e = kt().setkeys; e; e = e->next)
    if (e->field == fld_index) return e;
  return nullptr;
}

// Looks a unique key's value (caller's form) up: 0 when it is free, 3 when
// a record holds it already, else the error.
int unique_value_free(int fld_index, const char *value) {
  int status = key_find(fld_index, value, nullptr);
  if (status == S_OKAY) return db_status = S_DUPLICATE;
  if (status == S_NOTFOUND) return db_status = S_OKAY;
  return status;
}

// A new slot of the record type, read and held, with the record's header:
// id, own address and, for a timestamped type, both timestamps at the
// file's counter; the rest of the record is zero.
int new_slot(int rec_index, db_address *dba, char **rec, uint32_t *stamp) {
  db_task &t = kt();
  const record_entry &re = t.record_table[rec_index];
  db_entry *db = curr_dbt();
  // A slot whose page cannot be read goes back to where it came from.
  const pgzero_entry before = t.pgzero[re.file];
  uint32_t slot;
  if (dio_pzalloc(re.file, &slot) != S_OKAY) return db_status;
  *dba = static_cast<db_address>(re.file - db->slice[TBL_FILE].first) << FILE_SHIFT | slot;
  if (dio_read(*dba, rec, 1) != S_OKAY) {
    int status = db_status;
    t.pgzero[re.file] = before;
    return db_status = status;
  }
  *stamp = 0;
  if (re.flags & REC_TIMESTAMPED) {
    *stamp = dio_pzgetts(re.file);
    if (db_status != S_OKAY) {
      int status = db_status;
      dio_release(*dba, 1);
      t.pgzero[re.file] = before;
      return db_status = status;
    }
  }
  std::memset(*rec, 0, static_cast<size_t>(re.length));
  put_u16(*rec, static_cast<uint16_t>(rec_index - db->slice[TBL_RECORD].first));
  put_u32(*rec + 2, *dba);
  if (re.flags & REC_TIMESTAMPED) {
    put_u32(*rec + 6, *stamp);
    put_u32(*rec + 10, *stamp);
  }
  return db_status = S_OKAY;
}

// Takes a record that creation could not finish back out: the entries of
// the keys it entered for fields before `upto` (each value in stored form
// from `stored_key`), then its slot. The record must no longer be held:
// freeing the slot needs its page to itself. The status returned is the
// failure that made the record go; a failure of the withdrawal itself is
// reported on its own.
template <typename StoredKey>
int withdraw(int failure, int rec_index, db_address dba, int upto, StoredKey stored_key) {
  const db_task &t = kt();
  const record_entry &re = t.record_table[rec_index];
  for (int f = re.first_field; f < upto; ++f) {
    if (!entered_at_creation(t.field_table[f])) continue;
    char key[KEYSLOT_LEN];
    if (stored_key(f, key) != S_OKAY) return db_status = failure;
    int status = key_delete(f, key, dba);
    if (status == S_NOTFOUND)
      dberr_code(S_KEYERR, 812, "%s: no entry of key %d for %08x", t.file_table[t.field_table[f].key_file].name,
                 t.field_table[f].key_number, dba);
    if (status != S_OKAY) return db_status = failure;
  }
  dio_pzdel(re.file, dba & SLOT_MASK);
  return db_status = failure;
}

// The new record is complete: written, released and made current.
int finish(int rec_index, db_address dba, uint32_t stamp) {
  db_task &t = kt();
  if (dio_write(dba, nullptr, 1) != S_OKAY) return db_status;
  t.current_record = dba;
  if (t.rec_stamped) t.cr_time = (t.record_table[rec_index].flags & REC_TIMESTAMPED) ? stamp : 0;
  return db_status = S_OKAY;
}

// The system record is made when its file is initialised; there is one.
int creatable(int rec, int *rec_index, int msg) {
  record_entry *re;
  if (nrec_check(rec, rec_index, &re) != S_OKAY) return db_status;
  if (re->field_count == -1) return dberr_code(S_INVREC, msg, "the system record cannot be created");
  return S_OKAY;
}

}  // namespace

int dt_fillnew(int rec, const void *image, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int rec_index;
  if (creatable(rec, &rec_index, 810) != S_OKAY) return db_status;
  const record_entry &re = t.record_table[rec_index];
  const char *data = static_cast<const char *>(image);
  int end = fields_end(rec_index);

  for (int f = re.first_field; f < end; ++f) {
    const field_entry &fld = t.field_table[f];
    if (fld.key != 'u' || (fld.flags & FLD_OPTKEY_MASK)) continue;
    char built[KEYSLOT_LEN];
    const char *value = data + (fld.offset - re.data);
    if (fld.type == 'k') {
      key_bldcom(f, data, built, false);
      value = built;
    }
    if (unique_value_free(f, value) != S_OKAY) return db_status;
  }

  db_address dba;
  char *slot;
  uint32_t stamp;
  if (new_slot(rec_index, &dba, &slot, &stamp) != S_OKAY) return db_status;
  std::memcpy(slot + re.data, data, static_cast<size_t>(re.length - re.data));

  auto stored_key = [dba](int f, char *key) {
    char *rec;
    if (dio_read(dba, &rec, 0) != S_OKAY) return db_status;
    key_stored_value(f, rec, key);
    return db_status = S_OKAY;
  };
  if (tjf_journal_rec(dba, slot, slot, re.length, 0) != S_OKAY) {
    int status = db_status;
    dio_write(dba, nullptr, 1);
    return withdraw(status, rec_index, dba, re.first_field, stored_key);
  }
  for (int f = re.first_field; f < end; ++f) {
    const field_entry &fld = t.field_table[f];
    if (!entered_at_creation(fld)) continue;
    char key[KEYSLOT_LEN];
    key_stored_value(f, slot, key);
    // A unique key was looked up above; the first insert into its file
    // goes where that look-up ended.
    const bool checked = fld.key == 'u' && !(fld.flags & FLD_OPTKEY_MASK);
    if (key_insert(f, key, dba, checked) != S_OKAY) {
      int status = db_status;
      dio_write(dba, nullptr, 1);
      return withdraw(status, rec_index, dba, f, stored_key);
    }
  }
  return finish(rec_index, dba, stamp);
}

int dt_setkey(long field, const void *value, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int fld_index;
  field_entry *fld;
  if (nfld_check(field, nullptr, nullptr, &fld_index, &fld) != S_OKAY) return db_status;
  if (fld->key == 'n') return dberr_code(S_NOTKEY, 393);
  size_t length = static_cast<size_t>(fld->length);
  setkey_entry *entry = find_setkey(fld_index);
  if (!entry) {
    entry = static_cast<setkey_entry *>(d_alloc(sizeof(setkey_entry)));
    if (!entry) return dberr_code(S_NOMEMORY, 394);
    entry->value = static_cast<char *>(d_alloc(length + 1));
    if (!entry->value) {
      d_free(&entry);
      return dberr_code(S_NOMEMORY, 395);
    }
    entry->field = static_cast<int16_t>(fld_index);
    entry->next = t.setkeys;
    t.setkeys = entry;
  }
  std::memset(entry->value, 0, length + 1);
  const char *src = static_cast<const char *>(value);
  if (fld->type == 'c' && fld->dims[1] == 0) {
    // A string is taken up to its end, never past the field's length.
    std::memcpy(entry->value, src, strnlen(src, length));
  } else {
    std::memcpy(entry->value, src, length);
  }
  return db_status = S_OKAY;
}

int dt_makenew(int rec, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int rec_index;
  if (creatable(rec, &rec_index, 811) != S_OKAY) return db_status;
  const record_entry &re = t.record_table[rec_index];
  if (re.flags & REC_COMKEY) return dberr_code(S_COMKEY, 396);
  int end = fields_end(rec_index);

  for (int f = re.first_field; f < end; ++f) {
    const field_entry &fld = t.field_table[f];
    if (fld.key != 'u' || fld.type == 'k') continue;
    const setkey_entry *entry = find_setkey(f);
    if (!entry) return dberr_code(S_KEYREQD, 397);
    if (unique_value_free(f, entry->value) != S_OKAY) return db_status;
  }
  // Every value the record needs is there before its slot is taken.
  for (int f = re.first_field; f < end; ++f)
    if (entered_at_creation(t.field_table[f]) && !find_setkey(f)) return dberr_code(S_KEYREQD, 398);

  db_address dba;
  char *slot;
  uint32_t stamp;
  if (new_slot(rec_index, &dba, &slot, &stamp) != S_OKAY) return db_status;

  auto stored_key = [](int f, char *key) {
    key_search_value(f, find_setkey(f)->value, key);
    return S_OKAY;
  };
  for (int f = re.first_field; f < end; ++f) {
    const field_entry &fld = t.field_table[f];
    if (!entered_at_creation(fld)) continue;
    char key[KEYSLOT_LEN];
    stored_key(f, key);
    if (key_insert(f, key, dba) != S_OKAY) {
      int status = db_status;
      dio_write(dba, nullptr, 1);
      return withdraw(status, rec_index, dba, f, stored_key);
    }
    field_copy(&fld, slot + fld.offset, find_setkey(f)->value);
  }
  if (tjf_journal_rec(dba, slot, slot, re.length, 0) != S_OKAY) {
    int status = db_status;
    dio_write(dba, nullptr, 1);
    return withdraw(status, rec_index, dba, end, stored_key);
  }
  return finish(rec_index, dba, stamp);
}

void sk_free() {
  db_task &t = kt();
  while (setkey_entry *entry = t.setkeys) {
    t.setkeys = entry->next;
    d_free(&entry->value);
    d_free(&entry);
  }
}
