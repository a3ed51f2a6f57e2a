#include "platform/korva/korva_journal.h"

#include <unistd.h>

#include <cerrno>

#include "platform/korva/korva_fields.h"

namespace korva {

int Journal::append(const std::vector<std::string>& call_and_arguments) const {
  return appendLine(path(), joinFields(call_and_arguments));
}

std::vector<std::vector<std::string>> Journal::read() const {
  std::vector<std::vector<std::string>> lines;
  int error = 0;
  std::optional<std::string> content = readWholeFile(path(), &error);
  if (!content) return lines;
  size_t start = 0;
  while (start < content->size()) {
    size_t end = content->find('\n', start);
    if (end == std::string::npos) end = content->size();
    std::string line = content->substr(start, end - start);
    std::optional<std::vector<std::string>> fields = splitFields(line);
    lines.push_back(fields ? std::move(*fields) : std::vector<std::string>{line});
    start = end + 1;
  }
  return lines;
}

int Journal::clear() const {
  if (unlink(path().c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

}  // namespace korva
