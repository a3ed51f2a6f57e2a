// The key context and the searches of a key file: by value, one key on in
// either direction, and to the first or last key of a field.
//
// Nodes are read without a hold, so a node's buffer is used only until the
// next page request. Every page number and key count read from the file is
// checked before it is followed, and the descent never outgrows the key
// position's path: a damaged key file gives -910, never a wild read.
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_keynode.h"

namespace {

using keynode::NO_CHILD;

int inconsistent(int site, uint32_t page) {
  return dberr_code(S_KEYERR, site, "%s: page %u", kt().file_table[kctx().keyfile].name, page);
}

// -910 at `site` for a page that no node of the current key file can have:
// 0, negative, or never allocated.
int check_page(uint32_t page, int site) {
  if (page == 0 || static_cast<int32_t>(page) < 0) return inconsistent(site, page);
  uint32_t next = dio_pznext(kctx().keyfile);
  if (db_status != S_OKAY) return db_status;
  if (page >= next) return inconsistent(site, page);
  return S_OKAY;
}

// Reads a node; -910 at `site` when its key count cannot be.
int read_node(uint32_t page, char **node, int site) {
  if (dio_get(page, node, 0) != S_OKAY) return db_status;
  int n = keynode::count(*node);
  if (n < 0 || n > kctx().max_slots || (n == 0 && page != 1))
    return dberr_code(S_KEYERR, site, "%s: page %u holds %d keys",
                      kt().file_table[kctx().keyfile].name, page, n);
  return S_OKAY;
}

void keep_entry(const char *entry) {
  std::memcpy(kt().key_slot, entry, static_cast<size_t>(kctx().slot_len));
}

// The position takes the entry in the key slot buffer.
void position_on_kept(key_position &kp) {
  const key_context &c = kctx();
  std::memcpy(kp.value, keynode::value(kt().key_slot), static_cast<size_t>(c.key_len));
  kp.dba = keynode::address(kt().key_slot, c.key_len);
}

// Order of the wanted (prefix, value[, address]) against an entry.
int compare_entry(const char *value, db_address dba, bool exact, const char *entry) {
  const key_context &c = kctx();
  int d = SHORTcmp(static_cast<int16_t>(c.prefix), static_cast<int16_t>(keynode::prefix(entry)));
  if (d) return d;
  d = fldcmp(&key_field(), value, keynode::value(entry));
  if (d || !exact) return d;
  db_address there = keynode::address(entry, c.key_len);
  return ADDRcmp(&dba, &there);
}

}  // namespace

int key_init(int fld_index) {
  db_task &t = kt();
  const field_entry &fld = t.field_table[fld_index];
  if (fld.key == 'n') return dberr_code(S_NOTKEY, 410);
  const file_entry &kf = t.file_table[fld.key_file];
  const db_entry *db = curr_dbt();
  key_context &c = t.keyctx;
  c.valid = 1;
  c.fldno = static_cast<int16_t>(fld_index);
  c.keyno = fld.key_number;
  c.key_len = fld.length;
  c.prefix = static_cast<int16_t>(fld.key_number - (db ? db->first_key : 0));
  c.keyfile = fld.key_file;
  c.slot_len = kf.slot_size;
  c.max_slots = kf.slots;
  c.mid_slot = static_cast<int16_t>(kf.slots / 2);
  c.unique = fld.key == 'u';
  dio_setdef(fld.key_file);
  return db_status = S_OKAY;
}

int key_search(const char *value, db_address dba, bool exact) {
  const key_context &c = kctx();
  key_position &kp = key_curkey();
  const int slot_len = c.slot_len;
  int level = 0;
  uint32_t page = 1;
  int match = -1;
  bool found_here = false;
  char *node = nullptr;
  for (;; ++level) {
    if (level >= kp.max_levels) return inconsistent(411, page);
    if (check_page(page, 412) != S_OKAY) return db_status;
    if (read_node(page, &node, 413) != S_OKAY) return db_status;
    kp.path[level].page = page;
    int n = keynode::count(node);
    if (n == 0) {
      // Only the root may be empty: the tree holds nothing.
      kp.path[level].slot = 0;
      kp.level = static_cast<int16_t>(level);
      kp.status = -1;
      return db_status = S_NOTFOUND;
    }
    int lo = 0, hi = n - 1, mid = 0, cmp = 0;
    bool equal = false;
    while (lo <= hi) {
      mid = (lo + hi) / 2;
      cmp = compare_entry(value, dba, exact, keynode::slot(node, mid, slot_len));
      if (cmp < 0) {
        hi = mid - 1;
      } else if (cmp > 0) {
        lo = mid + 1;
      } else {
        equal = true;
        break;
      }
    }
    if (equal && !exact && !c.unique) {
      // The first of the equal values in this node.
      while (mid > 0) {
        const char *before = keynode::slot(node, mid - 1, slot_len);
        if (keynode::prefix(before) != c.prefix ||
            fldcmp(&key_field(), value, keynode::value(before)) != 0)
          break;
        --mid;
      }
    }
    int chosen = equal ? mid : (cmp > 0 ? mid + 1 : mid);
    uint32_t child = keynode::child(node, chosen, slot_len);
    if (child == 0) return inconsistent(415, page);
    kp.path[level].slot = static_cast<int16_t>(chosen);
    if (equal) {
      keep_entry(keynode::slot(node, chosen, slot_len));
      if (c.unique || exact) {
        found_here = true;
        break;
      }
      // Equal values of a key with duplicates may lie further left, in
      // this entry's subtree.
      match = level;
    }
    if (child == NO_CHILD) {
      if (match < 0) {
        // Not found: keep the neighbour that dt_keyread reports.
        keep_entry(keynode::slot(node, chosen > 0 ? chosen - 1 : chosen, slot_len));
      }
      break;
    }
    page = child;
  }
  if (match >= 0) level = match;
  kp.level = static_cast<int16_t>(level);
  if (match >= 0 || found_here) {
    kp.status = 1;
    position_on_kept(kp);
    return db_status = S_OKAY;
  }
  // The position remembers what was searched, so that a search again after
  // the tree has changed comes back to the same place between its
  // neighbours.
  kp.status = 2;
  std::memmove(kp.value, value, static_cast<size_t>(c.key_len));
  kp.dba = exact ? dba : 0;
  return db_status = S_NOTFOUND;
}

int key_locpos(const char *value, db_address *dba) {
  int status = key_search(value, *dba, *dba != 0);
  if (status == S_OKAY && *dba == 0) *dba = key_curkey().dba;
  return db_status = status;
}

int key_scan(int direction, db_address *dba) {
  const key_context &c = kctx();
  key_position &kp = key_curkey();
  const int slot_len = c.slot_len;
  bool next = direction == KEY_NEXT;
  switch (kp.status) {
    case 1:
      break;
    case 0:
    case -1:
      return key_boundary(next ? KEY_FIRST : KEY_LAST, dba);
    case 3: {
      char saved[KEYSLOT_LEN];
      std::memcpy(saved, kp.value, static_cast<size_t>(c.key_len));
      int status = key_search(saved, kp.dba, true);
      if (status != S_OKAY && status != S_NOTFOUND) return status;
      break;
    }
    case 2:
      break;
    default:
      return inconsistent(416, 0);
  }
  if (kp.status == 1 && next) ++kp.path[kp.level].slot;

  int level = kp.level;
  uint32_t page = kp.path[level].page;
  if (check_page(page, 416) != S_OKAY) return db_status;
  char *node;
  if (read_node(page, &node, 417) != S_OKAY) return db_status;
  int n = keynode::count(node);
  int slot = kp.path[level].slot;
  if (slot < 0 || slot > n) return inconsistent(418, page);
  uint32_t child = keynode::child(node, slot, slot_len);
  if (child == 0) return inconsistent(418, page);

  if (child != NO_CHILD) {
    // Down the leftmost path of the next subtree, or the rightmost path of
    // the previous one.
    while (child != NO_CHILD) {
      if (++level >= kp.max_levels) return inconsistent(421, child);
      page = child;
      if (check_page(page, 421) != S_OKAY) return db_status;
      if (read_node(page, &node, 422) != S_OKAY) return db_status;
      n = keynode::count(node);
      slot = next ? 0 : n;
      kp.path[level] = {page, static_cast<int16_t>(slot)};
      child = keynode::child(node, slot, slot_len);
      if (child == 0) return inconsistent(423, page);
    }
  } else {
    if (!next) --slot;
    while (next ? slot >= n : slot < 0) {
      if (level == 0) {
        kp.path[0].slot = static_cast<int16_t>(slot);
        kp.level = 0;
        kp.status = -1;
        return db_status = S_NOTFOUND;
      }
      --level;
      page = kp.path[level].page;
      if (check_page(page, 419) != S_OKAY) return db_status;
      if (read_node(page, &node, 420) != S_OKAY) return db_status;
      n = keynode::count(node);
      slot = kp.path[level].slot;
      if (!next) --slot;
    }
  }
  if (slot == n) --slot;
  if (slot < 0 || slot >= n) return inconsistent(420, page);
  kp.path[level].slot = static_cast<int16_t>(slot);
  kp.level = static_cast<int16_t>(level);
  const char *entry = keynode::slot(node, slot, slot_len);
  keep_entry(entry);
  if (keynode::prefix(entry) != c.prefix) {
    // The neighbour belongs to another key of the file.
    kp.status = -1;
    return db_status = S_NOTFOUND;
  }
  position_on_kept(kp);
  kp.status = 1;
  *dba = kp.dba;
  return db_status = S_OKAY;
}

int key_boundary(int mode, db_address *dba) {
  const key_context &c = kctx();
  key_position &kp = key_curkey();
  const int slot_len = c.slot_len;
  if (mode == KEY_RESET) {
    kp.status = 0;
    return db_status = S_OKAY;
  }
  bool first = mode == KEY_FIRST;
  int match = -1;
  uint32_t page = 1;
  kp.status = 2;
  for (int level = 0;; ++level) {
    if (level >= kp.max_levels) return inconsistent(424, page);
    if (check_page(page, 424) != S_OKAY) return db_status;
    char *node;
    if (read_node(page, &node, 425) != S_OKAY) return db_status;
    int n = keynode::count(node);
    if (n == 0) break;
    int slot;
    if (first) {
      slot = 0;
      while (slot < n && keynode::prefix(keynode::slot(node, slot, slot_len)) < c.prefix) ++slot;
    } else {
      slot = n - 1;
      while (slot >= 0 && keynode::prefix(keynode::slot(node, slot, slot_len)) > c.prefix) --slot;
    }
    kp.path[level] = {page, static_cast<int16_t>(slot)};
    if (slot >= 0 && slot < n && keynode::prefix(keynode::slot(node, slot, slot_len)) == c.prefix) {
      keep_entry(keynode::slot(node, slot, slot_len));
      match = level;
    }
    uint32_t child = keynode::child(node, first ? slot : slot + 1, slot_len);
    if (child == NO_CHILD) break;
    page = child;
  }
  if (match < 0) {
    kp.level = 0;
    kp.status = -1;
    return db_status = S_NOTFOUND;
  }
  kp.level = static_cast<int16_t>(match);
  position_on_kept(kp);
  *dba = kp.dba;
  // The next scan searches this entry again before it moves.
  kp.status = 3;
  return db_status = S_OKAY;
}
