// The engine's allocator and the two routines that grow and shrink its
// run-time tables.
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

void *d_alloc(size_t size) { return std::calloc(1, size ? size : 1); }

void d_free(void *pointer_to_pointer) {
  void **p = static_cast<void **>(pointer_to_pointer);
  if (p && *p) {
    std::free(*p);
    *p = nullptr;
  }
}

int alloc_table(void **table, size_t new_size, size_t old_size) {
  char *block = static_cast<char *>(d_alloc(new_size));
  if (!block) return dberr_code(S_NOMEMORY, 153);
  if (old_size > new_size) old_size = new_size;
  if (old_size && *table) std::memcpy(block, *table, old_size);
  if (*table) std::free(*table);
  *table = block;
  return S_OKAY;
}

int free_table(void **table, int first, int last, int count, size_t entry_size) {
  if (count == first || last < 0) return S_OKAY;
  if (!*table) return dberr_code(S_INVPTR, 154);
  if (entry_size == 0 || first < 0 || first > last || last >= count)
    return dberr_code(S_SYSERR, 155);
  int remaining = count - (last - first + 1);
  if (remaining == 0) {
    d_free(table);
    return S_OKAY;
  }
  char *block = static_cast<char *>(d_alloc(static_cast<size_t>(remaining) * entry_size));
  if (!block) return dberr_code(S_NOMEMORY, 156);
  char *old = static_cast<char *>(*table);
  std::memcpy(block, old, static_cast<size_t>(first) * entry_size);
  std::memcpy(block + static_cast<size_t>(first) * entry_size,
              old + static_cast<size_t>(last + 1) * entry_size,
              static_cast<size_t>(count - last - 1) * entry_size);
  std::free(old);
  *table = block;
  return S_OKAY;
}
