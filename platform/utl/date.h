// Dates: the time of day and a date-and-time token for file names.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstddef>

// The current time of day (seconds and microseconds). 0, or -1 with errno.
int date_get_timeval(struct timeval* now);

// Size of a buffer that holds any token of date_fmt_token_date_time_pname.
constexpr size_t DATE_TOKEN_SIZE = 32;

// The local date and time of `when` as a token that is safe in a path name
// and sorts in time order: "YYYY-MM-DDTHHMMSS" (no blanks, colons or
// separators). Returns `buf`, or null when it does not fit in `size`.
char* date_fmt_token_date_time_pname(time_t when, char* buf, size_t size);
