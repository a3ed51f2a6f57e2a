// Recovery of commits that a crashed process left unfinished.
//
// A commit enters its overflow file in the activity file once the file
// holds every changed page of the old extents and its index is on disk,
// and removes the entry when the pages are in place. An entry found at the
// next open is therefore a commit to complete (a journaled one only when
// the journal holds its commit entry): every page copy and saved page-zero
// header of the overflow file is written to its database file again. Writing them twice does no harm, so a recovery interrupted in turn
// is simply repeated. A recovery that cannot complete ends the process:
// the database must not be used half-written, and the entry stays for the
// next attempt.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

namespace {

constexpr uint32_t NAME_FIELD = 1025;
constexpr uint32_t FILE_HEADER = 2 + NAME_FIELD;
constexpr uint32_t TABLE_ENTRY = 16;
constexpr uint32_t INDEX_PAGE = 1024;
constexpr uint32_t ENTRIES = 256;
constexpr uint32_t PZ_SIZE = 12;
// More files than any set of databases a task can open.
constexpr uint32_t MAX_FILES = 32767;

// A file as the overflow file describes it.
struct described_file {
  uint32_t page_size = 0;
  std::string name;      // with the working directory
  uint32_t pages = 0;    // extent when the transaction first changed it
  uint32_t map = 0;      // position of its index area; 0: unchanged
  uint32_t pz_saved = 0;
  std::vector<uint32_t> bitmap;
};

// A descriptor closed on every way out.
class descriptor {
 public:
  explicit descriptor(int fd) : fd_(fd) {}
  descriptor(const descriptor &) = delete;
  descriptor &operator=(const descriptor &) = delete;
  ~descriptor() {
    if (fd_ >= 0) kesto_io()->close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

int read_at(int fd, void *buffer, size_t length, uint32_t at, const char *path) {
  ssize_t n = kesto_io()->pread(fd, buffer, length, static_cast<off_t>(at));
  if (n != static_cast<ssize_t>(length))
    return dberr_code(S_BADREAD, 336, "%s @ %u: %s", path, at, n < 0 ? std::strerror(errno) : "short read");
  return S_OKAY;
}

bool in_use(const described_file &f, uint32_t block) {
  return (f.bitmap[block / 32] & (1u << (31 - block % 32))) != 0;
}

// Reads the overflow file's description of the files it changed.
int read_description(int fd, const char *path, uint32_t *tid, std::vector<described_file> *files) {
  unsigned char head[6];
  if (read_at(fd, head, sizeof head, 0, path) != S_OKAY) return db_status;
  uint32_t count = get_u16(head);
  *tid = get_u32(head + 2);
  if (count > MAX_FILES) return dberr_code(S_SYSERR, 329, "%s: %u files", path, count);
  files->assign(count, described_file());
  std::vector<unsigned char> names(static_cast<size_t>(count) * FILE_HEADER);
  if (count && read_at(fd, names.data(), names.size(), 6, path) != S_OKAY) return db_status;
  std::vector<unsigned char> table(static_cast<size_t>(count) * TABLE_ENTRY);
  if (count && read_at(fd, table.data(), table.size(), 6 + count * FILE_HEADER, path) != S_OKAY)
    return db_status;
  for (uint32_t i = 0; i < count; ++i) {
    described_file &f = (*files)[i];
    const unsigned char *entry = names.data() + static_cast<size_t>(i) * FILE_HEADER;
    const char *name = reinterpret_cast<const char *>(entry + 2);
    f.page_size = get_u16(entry);
    const unsigned char *te = table.data() + static_cast<size_t>(i) * TABLE_ENTRY;
    f.pages = get_u32(te);
    f.map = get_u32(te + 4);
    f.pz_saved = get_u32(te + 8);
    if (!f.map) continue;
    if (!std::memchr(name, 0, NAME_FIELD) || !*name || f.page_size < PZ_SIZE || f.pages == 0)
      return dberr_code(S_BADREAD, 859, "%s: damaged entry for file %u", path, i);
    char resolved[PATHLEN];
    vpathcpy(resolved, name, PATHLEN);
    if (prefix_dbwdir(resolved) != S_OKAY) return db_status;
    f.name = resolved;
    uint32_t blocks = (f.pages + ENTRIES - 1) / ENTRIES;
    uint32_t words = (blocks + 31) / 32;
    f.bitmap.assign(words, 0);
    std::vector<unsigned char> raw(4 * static_cast<size_t>(words));
    if (read_at(fd, raw.data(), raw.size(), f.map, path) != S_OKAY) return db_status;
    for (uint32_t w = 0; w < words; ++w) f.bitmap[w] = get_u32(raw.data() + 4 * w);
  }
  return S_OKAY;
}

// Writes every page copy and the saved header of one file in place and
// forces the file to disk.
int apply_file(int ovfd, const char *path, const described_file &f) {
  const kesto_io_methods *io = kesto_io();
  descriptor db(open_b(f.name.c_str(), O_RDWR));
  if (db.get() < 0) return dberr_code(S_NOFILE, 331, "%s: %s", f.name.c_str(), std::strerror(errno));
  uint32_t blocks = (f.pages + ENTRIES - 1) / ENTRIES;
  uint32_t words = (blocks + 31) / 32;
  unsigned char index[INDEX_PAGE];
  std::vector<unsigned char> page(f.page_size);
  for (uint32_t b = 0; b < blocks; ++b) {
    if (!in_use(f, b)) continue;
    if (read_at(ovfd, index, INDEX_PAGE, f.map + 4 * words + INDEX_PAGE * b, path) != S_OKAY)
      return db_status;
    for (uint32_t j = 0; j < ENTRIES; ++j) {
      uint32_t position = get_u32(index + 4 * j);
      if (!position) continue;
      if (read_at(ovfd, page.data(), page.size(), position, path) != S_OKAY) return db_status;
      off_t at = static_cast<off_t>(f.page_size) * (static_cast<off_t>(ENTRIES) * b + j + 1);
      if (io->pwrite(db.get(), page.data(), page.size(), at) != static_cast<ssize_t>(page.size()))
        return dberr_code(S_NOSPACE, 332, "Auto-recovery: write of %s @ %ld failed: %d\n", f.name.c_str(),
                          static_cast<long>(at), errno);
    }
  }
  if (f.pz_saved) {
    unsigned char header[PZ_SIZE];
    if (read_at(ovfd, header, PZ_SIZE, f.map + 4 * words + INDEX_PAGE * blocks, path) != S_OKAY)
      return db_status;
    if (io->pwrite(db.get(), header, PZ_SIZE, 0) != static_cast<ssize_t>(PZ_SIZE))
      return dberr_code(S_BADWRITE, 333, "Auto-recovery: write of %s @ 0 failed: %d\n", f.name.c_str(), errno);
  }
  if (sync_file(db.get()) != S_OKAY) {
    std::fprintf(stderr, "Auto-recovery: sync_file of %s failed: %d\n", f.name.c_str(), errno);
    return db_status;
  }
  if (io->close(db.release()) < 0) {
    int err = errno;
    std::fprintf(stderr, "Auto-recovery: DB_CLOSE of %s failed: %d\n", f.name.c_str(), err);
    return dberr_code(S_BADWRITE, 858, "%s: %s", f.name.c_str(), std::strerror(err));
  }
  return S_OKAY;
}

// Pages of a recovered file that this task holds in its cache are older
// than the file now.
void forget_cached(const std::vector<described_file> &files) {
  db_task &t = kt();
  if (!t.file_table || !dio_tables_exist()) return;
  for (const described_file &f : files) {
    if (!f.map) continue;
    for (int file = 0; file < t.size_ft; ++file)
      if (f.name == t.file_table[file].name) dio_clrfile(file);
  }
}

int recover(const char *name) {
  db_task &t = kt();
  dbautorec();
  db_status = S_OKAY;
  char path[PATHLEN];
  vpathcpy(path, name, PATHLEN);
  if (prefix_dbwdir(path) != S_OKAY) return db_status;
  std::fprintf(stderr, "Auto-recovery of %s\n", path);
  if (!t.taf_name[0] && initenv() != S_OKAY) return db_status;

  descriptor ov(open_b(path, O_RDONLY));
  if (ov.get() < 0) return dberr_code(S_NOFILE, 328, "%s: %s", path, std::strerror(errno));
  uint32_t tid = 0;
  std::vector<described_file> files;
  if (read_description(ov.get(), path, &tid, &files) != S_OKAY) return db_status;
  int committed = tjf_recover_commit(tid);
  if (committed == S_NOTFOUND) {
    std::fprintf(stderr, "Auto-recovery of %s: tfj_tid %ld not commited\n", path, static_cast<long>(tid));
  } else if (committed != S_OKAY) {
    return db_status = committed;
  } else {
    for (const described_file &f : files) {
      if (f.map && apply_file(ov.get(), path, f) != S_OKAY) return db_status;
    }
    forget_cached(files);
  }
  kesto_io()->close(ov.release());
  if (taf_del(name) != S_OKAY || taf_syncfiles() != S_OKAY) return db_status;
  return db_status = S_OKAY;
}

[[noreturn]] void recovery_failed(const char *name) {
  dbout_code(535, 0, "*** db_KESTO auto-recovery of '%s' failed, exiting", name);
  std::fflush(stdout);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

int dt_recover(const char *overflow_path, DB_TASK *task) {
  if (db_enter(-2, task) != S_OKAY) return db_status;
  // The name usually lives in the activity-file table, which the recovery
  // rewrites.
  char name[PATHLEN];
  vpathcpy(name, overflow_path ? overflow_path : "", PATHLEN);
  if (recover(name) != S_OKAY) recovery_failed(name);
  return db_status = S_OKAY;
}

int recovery_check() {
  db_task &t = kt();
  if (taf_open() != S_OKAY) return db_status;
  int status = taf_access(0);
  if (status == S_OKAY) {
    status = taf_release();
    for (int i = 0; i < TAF_ENTRIES && status == S_OKAY; ++i) {
      if (!taf_files[i][0]) continue;
      // Commits recorded while journaling was on may belong to journaled
      // transactions: only a task that journals consults the journal on
      // whether they committed.
      if (!t.use_lockmgr && t.taf_header == 0x2EAF && !opt_on(OPT_JOURNAL)) {
        status = dberr_code(S_NOLOCKMGR, 98, "Roll forward recovery needed may be needed");
        break;
      }
      status = dt_recover(taf_files[i], nullptr);
    }
  }
  if (t.use_lockmgr) {
    int lm = lmc_recovered();
    if (lm != S_OKAY && status == S_OKAY) status = dberr_code(lm, 501);
  }
  return db_status = status;
}

int recover_dead_user(const char *overflow_path) {
  char name[PATHLEN];
  vpathcpy(name, overflow_path ? overflow_path : "", PATHLEN);
  bool listed = false;
  if (taf_access(0) == S_OKAY) {
    for (int i = 0; i < TAF_ENTRIES; ++i)
      if (std::strcmp(taf_files[i], name) == 0) listed = true;
    taf_release();
  }
  if ((listed || taf_add(name) == S_OKAY) && recover(name) == S_OKAY) return db_status = S_OKAY;
  dbout_code(548, 0, "*** db_KESTO auto-recovery of '%s' failed, exiting", name);
  std::fflush(stdout);
  std::fflush(stderr);
  std::abort();
}
