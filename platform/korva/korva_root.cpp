#include "platform/korva/korva_root.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace korva {

Root Root::fromEnvironment() {
  const char* root = std::getenv("KORVA_ROOT");
  if (root != nullptr && root[0] != '\0') return Root(root);
  return Root("/tmp/korva-" + std::to_string(getuid()));
}

Root::Root(std::string path) : path_(std::move(path)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

std::string Root::file(const std::string& name) const { return path_ + "/" + name; }

int Root::prepare() const {
  for (const std::string& dir : {path_, file("views"), file("view")}) {
    if (int error = makeDirectories(dir)) return error;
  }
  return 0;
}

Root::Lock::Lock(const Root& root) {
  int fd = open(root.file("lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error_ = errno;
    return;
  }
  // flock locks belong to the open file description: threads of one process
  // exclude each other as well as processes do.
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    error_ = errno;
    close(fd);
    return;
  }
  fd_ = fd;
}

Root::Lock::~Lock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
}

int writeFileAtomically(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

std::optional<std::string> readWholeFile(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  *error = 0;
  return content;
}

int appendLine(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  std::string whole = line + "\n";
  int error = 0;
  ssize_t n;
  do {
    n = write(fd, whole.data(), whole.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error = errno;
  } else if (static_cast<size_t>(n) != whole.size()) {
    error = EIO;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

int makeDirectories(const std::string& path) {
  if (path.empty()) return ENOENT;
  std::vector<std::string> missing;
  std::string current = path;
  struct stat st;
  while (!current.empty() && stat(current.c_str(), &st) != 0) {
    if (errno != ENOENT) return errno;
    missing.push_back(current);
    size_t slash = current.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    current.erase(slash);
  }
  if (!current.empty() && missing.empty() && !S_ISDIR(st.st_mode)) return ENOTDIR;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

}  // namespace korva
