// Insertion and deletion of key entries: a B-tree whose root stays on
// page 1. Insertion goes into a leaf and splits full nodes upward (a full
// root moves its halves to two new pages and keeps the middle entry);
// deletion replaces an inner entry by its successor and mends an under-full
// node by a rotation through its parent or by a merge with a sibling,
// collapsing the root into its two children when they fit.
//
// Pages changed here are held while they are worked on and marked changed
// once done; every changed byte range goes to the journal first. The pages
// a split needs are allocated before any node changes, so running out of
// pages leaves the tree as it was.
#include <cstring>
#include <utility>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_keynode.h"

namespace {

using keynode::NO_CHILD;

constexpr int MAX_SPLITS = 64;  // more than any path can hold

int inconsistent(int site, uint32_t page) {
  return dberr_code(S_KEYERR, site, "%s: page %u", kt().file_table[kctx().keyfile].name, page);
}

// -910 at `site` for a page that no node of the current key file can have.
int check_page(uint32_t page, int site) {
  if (page == 0 || static_cast<int32_t>(page) < 0) return inconsistent(site, page);
  uint32_t next = dio_pznext(kctx().keyfile);
  if (db_status != S_OKAY) return db_status;
  if (page >= next) return inconsistent(site, page);
  return S_OKAY;
}

// A node held for update. Released when it goes out of scope: marked
// changed when it was changed, else handed back untouched.
class held_node {
 public:
  held_node() = default;
  held_node(const held_node &) = delete;
  held_node &operator=(const held_node &) = delete;
  held_node(held_node &&other) noexcept { *this = std::move(other); }
  held_node &operator=(held_node &&other) noexcept {
    if (this != &other) {
      release();
      node_ = other.node_;
      page_ = other.page_;
      changed_ = other.changed_;
      other.page_ = 0;
      other.changed_ = false;
    }
    return *this;
  }
  ~held_node() { release(); }

  // Gets a node in use: -910 at `page_site` for a page that cannot be a
  // node of the file, at `count_site` for a key count outside low .. high
  // (or 0 anywhere but in the root).
  int get(uint32_t page, int page_site, int count_site, int low, int high) {
    if (get_page(page, page_site) != S_OKAY) return db_status;
    int n = keynode::count(node_);
    if (n < low || n > high || (n == 0 && page != 1)) {
      release();
      return inconsistent(count_site, page);
    }
    return S_OKAY;
  }

  // Gets a page just allocated to become a node; its old contents do not
  // count.
  int get_new(uint32_t page, int site) { return get_page(page, site); }

  char *node() const { return node_; }
  char *base() const { return node_ + keynode::HEADER; }
  uint32_t page() const { return page_; }
  int count() const { return keynode::count(node_); }
  char *slot(int i) const { return keynode::slot(node_, i, kctx().slot_len); }
  uint32_t child(int i) const { return keynode::child(node_, i, kctx().slot_len); }

  // Hands a changed byte range to the journal. The first failure is kept in
  // `*status` and the work goes on, so that the tree stays whole.
  void journal(const char *from, int length, int site, int *status) {
    changed_ = true;
    if (*status != S_OKAY) return;
    *status = tjf_journal_pg(kctx().keyfile, node_, from, length, page_, site);
  }
  void changed() { changed_ = true; }

  // Marks the page changed and drops the hold.
  int touch() {
    if (!page_) return S_OKAY;
    if (dio_touch(page_) != S_OKAY) return db_status;
    page_ = 0;
    changed_ = false;
    return S_OKAY;
  }

  void release() {
    if (!page_) return;
    int prior = db_status;
    if (changed_) dio_touch(page_);
    else dio_unget(page_);
    db_status = prior;
    page_ = 0;
    changed_ = false;
  }

 private:
  int get_page(uint32_t page, int site) {
    release();
    if (check_page(page, site) != S_OKAY) return db_status;
    if (dio_get(page, &node_, 1) != S_OKAY) return db_status;
    page_ = page;
    return S_OKAY;
  }

  char *node_ = nullptr;
  uint32_t page_ = 0;
  bool changed_ = false;
};

// Pages allocated ahead for the splits of one insertion, used in order
// from the leaf up.
struct spare_pages {
  uint32_t page[MAX_SPLITS];
  int count = 0;
  int used = 0;

  // Hands back what was not used, newest first, so a chain of reused
  // pages is restored as it was.
  void give_back() {
    int prior = db_status;
    while (count > used) dio_pzdel(kctx().keyfile, page[--count]);
    db_status = prior;
  }
};

// Allocates the pages that inserting at the current leaf will split into:
// one for each full node from the leaf up, and two for a full root.
int allocate_splits(const key_position &kp, spare_pages *spare) {
  const key_context &c = kctx();
  int need = 0;
  for (int level = kp.level; level >= 0; --level) {
    char *node;
    if (dio_get(kp.path[level].page, &node, 0) != S_OKAY) return db_status;
    if (keynode::count(node) < c.max_slots - 1) break;
    need += level == 0 ? 2 : 1;
  }
  if (need > MAX_SPLITS) return inconsistent(427, kp.path[kp.level].page);
  for (int i = 0; i < need; ++i) {
    if (dio_pzalloc(c.keyfile, &spare->page[i]) != S_OKAY) {
      int status = db_status;
      spare->give_back();
      return db_status = status;
    }
    ++spare->count;
  }
  return S_OKAY;
}

// Builds an entry's body: prefix, key value, address, zero padding.
void make_body(char *body, const char *value, db_address dba) {
  const key_context &c = kctx();
  std::memset(body, 0, static_cast<size_t>(c.slot_len - keynode::BODY));
  put_u16(body, static_cast<uint16_t>(c.prefix));
  field_copy(&key_field(), body + 2, value);
  put_u32(body + 2 + c.key_len, dba);
}

// Inserts an entry body with its right subtree at path step `level` of the
// key position, splitting upward as needed.
int expand(key_position &kp, int level, const char *body, uint32_t right, spare_pages &spare,
           int *journal) {
  const key_context &c = kctx();
  const int slot_len = c.slot_len, max = c.max_slots, body_len = slot_len - keynode::BODY;
  held_node x;
  if (x.get(kp.path[level].page, 427, 428, 0, max - 1) != S_OKAY) return db_status;
  int n = x.count();
  int i = kp.path[level].slot;
  if (i < 0 || i > n) return inconsistent(428, x.page());
  // A node that the entry fills splits: its new pages are got before it
  // changes, so that failing to get them leaves it as it was.
  held_node first_new, second_new;
  if (n + 1 == max) {
    int needed = x.page() == 1 ? 2 : 1;
    if (spare.used + needed > spare.count) return inconsistent(428, x.page());
    if (first_new.get_new(spare.page[spare.used], 427) != S_OKAY) return db_status;
    if (needed == 2 && second_new.get_new(spare.page[spare.used + 1], 427) != S_OKAY) return db_status;
    spare.used += needed;
  }
  int off = i * slot_len;
  char *base = x.base();
  std::memmove(base + off + slot_len, base + off, static_cast<size_t>(n * slot_len + 4 - off));
  keynode::set_count(x.node(), n + 1);
  keynode::set_child(x.node(), i + 1, slot_len, right);
  std::memcpy(x.slot(i) + keynode::BODY, body, static_cast<size_t>(body_len));
  x.journal(x.node() + 4, 2, 6, journal);
  x.journal(base + off, (n + 1) * slot_len - off + 4, 7, journal);
  if (n + 1 < max) return x.touch();

  const int m = c.mid_slot;
  const int right_count = max - m - 1;
  char middle[KEYSLOT_LEN];
  std::memcpy(middle, x.slot(m) + keynode::BODY, static_cast<size_t>(body_len));
  if (x.page() == 1) {
    // The root's halves move to two new pages; the middle entry stays as
    // the root's only entry, and the tree grows by one level.
    held_node &left = first_new, &rightn = second_new;
    uint32_t lp = left.page(), rp = rightn.page();
    std::memcpy(left.base(), base, static_cast<size_t>(m * slot_len + 4));
    keynode::set_count(left.node(), m);
    std::memcpy(rightn.base(), base + (m + 1) * slot_len,
                static_cast<size_t>(right_count * slot_len + 4));
    keynode::set_count(rightn.node(), right_count);
    keynode::set_child(x.node(), 0, slot_len, lp);
    std::memcpy(x.slot(0) + keynode::BODY, middle, static_cast<size_t>(body_len));
    keynode::set_child(x.node(), 1, slot_len, rp);
    keynode::set_count(x.node(), 1);
    left.journal(left.node() + 4, m * slot_len + 6, 10, journal);
    rightn.journal(rightn.node() + 4, right_count * slot_len + 6, 11, journal);
    x.journal(x.node() + 4, slot_len + 6, 12, journal);
    if (left.touch() != S_OKAY || rightn.touch() != S_OKAY) return db_status;
    return x.touch();
  }

  // The upper half moves to a new page, which enters the parent as the
  // right subtree of the middle entry.
  held_node &upper = first_new;
  uint32_t np = upper.page();
  std::memcpy(upper.base(), base + (m + 1) * slot_len,
              static_cast<size_t>(right_count * slot_len + 4));
  keynode::set_count(upper.node(), right_count);
  keynode::set_count(x.node(), m);
  x.journal(x.node() + 4, 2, 8, journal);
  upper.journal(upper.node() + 4, right_count * slot_len + 6, 9, journal);
  if (x.touch() != S_OKAY || upper.touch() != S_OKAY) return db_status;
  if (level == 0) return inconsistent(428, np);
  return expand(kp, level - 1, middle, np, spare, journal);
}

// Removes slot s of the held node at path step `level` and mends the tree
// upward while a node is left under-full.
int remove_and_mend(key_position &kp, held_node &&node, int level, int s, int *journal) {
  const key_context &c = kctx();
  const int slot_len = c.slot_len, body_len = slot_len - keynode::BODY;
  held_node x = std::move(node);
  for (;;) {
    // The slot's entry and its left child go; its right child takes the
    // place.
    int n = x.count() - 1;
    int off = s * slot_len;
    keynode::set_count(x.node(), n);
    std::memmove(x.base() + off, x.base() + off + slot_len, static_cast<size_t>(n * slot_len + 4 - off));
    x.journal(x.node() + 4, 2, 14, journal);
    x.journal(x.base() + off, n * slot_len + 4 - off, 15, journal);
    if (level == 0 || n >= c.mid_slot) return x.touch();

    held_node parent;
    if (parent.get(kp.path[level - 1].page, 436, 437, 1, c.max_slots) != S_OKAY) return db_status;
    int pn = parent.count();
    int j = kp.path[level - 1].slot;
    if (j < 0 || j > pn) return inconsistent(437, parent.page());
    held_node sibling;
    held_node *left = &x, *right = &sibling;
    if (j == pn) {
      kp.path[level - 1].slot = static_cast<int16_t>(--j);
      if (sibling.get(parent.child(j), 438, 439, 1, c.max_slots) != S_OKAY) return db_status;
      left = &sibling;
      right = &x;
    } else if (sibling.get(parent.child(j + 1), 440, 441, 1, c.max_slots) != S_OKAY) {
      return db_status;
    }
    int a = left->count(), b = right->count();
    char *separator = parent.slot(j) + keynode::BODY;
    char *lbase = left->base(), *rbase = right->base();

    if (a + 1 + b < c.max_slots && level - 1 == 0 && pn == 1) {
      // Both children fit the root: the tree loses a level.
      char sep[KEYSLOT_LEN];
      std::memcpy(sep, separator, static_cast<size_t>(body_len));
      char *root = parent.base();
      std::memcpy(root, lbase, static_cast<size_t>(a * slot_len + 4));
      std::memcpy(root + a * slot_len + keynode::BODY, sep, static_cast<size_t>(body_len));
      std::memcpy(root + (a + 1) * slot_len, rbase, static_cast<size_t>(b * slot_len + 4));
      keynode::set_count(parent.node(), a + 1 + b);
      keynode::set_count(left->node(), 0);
      keynode::set_count(right->node(), 0);
      left->journal(left->node() + 4, 2, 16, journal);
      right->journal(right->node() + 4, 2, 17, journal);
      parent.journal(parent.node() + 4, (a + 1 + b) * slot_len + 6, 18, journal);
      uint32_t lp = left->page(), rp = right->page();
      if (right->touch() != S_OKAY || left->touch() != S_OKAY || parent.touch() != S_OKAY) return db_status;
      if (dio_pzdel(c.keyfile, rp) != S_OKAY) return db_status;
      return dio_pzdel(c.keyfile, lp);
    }
    if (a + 1 + b < c.max_slots) {
      // Merge into the right node; then the parent loses the separator and
      // its left child.
      std::memmove(rbase + (a + 1) * slot_len, rbase, static_cast<size_t>(b * slot_len + 4));
      std::memcpy(rbase, lbase, static_cast<size_t>(a * slot_len + 4));
      std::memcpy(rbase + a * slot_len + keynode::BODY, separator, static_cast<size_t>(body_len));
      keynode::set_count(right->node(), a + 1 + b);
      keynode::set_count(left->node(), 0);
      left->journal(left->node() + 4, 2, 19, journal);
      right->journal(right->node() + 4, (a + 1 + b) * slot_len + 6, 20, journal);
      uint32_t lp = left->page();
      if (right->touch() != S_OKAY || left->touch() != S_OKAY) return db_status;
      if (dio_pzdel(c.keyfile, lp) != S_OKAY) return db_status;
      x = std::move(parent);
      --level;
      s = j;
      continue;
    }
    if (b > a + 1) {
      // One entry comes from the right sibling through the parent.
      std::memcpy(lbase + a * slot_len + keynode::BODY, separator, static_cast<size_t>(body_len));
      keynode::set_count(left->node(), a + 1);
      keynode::set_child(left->node(), a + 1, slot_len, right->child(0));
      std::memcpy(separator, right->slot(0) + keynode::BODY, static_cast<size_t>(body_len));
      std::memmove(rbase, rbase + slot_len, static_cast<size_t>((b - 1) * slot_len + 4));
      keynode::set_count(right->node(), b - 1);
      left->journal(left->node() + 4, 2, 21, journal);
      left->journal(lbase + a * slot_len + keynode::BODY, slot_len, 22, journal);
      right->journal(right->node() + 4, (b - 1) * slot_len + 6, 23, journal);
      parent.journal(separator, body_len, 24, journal);
    } else if (a > b + 1) {
      // One entry comes from the left sibling through the parent.
      std::memmove(rbase + slot_len, rbase, static_cast<size_t>(b * slot_len + 4));
      keynode::set_count(right->node(), b + 1);
      std::memcpy(rbase + keynode::BODY, separator, static_cast<size_t>(body_len));
      keynode::set_child(right->node(), 0, slot_len, left->child(a));
      std::memcpy(separator, left->slot(a - 1) + keynode::BODY, static_cast<size_t>(body_len));
      keynode::set_count(left->node(), a - 1);
      left->journal(left->node() + 4, 2, 25, journal);
      right->journal(right->node() + 4, (b + 1) * slot_len + 6, 26, journal);
      parent.journal(separator, body_len, 27, journal);
    } else {
      // Neither can take the other in, nor spare an entry.
      left->changed();
      right->changed();
      parent.changed();
    }
    if (left->touch() != S_OKAY || right->touch() != S_OKAY) return db_status;
    return parent.touch();
  }
}

}  // namespace

int key_insert(int fld_index, const char *value, db_address dba, bool after_find) {
  if (key_init(fld_index) != S_OKAY) return db_status;
  const key_context &c = kctx();
  key_position &kp = key_curkey();
  char stored[KEYSLOT_LEN];
  field_copy(&key_field(), stored, value);
  // A search that found nothing leaves its path (status 2) until the file
  // changes (key_reset); with no equal value in a unique key, the entry
  // goes where the value alone led, whatever its address.
  const bool searched = after_find && c.unique && kp.status == 2 && kp.dba == 0 &&
                        std::memcmp(kp.value, stored, static_cast<size_t>(c.key_len)) == 0;
  int status = searched ? S_NOTFOUND : key_search(stored, dba, true);
  if (status == S_OKAY)
    return dberr_code(S_SYSERR, 426, "%s: key %d already holds the entry for %08x",
                      kt().file_table[c.keyfile].name, c.prefix, dba);
  if (status != S_NOTFOUND) return status;

  spare_pages spare;
  if (allocate_splits(kp, &spare) != S_OKAY) return db_status;
  char body[KEYSLOT_LEN];
  make_body(body, stored, dba);
  int journal = S_OKAY;
  status = expand(kp, kp.level, body, NO_CHILD, spare, &journal);
  spare.give_back();
  std::memcpy(kp.value, stored, static_cast<size_t>(c.key_len));
  kp.dba = dba;
  key_reset(c.keyfile);
  if (status != S_OKAY) return db_status = status;
  return db_status = journal;
}

int key_delete(int fld_index, const char *value, db_address dba) {
  if (key_init(fld_index) != S_OKAY) return db_status;
  const key_context &c = kctx();
  key_position &kp = key_curkey();
  const int slot_len = c.slot_len;
  char stored[KEYSLOT_LEN];
  field_copy(&key_field(), stored, value);
  int status = key_search(stored, dba, true);
  if (status != S_OKAY) return status;

  int level = kp.level;
  int i = kp.path[level].slot;
  held_node found;
  if (found.get(kp.path[level].page, 430, 431, 1, c.max_slots) != S_OKAY) return db_status;
  int journal = S_OKAY;
  uint32_t right = found.child(i + 1);
  if (right == NO_CHILD) {
    status = remove_and_mend(kp, std::move(found), level, i, &journal);
  } else {
    // An inner entry takes its successor, the first entry of its right
    // subtree, which then leaves its leaf.
    kp.path[level].slot = static_cast<int16_t>(i + 1);
    uint32_t page = right;
    char *leaf = nullptr;
    while (page != NO_CHILD) {
      if (++level >= kp.max_levels || check_page(page, 432) != S_OKAY)
        return db_status != S_OKAY ? db_status : inconsistent(432, page);
      if (dio_get(page, &leaf, 0) != S_OKAY) return db_status;
      int n = keynode::count(leaf);
      if (n < 1 || n > c.max_slots) return inconsistent(433, page);
      kp.path[level] = {page, 0};
      page = keynode::child(leaf, 0, slot_len);
    }
    std::memcpy(found.slot(i) + keynode::BODY, keynode::slot(leaf, 0, slot_len) + keynode::BODY,
                static_cast<size_t>(slot_len - keynode::BODY));
    found.journal(found.slot(i) + keynode::BODY, slot_len - keynode::BODY, 13, &journal);
    if (found.touch() != S_OKAY) return db_status;
    held_node successor;
    if (successor.get(kp.path[level].page, 434, 435, 1, c.max_slots) != S_OKAY) return db_status;
    status = remove_and_mend(kp, std::move(successor), level, 0, &journal);
  }
  std::memcpy(kp.value, stored, static_cast<size_t>(c.key_len));
  kp.dba = dba;
  key_reset(c.keyfile);
  if (status != S_OKAY) return db_status = status;
  return db_status = journal;
}
