// The engine's file I/O table.
//
// Every system call that touches an engine file (data and key files, the
// dictionary, the activity file, the country table, the overflow file, the
// journal and its checkpoint file) goes through the table installed here,
// so that tests can make the Nth call fail, come back short, or stop
// writing as a crash would.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

struct kesto_io_methods {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void *buf, size_t len, off_t offset);
  ssize_t (*pwrite)(int fd, const void *buf, size_t len, off_t offset);
  int (*fsync)(int fd);
  int (*fstat)(int fd, struct stat *st);
  int (*lockf)(int fd, int cmd, off_t len);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*set_cloexec)(int fd);
  int (*unlink)(const char *path);
  int (*rename)(const char *from, const char *to);
  int (*access)(const char *path, int mode);
  // Writes the buffers one after the other from `offset`, in one call.
  ssize_t (*pwritev)(int fd, const struct iovec *iov, int count, off_t offset);
  // Forces a file's data to disk, with the metadata needed to read it (its
  // size), not its times.
  int (*fdatasync)(int fd);
  // Starts writing a file's changed pages to disk without waiting: a hint,
  // so that the synchronisations of several files that follow overlap.
  int (*writeback)(int fd);
};

// The plain POSIX table.
const kesto_io_methods *kesto_io_default();

// The table in use; never null.
const kesto_io_methods *kesto_io();

// Installs a table (null restores the plain one). The table must outlive its
// use.
void kesto_io_install(const kesto_io_methods *methods);
