#include "kesto_crash_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "runtime/kesto_io.h"

namespace kesto_test {

namespace {

struct PendingWrite {
  off_t offset;
  std::vector<unsigned char> bytes;
};

using FileKey = std::pair<dev_t, ino_t>;

struct FileState {
  std::string path;
  std::vector<PendingWrite> pending;  // writes not yet synchronised, in order
};

struct State {
  CrashIo::Mode mode = CrashIo::PROCESS;
  std::mt19937 rng;
  CrashIo::Trigger trigger;
  std::vector<CrashIo::Event> events;
  int numbered = 0;
  std::map<int, std::string> paths;  // descriptor -> path
  std::map<FileKey, FileState> files;
};

State *state = nullptr;

const kesto_io_methods *real() { return kesto_io_default(); }

bool buffered() { return state->mode != CrashIo::PROCESS; }

// Descriptors opened before the table was installed are named by the
// system.
std::string path_of(int fd) {
  auto it = state->paths.find(fd);
  if (it != state->paths.end()) return it->second;
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  std::string path = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  state->paths[fd] = path;
  return path;
}

bool key_of(int fd, FileKey *key) {
  struct stat st;
  if (real()->fstat(fd, &st) != 0) return false;
  *key = {st.st_dev, st.st_ino};
  return true;
}

FileState *file_of(int fd, bool create) {
  FileKey key;
  if (!key_of(fd, &key)) return nullptr;
  auto it = state->files.find(key);
  if (it != state->files.end()) return &it->second;
  if (!create) return nullptr;
  FileState &f = state->files[key];
  f.path = path_of(fd);
  return &f;
}

void apply_write(const std::string &path, const PendingWrite &w) {
  int fd = real()->open(path.c_str(), O_RDWR, 0);
  if (fd < 0) return;
  if (real()->pwrite(fd, w.bytes.data(), w.bytes.size(), w.offset) < 0) {
  }
  real()->close(fd);
}

void apply_all(FileState &f) {
  for (const PendingWrite &w : f.pending) apply_write(f.path, w);
  f.pending.clear();
}

[[noreturn]] void crash() {
  if (state->mode == CrashIo::LOSE_SOME) {
    for (auto &entry : state->files)
      for (const PendingWrite &w : entry.second.pending)
        if (state->rng() % 2) apply_write(entry.second.path, w);
  }
  std::fflush(nullptr);
  _exit(CrashIo::kCrashExit);
}

// Records an event; crashes when the trigger says so before it happens.
CrashIo::Event begin_event(CrashIo::Kind kind, const std::string &path, off_t offset, size_t length) {
  CrashIo::Event e{kind, ++state->numbered, path, offset, length};
  state->events.push_back(e);
  if (state->trigger && state->trigger(e, false)) crash();
  return e;
}

void end_event(const CrashIo::Event &e) {
  if (state->trigger && state->trigger(e, true)) crash();
}

int c_open(const char *path, int flags, mode_t mode) {
  int fd = real()->open(path, flags, mode);
  if (fd < 0) return fd;
  state->paths[fd] = path;
  state->events.push_back({CrashIo::OPEN, 0, path, 0, 0});
  if (flags & O_TRUNC) {
    if (FileState *f = file_of(fd, false)) f->pending.clear();
  }
  return fd;
}

int c_close(int fd) {
  state->paths.erase(fd);
  return real()->close(fd);
}

off_t real_size(int fd) {
  struct stat st;
  return real()->fstat(fd, &st) == 0 ? st.st_size : 0;
}

off_t logical_size(int fd) {
  off_t size = real_size(fd);
  if (FileState *f = file_of(fd, false))
    for (const PendingWrite &w : f->pending) size = std::max(size, w.offset + static_cast<off_t>(w.bytes.size()));
  return size;
}

ssize_t c_pread(int fd, void *buf, size_t len, off_t off) {
  FileState *f = buffered() ? file_of(fd, false) : nullptr;
  if (!f || f->pending.empty()) return real()->pread(fd, buf, len, off);
  int saved = errno;
  ssize_t n = real()->pread(fd, buf, len, off);
  if (n < 0) return n;
  off_t end = logical_size(fd);
  size_t avail = off >= end ? 0 : std::min(len, static_cast<size_t>(end - off));
  unsigned char *out = static_cast<unsigned char *>(buf);
  if (static_cast<size_t>(n) < avail) std::memset(out + n, 0, avail - static_cast<size_t>(n));
  for (const PendingWrite &w : f->pending) {
    off_t from = std::max(off, w.offset);
    off_t to = std::min(off + static_cast<off_t>(avail), w.offset + static_cast<off_t>(w.bytes.size()));
    if (from < to) std::memcpy(out + (from - off), w.bytes.data() + (from - w.offset), static_cast<size_t>(to - from));
  }
  errno = saved;
  return static_cast<ssize_t>(avail);
}

ssize_t c_pwrite(int fd, const void *buf, size_t len, off_t off) {
  CrashIo::Event e = begin_event(CrashIo::WRITE, path_of(fd), off, len);
  ssize_t n;
  FileState *f = buffered() ? file_of(fd, true) : nullptr;
  if (f) {
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    f->pending.push_back({off, std::vector<unsigned char>(p, p + len)});
    n = static_cast<ssize_t>(len);
  } else {
    n = real()->pwrite(fd, buf, len, off);
  }
  end_event(e);
  return n;
}

// The buffers of one call are separate writes: a power failure may keep
// some of them and lose others.
ssize_t c_pwritev(int fd, const struct iovec *iov, int count, off_t off) {
  size_t len = 0;
  for (int i = 0; i < count; ++i) len += iov[i].iov_len;
  CrashIo::Event e = begin_event(CrashIo::WRITE, path_of(fd), off, len);
  ssize_t n;
  FileState *f = buffered() ? file_of(fd, true) : nullptr;
  if (f) {
    off_t at = off;
    for (int i = 0; i < count; ++i) {
      const unsigned char *p = static_cast<const unsigned char *>(iov[i].iov_base);
      f->pending.push_back({at, std::vector<unsigned char>(p, p + iov[i].iov_len)});
      at += static_cast<off_t>(iov[i].iov_len);
    }
    n = static_cast<ssize_t>(len);
  } else {
    n = real()->pwritev(fd, iov, count, off);
  }
  end_event(e);
  return n;
}

int c_fsync(int fd) {
  CrashIo::Event e = begin_event(CrashIo::SYNC, path_of(fd), 0, 0);
  if (FileState *f = buffered() ? file_of(fd, false) : nullptr) apply_all(*f);
  end_event(e);
  return 0;
}

int c_fstat(int fd, struct stat *st) {
  int r = real()->fstat(fd, st);
  if (r == 0 && buffered()) st->st_size = logical_size(fd);
  return r;
}

int c_lockf(int fd, int cmd, off_t len) { return real()->lockf(fd, cmd, len); }
off_t c_lseek(int fd, off_t off, int whence) { return real()->lseek(fd, off, whence); }
int c_cloexec(int fd) { return real()->set_cloexec(fd); }
int c_unlink(const char *path) {
  struct stat st;
  if (stat(path, &st) == 0) state->files.erase({st.st_dev, st.st_ino});
  return real()->unlink(path);
}

// Writes still in memory follow their file to its new name.
int c_rename(const char *from, const char *to) {
  CrashIo::Event e = begin_event(CrashIo::RENAME, from, 0, 0);
  struct stat st;
  bool known = stat(from, &st) == 0;
  int r = real()->rename(from, to);
  if (r == 0 && known) {
    auto it = state->files.find({st.st_dev, st.st_ino});
    if (it != state->files.end()) it->second.path = to;
  }
  end_event(e);
  return r;
}
int c_access(const char *path, int mode) { return real()->access(path, mode); }

// Starting the writing of a file promises nothing: not an event.
int c_writeback(int fd) { return buffered() ? 0 : real()->writeback(fd); }

const kesto_io_methods crash_methods = {c_open,  c_close,  c_pread,  c_pwrite,   c_fsync,
                                        c_fstat, c_lockf,  c_lseek,  c_cloexec,  c_unlink,
                                        c_rename, c_access, c_pwritev, c_fsync, c_writeback};

}  // namespace

CrashIo::CrashIo(Mode mode, unsigned seed) {
  state = new State;
  state->mode = mode;
  state->rng.seed(seed);
  kesto_io_install(&crash_methods);
}

CrashIo::~CrashIo() {
  for (auto &entry : state->files) apply_all(entry.second);
  kesto_io_install(nullptr);
  delete state;
  state = nullptr;
}

void CrashIo::crash_when(Trigger trigger) { state->trigger = std::move(trigger); }

void CrashIo::crash_before(int nth) {
  int at = state->numbered + nth;
  state->trigger = [at](const Event &e, bool after) { return !after && e.number == at; };
}

void CrashIo::crash_now() { crash(); }

const std::vector<CrashIo::Event> &CrashIo::events() const { return state->events; }

int CrashIo::event_count() const { return state->numbered; }

int run_in_child(const std::function<int()> &body, int seconds, const std::string &stderr_path) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    alarm(static_cast<unsigned>(seconds));
    if (!stderr_path.empty()) {
      int fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 2);
        ::close(fd);
      }
    }
    int result = body();
    std::fflush(nullptr);
    _exit(result);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 5);
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string describe_status(int status) {
  if (status < 0) return "no child";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

FileSet save_files(const std::string &dir) {
  FileSet files;
  DIR *d = opendir(dir.c_str());
  if (!d) return files;
  while (struct dirent *e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::ifstream in(path, std::ios::binary);
    files[e->d_name] = std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  closedir(d);
  return files;
}

void restore_files(const std::string &dir, const FileSet &files) {
  for (const auto &entry : save_files(dir))
    if (!files.count(entry.first)) ::unlink((dir + "/" + entry.first).c_str());
  for (const auto &[name, bytes] : files) {
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace kesto_test
