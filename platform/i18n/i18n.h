// Internationalisation library: character-set conversion of short texts
// between the process's local character set and UTF-8, and the library's
// line in the version report.
#pragma once

#include <cstddef>

// A character set that conversions name. Sets are process-wide constants;
// nothing needs to be closed.
struct i18n_charset_s;
typedef const i18n_charset_s* i18n_charset_t;

// The special character sets.
constexpr int I18N_CHARSET_SPECIAL_LOCAL = 0; // the locale's (LC_CTYPE) character set
constexpr int I18N_CHARSET_SPECIAL_UTF8 = 1;  // UTF-8

// One of the special sets above; null for any other number.
i18n_charset_t i18n_charset_open_special(int which);

// Converts the `length` bytes of `text` from character set `from` to `to`.
// The result is NUL-terminated and allocated for the caller, who releases it
// with i18n_iconv_free; its length without the NUL goes to `*out_length`
// unless that is null. Null when a set is null, the text does not convert
// (a byte sequence that is not valid in `from`, or a character that `to`
// lacks) or memory runs out. `flags` is reserved: pass 0.
char* i18n_iconv_easy(i18n_charset_t from, const char* text, size_t length, i18n_charset_t to,
                      int flags, size_t* out_length);

// Releases a result of i18n_iconv_easy; null is allowed.
void i18n_iconv_free(char* converted);

// Prints the library's version line through the message library (kind 0),
// or formats it into `buf` (IMSG_MAX_TEXT bytes at most are written).
void libhalvici18n_print_verid();
int libhalvici18n_sprintf_verid(char* buf);
