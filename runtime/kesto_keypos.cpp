// The key position table: one entry per key field of all open databases,
// indexed by the field's key number. Searches and scans of the key files
// keep their place here.
#include <cstdlib>

#include "runtime/kesto_internal.h"

namespace {

int16_t max_levels_for(int max_slots) {
  if (max_slots > 16777214) return 2;
  if (max_slots < 2) max_slots = 2;
  int k = 2;
  double power = static_cast<double>(max_slots) * max_slots;
  while (power <= 16777214.0) {
    power *= max_slots;
    ++k;
  }
  return static_cast<int16_t>(k + 1);
}

void free_entry(key_position &kp) {
  d_free(&kp.path);
  d_free(&kp.value);
}

}  // namespace

int key_open() {
  db_task &t = kt();
  int added = 0;
  for (int f = old_size_fd; f < t.size_fd; ++f)
    if (t.field_table[f].key != 'n') ++added;
  int old_count = t.key_count;
  if (old_count + added == 0) return db_status = S_OKAY;
  if (added == 0) return db_status = S_OKAY;
  if (alloc_table(reinterpret_cast<void **>(&t.key_pos), sizeof(key_position) * (old_count + added),
                  sizeof(key_position) * old_count) != S_OKAY)
    return db_status;
  t.key_count = old_count + added;
  for (int f = old_size_fd; f < t.size_fd; ++f) {
    const field_entry &fd = t.field_table[f];
    if (fd.key == 'n') continue;
    key_position &kp = t.key_pos[fd.key_number];
    const file_entry &kf = t.file_table[fd.key_file];
    kp.level = 0;
    kp.status = 0;
    kp.field = static_cast<int16_t>(f);
    kp.dba = 0;
    kp.key_file = fd.key_file;
    kp.value = static_cast<char *>(d_alloc(static_cast<size_t>(kf.slot_size)));
    if (!kp.value) return dberr_code(S_NOMEMORY, 408);
    kp.max_levels = max_levels_for(kf.slots);
    kp.path = static_cast<key_path_step *>(d_alloc(sizeof(key_path_step) * kp.max_levels));
    if (!kp.path) return dberr_code(S_NOMEMORY, 409);
  }
  return db_status = S_OKAY;
}

void key_close(int dbn) {
  db_task &t = kt();
  // The key context may name a key that goes; dt_keyread then has nothing
  // to read.
  t.keyctx.valid = 0;
  if (!t.key_pos) {
    t.key_count = 0;
    return;
  }
  if (dbn < 0) {
    for (int k = 0; k < t.key_count; ++k) free_entry(t.key_pos[k]);
    d_free(&t.key_pos);
    t.key_count = 0;
    return;
  }
  const db_entry &db = t.db_table[dbn];
  int first_field = db.slice[TBL_FIELD].first;
  int end_field = first_field + db.slice[TBL_FIELD].count;
  int first_key = 0, removed = 0;
  for (int f = 0; f < end_field && f < t.size_fd; ++f) {
    if (t.field_table[f].key == 'n') continue;
    if (f < first_field) ++first_key;
    else ++removed;
  }
  if (removed == 0) return;
  for (int k = first_key; k < first_key + removed && k < t.key_count; ++k) free_entry(t.key_pos[k]);
  free_table(reinterpret_cast<void **>(&t.key_pos), first_key, first_key + removed - 1, t.key_count,
             sizeof(key_position));
  t.key_count -= removed;
  for (int k = first_key; k < t.key_count; ++k) {
    t.key_pos[k].key_file = static_cast<int16_t>(t.key_pos[k].key_file - db.slice[TBL_FILE].count);
    t.key_pos[k].field = static_cast<int16_t>(t.key_pos[k].field - db.slice[TBL_FIELD].count);
  }
}

int key_reset(int file) {
  db_task &t = kt();
  for (int k = 0; k < t.key_count; ++k) {
    key_position &kp = t.key_pos[k];
    if ((file == t.size_ft || kp.key_file == file) && (kp.status == 1 || kp.status == 2))
      kp.status = 3;
  }
  return db_status = S_OKAY;
}
