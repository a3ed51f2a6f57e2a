// Small file functions shared by the engine: open, synchronise, block size.
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

int open_b(const char *name, int flags) {
  const kesto_io_methods *io = kesto_io();
  if (opt_on(OPT_READONLY)) flags = (flags & ~(O_RDWR | O_WRONLY)) | O_RDONLY;
  // Close-on-exec from the open itself: a fork and exec by another thread
  // between the open and the flag change would leak the descriptor.
  flags |= O_CLOEXEC;
  int fd = io->open(name, flags & ~O_CREAT, 0666);
  if (fd < 0 && (flags & O_CREAT)) fd = io->open(name, flags, 0666);
  if (fd > 2 && io->set_cloexec(fd) < 0) {
    int saved = errno;
    io->close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Recovery needs a file's bytes and its size, never its times: the data
// and the metadata that reads depend on are forced to disk, not the rest
// (an overwrite in place then costs no journal commit of the file system).
int sync_file(int fd) {
  if (kesto_io()->fdatasync(fd) < 0) return dberr_code(S_BADWRITE, 384);
  return db_status = S_OKAY;
}

int commit_file(int /*file*/, int fd) { return commit_files(&fd, 1); }

int commit_files(const int *fds, int count) {
  if (!opt_on(OPT_SYNCFILES)) return db_status = S_OKAY;
  const kesto_io_methods *io = kesto_io();
  // Writing every file starts before the first wait, so that the disk
  // takes them together instead of one after the other.
  if (count > 1)
    for (int i = 0; i < count; ++i) io->writeback(fds[i]);
  for (int i = 0; i < count; ++i)
    if (io->fdatasync(fds[i]) < 0) return dberr_code(S_BADWRITE, 383);
  return db_status = S_OKAY;
}

int sync_dir_of(const char *path) {
  const kesto_io_methods *io = kesto_io();
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  int fd = io->open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return dberr_code(S_NOFILE, 856, "%s: %s", dir.c_str(), std::strerror(errno));
  int r = io->fsync(fd);
  int saved = errno;
  io->close(fd);
  // Some file systems cannot synchronise a directory; they keep entries anyway.
  if (r < 0 && saved != EINVAL) return dberr_code(S_BADWRITE, 857, "%s: %s", dir.c_str(), std::strerror(saved));
  return db_status = S_OKAY;
}

int fsblock_size(int fd, long *size) {
  struct stat st;
  if (kesto_io()->fstat(fd, &st) < 0) return dberr_code(S_DBLERR, 386);
  long bs = static_cast<long>(st.st_blksize);
  switch (bs) {
    case 1024: case 2048: case 4096: case 8192: case 16384: case 32768: case 65536:
      *size = bs;
      return S_OKAY;
    default:
      break;
  }
  if (bs <= 512) {
    *size = 512;
    return S_OKAY;
  }
  if ((bs & (bs - 1)) == 0) {
    *size = bs;
    return S_OKAY;
  }
  return dberr_code(S_DBLERR, 387, "filesystem blocksize (%ld) not supported\n", bs);
}

void kesto_sleep(long seconds, long microseconds) {
  while (microseconds >= 1000000) {
    ++seconds;
    microseconds -= 1000000;
  }
  struct timeval tv;
  tv.tv_sec = seconds;
  tv.tv_usec = microseconds;
  while (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno == EINTR) {
  }
}
