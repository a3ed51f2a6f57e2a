// Text forms of field values for kesto_tool, by the field's type:
//   char            one character
//   char[n]         a string, printed in double quotes ("\xNN" for bytes
//                   that do not print); given as plain text
//   char[n][m]..    the bytes in hex
//   short, int, long, float, double
//                   numbers, elements of an array separated by ','
//   dbaddr          FILE:SLOT
//   group           its members separated by ',', printed in braces
//   compound key    its components separated by ','
// A field is named by the interface's number (record index * 1000 +
// position) of the current database.
#pragma once

#include <string>
#include <vector>

namespace kesto_tool {

// The text of a value of the field at table index `fld_index`.
std::string field_to_text(int fld_index, const char *value);

// The value of the field's length that `text` gives; false with the reason.
bool field_from_text(int fld_index, const std::string &text, std::vector<char> *value, std::string *error);

// FILE:SLOT, or a plain number.
std::string address_to_text(unsigned long dba);
bool address_from_text(const std::string &text, unsigned long *dba);

}  // namespace kesto_tool
