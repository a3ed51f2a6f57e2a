#include "tools/kesto_tool/kesto_field_text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kesto_internal.h"

namespace kesto_tool {

namespace {

int element_size(char type) {
  switch (type) {
    case 's': return 2;
    case 'i': case 'l': case 'f': case 'd': return 4;
    case 'F': return 8;
    default: return 1;
  }
}

std::vector<std::string> split(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::string quoted(const char *s, size_t n) {
  std::string out = "\"";
  for (size_t i = 0; i < n && s[i]; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string element_to_text(const field_entry &fld, const char *p) {
  char text[64];
  bool is_unsigned = fld.flags & FLD_UNSIGNED;
  switch (fld.type) {
    case 's':
      if (is_unsigned) std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(get_u16(p)));
      else std::snprintf(text, sizeof text, "%d", static_cast<int16_t>(get_u16(p)));
      break;
    case 'i':
    case 'l':
      if (is_unsigned) std::snprintf(text, sizeof text, "%" PRIu32, get_u32(p));
      else std::snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(get_u32(p)));
      break;
    case 'f': {
      float v;
      std::memcpy(&v, p, sizeof v);
      std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
      break;
    }
    case 'F': {
      double v;
      std::memcpy(&v, p, sizeof v);
      std::snprintf(text, sizeof text, "%.17g", v);
      break;
    }
    case 'd':
      return address_to_text(get_u32(p));
    default:
      text[0] = '\0';
  }
  return text;
}

bool element_from_text(const field_entry &fld, const std::string &text, char *p, std::string *error) {
  if (fld.type == 'd') {
    unsigned long dba;
    if (!address_from_text(text, &dba)) return *error = "bad address '" + text + "'", false;
    put_u32(p, static_cast<uint32_t>(dba));
    return true;
  }
  char *end = nullptr;
  errno = 0;
  if (fld.type == 'f' || fld.type == 'F') {
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno) return *error = "bad number '" + text + "'", false;
    if (fld.type == 'f') {
      float f = static_cast<float>(v);
      std::memcpy(p, &f, sizeof f);
    } else {
      std::memcpy(p, &v, sizeof v);
    }
    return true;
  }
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end || errno) return *error = "bad number '" + text + "'", false;
  bool is_unsigned = fld.flags & FLD_UNSIGNED;
  long long low = fld.type == 's' ? (is_unsigned ? 0 : INT16_MIN) : (is_unsigned ? 0 : INT32_MIN);
  long long high = fld.type == 's' ? (is_unsigned ? UINT16_MAX : INT16_MAX) : (is_unsigned ? UINT32_MAX : INT32_MAX);
  if (v < low || v > high) return *error = "number out of range '" + text + "'", false;
  if (fld.type == 's') put_u16(p, static_cast<uint16_t>(v));
  else put_u32(p, static_cast<uint32_t>(v));
  return true;
}

// The parts of a group or compound key: field index and offset in the value.
std::vector<std::pair<int, int>> parts_of(int fld_index) {
  const db_task &t = kt();
  const field_entry &fld = t.field_table[fld_index];
  std::vector<std::pair<int, int>> parts;
  if (fld.type == 'g') {
    for (int m = fld_index + 1; m < t.size_fd && (t.field_table[m].flags & FLD_GROUPED); ++m)
      parts.push_back({m, t.field_table[m].offset - fld.offset});
  } else {
    for (int k = fld.offset; k < t.size_kt && t.key_table[k].compound == fld_index; ++k)
      parts.push_back({t.key_table[k].component, t.key_table[k].offset});
  }
  return parts;
}

}  // namespace

std::string address_to_text(unsigned long dba) {
  char text[32];
  std::snprintf(text, sizeof text, "%lu:%lu", dba >> FILE_SHIFT, dba & SLOT_MASK);
  return text;
}

bool address_from_text(const std::string &text, unsigned long *dba) {
  char *end = nullptr;
  errno = 0;
  unsigned long first = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || errno || end == text.c_str()) return false;
  if (*end == '\0') {
    *dba = first;
    return first <= 0xFFFFFFFFul;
  }
  if (*end != ':' || first > 255) return false;
  const char *rest = end + 1;
  unsigned long slot = std::strtoul(rest, &end, 10);
  if (*rest == '\0' || *end || errno || slot > SLOT_MASK) return false;
  *dba = first << FILE_SHIFT | slot;
  return true;
}

std::string field_to_text(int fld_index, const char *value) {
  const field_entry &fld = kt().field_table[fld_index];
  size_t length = static_cast<size_t>(fld.length);
  if (fld.type == 'c') {
    if (fld.dims[1] == 0) return quoted(value, fld.dims[0] == 0 ? 1 : length);
    std::string hex;
    char byte[3];
    for (size_t i = 0; i < length; ++i) {
      std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value[i]));
      hex += byte;
    }
    return hex;
  }
  if (fld.type == 'k') {
    std::string text;
    for (const auto &part : parts_of(fld_index)) {
      if (!text.empty()) text += ",";
      text += field_to_text(part.first, value + part.second);
    }
    return text;
  }
  if (fld.type == 'g') {
    // Each element of a group array in its own braces.
    std::string text;
    int n = field_elements(&fld);
    for (int e = 0; e < n; ++e) {
      if (e) text += ",";
      text += "{";
      bool first = true;
      for (const auto &part : parts_of(fld_index)) {
        if (!first) text += ",";
        first = false;
        text += field_to_text(part.first, value + e * (fld.length / n) + part.second);
      }
      text += "}";
    }
    return text;
  }
  std::string text;
  int size = element_size(fld.type);
  for (int i = 0; i < field_elements(&fld); ++i) {
    if (i) text += ",";
    text += element_to_text(fld, value + i * size);
  }
  return text;
}

bool field_from_text(int fld_index, const std::string &text, std::vector<char> *value, std::string *error) {
  const field_entry &fld = kt().field_table[fld_index];
  size_t length = static_cast<size_t>(fld.length);
  value->assign(length, 0);
  if (fld.type == 'c') {
    size_t room = fld.dims[0] == 0 || fld.dims[1] != 0 ? length : length - 1;
    if (text.size() > room) return *error = "text longer than " + std::to_string(room) + " bytes", false;
    std::memcpy(value->data(), text.data(), text.size());
    return true;
  }
  if (fld.type == 'g' && field_elements(&fld) != 1) return *error = "a group array has no text form", false;
  if (fld.type == 'g' || fld.type == 'k') {
    std::vector<std::pair<int, int>> parts = parts_of(fld_index);
    std::vector<std::string> texts = split(text);
    if (texts.size() != parts.size())
      return *error = "expected " + std::to_string(parts.size()) + " values separated by ','", false;
    for (size_t i = 0; i < parts.size(); ++i) {
      std::vector<char> part;
      if (!field_from_text(parts[i].first, texts[i], &part, error)) return false;
      std::memcpy(value->data() + parts[i].second, part.data(), part.size());
    }
    return true;
  }
  std::vector<std::string> texts = split(text);
  if (static_cast<int>(texts.size()) != field_elements(&fld))
    return *error = "expected " + std::to_string(field_elements(&fld)) + " values separated by ','", false;
  int size = element_size(fld.type);
  for (size_t i = 0; i < texts.size(); ++i)
    if (!element_from_text(fld, texts[i], value->data() + i * static_cast<size_t>(size), error)) return false;
  return true;
}

}  // namespace kesto_tool
