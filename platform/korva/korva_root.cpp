#include "platform/korva/korva_root.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/korva/korva_recent.h"
#include "platform/korva/korva_watch.h"

namespace korva {

Root Root::fromEnvironment() {
  const char* value = std::getenv("KORVA_ROOT");
  if (value == nullptr) value = "";
  // This thread's last answer, while the variable (and the user, for the
  // default) stays the same.
  thread_local std::string t_configured;
  thread_local uid_t t_uid = 0;
  thread_local std::shared_ptr<const Paths> t_paths;
  if (t_paths != nullptr && t_configured == value && (value[0] != '\0' || t_uid == getuid())) return Root(t_paths);
  t_paths = value[0] == '\0' ? pathsOf("/tmp/korva-" + std::to_string(getuid()), true) : pathsOf(value, false);
  t_configured = value;
  t_uid = getuid();
  return Root(t_paths);
}

std::shared_ptr<const Root::Paths> Root::pathsOf(std::string path, bool is_default) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto paths = std::make_shared<Paths>();
  paths->root = std::move(path);
  paths->is_default = is_default;
  const Root root(paths);
  paths->inject = root.file("inject");
  paths->journal = root.file("journal");
  paths->config = root.file("config");
  return paths;
}

int checkPrivateDirectory(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
  return 0;
}

int Root::checkDefault() const {
  if (!paths_->is_default) return 0;
  // Once found private it stays so: only its owner could change that.
  static std::atomic<bool> checked{false};
  if (checked) return 0;
  const int error = checkPrivateDirectory(path());
  if (error == 0) {
    checked = true;
    return 0;
  }
  static std::once_flag told;
  std::call_once(told, [&] {
    std::fprintf(stderr,
                 "korva: %s is not a directory of user %u without group or other write permission (%s); "
                 "set KORVA_ROOT or remove it\n",
                 path().c_str(), static_cast<unsigned>(getuid()), std::strerror(error));
  });
  return error;
}

Root::Root(std::string path) : paths_(pathsOf(std::move(path), false)) {}

std::string Root::file(std::initializer_list<std::string_view> names) const {
  size_t size = path().size();
  for (std::string_view name : names) size += 1 + name.size();
  std::string path;
  path.reserve(size);
  path += this->path();
  for (std::string_view name : names) {
    path += '/';
    path += name;
  }
  return path;
}

int Root::prepare() const {
  for (const std::string& dir : {path(), file("views"), file("view")}) {
    if (int error = makeDirectories(dir)) return error;
  }
  return 0;
}

struct Root::Lock::File {
  std::mutex threads;  // held by the Lock of one thread at a time
  int fd = -1;
  pid_t pid = 0;       // the process that opened fd
  bool prepared = false;
};

namespace {

// One entry per root path, never freed: Locks point into it.
Root::Lock::File* lockFileOf(const std::string& root_path) {
  // This thread's last root: its entry, without the table's lock.
  thread_local std::string t_root;
  thread_local Root::Lock::File* t_file = nullptr;
  if (t_file != nullptr && t_root == root_path) return t_file;
  static std::mutex* const mutex = new std::mutex;
  static auto* const files = new std::map<std::string, std::unique_ptr<Root::Lock::File>>;
  std::lock_guard<std::mutex> guard(*mutex);
  std::unique_ptr<Root::Lock::File>& file = (*files)[root_path];
  if (!file) file = std::make_unique<Root::Lock::File>();
  t_root = root_path;
  t_file = file.get();
  return t_file;
}

void forget(Root::Lock::File* file) {
  if (file->fd >= 0 && file->pid == getpid()) close(file->fd);
  file->fd = -1;
  file->prepared = false;
}

}  // namespace

Root::ThreadLock::ThreadLock(const Root& root) : file_(lockFileOf(root.path())) { file_->threads.lock(); }

Root::ThreadLock::~ThreadLock() { file_->threads.unlock(); }

Root::Lock::Lock(const Root& root) : file_(lockFileOf(root.path())) {
  file_->threads.lock();
  if ((error_ = root.checkDefault()) != 0) {
    file_->threads.unlock();
    return;
  }
  const std::string path = root.file("lock");
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (file_->fd >= 0 && file_->pid != getpid()) forget(file_);
    if (file_->fd < 0) {
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0 && errno == ENOENT && root.prepare() == 0) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      }
      if (fd < 0) {
        error_ = errno;
        break;
      }
      file_->fd = fd;
      file_->pid = getpid();
    }
    // flock locks belong to the open file description: the threads of this
    // process are kept apart by the mutex above.
    int locked;
    while ((locked = flock(file_->fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
      error_ = errno;
      forget(file_);
      break;
    }
    struct stat st;
    if (fstat(file_->fd, &st) != 0 || st.st_nlink == 0) {
      // Removed meanwhile: whoever uses the state now locks a new file.
      forget(file_);
      continue;
    }
    if (!file_->prepared) {
      if (int error = root.prepare()) {
        error_ = error;
        flock(file_->fd, LOCK_UN);
        break;
      }
      file_->prepared = true;
    }
    fd_ = file_->fd;
    return;
  }
  if (error_ == 0) error_ = EAGAIN;
  file_->threads.unlock();
}

Root::Lock::~Lock() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  file_->threads.unlock();
}

bool isTemporaryName(const std::string& name) {
  const size_t mark = name.rfind(TEMP_MARK);
  if (mark == std::string::npos || mark == 0) return false;
  const size_t digits = mark + std::strlen(TEMP_MARK);
  return digits < name.size() && name.find_first_not_of("0123456789", digits) == std::string::npos;
}

int writeFileAtomically(const std::string& path, const std::string& content) {
  std::string temp = path + TEMP_MARK + std::to_string(getpid());
  // Made anew, never through a name planted there: a file of that name was
  // left by a process of the same pid that ended (the state lock is held).
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(temp.c_str(), flags, 0644);
  if (fd < 0 && errno == EEXIST && unlink(temp.c_str()) == 0) fd = open(temp.c_str(), flags, 0644);
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

namespace {

struct CachedFile {
  // The generation the copy was read in; 0 for one kept while a stat shows
  // the file unchanged.
  uint64_t generation = 0;
  struct stat st {};
  std::shared_ptr<const std::string> content;  // null: the file could not be read
  int error = 0;
};

// The copies this thread took last in a watched directory: a call of the
// simulated kernel reads the same few files each time, and finds them here
// without a lock or a look at the watch.
struct RecentRead {
  std::string path;
  CachedFile file;
};
thread_local RecentFindings<RecentRead, 8> t_recent;

const CachedFile* recentRead(const std::string& path, uint64_t generation) {
  const RecentRead* found =
      t_recent.find([&](const RecentRead& r) { return r.file.generation == generation && r.path == path; });
  return found != nullptr ? &found->file : nullptr;
}

void keepRead(const std::string& path, const CachedFile& file) {
  RecentRead& entry = t_recent.next();
  entry.path = path;
  entry.file = file;
}

std::shared_ptr<const std::string> shared(std::optional<std::string> content) {
  if (!content) return nullptr;
  return std::make_shared<const std::string>(std::move(*content));
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the change time lies far enough before now that no change in
// place can get the same times (file times follow a coarse clock).
bool settled(const struct stat& st) {
  constexpr long kMarginNs = 100 * 1000 * 1000;
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const long long age_ns = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000000000LL +
                           (now.tv_nsec - st.st_ctim.tv_nsec);
  return age_ns > kMarginNs;
}

}  // namespace

std::shared_ptr<const std::string> readWholeFileCached(const std::string& path, int* error) {
  static std::mutex* const mutex = new std::mutex;
  static auto* const cache = new std::map<std::string, CachedFile>;
  StateWatch& watch = StateWatch::process();
  const uint64_t generation = watch.generation();
  if (generation != 0) {
    if (const CachedFile* recent = recentRead(path, generation)) {
      *error = recent->error;
      return recent->content;
    }
  }
  if (generation != 0 && watch.watch(directoryOf(path))) {
    {
      std::lock_guard<std::mutex> guard(*mutex);
      auto it = cache->find(path);
      if (it != cache->end() && it->second.generation == generation) {
        keepRead(path, it->second);
        *error = it->second.error;
        return it->second.content;
      }
    }
    // Read with the watch in place: a change from now on makes another
    // generation.
    CachedFile read;
    read.generation = generation;
    read.content = shared(readWholeFile(path, &read.error));
    *error = read.error;
    keepRead(path, read);
    std::lock_guard<std::mutex> guard(*mutex);
    return ((*cache)[path] = std::move(read)).content;
  }
  struct stat now;
  if (stat(path.c_str(), &now) != 0) {
    *error = errno;
    std::lock_guard<std::mutex> guard(*mutex);
    cache->erase(path);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(*mutex);
    auto it = cache->find(path);
    if (it != cache->end() && it->second.generation == 0 && it->second.content && sameFile(it->second.st, now)) {
      *error = 0;
      return it->second.content;
    }
  }
  // Read, then stat again: the copy is kept only when the file stayed the
  // same across the read.
  std::shared_ptr<const std::string> content = shared(readWholeFile(path, error));
  struct stat after;
  std::lock_guard<std::mutex> guard(*mutex);
  if (content && stat(path.c_str(), &after) == 0 && sameFile(now, after) && settled(after)) {
    CachedFile kept;
    kept.st = after;
    kept.content = content;
    (*cache)[path] = std::move(kept);
  } else {
    cache->erase(path);
  }
  return content;
}

int writeLine(int fd, std::string line) {
  line += '\n';
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  return static_cast<size_t>(n) == line.size() ? 0 : EIO;
}

int appendLine(const std::string& path, std::string line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = writeLine(fd, std::move(line));
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
