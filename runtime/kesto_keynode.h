// One node of a key file's B-tree, as it lies in its page (little-endian):
//
//   0   u32  change time, stamped when the page is written to its place
//   4   i16  key count n (0 <= n < slots per page at rest)
//   6   n entries of slot_len bytes each:
//         0  u32  child page: the subtree of keys below this entry;
//                 0xFFFFFFFF in a leaf
//         4  i16  prefix: the key's number within its database
//         6  key value, as long as that key's field
//         .. u32  db_address of the record that owns the value
//         .. zero padding to slot_len
//   6 + n * slot_len   u32  trailing child: the keys above entry n - 1
//
// The child field of entry i and the trailing child are children 0 .. n:
// child i lies at 6 + i * slot_len. Page 1 is always the root; a file's
// trees are those of all its keys, ordered by prefix first.
//
// An entry's "body" is the slot without its child field (slot_len - 4
// bytes: prefix, value, address, padding); moving an entry between nodes
// moves its body.
#pragma once

#include <cstdint>

#include "runtime/kesto_internal.h"

namespace keynode {

constexpr int HEADER = 6;
constexpr uint32_t NO_CHILD = 0xFFFFFFFFu;
constexpr int BODY = 4;  // offset of the body within a slot

inline int count(const char *node) { return static_cast<int16_t>(get_u16(node + 4)); }
inline void set_count(char *node, int n) { put_u16(node + 4, static_cast<uint16_t>(n)); }
inline char *slot(char *node, int i, int slot_len) { return node + HEADER + i * slot_len; }
inline const char *slot(const char *node, int i, int slot_len) { return node + HEADER + i * slot_len; }
inline uint32_t child(const char *node, int i, int slot_len) { return get_u32(slot(node, i, slot_len)); }
inline void set_child(char *node, int i, int slot_len, uint32_t page) { put_u32(slot(node, i, slot_len), page); }
inline int prefix(const char *entry) { return static_cast<int16_t>(get_u16(entry + 4)); }
inline const char *value(const char *entry) { return entry + 6; }
inline db_address address(const char *entry, int key_len) { return get_u32(entry + 6 + key_len); }

}  // namespace keynode
