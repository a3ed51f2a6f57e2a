// String utilities: case-insensitive comparison, bounded formatting and
// copying, strict number parsing and the 32-bit text hash.
//
// Results are 0 on success and -1 with errno set on failure unless said
// otherwise.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Compares two texts ignoring letter case: 0 when equal, else negative or
// positive like strcmp.
int strutl_stricoll(const char* a, const char* b);

// vsnprintf and snprintf that always end the buffer with a NUL (when `size`
// is not 0) and return the length the whole text needs; a result of `size`
// or more means the text was cut. Negative on a formatting error.
int strutl_vsnprintf(char* buf, size_t size, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
int strutl_snprintf(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Strict number parsing in `base` (2 to 36, or 0 for C prefixes): the whole
// text must be the number, without blanks; strutl_strtol takes one leading
// '+' or '-', strutl_strtoul no sign at all. EINVAL for an empty text, a
// missing digit or trailing characters, ERANGE when the value does not fit.
// `*value` is written only on success.
int strutl_strtol(const char* text, int base, long* value);
int strutl_strtoul(const char* text, int base, unsigned long* value);

// 32-bit FNV-1a hash of the text's bytes (without its NUL). The seed is
// folded into the offset basis, so seed 0 gives plain FNV-1a. Frozen: cache
// layouts depend on the values.
uint32_t strutl_str_to_hash32(uint32_t seed, const char* text);

// Writes the concatenation of the texts (a list ended by a null pointer)
// into `buf` of `size` bytes. ERANGE when it does not fit; `buf` then holds
// the empty text, never a cut one.
int strutl_concat(char* buf, size_t size, const char* first, ...) __attribute__((sentinel));

// Copies the first `length` characters of `src` (fewer when it ends
// earlier) into `buf` of `size` bytes and ends them with a NUL. ERANGE when
// they do not fit; `buf` then holds the empty text.
int strutl_ncpy_buf(char* buf, size_t size, const char* src, size_t length);
