// The transaction journal "kesto.tjf": the redo log of journaled
// transactions (option 0x100), with its checkpoint file "kesto.tcf" that
// names every database file the journal's transactions changed. Layouts in
// kesto_journal.h.
//
// A journal transaction starts with its transaction (one user holds every
// file; with a lock manager it starts when the first lock is granted). Each
// change of a data or key file is recorded as an after-image before the
// changed page can reach its file; the commit lists the changed files in
// the checkpoint file, appends a files entry and a commit entry, and forces
// the journal to disk before the pages are copied into the database. Entries
// gather in the task's buffer and go out in batches, each under the
// `lockf` lock on the journal's header, the only coordination between
// processes on the two files.
//
// Whether a transaction is journaled is settled when it starts: an option
// switched during it changes nothing for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/kesto_internal.h"
#include "runtime/kesto_io.h"

int trlog_flag = 0;

int d_tron() {
  trlog_flag = 1;
  return S_OKAY;
}
int d_troff() {
  trlog_flag = 0;
  return S_OKAY;
}
// Hooks of a transaction log; this engine records nothing there.
int d_trmark() { return S_OKAY; }
int d_trbound() { return S_OKAY; }
int d_trlog() { return S_OKAY; }

namespace tjf {

void get_header(const unsigned char *b, journal_header *h) {
  h->magic = get_u32(b);
  h->version = get_u32(b + 4);
  h->end = get_u32(b + 8);
  h->committed_end = get_u32(b + 12);
  h->last_id = get_u32(b + 16);
  h->id_base = get_u32(b + 20);
  h->committed_id = get_u32(b + 24);
}

void put_header(unsigned char *b, const journal_header &h) {
  put_u32(b, h.magic);
  put_u32(b + 4, h.version);
  put_u32(b + 8, h.end);
  put_u32(b + 12, h.committed_end);
  put_u32(b + 16, h.last_id);
  put_u32(b + 20, h.id_base);
  put_u32(b + 24, h.committed_id);
}

journal_header empty_header(uint32_t id_base) {
  journal_header h;
  h.last_id = h.id_base = id_base;
  return h;
}

void put_checkpoint_header(unsigned char *b, uint32_t length) {
  put_u32(b, TCF_MAGIC);
  put_u32(b + 4, VERSION);
  put_u32(b + 8, length);
}

entry_header get_entry_header(const unsigned char *b) {
  return {get_u32(b), get_u16(b + 4), get_u16(b + 6), get_u16(b + 8), get_u16(b + 10)};
}

uint16_t body_sum(const unsigned char *body, size_t n) {
  uint32_t sum = SUM_SEED;
  for (size_t i = 0; i < n; ++i) sum += body[i];
  return static_cast<uint16_t>(sum);
}

uint16_t header_check(const entry_header &h) {
  return static_cast<uint16_t>(h.length + h.type + (h.id & 0xFFFF) + h.body_sum + SUM_SEED);
}

void seal_entry(unsigned char *entry, uint32_t id, entry_type type, int length) {
  entry_header h{id, static_cast<uint16_t>(length), type,
                 body_sum(entry + ENTRY_HEADER, static_cast<size_t>(length - ENTRY_HEADER)), 0};
  h.check = header_check(h);
  put_u32(entry, h.id);
  put_u16(entry + 4, h.length);
  put_u16(entry + 6, h.type);
  put_u16(entry + 8, h.body_sum);
  put_u16(entry + 10, h.check);
  if (length & 1) entry[length] = 0;
}

uint16_t name_sum(const char *name) {
  uint32_t sum = NAME_SEED;
  for (int i = 0; i <= NAME_LIMIT && name[i]; ++i) sum += static_cast<unsigned char>(name[i]);
  return static_cast<uint16_t>(sum);
}

int build_name_entry(unsigned char *entry, const char *name) {
  int n = static_cast<int>(std::strlen(name)) + 1;
  int occupied = (n + 5) & ~1;
  put_u16(entry, static_cast<uint16_t>(n));
  put_u16(entry + 2, name_sum(name));
  std::memcpy(entry + 4, name, static_cast<size_t>(n));
  if (occupied > 4 + n) entry[4 + n] = 0;
  return occupied;
}

}  // namespace tjf

namespace {

using tjf::journal_header;

constexpr int32_t DEFAULT_LIMIT = 268435456;
constexpr int32_t SMALLEST_LIMIT = 1048576;
constexpr int32_t LARGEST_LIMIT = 1073741824;
constexpr int LOCK_FAILURES = 60;  // failed header locks retried before giving up

// Inconsistencies that the engine's own sequence of calls rules out.
int internal_error(int msg, const char *what) { return dberr_code(S_SYSERR, msg, "journal: %s", what); }

bool any_file_flagged() {
  db_task &t = kt();
  for (int f = 0; f < t.size_ft; ++f)
    if (t.file_table[f].flags & FILE_JOURNALED) return true;
  return false;
}

// A journaled change is due: the transaction's journal transaction has
// started, or journaling asks for one that has not.
bool journaling() { return trans_active() && (kt().tjf_trans_no || opt_on(OPT_JOURNAL)); }

int unlock_header() {
  const kesto_io_methods *io = kesto_io();
  int fd = kt().tjf_fd;
  io->lseek(fd, 0, SEEK_SET);
  io->lockf(fd, F_ULOCK, tjf::TJF_HEADER);
  return S_OKAY;
}

// A file whose header was never written whole: a creation or an emptying
// that ended between the file's truncation and its header. Nothing was
// ever written after such a header; a file with entries keeps whatever
// header it has, for the readers to report.
int unwritten(int fd, uint32_t magic, uint32_t header_size, bool *result, const char *path) {
  unsigned char bytes[tjf::TJF_HEADER + 16] = {};
  const size_t want = header_size + 16;
  ssize_t n = kesto_io()->pread(fd, bytes, want, 0);
  if (n < 0) return dberr_code(S_BADREAD, 861, "%s: %s", path, std::strerror(errno));
  // Both headers hold their end at offset 8.
  const uint32_t version = get_u32(bytes + 4);
  const bool whole = version == 1 || (version == tjf::VERSION && get_u32(bytes + 8) >= header_size);
  *result = false;
  if (get_u32(bytes) == magic && whole) return S_OKAY;
  for (size_t i = header_size; i < want; ++i)
    if (bytes[i]) return S_OKAY;
  *result = true;
  return S_OKAY;
}

// Opens one of the two files into *fd. A file that is missing, or whose
// header was never written whole, is given its header; `made` receives the
// name of a file this call created.
int open_file(const char *name, int *fd, uint32_t magic, const unsigned char *header, uint32_t size, int init_msg,
              const char *init_text, std::vector<std::string> *made) {
  db_task &t = kt();
  if (*fd >= 0) return S_OKAY;
  char path[PATHLEN];
  vpathcpy(path, name, PATHLEN);
  if (prefix_dbwdir(path) != S_OKAY) return db_status;
  bool created = false;
  int f = open_b(path, O_RDWR);
  if (f < 0 && errno == ENOENT) {
    f = open_b(path, O_RDWR | O_CREAT);
    created = f >= 0;
  }
  if (f < 0) return dberr_code(S_NOFILE, 860, "%s: %s", path, std::strerror(errno));
  *fd = f;
  if (created) made->push_back(path);
  bool fresh = created;
  if (!created && unwritten(f, magic, size, &fresh, path) != S_OKAY) return db_status;
  if (!fresh) return S_OKAY;
  if (!t.tjf_unit && fsblock_size(f, &t.tjf_unit) != S_OKAY) return db_status;
  if (tjf_init_hdr(f, header, size) != S_OKAY) return dberr_code(S_TJFERR, init_msg, "%s", init_text);
  // Commits will be recorded here: the directory entry must last too.
  if (created && sync_dir_of(path) != S_OKAY) return db_status;
  return S_OKAY;
}

// The buffer holds four of the largest pages of the open databases.
int size_buffer() {
  db_task &t = kt();
  int wanted = 4 * (t.largest_page > 512 ? t.largest_page : 512);
  if (t.tjf_buff && (t.tjf_capacity >= wanted || t.tjf_fill > 0)) return S_OKAY;
  char *buffer = static_cast<char *>(d_alloc(static_cast<size_t>(wanted)));
  if (!buffer) return dberr_code(S_NOMEMORY, 213);
  d_free(&t.tjf_buff);
  t.tjf_buff = buffer;
  t.tjf_capacity = wanted;
  t.tjf_fill = 0;
  return S_OKAY;
}

unsigned char *buffer_at(int offset) { return reinterpret_cast<unsigned char *>(kt().tjf_buff) + offset; }

struct file_pair {
  uint16_t file;
  uint16_t slot;
};

// The changed files of the transaction in the checkpoint file: each one
// already listed gets its slot, the others are appended. Runs under the
// header lock.
int list_changed_files(std::vector<file_pair> *pairs) {
  db_task &t = kt();
  const int fd = t.tcf_fd;
  uint32_t start, end;
  if (tcf_read_hdr(fd, &start, &end) != S_OKAY) return db_status;
  unsigned char entry[tjf::NAME_BUFFER];
  uint32_t position = start;
  uint16_t slot = 0;
  while (any_file_flagged()) {
    int outcome;
    if (tcf_read_entry(fd, entry, false, &position, end, &outcome) != S_OKAY) return db_status;
    if (outcome == tjf::END_REACHED) break;
    const char *listed = reinterpret_cast<const char *>(entry + 4);
    for (int f = 0; f < t.size_ft; ++f) {
      file_entry &fe = t.file_table[f];
      if (!(fe.flags & FILE_JOURNALED) || std::strcmp(strip_dbwdir(fe.name), listed) != 0) continue;
      fe.flags &= static_cast<uint16_t>(~FILE_JOURNALED);
      pairs->push_back({static_cast<uint16_t>(f), slot});
      break;
    }
    ++slot;
  }
  // A files entry names at most 20 files.
  auto too_many = [&](size_t count) {
    return count > tjf::MAX_PAIRS
               ? dberr_code(S_TJFERR, 864, "more than %d files changed in one journaled transaction", tjf::MAX_PAIRS)
               : S_OKAY;
  };
  if (too_many(pairs->size()) != S_OKAY) return db_status;
  if (!any_file_flagged()) return S_OKAY;

  // An older file ends where the file ends, behind a longer header: it is
  // only read until the next emptying rewrites it.
  if (start != tjf::TCF_HEADER)
    return dberr_code(S_TJFERR, 862, "cannot add files to a version-1 checkpoint file");
  uint32_t length = end;
  for (int f = 0; f < t.size_ft; ++f) {
    file_entry &fe = t.file_table[f];
    if (!(fe.flags & FILE_JOURNALED)) continue;
    fe.flags &= static_cast<uint16_t>(~FILE_JOURNALED);
    const char *name = strip_dbwdir(fe.name);
    const int n = static_cast<int>(std::strlen(name)) + 1;
    if (((n + 5) & ~1) - 5 > tjf::NAME_LIMIT)
      return dberr_code(S_TJFERR, 863, "file name too long for the checkpoint file: %s", name);
    if (too_many(pairs->size() + 1) != S_OKAY) return db_status;
    int occupied = tjf::build_name_entry(entry, name);
    if (tjf_grow_file(fd, length + static_cast<uint32_t>(occupied), true) != S_OKAY ||
        tjf_write(fd, entry, static_cast<size_t>(occupied), length, 865, 866) != S_OKAY)
      return db_status;
    pairs->push_back({static_cast<uint16_t>(f), slot++});
    length += static_cast<uint32_t>(occupied);
  }
  // The entries reach the disk before the header covers them.
  unsigned char header[tjf::TCF_HEADER];
  tjf::put_checkpoint_header(header, length);
  if (sync_file(fd) != S_OKAY || tjf_write(fd, header, sizeof header, 0, 867, 868) != S_OKAY) return db_status;
  return sync_file(fd);
}

}  // namespace

int tjf_init() {
  if (kt().tjf_limit == 0) kt().tjf_limit = DEFAULT_LIMIT;
  return db_status = S_OKAY;
}

int tjf_set_checkpoint_limit(int32_t limit) {
  if (limit < 0) return dberr_code(S_TJFERR, 206, "Invalid TJF checkpoint limit %d", limit);
  if (limit == 0) limit = DEFAULT_LIMIT;
  else if (limit < SMALLEST_LIMIT) limit = SMALLEST_LIMIT;
  else if (limit > LARGEST_LIMIT) limit = LARGEST_LIMIT;
  kt().tjf_limit = limit;
  return db_status = S_OKAY;
}

int tjf_open() {
  db_task &t = kt();
  std::vector<std::string> made;
  unsigned char tcf_header[tjf::TCF_HEADER];
  tjf::put_checkpoint_header(tcf_header, tjf::TCF_HEADER);
  unsigned char tjf_header[tjf::TJF_HEADER];
  tjf::put_header(tjf_header, tjf::empty_header(0));
  if (open_file(t.tcf_name, &t.tcf_fd, tjf::TCF_MAGIC, tcf_header, sizeof tcf_header, 519, "TCF init hdr failed",
                &made) == S_OKAY &&
      open_file(t.tjf_name, &t.tjf_fd, tjf::TJF_MAGIC, tjf_header, sizeof tjf_header, 520, "TJF init hdr failed",
                &made) == S_OKAY &&
      (t.tjf_unit || fsblock_size(t.tjf_fd, &t.tjf_unit) == S_OKAY) && (t.tjf_buff || size_buffer() == S_OKAY))
    return db_status = S_OKAY;
  tjf_close();
  for (const std::string &path : made) kesto_io()->unlink(path.c_str());
  return dberr_code(S_TJFERR, 214);
}

int tjf_close() {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  if (t.tjf_fd >= 0) io->close(t.tjf_fd);
  if (t.tcf_fd >= 0) io->close(t.tcf_fd);
  t.tjf_fd = t.tcf_fd = -1;
  d_free(&t.tjf_buff);
  t.tjf_fill = t.tjf_capacity = 0;
  return S_OKAY;
}

int tjf_write(int fd, const void *data, size_t length, off_t offset, int msg_full, int msg_other) {
  ssize_t n;
  do {
    n = kesto_io()->pwrite(fd, data, length, offset);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(length)) return db_status = S_OKAY;
  if (n >= 0 || errno == ENOSPC) return dberr_code(S_NOSPACE, msg_full);
  return dberr_code(S_BADWRITE, msg_other);
}

int tjf_grow_file(int fd, uint32_t size, bool check) {
  db_task &t = kt();
  if (t.tjf_unit <= 0) return internal_error(869, "grow unit unknown");
  struct stat st;
  if (kesto_io()->fstat(fd, &st) < 0) return dberr_code(S_DBLERR, 870, "%s", std::strerror(errno));
  off_t have = st.st_size;
  if (check && have % t.tjf_unit != 0)
    return dberr_code(S_TJFERR, 871, "The transaction journal file has a suspicious length (%d)",
                      static_cast<int>(have));
  // One byte at the end of each new unit: the file grows by whole blocks.
  // The new size reaches the disk before anything is written into it, or
  // a power failure could keep the writes and lose the size.
  const unsigned char zero = 0;
  const off_t old_size = have;
  while (have < static_cast<off_t>(size)) {
    off_t at = have | static_cast<off_t>(t.tjf_unit - 1);
    if (tjf_write(fd, &zero, 1, at, 207, 208) != S_OKAY) return db_status;
    have = at + 1;
  }
  if (have == old_size) return db_status = S_OKAY;
  if (sync_file(fd) != S_OKAY) return db_status;
  if (fd == t.tjf_fd && have >= t.tjf_limit) db_need_checkpoint();
  return db_status = S_OKAY;
}

int tjf_init_hdr(int fd, const unsigned char *header, uint32_t size) {
  if (tjf_grow_file(fd, size, false) != S_OKAY || tjf_write(fd, header, size, 0, 872, 873) != S_OKAY)
    return db_status;
  return sync_file(fd);
}

int tjf_access(journal_header *header) {
  db_task &t = kt();
  const kesto_io_methods *io = kesto_io();
  if (t.tjf_fd < 0 || t.tcf_fd < 0) return internal_error(874, "header lock with the files closed");
  // lockf locks from the file position.
  for (int failures = 0;;) {
    if (io->lseek(t.tjf_fd, 0, SEEK_SET) == 0 && io->lockf(t.tjf_fd, F_LOCK, tjf::TJF_HEADER) == 0) break;
    if (++failures > LOCK_FAILURES) return dberr_code(S_DBLACCESS, 216, "tjf lock failed");
  }
  if (!header) return db_status = S_OKAY;
  unsigned char bytes[tjf::TJF_HEADER];
  ssize_t n = io->pread(t.tjf_fd, bytes, sizeof bytes, 0);
  int status = S_OKAY;
  if (n < 0) {
    status = dberr_code(S_BADREAD, 875, "Unable to read the tjf header");
  } else if (n < static_cast<ssize_t>(sizeof bytes)) {
    status = dberr_code(S_TJFERR, 876, "Unable to read the tjf header");
  } else {
    tjf::get_header(bytes, header);
    if (header->magic != tjf::TJF_MAGIC || header->version != tjf::VERSION || header->end < tjf::TJF_HEADER)
      status = dberr_code(S_TJFERR, 219, "Invalid TJF file hdr");
  }
  if (status != S_OKAY) unlock_header();
  return db_status = status;
}

int tjf_release(const journal_header *header) {
  int status = S_OKAY;
  if (header) {
    unsigned char bytes[tjf::TJF_HEADER];
    tjf::put_header(bytes, *header);
    status = tjf_write(kt().tjf_fd, bytes, sizeof bytes, 0, 877, 878);
  }
  unlock_header();
  return db_status = status;
}

int tjf_flush(uint32_t commit_id) {
  db_task &t = kt();
  if (t.tjf_fill == 0 && !commit_id) return db_status = S_OKAY;
  journal_header h;
  if (tjf_access(&h) != S_OKAY) return db_status;
  const uint64_t end = static_cast<uint64_t>(h.end) + static_cast<uint64_t>(t.tjf_fill);
  int status = S_OKAY;
  if (end > UINT32_MAX) status = dberr_code(S_TJFERR, 879, "journal full at 0x%08X", h.end);
  else if (tjf_grow_file(t.tjf_fd, static_cast<uint32_t>(end), true) != S_OKAY ||
           tjf_write(t.tjf_fd, t.tjf_buff, static_cast<size_t>(t.tjf_fill), h.end, 209, 210) != S_OKAY ||
           // The entries reach the disk before the header covers them: a
           // header that outlived them in a power failure would leave a
           // hole, and every later reading of the journal stops there.
           sync_file(t.tjf_fd) != S_OKAY)
    status = db_status;
  if (status != S_OKAY) {
    unlock_header();
    return db_status = status;
  }
  h.end = static_cast<uint32_t>(end);
  if (commit_id) {
    h.committed_end = h.end;
    h.committed_id = commit_id;
  }
  if (tjf_release(&h) != S_OKAY) {
    // The entries are on disk, and the header may cover them or not:
    // written again they could appear twice. The transaction cannot commit.
    t.tjf_fill = 0;
    t.tjf_lost = 1;
    return db_status;
  }
  t.tjf_fill = 0;
  return db_status = S_OKAY;
}

unsigned char *tjf_get_buff(int size) {
  db_task &t = kt();
  if (size > t.tjf_capacity) {
    internal_error(880, "entry larger than the journal buffer");
    return nullptr;
  }
  if (t.tjf_fill + size > t.tjf_capacity && tjf_flush(0) != S_OKAY) return nullptr;
  unsigned char *at = buffer_at(t.tjf_fill);
  t.tjf_fill += size;
  return at;
}

int tjf_begin() {
  db_task &t = kt();
  for (int f = 0; f < t.size_ft; ++f) t.file_table[f].flags &= static_cast<uint16_t>(~FILE_JOURNALED);
  t.tjf_trans_no = 0;
  t.tjf_lost = 0;
  return db_status = S_OKAY;
}

int tjf_start() {
  db_task &t = kt();
  if (!opt_on(OPT_JOURNAL) || !trans_active() || t.tjf_trans_no) return db_status = S_OKAY;
  if (any_file_flagged()) return internal_error(881, "a file is flagged changed at the start");
  if (tjf_open() != S_OKAY) return db_status;
  journal_header h;
  if (tjf_access(&h) != S_OKAY) return db_status;
  if (++h.last_id == 0) h.last_id = 1;
  if (tjf_release(&h) != S_OKAY) return db_status;
  t.tjf_fill = 0;
  if (size_buffer() != S_OKAY) return db_status;
  unsigned char *entry = tjf_get_buff(tjf::START_LENGTH);
  if (!entry) return db_status;
  put_u32(entry + tjf::ENTRY_HEADER, static_cast<uint32_t>(time(nullptr)));
  tjf::seal_entry(entry, h.last_id, tjf::START, tjf::START_LENGTH);
  t.tjf_trans_no = h.last_id;
  return db_status = S_OKAY;
}

int tjf_journal(int file, uint32_t position, const void *data, int length, int kind) {
  db_task &t = kt();
  if (!journaling()) return S_OKAY;
  if (!t.tjf_trans_no) return internal_error(882, "a change outside a journal transaction");
  if (file < 0 || file >= t.size_ft) return dberr_code(S_SYSERR, 883, "journal: file %d", file);
  const int entry_length = tjf::CHANGE_HEADER + length;
  if (length < 0 || entry_length > 0xFFFF) return internal_error(884, "change too long");
  t.file_table[file].flags |= FILE_JOURNALED;
  unsigned char *entry = tjf_get_buff(tjf::padded(entry_length));
  if (!entry) return db_status;
  put_u32(entry + 12, position);
  put_u16(entry + 16, static_cast<uint16_t>(file));
  put_u16(entry + 18, static_cast<uint16_t>(kind));
  std::memcpy(entry + tjf::CHANGE_HEADER, data, static_cast<size_t>(length));
  tjf::seal_entry(entry, t.tjf_trans_no, tjf::CHANGE, entry_length);
  return db_status = S_OKAY;
}

int tjf_journal_pg(int file, const char *page_buffer, const char *data, int length, uint32_t page, int kind) {
  db_task &t = kt();
  if (!journaling()) return S_OKAY;
  if (file < 0 || file >= t.size_ft) return dberr_code(S_SYSERR, 232);
  uint64_t position = static_cast<uint64_t>(page) * static_cast<uint32_t>(t.file_table[file].page_size) +
                      static_cast<uint64_t>(data - page_buffer);
  return tjf_journal(file, static_cast<uint32_t>(position), data, length, kind);
}

int tjf_journal_rec(db_address dba, const char *rec, const char *place, int length, int kind) {
  db_task &t = kt();
  if (!journaling()) return S_OKAY;
  const db_entry *db = curr_dbt();
  const int rel = static_cast<int>(dba >> FILE_SHIFT);
  if (!db || rel >= db->slice[TBL_FILE].count) return dberr_code(S_SYSERR, 231);
  const int file = db->slice[TBL_FILE].first + rel;
  const file_entry &fe = t.file_table[file];
  const uint64_t slot = dba & SLOT_MASK;
  const uint64_t per_page = static_cast<uint32_t>(fe.slots);
  if (slot == 0 || per_page == 0) return dberr_code(S_SYSERR, 885, "journal: record %08x", dba);
  const uint64_t page = (slot - 1) / per_page;
  const uint64_t position = static_cast<uint32_t>(fe.page_size) * (page + 1) + 4 +
                            static_cast<uint32_t>(fe.slot_size) * (slot - 1 - page * per_page) +
                            static_cast<uint64_t>(place - rec);
  return tjf_journal(file, static_cast<uint32_t>(position), place, length, kind);
}

int tjf_journal_rec_ndba(const char *rec, const char *place, int length, int kind) {
  if (!journaling()) return S_OKAY;
  return tjf_journal_rec(get_u32(rec + 2), rec, place, length, kind);
}

int tjf_save_files() {
  db_task &t = kt();
  if (!trans_active() || !t.tjf_trans_no) return db_status = S_OKAY;
  if (t.tjf_lost)
    return dberr_code(S_TJFERR, 909, "journal transaction %u is incomplete after a failed write", t.tjf_trans_no);
  if (tjf_open() != S_OKAY || tjf_access(nullptr) != S_OKAY) return db_status;
  std::vector<file_pair> pairs;
  int status = list_changed_files(&pairs);
  unlock_header();
  if (status != S_OKAY) return db_status = status;
  if (pairs.empty()) return db_status = S_OKAY;
  const int length = tjf::FILES_LENGTH(static_cast<int>(pairs.size()));
  unsigned char *entry = tjf_get_buff(tjf::padded(length));
  if (!entry) return db_status;
  put_u16(entry + 12, static_cast<uint16_t>(pairs.size()));
  for (size_t i = 0; i < pairs.size(); ++i) {
    put_u16(entry + 14 + 4 * i, pairs[i].file);
    put_u16(entry + 16 + 4 * i, pairs[i].slot);
  }
  tjf::seal_entry(entry, t.tjf_trans_no, tjf::FILES, length);
  return db_status = S_OKAY;
}

int tjf_commit() {
  db_task &t = kt();
  if (!trans_active() || !t.tjf_trans_no) return db_status = S_OKAY;
  if (any_file_flagged() || t.tjf_lost) return internal_error(886, "the transaction's files are not listed");
  const uint32_t id = t.tjf_trans_no;
  t.tjf_trans_no = 0;
  unsigned char *entry = tjf_get_buff(tjf::END_LENGTH);
  if (!entry) return db_status;
  tjf::seal_entry(entry, id, tjf::COMMIT, tjf::END_LENGTH);
  if (tjf_flush(id) != S_OKAY) return db_status;
  return sync_file(t.tjf_fd);
}

int tjf_abort() {
  db_task &t = kt();
  if (!t.tjf_trans_no) return db_status = S_OKAY;
  const uint32_t id = t.tjf_trans_no;
  t.tjf_trans_no = 0;
  if (t.tjf_lost) return db_status = S_OKAY;
  unsigned char *entry = tjf_get_buff(tjf::END_LENGTH);
  if (!entry) return db_status;
  tjf::seal_entry(entry, id, tjf::ABORT, tjf::END_LENGTH);
  // The abort entry is a courtesy to readers: without it the transaction
  // never commits all the same.
  tjf_flush(0);
  return db_status = S_OKAY;
}
