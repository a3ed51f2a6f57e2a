// Field values: their element counts, their normalised copies and their
// typed comparison, used by key indexes, sorted sets and change detection.
#include <cstring>

#include "runtime/kesto_internal.h"

namespace {

template <typename T>
T load(const char *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
int compare_elements(const char *a, const char *b, int n) {
  for (int i = 0; i < n; ++i) {
    T x = load<T>(a + i * sizeof(T)), y = load<T>(b + i * sizeof(T));
    // Neither smaller (equal, or a NaN on either side) lets the next
    // element decide.
    if (x < y) return -1;
    if (y < x) return 1;
  }
  return 0;
}

// Collating order of two strings of at most `length` bytes under the
// task's country table. Each side reads as NUL once its end is reached, so
// the look-ahead of a character that sorts as two never leaves the field.
int collate(const ctb_entry *table, const unsigned char *a, const unsigned char *b, int length) {
  if (length <= 0) return 0;
  int pa = 0, pb = 0;
  auto at = [length](const unsigned char *s, int i) -> int { return i < length ? s[i] : 0; };
  auto major = [table](int c) -> int { return table[c].primary ? table[c].primary : c; };
  for (int i = 0;; ++i) {
    int ca = at(a, pa), cb = at(b, pb);
    if (ca == 0) return cb != 0 ? -1 : 0;
    if (cb == 0) return 1;
    int d = major(ca) - major(cb);
    if (d) return d;
    int sa = table[ca].second, sb = table[cb].second;
    if (sa && sb) {
      if (sa != sb) return sa - sb;
    } else {
      if (sa) {
        d = sa - major(at(b, ++pb));
        if (d) return d;
      } else if (sb) {
        d = major(at(a, ++pa)) - sb;
        if (d) return d;
      }
      d = table[at(a, pa)].order - table[at(b, pb)].order;
      if (d) return d;
    }
    if (i >= length - 1) return 0;
    ++pa;
    ++pb;
  }
}

int compare_chars(const field_entry *fld, const char *a, const char *b) {
  if (fld->dims[0] == 0) {
    if (fld->flags & FLD_UNSIGNED)
      return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
    return static_cast<signed char>(*a) - static_cast<signed char>(*b);
  }
  if (fld->dims[1] != 0) {
    int r = std::memcmp(a, b, static_cast<size_t>(fld->length));
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  const db_task &t = kt();
  if (t.ctbl_active && t.ctbl)
    return collate(t.ctbl, reinterpret_cast<const unsigned char *>(a),
                   reinterpret_cast<const unsigned char *>(b), fld->length);
  return std::strncmp(a, b, static_cast<size_t>(fld->length));
}

// A compound key's component: the kinds that make up nearly every key (one
// integer, address or short, or a byte array compared whole) compared here,
// the others by fldcmp. Key searches compare compound values many times a
// look-up.
int component_cmp(const field_entry &f, const char *a, const char *b) {
  const bool is_unsigned = (f.flags & FLD_UNSIGNED) != 0;
  if (f.dims[0] == 0) {
    switch (f.type) {
      case 'i':
      case 'l':
        return is_unsigned ? compare_elements<uint32_t>(a, b, 1) : compare_elements<int32_t>(a, b, 1);
      case 's':
        return is_unsigned ? compare_elements<uint16_t>(a, b, 1) : compare_elements<int16_t>(a, b, 1);
      case 'd': {
        db_address x = load<db_address>(a), y = load<db_address>(b);
        return ADDRcmp(&x, &y);
      }
      default:
        break;
    }
  } else if (f.type == 'c' && f.dims[1] != 0) {
    int r = std::memcmp(a, b, static_cast<size_t>(f.length));
    return r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  return fldcmp(&f, a, b);
}

int compound_cmp(const db_task &t, const field_entry *fld, const char *a, const char *b) {
  const int self = static_cast<int>(fld - t.field_table);
  for (int k = fld->offset; k < t.size_kt && t.key_table[k].compound == self; ++k) {
    const key_entry &ke = t.key_table[k];
    if (int r = component_cmp(t.field_table[ke.component], a + ke.offset, b + ke.offset)) return r;
  }
  return 0;
}

}  // namespace

int field_elements(const field_entry *fld) {
  if (fld->dims[0] == 0) return 1;
  int n = fld->dims[0];
  if (fld->dims[1] != 0) {
    n *= fld->dims[1];
    if (fld->dims[2] != 0) n *= fld->dims[2];
  }
  return n;
}

bool string_field(const field_entry *fld) { return fld->type == 'c' && fld->dims[1] == 0; }

void field_copy(const field_entry *fld, char *dst, const char *src) {
  size_t n = static_cast<size_t>(fld->length);
  if (string_field(fld)) {
    size_t used = strnlen(src, n);
    std::memcpy(dst, src, used);
    std::memset(dst + used, 0, n - used);
  } else {
    std::memcpy(dst, src, n);
  }
}

int SHORTcmp(int16_t a, int16_t b) { return a - b; }

int fldcmp(const field_entry *fld, const char *a, const char *b) {
  const db_task &t = kt();
  if (fld->type == 'k') return compound_cmp(t, fld, a, b);
  int n = field_elements(fld);
  if (n < 1) return 0;
  bool is_unsigned = (fld->flags & FLD_UNSIGNED) != 0;
  switch (fld->type) {
    case 's':
      return is_unsigned ? compare_elements<uint16_t>(a, b, n) : compare_elements<int16_t>(a, b, n);
    case 'i':
    case 'l':
      return is_unsigned ? compare_elements<uint32_t>(a, b, n) : compare_elements<int32_t>(a, b, n);
    case 'f':
      return compare_elements<float>(a, b, n);
    case 'F':
      return compare_elements<double>(a, b, n);
    case 'd':
      for (int i = 0; i < n; ++i) {
        db_address x = load<db_address>(a + 4 * i), y = load<db_address>(b + 4 * i);
        if (int r = ADDRcmp(&x, &y)) return r;
      }
      return 0;
    case 'c':
      return compare_chars(fld, a, b);
    case 'g': {
      int self = static_cast<int>(fld - t.field_table);
      int size = fld->length / n;
      for (int e = 0; e < n; ++e) {
        for (int m = self + 1; m < t.size_fd && (t.field_table[m].flags & FLD_GROUPED); ++m) {
          const field_entry &member = t.field_table[m];
          int at = member.offset - fld->offset + e * size;
          if (int r = fldcmp(&member, a + at, b + at)) return r;
        }
      }
      return 0;
    }
    default:
      return 0;
  }
}
