#pragma once
// Version lines of the product's components: the component name left-aligned
// in 33 columns, the release, and the build date in parentheses.

// Prints the line of `component` as an informational message (imsg_print).
void imsg_print_verid(const char* component);

// Formats the same line into `buf` (IMSG_MAX_TEXT bytes); its length.
int imsg_sprintf_verid(char* buf, const char* component);
