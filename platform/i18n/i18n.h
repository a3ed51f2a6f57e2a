// Internationalisation library: nothing of it is used here but its line in
// the version report.
#pragma once

// Prints the library's version line through the message library (kind 0),
// or formats it into `buf` (IMSG_MAX_TEXT bytes at most are written).
void libhalvici18n_print_verid();
int libhalvici18n_sprintf_verid(char* buf);
