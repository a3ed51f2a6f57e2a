#include "platform/korva/korva_inject.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/korva/korva_fields.h"

namespace korva {

namespace {

std::optional<long> parseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return value;
}

std::optional<Forced> parseResult(const std::string& text) {
  Forced forced;
  const std::string kErrno = "errno=";
  if (text.compare(0, kErrno.size(), kErrno) == 0) {
    std::optional<long> n = parseNumber(text.substr(kErrno.size()));
    if (!n || *n <= 0) return std::nullopt;
    forced.call_error = static_cast<int>(*n);
    return forced;
  }
  std::optional<long> n = parseNumber(text);
  if (!n) return std::nullopt;
  forced.status = static_cast<int>(*n);
  return forced;
}

struct Rule {
  std::string call;
  Forced forced;
  long count;
};

// A rule line, or nullopt for a comment, a blank line or a malformed line
// (reported when `report` is set).
std::optional<Rule> parseRule(const std::string& line, bool report) {
  size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos || line[first] == '#') return std::nullopt;
  std::optional<std::vector<std::string>> fields = splitFields(line);
  std::optional<Forced> forced;
  std::optional<long> count = 1;
  if (fields && (fields->size() == 2 || fields->size() == 3)) {
    forced = parseResult((*fields)[1]);
    if (fields->size() == 3) count = parseNumber((*fields)[2]);
  }
  if (!forced || !count || *count < 1) {
    if (report) std::fprintf(stderr, "korva: inject line ignored: %s\n", line.c_str());
    return std::nullopt;
  }
  return Rule{(*fields)[0], *forced, *count};
}

std::vector<std::string> splitLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

bool Injector::mayForce(const std::string& call) const {
  int error = 0;
  std::shared_ptr<const std::string> content = readWholeFileCached(path(), &error);
  if (!content) return error != ENOENT;
  for (const std::string& line : splitLines(*content)) {
    std::optional<Rule> rule = parseRule(line, false);
    if (rule && rule->call == call) return true;
  }
  return false;
}

std::optional<Forced> Injector::take(const std::string& call) const {
  int error = 0;
  // Kept while a stat shows the file unchanged; the rewrite below replaces it.
  std::shared_ptr<const std::string> content = readWholeFileCached(path(), &error);
  if (!content) return std::nullopt;
  std::vector<std::string> lines = splitLines(*content);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::optional<Rule> rule = parseRule(lines[i], true);
    if (!rule || rule->call != call) continue;
    std::string rewritten;
    for (size_t j = 0; j < lines.size(); ++j) {
      if (j == i) {
        if (rule->count == 1) continue;
        std::string result = rule->forced.call_error != 0
                                 ? "errno=" + std::to_string(rule->forced.call_error)
                                 : std::to_string(rule->forced.status);
        rewritten += joinFields({rule->call, result, std::to_string(rule->count - 1)}) + "\n";
      } else {
        rewritten += lines[j] + "\n";
      }
    }
    // A forced result that could not be used up would apply for ever.
    if (writeFileAtomically(path(), rewritten) != 0) return std::nullopt;
    return rule->forced;
  }
  return std::nullopt;
}

int Injector::add(const std::string& call, const std::string& result, int count) const {
  if (call.empty() || !parseResult(result) || count < 1) return EINVAL;
  Root::Lock lock(root_);
  if (!lock.held()) return lock.error();
  return appendLine(path(), joinFields({call, result, std::to_string(count)}));
}

}  // namespace korva
