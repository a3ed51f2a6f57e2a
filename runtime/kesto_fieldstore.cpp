// Changing a record: one field with the upkeep its change needs (key
// entries, the key of an enclosing group, the record's place in sorted
// sets), the duplicate check before such a store, and the deletion of a
// record's key entries and slot.
#include <cstring>
#include <memory>
#include <new>

#include "runtime/kesto_internal.h"

int struct_key_chk = 1;

namespace {

// A field's new value, copied out of the caller's buffer: a string is read
// only up to its NUL and NUL-filled, as it will be stored.
class field_value {
 public:
  int make(const field_entry *fld, const char *src, int msg) {
    size_t n = static_cast<size_t>(fld->length);
    if (n <= sizeof local_) {
      data_ = local_;
    } else {
      heap_.reset(new (std::nothrow) char[n]);
      if (!heap_) return dberr_code(S_NOMEMORY, msg);
      data_ = heap_.get();
    }
    field_copy(fld, data_, src);
    return S_OKAY;
  }
  const char *get() const { return data_; }

 private:
  char local_[KEYSLOT_LEN];
  std::unique_ptr<char[]> heap_;
  char *data_ = nullptr;
};

// Whether the key entry of a key field is in its index: always for a key
// that is not optional, else when its bit is set. Negative: an error.
int entry_stored(const field_entry *fld, const char *rec) {
  if (fld->key == 'n') return 0;
  if (!(fld->flags & FLD_OPTKEY_MASK)) return 1;
  int status = r_tstopt(fld, rec);
  if (status < 0) return status;
  return status == S_DUPLICATE ? 1 : 0;
}

// Replaces the key entry of `old_value` by one of `new_value` (stored
// forms). A missing old entry means the key file disagrees with the record.
int replace_entry(int fld_index, const char *old_value, const char *new_value, db_address dba, int msg) {
  int status = key_delete(fld_index, old_value, dba);
  if (status == S_NOTFOUND)
    return dberr_code(S_KEYERR, msg, "%s: no entry of key %d for %08x",
                      kt().file_table[kt().field_table[fld_index].key_file].name,
                      kt().field_table[fld_index].key_number, dba);
  if (status != S_OKAY) return status;
  return key_insert(fld_index, new_value, dba);
}

// The group field that a group member belongs to.
int enclosing_group(int fld_index) {
  const db_task &t = kt();
  for (int g = fld_index - 1; g >= 0; --g)
    if (t.field_table[g].type == 'g') return g;
  return -1;
}

// Shared opens only: the sets that a changed sort field reorders must be
// locked by the task. No lock manager keeps such locks here, so only sets
// whose owners live in static files qualify.
int check_sort_locks(int fld_index, const char *rec) {
  const db_task &t = kt();
  for (int so = 0; so < t.size_srt; ++so) {
    if (t.sort_table[so].field != fld_index) continue;
    int si = t.sort_table[so].set;
    member_pointer mp;
    if (r_gmem(si, rec, &mp) != S_OKAY) return db_status;
    if (!mp.owner) continue;
    const record_entry &owner = t.record_table[t.set_table[si].owner];
    if (!(t.file_table[owner.file].flags & FILE_STATIC)) return dberr_code(S_NOTLOCKED, 342);
  }
  return S_OKAY;
}

// Moves the record to its new place in every sorted set it belongs to, by
// a disconnect and a connect; the currency of each set and the current
// record are as before afterwards.
int resort(int fld_index, const char *rec, db_address dba) {
  db_task &t = kt();
  for (int so = 0; so < t.size_srt; ++so) {
    if (t.sort_table[so].field != fld_index) continue;
    int si = t.sort_table[so].set;
    member_pointer mp;
    if (r_gmem(si, rec, &mp) != S_OKAY) return db_status;
    if (!mp.owner) continue;
    db_address owner = t.curr_own[si], member = t.curr_mem[si], current = t.current_record;
    t.curr_own[si] = mp.owner;
    t.curr_mem[si] = dba;
    int set = si - curr_dbt()->slice[TBL_SET].first + SET_BASE;
    int status = dt_discon(set, nullptr, t.curr_db);
    if (status >= 0) status = dt_connect(set, nullptr, t.curr_db);
    t.curr_own[si] = owner;
    t.curr_mem[si] = member;
    t.current_record = current;
    if (status < 0) return db_status = status;
  }
  return db_status = S_OKAY;
}

}  // namespace

int r_chkfld(int fld_index, const field_entry *fld, const char *rec, const char *data) {
  db_task &t = kt();
  if (rec_type_index(rec) != fld->record) return dberr_code(S_INVFLD, 338);
  field_value value;
  if (value.make(fld, data, 801) != S_OKAY) return db_status;
  field_value built;
  const char *stored = rec + fld->offset;
  if (fld->type == 'k') {
    char key[KEYSLOT_LEN];
    key_bldcom(fld_index, rec + t.record_table[fld->record].data, key, false);
    if (built.make(fld, key, 801) != S_OKAY) return db_status;
    stored = built.get();
  }
  if (fldcmp(fld, value.get(), stored) == 0) return db_status = S_OKAY;
  if (fld->key == 'u') {
    int stored_entry = entry_stored(fld, rec);
    if (stored_entry < 0) return stored_entry;
    if (stored_entry) {
      int status = key_find(fld_index, value.get(), nullptr);
      if (status == S_OKAY) return db_status = S_DUPLICATE;
      if (status != S_NOTFOUND) return status;
    }
  }
  if (fld->type == 'g') {
    for (int m = fld_index + 1; m < t.size_fd && (t.field_table[m].flags & FLD_GROUPED); ++m) {
      const field_entry &member = t.field_table[m];
      int status = r_chkfld(m, &member, rec, value.get() + (member.offset - fld->offset));
      if (status != S_OKAY) return status;
    }
  }
  return db_status = S_OKAY;
}

int r_pfld(int fld_index, const field_entry *fld, char *rec, const char *data, const db_address *dba) {
  db_task &t = kt();
  // A compound key has no bytes of its own; its components are stored.
  if (fld->type == 'k') return dberr_code(S_ISCOMKEY, 802);
  field_value value;
  if (value.make(fld, data, 803) != S_OKAY) return db_status;
  const char *nv = value.get();
  char *place = rec + fld->offset;
  size_t length = static_cast<size_t>(fld->length);
  if (std::memcmp(nv, place, length) == 0) return db_status = S_OKAY;
  bool changed = fldcmp(fld, nv, place) != 0;

  if (changed && (fld->flags & FLD_SORT) && t.open_state == 1 &&
      check_sort_locks(fld_index, rec) != S_OKAY)
    return db_status;

  if (changed) {
    int stored = entry_stored(fld, rec);
    if (stored < 0) return stored;
    if (stored) {
      char old_key[KEYSLOT_LEN];
      field_copy(fld, old_key, place);
      if (replace_entry(fld_index, old_key, nv, *dba, 343) != S_OKAY) return db_status;
    }
  }

  // A member of a group that is itself a key: the group's entry goes now
  // and comes back with the group's new value once the member is stored.
  int group_key = -1;
  if (struct_key_chk && (fld->flags & FLD_GROUPED) && changed) {
    int g = enclosing_group(fld_index);
    if (g >= 0) {
      const field_entry &group = t.field_table[g];
      int stored = entry_stored(&group, rec);
      if (stored < 0) return stored;
      if (stored) {
        int status = key_delete(g, rec + group.offset, *dba);
        if (status == S_NOTFOUND) return dberr_code(S_KEYERR, 343);
        if (status != S_OKAY) return status;
        group_key = g;
      }
    }
  }

  int tag = 32;
  if (fld->type == 'c') {
    tag = fld->dims[0] == 0 ? 31 : fld->dims[1] == 0 ? 30 : 38;
  } else if (fld->type == 'g' && fld->dims[0] == 0) {
    int status = S_OKAY;
    struct_key_chk = 0;
    for (int m = fld_index + 1; m < t.size_fd && (t.field_table[m].flags & FLD_GROUPED); ++m) {
      const field_entry &member = t.field_table[m];
      status = r_pfld(m, &member, rec, nv + (member.offset - fld->offset), dba);
      if (status != S_OKAY) break;
    }
    struct_key_chk = 1;
    if (status != S_OKAY) return db_status = status;
    tag = 0;
  }
  if (tag) {
    std::memcpy(place, nv, length);
    if (tjf_journal_rec(*dba, rec, place, static_cast<int>(length), tag) != S_OKAY) return db_status;
  }

  if (changed && (fld->flags & FLD_SORT) && resort(fld_index, rec, *dba) != S_OKAY) return db_status;

  if (group_key >= 0 && key_insert(group_key, rec + t.field_table[group_key].offset, *dba) != S_OKAY)
    return db_status;
  return db_status = S_OKAY;
}

int r_delrec(int rec_index, db_address dba) {
  db_task &t = kt();
  const record_entry &re = t.record_table[rec_index];
  char *rec;
  if (dio_read(dba, &rec, 1) != S_OKAY) return db_status;
  auto fail = [dba](int status) {
    dio_release(dba, 1);
    return db_status = status;
  };
  for (int f = re.first_field; f >= 0 && f < t.size_fd && t.field_table[f].record == rec_index; ++f) {
    const field_entry &fld = t.field_table[f];
    int stored = entry_stored(&fld, rec);
    if (stored < 0) return fail(stored);
    if (!stored) continue;
    char key[KEYSLOT_LEN];
    key_stored_value(f, rec, key);
    int status = key_delete(f, key, dba);
    if (status == S_NOTFOUND)
      return fail(dberr_code(S_KEYERR, 804, "%s: no entry of key %d for %08x",
                             t.file_table[fld.key_file].name, fld.key_number, dba));
    if (status != S_OKAY) return fail(status);
  }
  if (re.flags & REC_TIMESTAMPED) {
    uint32_t stamp = dio_pzgetts(re.file);
    if (db_status != S_OKAY) return fail(db_status);
    put_u32(rec + 6, stamp);
    put_u32(rec + 10, stamp);
    if (tjf_journal_rec(dba, rec, rec + 6, 8, 29) != S_OKAY) return fail(db_status);
  }
  if (dio_write(dba, nullptr, 1) != S_OKAY) return db_status;
  return dio_pzdel(re.file, dba & SLOT_MASK);
}
