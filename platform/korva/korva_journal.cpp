#include "platform/korva/korva_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/korva/korva_fields.h"
#include "platform/korva/korva_watch.h"

namespace korva {

namespace {

// The journal's descriptor of this process, kept open across lines.
struct OpenJournal {
  int fd = -1;
  pid_t pid = 0;  // the process that opened fd
  dev_t dev = 0;
  ino_t ino = 0;
  // The state watch's generation in which the path was last seen to name
  // fd's file (0: none); within it the path is not looked at again.
  uint64_t generation = 0;
};

// Whether `open` still writes to the file at `path`: opened by this process
// (a child must not share its parent's), and the path still names the same
// file. While the descriptor is open its inode cannot be reused, so a file
// removed or replaced meanwhile shows as another device and inode.
bool current(const OpenJournal& open, const std::string& path) {
  if (open.fd < 0 || open.pid != getpid()) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == open.dev && st.st_ino == open.ino;
}

}  // namespace

int Journal::append(const std::vector<std::string>& call_and_arguments) const {
  return appendText(joinFields(call_and_arguments));
}

int Journal::append(const std::vector<std::vector<std::string>>& lines) const {
  if (lines.empty()) return 0;
  std::string text;
  for (const std::vector<std::string>& line : lines) {
    if (!text.empty()) text += '\n';
    text += joinFields(line);
  }
  return appendText(std::move(text));
}

int Journal::appendText(std::string text) const {
  static std::mutex* const mutex = new std::mutex;
  static auto* const files = new std::map<std::string, OpenJournal>;
  const std::string& file = path();
  StateWatch& watch = StateWatch::process();
  const uint64_t generation = watch.generation();
  std::lock_guard<std::mutex> guard(*mutex);
  OpenJournal& open = (*files)[file];
  if (generation != 0 && open.generation == generation) return writeLine(open.fd, std::move(text));
  // Watched before the path is looked at: a change after the look makes
  // another generation.
  const bool watched = generation != 0 && watch.watch(root_.path());
  if (!current(open, file)) {
    if (open.fd >= 0 && open.pid == getpid()) ::close(open.fd);
    open = OpenJournal();
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      int error = errno;
      ::close(fd);
      return error;
    }
    open = OpenJournal{fd, getpid(), st.st_dev, st.st_ino, 0};
  }
  open.generation = watched ? generation : 0;
  return writeLine(open.fd, std::move(text));
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
