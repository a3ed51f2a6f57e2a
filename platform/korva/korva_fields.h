// Line-format fields of the simulator's files (journal, inject file,
// registry): blank-separated, each field percent-encoded so that blanks,
// control characters and '%' inside a value never break a line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/qel/qel.h"

namespace korva {

// Bytes up to and including the blank, DEL and '%' become "%XX" (upper-case
// hex); an empty value becomes a lone "%".
std::string encodeField(const std::string& value);

// The inverse; nullopt for a malformed escape.
std::optional<std::string> decodeField(const std::string& field);

// One line of encoded fields, without the newline.
std::string joinFields(const std::vector<std::string>& values);

// Splits a line at blanks and decodes each field; nullopt when one is malformed.
std::optional<std::vector<std::string>> splitFields(const std::string& line);

// The 36-character text form of an id, as the files and the journal hold it.
std::string idText(const qel_uuid_s& id);
std::string idText(const qel_oid_s& id);

}  // namespace korva
