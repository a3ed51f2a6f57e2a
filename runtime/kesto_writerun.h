// Writes to the engine's files gathered into as few calls as their places
// allow: pieces given in order, those that follow one another in a file
// written by one call.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <functional>
#include <vector>

// Writes `total` bytes of the buffers at `offset` of file `file` (an entry
// of the task's file table) through descriptor `fd`. A failure is reported
// at `site` (-900, whether the write failed or came back short) or, for
// site 0, as a data page's write-out reports it (-919 failed, -900 short).
// The file is marked written (synchronised by the next flush or close).
int write_at(int file, int fd, const struct iovec *iov, int count, size_t total, off_t offset, int site);

class write_run {
 public:
  write_run() = default;
  write_run(const write_run &) = delete;
  write_run &operator=(const write_run &) = delete;

  // Adds `size` bytes of `buffer` (which must stay as they are until they
  // are written) at `offset` of `file`, after writing what is gathered when
  // this piece does not follow it. `written` runs once the piece is on its
  // way to the disk.
  int add(int file, off_t offset, void *buffer, size_t size, int site, std::function<void()> written = nullptr);
  // Writes what is gathered.
  int flush();

 private:
  static constexpr size_t LIMIT = 256;  // buffers in one call
  std::vector<struct iovec> iov_;
  std::vector<std::function<void()>> written_;
  int file_ = -1;
  int site_ = 0;
  off_t start_ = 0, end_ = 0;
};
