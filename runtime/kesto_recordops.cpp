// Whole-record calls: reading and rewriting the current record, and the
// sequential scan of a record type through its data file.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

// The scan of record type `type` (within the database) finds the first
// live record of the type from `slot` on. None: 2, the scan state kept.
int scan_from(int type, uint32_t slot) {
  db_task &t = kt();
  db_entry *db = curr_dbt();
  const record_entry &re = t.record_table[db->slice[TBL_RECORD].first + type];
  uint32_t next = dio_pznext(re.file);
  if (db_status != S_OKAY) return db_status;
  for (; slot < next; ++slot) {
    char *rec;
    if (dio_read_slot_nolock(re.file, slot, &rec, 0) != S_OKAY) return db_status;
    uint16_t id = rec_id(rec);
    if ((id & 0x8000) || (id & ~RLB_MASK) != type) continue;
    db_address dba = static_cast<db_address>(re.file - db->slice[TBL_FILE].first) << FILE_SHIFT | slot;
    t.current_record = dba;
    t.scan_table[t.curr_db] = {static_cast<int16_t>(type), dba};
    if (t.rec_stamped && dt_utscr(&t.cr_time, nullptr, t.curr_db) != S_OKAY) return db_status;
    return db_status = S_OKAY;
  }
  return db_status = S_NOTFOUND;
}

}  // namespace

int dt_recread(void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 324);
  char *rec;
  if (dio_read_nolock(cr, &rec, 0) != S_OKAY) return db_status;
  uint16_t id = rec_id(rec);
  if (id & 0x8000) return db_status = S_DELETED;
  rlb_status = (id & RLB_MASK) ? S_LOCKED : S_UNLOCKED;
  int type = rec_type_index(rec);
  if (type < 0) return dberr_code(S_INVREC, 325);
  db_address own = rec_get_dba(rec, 2);
  if (ADDRcmp(&own, &cr) != 0) return dberr_code(S_INVADDR, 326);
  const record_entry &re = t.record_table[type];
  std::memcpy(data, rec + re.data, static_cast<size_t>(re.length - re.data));
  return db_status = S_OKAY;
}

int dt_recwrite(const void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  db_address cr = t.current_record;
  if (!cr) return dberr_code(S_NOCR, 318);
  char *rec;
  if (dio_read(cr, &rec, 1) != S_OKAY) return db_status;
  auto fail = [cr](int status) {
    dio_release(cr, 1);
    return db_status = status;
  };
  if (rec_id(rec) & 0x8000) return fail(S_DELETED);
  int type = rec_type_index(rec);
  if (type < 0) return fail(dberr_code(S_INVREC, 319));
  const record_entry &re = t.record_table[type];
  const char *image = static_cast<const char *>(data);
  int first = re.first_field, end = first;
  while (end >= 0 && end < t.size_fd && t.field_table[end].record == type) ++end;

  // Nothing changes unless every new value may be stored.
  for (int f = first; f < end; ++f) {
    const field_entry &fld = t.field_table[f];
    if (fld.flags & FLD_GROUPED) continue;
    char key[KEYSLOT_LEN];
    const char *value = image + (fld.offset - re.data);
    if (fld.type == 'k') {
      key_bldcom(f, image, key, false);
      value = key;
    }
    int status = r_chkfld(f, &fld, rec, value);
    if (status != S_OKAY) return fail(status);
  }

  // Last to first: a compound key follows its components, so its old value
  // is built before they change.
  for (int f = end - 1; f >= first; --f) {
    const field_entry &fld = t.field_table[f];
    if (fld.type == 'k') {
      char old_key[KEYSLOT_LEN], new_key[KEYSLOT_LEN];
      key_bldcom(f, rec + re.data, old_key, true);
      key_bldcom(f, image, new_key, true);
      if (fldcmp(&fld, old_key, new_key) == 0) continue;
      if (fld.flags & FLD_OPTKEY_MASK) {
        int stored = r_tstopt(&fld, rec);
        if (stored == S_OKAY) continue;
        if (stored != S_DUPLICATE) return fail(stored);
      }
      int status = key_delete(f, old_key, cr);
      if (status == S_NOTFOUND)
        return fail(dberr_code(S_KEYERR, 320, "%s: no entry of key %d for %08x",
                               t.file_table[fld.key_file].name, fld.key_number, cr));
      if (status != S_OKAY || key_insert(f, new_key, cr) != S_OKAY) return fail(db_status);
    } else if (!(fld.flags & FLD_GROUPED)) {
      if (r_pfld(f, &fld, rec, image + (fld.offset - re.data), &cr) != S_OKAY) return fail(db_status);
    }
  }

  uint32_t stamp = 0;
  if (re.flags & REC_TIMESTAMPED) {
    stamp = dio_pzgetts(re.file);
    if (db_status != S_OKAY) return fail(db_status);
    put_u32(rec + 10, stamp);
    if (tjf_journal_rec(cr, rec, rec + 10, 4, 37) != S_OKAY) return fail(db_status);
  }
  if (dio_write(cr, nullptr, 1) != S_OKAY) return db_status;
  if (t.rec_stamped) t.cr_time = stamp;
  return db_status = S_OKAY;
}

int dt_recset(int rec, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int index;
  record_entry *re;
  if (nrec_check(rec, &index, &re) != S_OKAY) return db_status;
  db_address cr = t.current_record;
  // Without a current record the scan starts at the file's first slot.
  if (cr && file_of(cr) != re->file) return dberr_code(S_INVREC, 323);
  t.scan_table[t.curr_db] = {static_cast<int16_t>(rec - RECORD_BASE), cr};
  return db_status = S_OKAY;
}

int dt_recfrst(int rec, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  if (nrec_check(rec, nullptr, nullptr) != S_OKAY) return db_status;
  // The scan starts even when it finds nothing.
  kt().scan_table[kt().curr_db] = {static_cast<int16_t>(rec - RECORD_BASE), 0};
  return scan_from(rec - RECORD_BASE, 1);
}

int dt_recnext(DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  const scan_entry &scan = kt().scan_table[kt().curr_db];
  if (scan.record < 0) return dberr_code(S_NOCRTYPE, 337);
  return scan_from(scan.record, scan.dba ? (scan.dba & SLOT_MASK) + 1 : 1);
}
