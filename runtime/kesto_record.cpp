// Reading a record image: the id word, addresses and single fields.
#include <cstring>

#include "runtime/kesto_internal.h"

int rlb_status = 0;

uint32_t get_u32(const void *p) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint16_t get_u16(const void *p) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

void put_u32(void *p, uint32_t v) {
  unsigned char *b = static_cast<unsigned char *>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
  b[2] = static_cast<unsigned char>(v >> 16);
  b[3] = static_cast<unsigned char>(v >> 24);
}

void put_u16(void *p, uint16_t v) {
  unsigned char *b = static_cast<unsigned char *>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}

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
