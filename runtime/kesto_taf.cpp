// The transaction activity file "kesto.taf": the overflow files of the
// commits in progress, at most five.
//
// Layout, little-endian, 5146 bytes:
//   0  u16 header 0x3EAF (0x2EAF once written with journaling on)
//   2  u32 creation time
//   6  five entries of 1028 bytes: u16 check value (0xBEEF plus the path's
//      bytes), the path in 1025 bytes (empty = free), a zero byte
// The older form has header 0x1EAF, no time word, and entries at offset 2.
// Bytes after an entry's path are zero.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

char taf_files[TAF_ENTRIES][PATHLEN];
int taf_delay = 5;

namespace {

constexpr uint16_t TAF_CURRENT = 0x3EAF;
constexpr uint16_t TAF_JOURNALED = 0x2EAF;
constexpr uint16_t TAF_OLD = 0x1EAF;
constexpr int ENTRY_SIZE = 1028;
constexpr off_t LOCK_SIZE = 5140;
constexpr size_t FILE_SIZE = 6 + TAF_ENTRIES * ENTRY_SIZE;

// The bytes of the file as this process last read or wrote them through
// descriptor `fd` (-1: not known). A change then writes only the bytes that
// differ: a commit adds and removes one entry, a few dozen bytes of the file.
struct known_image {
  int fd = -1;
  unsigned char bytes[FILE_SIZE];
};
known_image known;

void taf_path(char *path) {
  std::strcpy(path, kt().taf_name);
  prefix_dbwdir(path);
}

// Gives the open file the header, time word and five free entries of a new
// activity file. Closes it again on failure.
int start_new_file(const char *path) {
  db_task &t = kt();
  t.taf_header = TAF_CURRENT;
  t.taf_time = static_cast<uint32_t>(time(nullptr));
  std::memset(taf_files, 0, sizeof taf_files);
  known.fd = -1;  // written whole
  // Commits will be recorded here: the file's directory entry must last.
  if (write_files() != S_OKAY || (opt_on(OPT_SYNCFILES) && sync_dir_of(path) != S_OKAY)) {
    int status = db_status;
    taf_unlock();
    taf_close();
    return db_status = status;
  }
  return db_status = S_OKAY;
}

}  // namespace

uint16_t taf_check_value(const char *path) {
  uint32_t sum = 0xBEEF;
  for (int i = 0; i < PATHLEN && path[i]; ++i) sum += static_cast<unsigned char>(path[i]);
  return static_cast<uint16_t>(sum);
}

int taf_open() {
  db_task &t = kt();
  if (t.taf_fd >= 0) return db_status = S_OKAY;
  char path[2 * PATHLEN];
  taf_path(path);
  int fd = open_b(path, O_RDWR);
  if (fd < 0) {
    if (errno != ENOENT) return dberr_code(S_DBLERR, 289, "%s: %s", path, std::strerror(errno));
    fd = open_b(path, O_RDWR | O_CREAT);
    if (fd < 0) return dberr_code(S_DBLERR, 288, "%s: %s", path, std::strerror(errno));
    t.taf_fd = fd;
    return start_new_file(path);
  }
  t.taf_fd = fd;
  if (taf_lock() != S_OKAY) {
    int status = db_status;
    taf_close();
    return db_status = status;
  }
  // An empty file is one whose creation ended before its first write (a
  // crash, a failed write): it records no commit, and is made anew instead
  // of refusing every later open.
  struct stat st;
  int status;
  if (kesto_io()->fstat(fd, &st) == 0 && st.st_size == 0) {
    status = start_new_file(path);
    if (status != S_OKAY) return status;
  } else {
    status = read_files();
  }
  if (t.use_lockmgr) taf_unlock();
  return db_status = status;
}

int taf_close() {
  db_task &t = kt();
  if (t.taf_fd >= 0) {
    if (known.fd == t.taf_fd) known.fd = -1;
    kesto_io()->close(t.taf_fd);
    t.taf_fd = -1;
  }
  return db_status = S_OKAY;
}

int taf_lock() {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  if (!t.use_lockmgr) return db_status = S_OKAY;
  // lockf locks from the file position.
  if (io->lseek(t.taf_fd, 0, SEEK_SET) < 0) return dberr_code(S_BADSEEK, 291);
  for (int attempt = 1;; ++attempt) {
    if (io->lockf(t.taf_fd, F_LOCK, LOCK_SIZE) == 0) return db_status = S_OKAY;
    if (attempt >= t.taf_attempts) return dberr_code(S_DBLACCESS, 292, "taf lock failed");
    kesto_sleep(0, static_cast<long>(t.taf_pause_ms) * 1000);
  }
}

int taf_unlock() {
  db_task &t = kt();
  if (!t.use_lockmgr || t.taf_fd < 0) return db_status = S_OKAY;
  const kesto_io_methods *io = kesto_io();
  io->lseek(t.taf_fd, 0, SEEK_SET);
  io->lockf(t.taf_fd, F_ULOCK, LOCK_SIZE);
  return db_status = S_OKAY;
}

// The file is read whole, in one call; a write sends only the bytes that
// changed since that read, in one call (the whole file when the file is new
// or of the older form).
int read_files() {
  db_task &t = kt();
  known.fd = -1;
  unsigned char *file = known.bytes;
  ssize_t n = kesto_io()->pread(t.taf_fd, file, FILE_SIZE, 0);
  if (n < 2) return dberr_code(S_DBLERR, 283);
  uint16_t header = get_u16(file);
  size_t at;
  if (header == TAF_CURRENT || header == TAF_JOURNALED) {
    if (n < 6) return dberr_code(S_DBLERR, 284);
    t.taf_header = header;
    t.taf_time = get_u32(file + 2);
    at = 6;
  } else if (header == TAF_OLD) {
    t.taf_header = TAF_CURRENT;
    t.taf_time = 1;
    at = 2;
  } else {
    return dberr_code(S_DBLERR, 286, "bad header 0x%x", header);
  }
  if (static_cast<size_t>(n) < at + TAF_ENTRIES * ENTRY_SIZE) return dberr_code(S_DBLERR, 287);
  for (int i = 0; i < TAF_ENTRIES; ++i, at += ENTRY_SIZE) {
    const unsigned char *entry = file + at;
    const char *path = reinterpret_cast<const char *>(entry + 2);
    bool terminated = std::memchr(path, 0, PATHLEN) != nullptr;
    if (!terminated || get_u16(entry) != taf_check_value(path)) {
      dbout_code(534, 1, "Note:  TAF entry #%d is corrupt, skipping", i);
      taf_files[i][0] = '\0';
      continue;
    }
    std::memcpy(taf_files[i], path, PATHLEN);
  }
  // Only the current form is patched in place: the older one is written
  // whole in the new form.
  if (at == FILE_SIZE) known.fd = t.taf_fd;
  return db_status = S_OKAY;
}

int write_files() {
  db_task &t = kt();
  if (t.taf_header == TAF_CURRENT && opt_on(OPT_JOURNAL)) t.taf_header = TAF_JOURNALED;
  unsigned char file[FILE_SIZE];
  std::memset(file, 0, sizeof file);
  put_u16(file, t.taf_header);
  put_u32(file + 2, t.taf_time);
  for (int i = 0; i < TAF_ENTRIES; ++i) {
    unsigned char *e = file + 6 + i * ENTRY_SIZE;
    taf_files[i][PATHLEN - 1] = '\0';
    put_u16(e, taf_check_value(taf_files[i]));
    std::strcpy(reinterpret_cast<char *>(e + 2), taf_files[i]);
  }
  size_t first = 0, end = FILE_SIZE;
  if (known.fd == t.taf_fd) {
    while (first < end && file[first] == known.bytes[first]) ++first;
    while (end > first && file[end - 1] == known.bytes[end - 1]) --end;
  }
  // What reaches the file is unknown until the write succeeds.
  known.fd = -1;
  if (first < end) {
    ssize_t n = kesto_io()->pwrite(t.taf_fd, file + first, end - first, static_cast<off_t>(first));
    if (first == 0 && n < 2) return dberr_code(S_DBLERR, 278);
    if (first == 0 && n < 6) return dberr_code(S_DBLERR, 279);
    if (n != static_cast<ssize_t>(end - first)) return dberr_code(S_DBLERR, 281);
  }
  std::memcpy(known.bytes, file, FILE_SIZE);
  known.fd = t.taf_fd;
  return commit_file(-1, t.taf_fd);
}

int taf_access(int for_add) {
  db_task &t = kt();
  if (t.taf_fd < 0 && taf_open() != S_OKAY) return db_status;
  // Another process's commit frees its entry within moments: the table is
  // looked at again soon, then less and less often, at most every
  // taf_delay seconds.
  long pause_us = 1000;
  for (;;) {
    if (taf_lock() != S_OKAY) {
      int status = db_status;
      taf_close();
      return db_status = status;
    }
    if (read_files() != S_OKAY) {
      int status = db_status;
      taf_unlock();
      return db_status = status;
    }
    if (!for_add) return db_status = S_OKAY;
    for (int i = 0; i < TAF_ENTRIES; ++i)
      if (!taf_files[i][0]) return db_status = S_OKAY;
    // Without a lock manager nobody else could free an entry.
    if (!t.use_lockmgr) {
      taf_unlock();
      return dberr_code(S_DBLERR, 290, "no free activity-file entry");
    }
    taf_unlock();
    const long longest = static_cast<long>(taf_delay) * 1000000;
    kesto_sleep(0, pause_us < longest ? pause_us : longest);
    pause_us *= 2;
  }
}

int taf_release() {
  int status = S_OKAY;
  if (!opt_on(OPT_READONLY)) status = write_files();
  taf_unlock();
  return db_status = status;
}

int taf_add(const char *path) {
  if (taf_access(1) != S_OKAY) return db_status;
  int slot = -1;
  for (int i = 0; i < TAF_ENTRIES && slot < 0; ++i)
    if (!taf_files[i][0]) slot = i;
  if (slot < 0) {
    taf_unlock();
    return dberr_code(S_DBLERR, 290, "no free activity-file entry");
  }
  vpathcpy(taf_files[slot], path, PATHLEN);
  return taf_release();
}

int taf_del(const char *path) {
  if (taf_access(0) != S_OKAY) return db_status;
  for (int i = 0; i < TAF_ENTRIES; ++i) {
    if (std::strcmp(taf_files[i], path) == 0) {
      taf_files[i][0] = '\0';
      break;
    }
  }
  return taf_release();
}

int taf_syncfiles() {
  if (kt().taf_fd < 0 && taf_open() != S_OKAY) return db_status;
  return sync_file(kt().taf_fd);
}
