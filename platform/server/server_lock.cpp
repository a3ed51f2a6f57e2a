// The storage lock: an open-file-description fcntl lock (F_OFD_SETLK) rather
// than a classic process lock, because closing any other descriptor of the
// file would drop a classic lock, and a second lock call of the same process
// would silently succeed. The open file is close-on-exec, so programs the
// daemon runs do not inherit it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/server/server.h"

namespace {

// How long a held lock may name no owner before server_lock_set answers
// without one: far beyond the moment a holder needs to write its id.
constexpr std::chrono::seconds kOwnerWait{2};

std::mutex g_locks_mutex;
std::map<int, std::string>& heldLocks() {  // cookie (descriptor) -> path
  static auto* locks = new std::map<int, std::string>;
  return *locks;
}

flock wholeFile(short type) {
  flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

// The process id in the file, 0 when it holds none.
pid_t readOwner(int fd) {
  char text[32];
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  if (end == text || (*end != '\n' && *end != '\0') || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

int writeOwner(int fd) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0) return -1;
  if (pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  return fsync(fd);
}

}  // namespace

int server_lock_set(const char* path, pid_t* owner) {
  if (path == nullptr || owner == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  flock lock = wholeFile(F_WRLCK);
  // A holder writes its id just after taking the lock and empties the file
  // just before releasing it. While a held lock's file names nobody, one of
  // the two is under way: read again, and try the lock again, until an id
  // shows or the lock is free.
  const auto deadline = std::chrono::steady_clock::now() + kOwnerWait;
  while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    int error = errno;
    if (error != EAGAIN && error != EACCES) {
      close(fd);
      errno = error;
      return -1;
    }
    pid_t pid = readOwner(fd);
    if (pid != 0 || std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      *owner = pid;
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (writeOwner(fd) != 0) {
    int error = errno;
    close(fd);  // drops the lock
    errno = error;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_locks_mutex);
  heldLocks()[fd] = path;
  return fd;
}

int server_lock_clear(const char* path, int cookie) {
  std::lock_guard<std::mutex> guard(g_locks_mutex);
  auto it = heldLocks().find(cookie);
  if (path == nullptr || it == heldLocks().end() || it->second != path) {
    errno = EINVAL;
    return -1;
  }
  // Empty first, so that nobody reads a stale id once the lock is gone.
  int ignored = ftruncate(cookie, 0);
  (void)ignored;
  close(cookie);
  heldLocks().erase(it);
  return 0;
}
