#include "runtime/kesto_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

int io_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int io_close(int fd) { return ::close(fd); }
ssize_t io_pread(int fd, void *buf, size_t len, off_t offset) { return ::pread(fd, buf, len, offset); }
ssize_t io_pwrite(int fd, const void *buf, size_t len, off_t offset) {
  return ::pwrite(fd, buf, len, offset);
}
int io_fsync(int fd) { return ::fsync(fd); }
int io_fstat(int fd, struct stat *st) { return ::fstat(fd, st); }
int io_lockf(int fd, int cmd, off_t len) { return ::lockf(fd, cmd, len); }
off_t io_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int io_set_cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}
int io_unlink(const char *path) { return ::unlink(path); }
int io_rename(const char *from, const char *to) { return ::rename(from, to); }
int io_access(const char *path, int mode) { return ::access(path, mode); }
ssize_t io_pwritev(int fd, const struct iovec *iov, int count, off_t offset) {
  return ::pwritev(fd, iov, count, offset);
}
int io_fdatasync(int fd) { return ::fdatasync(fd); }
int io_writeback(int fd) { return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

const kesto_io_methods plain_methods = {
    io_open,   io_close,  io_pread,       io_pwrite, io_fsync,   io_fstat,  io_lockf,     io_lseek,
    io_set_cloexec, io_unlink, io_rename, io_access, io_pwritev, io_fdatasync, io_writeback,
};

const kesto_io_methods *installed = &plain_methods;

}  // namespace

const kesto_io_methods *kesto_io_default() { return &plain_methods; }

const kesto_io_methods *kesto_io() { return installed; }

void kesto_io_install(const kesto_io_methods *methods) {
  installed = methods ? methods : &plain_methods;
}
