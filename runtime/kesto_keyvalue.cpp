// Key values: how a key field's value is stored in its key file, built
// from a record or from a caller's value, and given back.
//
// A plain key is the field's bytes, a string NUL-filled after its end. A
// compound key is built from its component fields, each at its offset in
// the key; a descending component is stored transformed (bytes
// complemented, a string's last byte kept 0, a float or double negated) so
// that the ascending order of the file sorts it descending. The transform
// is its own inverse, which gives values back in their natural form.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

void descending(const field_entry &comp, char *dst, const char *src) {
  switch (comp.type) {
    case 'f': {
      float v;
      std::memcpy(&v, src, sizeof v);
      v = 0.0f - v;
      std::memcpy(dst, &v, sizeof v);
      return;
    }
    case 'F': {
      double v;
      std::memcpy(&v, src, sizeof v);
      v = 0.0 - v;
      std::memcpy(dst, &v, sizeof v);
      return;
    }
    case 'c':
      key_cmpcpy(dst, src, comp.length);
      if (comp.dims[0] >= 2 && comp.dims[1] == 0) dst[comp.length - 1] = 0;
      return;
    default:
      key_cmpcpy(dst, src, comp.length);
      return;
  }
}

// Each component from `source` at `source_offset(entry, component)` to its
// place in the key, transformed when `transform` and descending.
template <typename SourceOffset>
void build(int fld_index, const char *source, SourceOffset source_offset, char *key, bool transform) {
  const db_task &t = kt();
  const field_entry &fld = t.field_table[fld_index];
  std::memset(key, 0, static_cast<size_t>(fld.length));
  for (int k = fld.offset; k < t.size_kt && t.key_table[k].compound == fld_index; ++k) {
    const key_entry &ke = t.key_table[k];
    const field_entry &comp = t.field_table[ke.component];
    const char *src = source + source_offset(ke, comp);
    if (transform && ke.order == 'd') descending(comp, key + ke.offset, src);
    else std::memcpy(key + ke.offset, src, static_cast<size_t>(comp.length));
  }
}

}  // namespace

void key_cmpcpy(char *dst, const char *src, int n) {
  for (int i = 0; i < n; ++i) dst[i] = static_cast<char>(~src[i]);
}

int key_bldcom(int fld_index, const char *rec_data, char *key, bool complement) {
  const db_task &t = kt();
  const record_entry &re = t.record_table[t.field_table[fld_index].record];
  build(fld_index, rec_data,
        [&re](const key_entry &, const field_entry &comp) { return comp.offset - re.data; }, key,
        complement);
  return db_status = S_OKAY;
}

void key_stored_value(int fld_index, const char *rec, char *key) {
  const db_task &t = kt();
  const field_entry &fld = t.field_table[fld_index];
  if (fld.type == 'k') key_bldcom(fld_index, rec + t.record_table[fld.record].data, key, true);
  else field_copy(&fld, key, rec + fld.offset);
}

void key_search_value(int fld_index, const char *value, char *key) {
  const field_entry &fld = kt().field_table[fld_index];
  if (fld.type == 'k')
    build(fld_index, value, [](const key_entry &ke, const field_entry &) { return ke.offset; }, key, true);
  else field_copy(&fld, key, value);
}

void key_natural_value(int fld_index, const char *stored, char *value) {
  key_search_value(fld_index, stored, value);
}

int key_find(int fld_index, const char *value, db_address *dba) {
  if (key_init(fld_index) != S_OKAY) return db_status;
  char key[KEYSLOT_LEN];
  key_search_value(fld_index, value, key);
  db_address found = 0;
  if (key_locpos(key, &found) != S_OKAY) return db_status;
  if (dba) *dba = found;
  return db_status = S_OKAY;
}
