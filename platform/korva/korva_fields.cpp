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

}  // namespace

std::string encodeField(const std::string& value) {
  if (value.empty()) return "%";
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto byte = static_cast<unsigned char>(ch);
    if (byte <= 0x20 || byte == 0x7f || byte == '%') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += ch;
    }
  }
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
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ' ';
    line += encodeField(values[i]);
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
