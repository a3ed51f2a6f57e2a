// Currency registers: the current record of a task and the current owner and
// member of each set, and the calls that read and write through them.
#include <cstring>
#include <vector>

#include "runtime/kesto_internal.h"

namespace {

int record_type_of(const char *rec) { return (rec_id(rec) & ~RLB_MASK) + RECORD_BASE; }

// Writes one field of the record at dba (the current record or a set's
// current owner); stamps the update time of a timestamped record type.
int write_field(db_address dba, int fld_index, const field_entry *fld, const void *data,
                uint32_t *stamp_out) {
  db_task &t = kt();
  char *rec;
  if (dio_read(dba, &rec, 1) != S_OKAY) return db_status;
  const char *value = static_cast<const char *>(data);
  if (r_chkfld(fld_index, fld, rec, value) != S_OKAY ||
      r_pfld(fld_index, fld, rec, value, &dba) != S_OKAY) {
    int status = db_status;
    dio_release(dba, 1);
    return db_status = status;
  }
  const record_entry &re = t.record_table[fld->record];
  uint32_t stamp = 0;
  if (re.flags & REC_TIMESTAMPED) {
    stamp = dio_pzgetts(re.file);
    if (db_status != S_OKAY) {
      int status = db_status;
      dio_release(dba, 1);
      return db_status = status;
    }
    put_u32(rec + 10, stamp);
    if (tjf_journal_rec(dba, rec, rec + 10, 4, 37) != S_OKAY) {
      int status = db_status;
      dio_release(dba, 1);
      return db_status = status;
    }
  }
  if (dio_write(dba, nullptr, 1) != S_OKAY) return db_status;
  if (re.flags & REC_TIMESTAMPED) *stamp_out = stamp;
  return db_status = S_OKAY;
}

int refuse_compound(const field_entry *fld, int msg_key, int msg_part) {
  if (fld->type == 'k') return dberr_code(S_ISCOMKEY, msg_key);
  if (fld->flags & FLD_COMPONENT) return dberr_code(S_COMKEY, msg_part);
  return S_OKAY;
}

}  // namespace

int dt_crget(db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address cr = kt().current_record;
  if (!cr) return db_status = S_NOCR;
  *dba = cr;
  return db_status = S_OKAY;
}

int dt_crset(const db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  if (!dba) {
    t.current_record = 0;
    return db_status = S_OKAY;
  }
  if (check_dba(*dba) != S_OKAY) return db_status;
  char *rec;
  // The register changes only once the record has been read.
  if (dio_read_nolock(*dba, &rec, 0) != S_OKAY) return db_status;
  if (rec_id(rec) & 0x8000) {
    t.current_record = 0;
    return db_status = S_DELETED;
  }
  t.current_record = *dba;
  return db_status = S_OKAY;
}

int dt_dbavalid(const db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int where = locate_dba(*dba);
  if (where < 0) return db_status;
  return db_status = where > 0 ? S_INVADDR : S_OKAY;
}

int dt_crtype(int *rectype, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_address cr = kt().current_record;
  if (!cr) return dberr_code(S_NOCR, 187);
  char *rec;
  if (dio_read_nolock(cr, &rec, 0) != S_OKAY) return db_status;
  if (rec_id(rec) & 0x8000) return db_status = S_DELETED;
  *rectype = record_type_of(rec);
  return db_status = S_OKAY;
}

int dt_crread(long field, void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  field_entry *fld;
  if (nfld_check(field, nullptr, nullptr, nullptr, &fld) != S_OKAY) return db_status;
  db_address cr = kt().current_record;
  if (!cr) return dberr_code(S_NOCR, 189);
  char *rec;
  if (dio_read_nolock(cr, &rec, 0) != S_OKAY) return db_status;
  return r_gfld(fld, rec, static_cast<char *>(data));
}

int dt_crwrite(long field, const void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int fld_index;
  field_entry *fld;
  if (nfld_check(field, nullptr, nullptr, &fld_index, &fld) != S_OKAY) return db_status;
  if (refuse_compound(fld, 184, 185) != S_OKAY) return db_status;
  if (!t.current_record) return dberr_code(S_NOCR, 186);
  uint32_t stamp = 0;
  if (write_field(t.current_record, fld_index, fld, data, &stamp) != S_OKAY) return db_status;
  if (t.record_table[fld->record].flags & REC_TIMESTAMPED) t.cr_time = stamp;
  return db_status = S_OKAY;
}

int dt_csoget(int set, db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  db_address owner = kt().curr_own[si];
  if (!owner) return db_status = S_NOCO;
  *dba = owner;
  return db_status = S_OKAY;
}

int dt_csoset(int set, const db_address *dba, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si;
  set_entry *se;
  if (nset_check(set, &si, &se) != S_OKAY) return db_status;
  if (!dba) {
    t.curr_own[si] = 0;
    t.curr_mem[si] = 0;
    return db_status = S_OKAY;
  }
  if (check_dba(*dba) != S_OKAY) return db_status;
  char *rec;
  if (dio_read(*dba, &rec, 0) != S_OKAY) return db_status;
  int type = (rec_id(rec) & ~RLB_MASK) + curr_dbt()->slice[TBL_RECORD].first;
  if ((rec_id(rec) & 0x8000) || type != se->owner) return dberr_code(S_INVOWN, 177);
  t.curr_own[si] = *dba;
  t.curr_mem[si] = 0;
  return db_status = S_OKAY;
}

int dt_csoread(int set, long field, void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  int si;
  field_entry *fld;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  if (nfld_check(field, nullptr, nullptr, nullptr, &fld) != S_OKAY) return db_status;
  db_address owner = kt().curr_own[si];
  if (!owner) return dberr_code(S_NOCO, 178);
  char *rec;
  if (dio_read_nolock(owner, &rec, 0) != S_OKAY) return db_status;
  return r_gfld(fld, rec, static_cast<char *>(data));
}

int dt_csowrite(int set, long field, const void *data, DB_TASK *task, int dbn) {
  if (db_enter(dbn, task) != S_OKAY) return db_status;
  db_task &t = kt();
  int si, fld_index;
  field_entry *fld;
  if (nset_check(set, &si, nullptr) != S_OKAY) return db_status;
  if (nfld_check(field, nullptr, nullptr, &fld_index, &fld) != S_OKAY) return db_status;
  if (refuse_compound(fld, 174, 175) != S_OKAY) return db_status;
  db_address owner = t.curr_own[si];
  if (!owner) return dberr_code(S_NOCO, 176);
  uint32_t stamp = 0;
  if (write_field(owner, fld_index, fld, data, &stamp) != S_OKAY) return db_status;
  if ((t.record_table[fld->record].flags & REC_TIMESTAMPED) && t.co_time) t.co_time[si] = stamp;
  return db_status = S_OKAY;
}
