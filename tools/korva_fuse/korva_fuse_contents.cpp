#include "tools/korva_fuse/korva_fuse_contents.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/utl/unique_fd.h"

namespace korva_fuse {

namespace {

// openat2 beneath `dir`, no link followed; -1 with errno (ENOSYS where the
// kernel lacks the call).
int openat2Beneath(int dir, const std::string& relative) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;  // the last name a link: ELOOP
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  // EAGAIN: a rename elsewhere meanwhile made the kernel unsure; once more.
  int tries = 0;
  do {
    fd = ::syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
  } while (fd < 0 && (errno == EINTR || errno == EAGAIN) && ++tries < 16);
  return static_cast<int>(fd);
}

// The names of `relative`, "." and empty ones left out; false when one is
// "..".
bool namesOf(const std::string& relative, std::vector<std::string>* names) {
  for (size_t start = 0; start <= relative.size();) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string name = relative.substr(start, end - start);
    if (name == "..") return false;
    if (!name.empty() && name != ".") names->push_back(std::move(name));
    start = end + 1;
  }
  return true;
}

// One name at a time, each opened without following it.
int walkBeneath(int dir, const std::string& relative, int* out) {
  std::vector<std::string> names;
  if (!relative.empty() && relative[0] == '/') return EXDEV;
  if (!namesOf(relative, &names)) return EXDEV;
  if (names.empty()) return ENOENT;
  Unique_Fd at(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (at.get() < 0) return errno;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    int next = ::openat(at.get(), names[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY));
    if (next < 0) {
      int error = errno;
      struct stat st;
      // O_PATH opens a link itself; as a directory on the way it fails.
      if (error == ENOTDIR && ::fstatat(at.get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
      return error;
    }
    at.reset(next);
  }
  struct stat st;
  if (::fstat(at.get(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return ELOOP;
  *out = at.release();
  return 0;
}

}  // namespace

int openPathBeneath(int dir, const std::string& relative, Resolve how, int* fd) {
  if (how == Resolve::kAny) {
    int opened = openat2Beneath(dir, relative);
    if (opened >= 0) {
      *fd = opened;
      return 0;
    }
    if (errno != ENOSYS) return errno;
  }
  return walkBeneath(dir, relative, fd);
}

Contents::Contents(std::string storage, std::string cache_dir)
    : storage_(std::move(storage)), cache_dir_(std::move(cache_dir)) {}

int Contents::regular(const ContentsFile& file, int* fd, struct stat* st) const {
  const std::string& directory = this->directory(file);
  if (directory.empty()) return ENOENT;
  Unique_Fd dir(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  int opened = -1;
  int error = openPathBeneath(dir.get(), file.relative, how_, &opened);
  Unique_Fd path(opened);
  if (error == ELOOP || error == EXDEV) {
    std::fprintf(stderr, "korva_fuse: %s: a link or a way out of %s: refused\n", shown(file).c_str(),
                 directory.c_str());
    return EIO;
  }
  if (error != 0) return error;
  if (::fstat(path.get(), st) != 0) return errno;
  if (!S_ISREG(st->st_mode)) {
    std::fprintf(stderr, "korva_fuse: %s: not a regular file: refused\n", shown(file).c_str());
    return EIO;
  }
  *fd = path.release();
  return 0;
}

int Contents::status(const ContentsFile& file, struct stat* st) const {
  int fd = -1;
  int error = regular(file, &fd, st);
  if (error == 0) ::close(fd);
  return error;
}

int Contents::open(const ContentsFile& file, int access, int* fd) const {
  int path = -1;
  struct stat st;
  int error = regular(file, &path, &st);
  if (error != 0) return error;
  // Opened again through the descriptor: the very file just seen to be
  // regular, whatever its name holds by now.
  const std::string self = "/proc/self/fd/" + std::to_string(path);
  int opened = ::open(self.c_str(), (access & O_ACCMODE) | O_CLOEXEC | O_NOCTTY);
  error = opened < 0 ? errno : 0;
  ::close(path);
  if (error == 0) *fd = opened;
  return error;
}

}  // namespace korva_fuse
