#include "platform/korva/korva_fields.h"

#include <cctype>

namespace korva {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a field carries the byte escaped: controls, the space, DEL and '%'.
constexpr bool escaped(unsigned char byte) { return byte <= 0x20 || byte == 0x7f || byte == '%'; }

// Appends `value` encoded to `out`: the runs that need no escape whole.
void appendEncoded(std::string& out, const std::string& value) {
  if (value.empty()) {
    out += '%';
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  const char* const begin = value.data();
  const char* const end = begin + value.size();
  const char* run = begin;
  for (const char* p = begin; p != end; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (!escaped(byte)) continue;
    out.append(run, p);
    const char escape[] = {'%', kHex[byte >> 4], kHex[byte & 0xf]};
    out.append(escape, sizeof escape);
    run = p + 1;
  }
  out.append(run, end);
}

}  // namespace

std::string encodeField(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 1);
  appendEncoded(out, value);
  return out;
}

std::optional<std::string> decodeField(const std::string& field) {
  if (field == "%") return std::string();
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return std::nullopt;
    int high = hexValue(field[i + 1]);
    int low = hexValue(field[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string joinFields(const std::vector<std::string>& values) {
  size_t size = 0;
  for (const std::string& value : values) size += value.size() + 2;
  std::string line;
  line.reserve(size);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ' ';
    appendEncoded(line, values[i]);
  }
  return line;
}

std::optional<std::vector<std::string>> splitFields(const std::string& line) {
  std::vector<std::string> values;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i == line.size()) break;
    size_t end = i;
    while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
    std::optional<std::string> value = decodeField(line.substr(i, end - i));
    if (!value) return std::nullopt;
    values.push_back(std::move(*value));
    i = end;
  }
  return values;
}

std::string idText(const qel_uuid_s& id) {
  char text[QEL_UUID_STR_SIZE];
  return qel_uuid_to_str(&id, text);
}

std::string idText(const qel_oid_s& id) {
  char text[QEL_OID_STR_SIZE];
  return qel_oid_to_str(&id, text);
}

}  // namespace korva
