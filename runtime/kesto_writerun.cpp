#include "runtime/kesto_writerun.h"

#include <cerrno>
#include <cstring>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

int write_at(int file, int fd, const struct iovec *iov, int count, size_t total, off_t offset, int site) {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  if (trlog_flag) d_trlog();
  ssize_t n = count == 1 ? io->pwrite(fd, iov[0].iov_base, iov[0].iov_len, offset) : io->pwritev(fd, iov, count, offset);
  const char *name = t.file_table[file].name;
  if (site && n != static_cast<ssize_t>(total))
    return dberr_code(S_NOSPACE, site, "%s: %s", name, n < 0 ? std::strerror(errno) : "short write");
  if (n < 0) return dberr_code(S_BADWRITE, 51, "%s: %s", name, std::strerror(errno));
  if (n != static_cast<ssize_t>(total)) return dberr_code(S_NOSPACE, 50, "%s", name);
  t.file_table[file].flags |= FILE_WRITTEN;
  return S_OKAY;
}

int write_run::add(int file, off_t offset, void *buffer, size_t size, int site, std::function<void()> written) {
  if (!iov_.empty() && (file != file_ || offset != end_ || iov_.size() == LIMIT) && flush() != S_OKAY)
    return db_status;
  if (iov_.empty()) {
    file_ = file;
    site_ = site;
    start_ = end_ = offset;
  }
  iov_.push_back({buffer, size});
  if (written) written_.push_back(std::move(written));
  end_ += static_cast<off_t>(size);
  return S_OKAY;
}

int write_run::flush() {
  if (iov_.empty()) return S_OKAY;
  if (dio_open(file_) != S_OKAY) return db_status;
  int status = write_at(file_, kt().file_table[file_].desc, iov_.data(), static_cast<int>(iov_.size()),
                        static_cast<size_t>(end_ - start_), start_, site_);
  if (status != S_OKAY) return status;
  if (opt_on(OPT_CLOSEFILES)) dio_close(file_);
  for (std::function<void()> &w : written_) w();
  iov_.clear();
  written_.clear();
  return S_OKAY;
}
