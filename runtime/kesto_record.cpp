// Record images: the id word, addresses and single fields, the set and
// member pointers, and the optional-key bits.
//
// A slot holds the i16 record id (bit 14 the record lock bit; a deleted slot
// holds the complemented id), the record's own address, two u32 timestamps
// when the record type is timestamped, the optional-key bitmap, the set and
// member pointers, and the fields, each at the offset its table entry gives.
#include <cstring>

#include "runtime/kesto_internal.h"

int rlb_status = 0;

uint16_t rec_id(const char *rec) { return get_u16(rec); }

db_address rec_get_dba(const char *rec, int offset) { return get_u32(rec + offset); }

int r_gfld(const field_entry *fld, const char *rec, char *data) {
  db_task &t = kt();
  uint16_t id = rec_id(rec);
  if (id & 0x8000) return db_status = S_DELETED;
  rlb_status = (id & RLB_MASK) ? S_LOCKED : S_UNLOCKED;
  db_entry *db = curr_dbt();
  int rt = (id & ~RLB_MASK) + (db ? db->slice[TBL_RECORD].first : 0);
  if (rt != fld->record) return dberr_code(S_INVFLD, 339);
  if (fld->type == 'k') {
    std::memset(data, 0, static_cast<size_t>(fld->length));
    int self = static_cast<int>(fld - t.field_table);
    for (int k = fld->offset; k < t.size_kt && t.key_table[k].compound == self; ++k) {
      const key_entry &ke = t.key_table[k];
      const field_entry &comp = t.field_table[ke.component];
      std::memcpy(data + ke.offset, rec + comp.offset, static_cast<size_t>(comp.length));
    }
  } else {
    std::memcpy(data, rec + fld->offset, static_cast<size_t>(fld->length));
  }
  return db_status = S_OKAY;
}

int rec_type_index(const char *rec) {
  uint16_t id = rec_id(rec);
  db_entry *db = curr_dbt();
  if ((id & 0x8000) || !db) return -1;
  int type = id & ~RLB_MASK;
  if (type >= db->slice[TBL_RECORD].count) return -1;
  return type + db->slice[TBL_RECORD].first;
}

namespace {

int set_pointer_size(const set_entry &se) { return (se.flags & SET_TIMESTAMPED) ? 16 : 12; }

// The member entry of a set for the record's type; null when its type may
// not be a member.
const member_entry *member_of(int set_index, const char *rec) {
  const db_task &t = kt();
  const set_entry &se = t.set_table[set_index];
  int type = rec_type_index(rec);
  for (int m = se.first_member; m < se.first_member + se.member_count && m < t.size_mt; ++m)
    if (t.member_table[m].record == type) return &t.member_table[m];
  return nullptr;
}

// Byte and mask of a field's optional-key bit; false when the field has no
// optional-key number.
bool optional_bit(const field_entry *fld, size_t *byte, unsigned char *mask) {
  int n = (fld->flags & FLD_OPTKEY_MASK) >> 10;
  if (n == 0) return false;
  bool stamped = kt().record_table[fld->record].flags & REC_TIMESTAMPED;
  *byte = static_cast<size_t>((stamped ? 14 : 6) + (n - 1) / 8);
  *mask = static_cast<unsigned char>(0x80 >> ((n - 1) % 8));
  return true;
}

}  // namespace

int r_gset(int set_index, const char *rec, set_pointer *sp) {
  const set_entry &se = kt().set_table[set_index];
  if (rec_type_index(rec) != se.owner) return dberr_code(S_INVOWN, 341);
  const char *p = rec + se.owner_ptr;
  sp->total = get_u32(p);
  sp->first = get_u32(p + 4);
  sp->last = get_u32(p + 8);
  sp->timestamp = (se.flags & SET_TIMESTAMPED) ? get_u32(p + 12) : 0;
  return db_status = S_OKAY;
}

int r_pset(int set_index, char *rec, const set_pointer *sp) {
  const set_entry &se = kt().set_table[set_index];
  if (rec_type_index(rec) != se.owner) return dberr_code(S_INVOWN, 345);
  char *p = rec + se.owner_ptr;
  put_u32(p, sp->total);
  put_u32(p + 4, sp->first);
  put_u32(p + 8, sp->last);
  if (se.flags & SET_TIMESTAMPED) put_u32(p + 12, sp->timestamp);
  if (tjf_journal_rec_ndba(rec, p, set_pointer_size(se), 34) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int r_gmem(int set_index, const char *rec, member_pointer *mp) {
  const member_entry *me = member_of(set_index, rec);
  if (!me) return dberr_code(S_INVMEM, 340);
  const char *p = rec + me->member_ptr;
  mp->owner = get_u32(p);
  mp->prev = get_u32(p + 4);
  mp->next = get_u32(p + 8);
  return db_status = S_OKAY;
}

int r_pmem(int set_index, char *rec, const member_pointer *mp) {
  const member_entry *me = member_of(set_index, rec);
  if (!me) return dberr_code(S_INVMEM, 344);
  char *p = rec + me->member_ptr;
  put_u32(p, mp->owner);
  put_u32(p + 4, mp->prev);
  put_u32(p + 8, mp->next);
  if (tjf_journal_rec_ndba(rec, p, 12, 33) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int r_smem(const db_address *dba, int set_index) {
  db_task &t = kt();
  char *rec;
  if (dio_read(*dba, &rec, 0) != S_OKAY) return db_status;
  member_pointer mp;
  if (r_gmem(set_index, rec, &mp) != S_OKAY) return db_status;
  if (mp.owner == 0) return dberr_code(S_NOTCON, 346);
  t.curr_own[set_index] = mp.owner;
  t.curr_mem[set_index] = *dba;
  int set = set_index - curr_dbt()->slice[TBL_SET].first + SET_BASE;
  if (t.rec_stamped) {
    if (dt_utsco(set, &t.co_time[set_index], nullptr, t.curr_db) != S_OKAY ||
        dt_utscm(set, &t.cm_time[set_index], nullptr, t.curr_db) != S_OKAY)
      return db_status;
  }
  if (t.set_stamped && dt_utscs(set, &t.cs_time[set_index], nullptr, t.curr_db) != S_OKAY)
    return db_status;
  return db_status = S_OKAY;
}

int r_tstopt(const field_entry *fld, const char *rec) {
  size_t byte;
  unsigned char mask;
  if (!optional_bit(fld, &byte, &mask)) return dberr_code(S_SYSERR, 349);
  return db_status = (static_cast<unsigned char>(rec[byte]) & mask) ? S_DUPLICATE : S_OKAY;
}

int r_setopt(const field_entry *fld, char *rec) {
  size_t byte;
  unsigned char mask;
  if (!optional_bit(fld, &byte, &mask)) return dberr_code(S_SYSERR, 347);
  rec[byte] = static_cast<char>(static_cast<unsigned char>(rec[byte]) | mask);
  if (tjf_journal_rec_ndba(rec, rec + byte, 1, 35) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

int r_clropt(const field_entry *fld, char *rec) {
  size_t byte;
  unsigned char mask;
  if (!optional_bit(fld, &byte, &mask)) return dberr_code(S_SYSERR, 348);
  rec[byte] = static_cast<char>(static_cast<unsigned char>(rec[byte]) & ~mask);
  if (tjf_journal_rec_ndba(rec, rec + byte, 1, 36) != S_OKAY) return db_status;
  return db_status = S_OKAY;
}
