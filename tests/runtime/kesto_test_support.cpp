#include "kesto_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "runtime/kesto_keynode.h"
#include "runtime/kesto_lockmgr.h"

namespace kesto_test {

namespace {

struct Plan {
  int fail_at[FaultyIo::OP_COUNT];
  int fail_errno[FaultyIo::OP_COUNT];
  int short_at[FaultyIo::OP_COUNT];
  int calls[FaultyIo::OP_COUNT];
  int crash_at;
  bool crashed;
  long block_size;
  int inheritable_opens;
  char only_suffix[64];
} plan;

const kesto_io_methods *real() { return kesto_io_default(); }

// Counts the call; true when it must fail (errno set).
bool strike(FaultyIo::Op op) {
  int n = ++plan.calls[op];
  if (plan.fail_at[op] && n == plan.fail_at[op]) {
    errno = plan.fail_errno[op];
    return true;
  }
  return false;
}

// Whether a call on `fd` is one the plan watches.
bool watched(int fd) {
  if (plan.only_suffix[0] == '\0') return true;
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n < 0) return false;
  path[n] = '\0';
  size_t len = std::strlen(plan.only_suffix);
  return static_cast<size_t>(n) >= len && std::strcmp(path + n - len, plan.only_suffix) == 0;
}

bool shortened(FaultyIo::Op op) { return plan.short_at[op] && plan.calls[op] == plan.short_at[op]; }

int f_open(const char *path, int flags, mode_t mode) {
  if ((flags & O_CLOEXEC) == 0) ++plan.inheritable_opens;
  if (strike(FaultyIo::OPEN)) return -1;
  return real()->open(path, flags, mode);
}
int f_close(int fd) {
  if (strike(FaultyIo::CLOSE)) {
    real()->close(fd);
    errno = plan.fail_errno[FaultyIo::CLOSE];
    return -1;
  }
  return real()->close(fd);
}
ssize_t f_pread(int fd, void *buf, size_t len, off_t off) {
  if (!watched(fd)) return real()->pread(fd, buf, len, off);
  if (strike(FaultyIo::PREAD)) return -1;
  if (shortened(FaultyIo::PREAD)) len /= 2;
  return real()->pread(fd, buf, len, off);
}
ssize_t f_pwrite(int fd, const void *buf, size_t len, off_t off) {
  if (!watched(fd)) return real()->pwrite(fd, buf, len, off);
  if (strike(FaultyIo::PWRITE)) return -1;
  if (plan.crash_at && plan.calls[FaultyIo::PWRITE] >= plan.crash_at) plan.crashed = true;
  if (plan.crashed) return static_cast<ssize_t>(len);
  if (shortened(FaultyIo::PWRITE)) len /= 2;
  return real()->pwrite(fd, buf, len, off);
}
ssize_t f_pwritev(int fd, const struct iovec *iov, int count, off_t off) {
  if (!watched(fd)) return real()->pwritev(fd, iov, count, off);
  if (strike(FaultyIo::PWRITE)) return -1;
  if (plan.crash_at && plan.calls[FaultyIo::PWRITE] >= plan.crash_at) plan.crashed = true;
  size_t len = 0;
  for (int i = 0; i < count; ++i) len += iov[i].iov_len;
  if (plan.crashed) return static_cast<ssize_t>(len);
  if (shortened(FaultyIo::PWRITE)) {
    // Half the bytes, as a short pwrite moves.
    std::vector<unsigned char> bytes;
    for (int i = 0; i < count; ++i)
      bytes.insert(bytes.end(), static_cast<const unsigned char *>(iov[i].iov_base),
                   static_cast<const unsigned char *>(iov[i].iov_base) + iov[i].iov_len);
    return real()->pwrite(fd, bytes.data(), len / 2, off);
  }
  return real()->pwritev(fd, iov, count, off);
}
int f_fsync(int fd) {
  if (!watched(fd)) return real()->fsync(fd);
  if (strike(FaultyIo::FSYNC)) return -1;
  if (plan.crashed) return 0;
  return real()->fsync(fd);
}
// A synchronisation as fsync is, counted and failed with it.
int f_fdatasync(int fd) {
  if (!watched(fd)) return real()->fdatasync(fd);
  if (strike(FaultyIo::FSYNC)) return -1;
  if (plan.crashed) return 0;
  return real()->fdatasync(fd);
}
int f_writeback(int fd) {
  if (!watched(fd)) return real()->writeback(fd);
  if (strike(FaultyIo::WRITEBACK)) return -1;
  return real()->writeback(fd);
}
int f_fstat(int fd, struct stat *st) {
  if (strike(FaultyIo::FSTAT)) return -1;
  int r = real()->fstat(fd, st);
  if (r == 0 && plan.block_size) st->st_blksize = plan.block_size;
  return r;
}
int f_lockf(int fd, int cmd, off_t len) {
  if (strike(FaultyIo::LOCKF)) return -1;
  return real()->lockf(fd, cmd, len);
}
off_t f_lseek(int fd, off_t off, int whence) {
  if (strike(FaultyIo::LSEEK)) return -1;
  return real()->lseek(fd, off, whence);
}
int f_cloexec(int fd) {
  if (strike(FaultyIo::CLOEXEC)) return -1;
  return real()->set_cloexec(fd);
}
int f_unlink(const char *path) {
  if (strike(FaultyIo::UNLINK)) return -1;
  return real()->unlink(path);
}

int f_rename(const char *from, const char *to) {
  if (strike(FaultyIo::RENAME)) return -1;
  return real()->rename(from, to);
}
int f_access(const char *path, int mode) {
  if (strike(FaultyIo::ACCESS)) return -1;
  return real()->access(path, mode);
}

const kesto_io_methods faulty_methods = {f_open,   f_close,  f_pread,   f_pwrite,    f_fsync,
                                         f_fstat,  f_lockf,  f_lseek,   f_cloexec,   f_unlink,
                                         f_rename, f_access, f_pwritev, f_fdatasync, f_writeback};

}  // namespace

namespace {

std::vector<WriteLog::Write> recorded_writes;

void record_write(int fd, off_t offset, size_t bytes) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  std::string name = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  recorded_writes.push_back({name.substr(name.rfind('/') + 1), offset, bytes});
}

ssize_t r_pwrite(int fd, const void *buf, size_t len, off_t off) {
  record_write(fd, off, len);
  return kesto_io_default()->pwrite(fd, buf, len, off);
}

ssize_t r_pwritev(int fd, const struct iovec *iov, int count, off_t off) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  record_write(fd, off, total);
  return kesto_io_default()->pwritev(fd, iov, count, off);
}

kesto_io_methods recording_methods() {
  kesto_io_methods m = *kesto_io_default();
  m.pwrite = r_pwrite;
  m.pwritev = r_pwritev;
  return m;
}

const kesto_io_methods recording = recording_methods();

}  // namespace

WriteLog::WriteLog() {
  recorded_writes.clear();
  kesto_io_install(&recording);
}

WriteLog::~WriteLog() { kesto_io_install(nullptr); }

std::vector<WriteLog::Write> WriteLog::to(const std::string &name) const {
  std::vector<Write> found;
  for (const Write &w : recorded_writes)
    if (w.file == name) found.push_back(w);
  return found;
}

void WriteLog::clear() { recorded_writes.clear(); }

FaultyIo::FaultyIo() {
  std::memset(&plan, 0, sizeof plan);
  kesto_io_install(&faulty_methods);
}

FaultyIo::~FaultyIo() { kesto_io_install(nullptr); }

void FaultyIo::fail(Op op, int nth, int err) {
  plan.fail_at[op] = plan.calls[op] + nth;
  plan.fail_errno[op] = err;
}

void FaultyIo::shorten(Op op, int nth) { plan.short_at[op] = plan.calls[op] + nth; }

void FaultyIo::crash_after_writes(int nth) { plan.crash_at = plan.calls[PWRITE] + nth; }

void FaultyIo::set_block_size(long size) { plan.block_size = size; }

int FaultyIo::calls(Op op) const { return plan.calls[op]; }

void FaultyIo::only_files(const char *suffix) {
  std::snprintf(plan.only_suffix, sizeof plan.only_suffix, "%s", suffix);
}

int FaultyIo::inheritable_opens() const { return plan.inheritable_opens; }

void FaultyIo::reset_counts() { std::memset(plan.calls, 0, sizeof plan.calls); }

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kesto-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) std::abort();
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::vector<unsigned char> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

int open_fd_count() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory stream itself
}

const char *const kPeopleSchema = R"(
# people and their cars
database people page 512
file d0 people.d00 data
file k0 people.k00 key
record SYSREC in d0 system
end
record PERSON in d0 timestamped
  NAME char[20] unique key in k0
  AGE int
  CITY char[16]
  compound CITY_AGE duplicate key in k0 = CITY, AGE desc
end
record CAR in d0
  PLATE char[8] duplicate key in k0
  WEIGHT short unsigned
end
set OWNS order last owner PERSON
  member CAR
end
set PEOPLE order ascending owner SYSREC
  member PERSON sort NAME
end
)";

void reset_engine() {
  db_enter(-2, nullptr);
  for (int i = task_count - 1; i >= 0; --i) {
    DB_TASK t = {Db_task_table[i], nullptr};
    dt_close(&t);
    dt_renclean(&t);
    dt_closetask(&t);
  }
  DB_TASK def = Orgtask;
  dt_close(&def);
  dt_renclean(&def);
  ctbl_free();
  taskinit(&db_global);
  lm::reset_process();
  d_setpages(16, 4);
  d_cachecallback(nullptr, nullptr);
  d_zerocachestats();
  db_status = 0;
}

namespace {

struct Walker {
  int file;
  int slot_len;
  int max_slots;
  std::vector<KeyFileEntry> entries;
  std::set<uint32_t> pages;
  int leaf_depth = -1;
  std::string failure;

  // The field of an entry's key, from its prefix.
  const field_entry *field_of(int prefix) {
    db_task &t = kt();
    db_entry *db = curr_dbt();
    int k = prefix + db->first_key;
    if (k < 0 || k >= t.key_count) return nullptr;
    return &t.field_table[t.key_pos[k].field];
  }

  bool fail(const std::string &why) {
    if (failure.empty()) failure = why;
    return false;
  }

  bool walk(uint32_t page, int depth) {
    if (depth > 64) return fail("tree deeper than 64 levels");
    if (!pages.insert(page).second) return fail("page " + std::to_string(page) + " reached twice");
    dio_setdef(file);
    char *buf;
    if (dio_get(page, &buf, 0) != S_OKAY) return fail("cannot read page " + std::to_string(page));
    std::vector<char> node(buf, buf + keynode::HEADER + max_slots * slot_len + 4);
    int n = keynode::count(node.data());
    if (n < (page == 1 ? 0 : 1) || n >= max_slots)
      return fail("page " + std::to_string(page) + " holds " + std::to_string(n) + " keys");
    bool leaf = keynode::child(node.data(), 0, slot_len) == keynode::NO_CHILD;
    for (int i = 0; i <= n; ++i) {
      uint32_t child = keynode::child(node.data(), i, slot_len);
      if ((child == keynode::NO_CHILD) != leaf)
        return fail("page " + std::to_string(page) + " mixes leaf and inner children");
      if (!leaf && !walk(child, depth + 1)) return false;
      if (i == n) break;
      const char *entry = keynode::slot(node.data(), i, slot_len);
      const field_entry *fld = field_of(keynode::prefix(entry));
      if (!fld) return fail("page " + std::to_string(page) + ": unknown prefix");
      KeyFileEntry e{keynode::prefix(entry),
                     std::vector<char>(entry + 6, entry + 6 + fld->length),
                     keynode::address(entry, fld->length)};
      if (!entries.empty()) {
        const KeyFileEntry &before = entries.back();
        int order = before.prefix - e.prefix;
        if (order == 0) order = fldcmp(fld, before.value.data(), e.value.data());
        if (order == 0) order = ADDRcmp(&before.dba, &e.dba);
        if (order >= 0) return fail("entries out of order at page " + std::to_string(page));
      }
      entries.push_back(std::move(e));
    }
    if (leaf) {
      if (leaf_depth < 0) leaf_depth = depth;
      else if (leaf_depth != depth) return fail("leaves at depths " + std::to_string(leaf_depth) +
                                                " and " + std::to_string(depth));
    }
    return true;
  }
};

}  // namespace

::testing::AssertionResult check_key_file(int file, std::vector<KeyFileEntry> *entries, KeyFileShape *shape) {
  db_task &t = kt();
  const file_entry &fe = t.file_table[file];
  Walker w{file, fe.slot_size, fe.slots, {}, {}, -1, {}};
  int saved = dio_working_file();
  bool ok = w.walk(1, 0);
  uint32_t next = dio_pznext(file);
  std::set<uint32_t> free_pages;
  if (ok) {
    for (uint32_t page = t.pgzero[file].head; page != keynode::NO_CHILD;) {
      if (page < 2 || page >= next) {
        ok = w.fail("free chain holds page " + std::to_string(page));
        break;
      }
      if (w.pages.count(page) || !free_pages.insert(page).second) {
        ok = w.fail("free page " + std::to_string(page) + " is in use or chained twice");
        break;
      }
      char *buf;
      dio_setdef(file);
      if (dio_get(page, &buf, 0) != S_OKAY) {
        ok = w.fail("cannot read free page");
        break;
      }
      page = get_u32(buf + 6);
    }
  }
  if (ok && w.pages.size() + free_pages.size() != next - 1)
    ok = w.fail(std::to_string(w.pages.size()) + " tree pages and " + std::to_string(free_pages.size()) +
                " free pages, " + std::to_string(next - 1) + " allocated");
  dio_setdef(saved);
  if (!ok) return ::testing::AssertionFailure() << fe.name << ": " << w.failure;
  if (entries) *entries = std::move(w.entries);
  if (shape) *shape = {w.leaf_depth, static_cast<int>(w.pages.size()), static_cast<int>(free_pages.size())};
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult check_data_file(int file, DataFileShape *shape) {
  db_task &t = kt();
  const file_entry &fe = t.file_table[file];
  uint32_t next = dio_pznext(file);
  if (db_status != S_OKAY) return ::testing::AssertionFailure() << fe.name << ": cannot read page zero";
  db_address base = static_cast<db_address>(file - curr_dbt()->slice[TBL_FILE].first) << FILE_SHIFT;
  DataFileShape found;
  std::set<uint32_t> deleted;
  for (uint32_t slot = 1; slot < next; ++slot) {
    char *rec;
    if (dio_read_slot(file, slot, &rec, 0) != S_OKAY)
      return ::testing::AssertionFailure() << fe.name << ": cannot read slot " << slot;
    if (rec_id(rec) & 0x8000) {
      deleted.insert(slot);
    } else {
      ++found.live;
      if (rec_get_dba(rec, 2) != (base | slot))
        return ::testing::AssertionFailure() << fe.name << ": slot " << slot << " holds address "
                                             << rec_get_dba(rec, 2);
    }
  }
  std::set<uint32_t> chained;
  for (uint32_t slot = t.pgzero[file].head; slot != 0;) {
    if (!deleted.count(slot) || !chained.insert(slot).second)
      return ::testing::AssertionFailure() << fe.name << ": the deleted chain reaches slot " << slot;
    char *rec;
    if (dio_read_slot(file, slot, &rec, 0) != S_OKAY)
      return ::testing::AssertionFailure() << fe.name << ": cannot read slot " << slot;
    slot = get_u32(rec + 2);
  }
  if (chained.size() != deleted.size())
    return ::testing::AssertionFailure() << fe.name << ": " << deleted.size() << " deleted slots, "
                                         << chained.size() << " chained";
  found.deleted = static_cast<int>(deleted.size());
  if (shape) *shape = found;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult check_set(int set, db_address owner, std::vector<db_address> *members) {
  int si;
  if (nset_check(set, &si, nullptr) != S_OKAY) return ::testing::AssertionFailure() << "no set " << set;
  char *rec;
  if (dio_read(owner, &rec, 0) != S_OKAY) return ::testing::AssertionFailure() << "cannot read owner " << owner;
  set_pointer head;
  if (r_gset(si, rec, &head) != S_OKAY)
    return ::testing::AssertionFailure() << owner << " cannot own set " << set;
  auto link_of = [si](db_address dba, member_pointer *mp) {
    char *mrec;
    return dio_read(dba, &mrec, 0) == S_OKAY && r_gmem(si, mrec, mp) == S_OKAY;
  };
  std::vector<db_address> forwards;
  db_address prev = 0;
  for (db_address m = head.first; m;) {
    member_pointer mp;
    if (forwards.size() > head.total || !link_of(m, &mp))
      return ::testing::AssertionFailure() << "set " << set << ": bad member " << m << " after "
                                           << forwards.size() << " of " << head.total;
    if (mp.owner != owner || mp.prev != prev)
      return ::testing::AssertionFailure() << "set " << set << ": member " << m << " names owner " << mp.owner
                                           << " and previous " << mp.prev << ", not " << owner << " and " << prev;
    forwards.push_back(m);
    prev = m;
    m = mp.next;
  }
  if (prev != head.last)
    return ::testing::AssertionFailure() << "set " << set << ": chain ends at " << prev << ", last is " << head.last;
  std::vector<db_address> backwards;
  for (db_address m = head.last; m;) {
    member_pointer mp;
    if (backwards.size() >= forwards.size() || !link_of(m, &mp))
      return ::testing::AssertionFailure() << "set " << set << ": the backward walk outgrows the forward one";
    backwards.push_back(m);
    m = mp.prev;
  }
  if (std::vector<db_address>(backwards.rbegin(), backwards.rend()) != forwards)
    return ::testing::AssertionFailure() << "set " << set << ": backward and forward walks differ";
  if (forwards.size() != head.total)
    return ::testing::AssertionFailure() << "set " << set << ": " << forwards.size() << " members, count "
                                         << head.total;
  if (members) *members = std::move(forwards);
  return ::testing::AssertionSuccess();
}

db_address make_record(int rec_type, const void *data) {
  db_task &t = kt();
  int index;
  record_entry *re;
  if (nrec_check(rec_type, &index, &re) != S_OKAY) return 0;
  uint32_t slot;
  if (dio_pzalloc(re->file, &slot) != S_OKAY) return 0;
  db_address dba = static_cast<db_address>(re->file - curr_dbt()->slice[TBL_FILE].first) << FILE_SHIFT | slot;
  std::vector<char> image(static_cast<size_t>(t.file_table[re->file].slot_size), 0);
  put_u16(&image[0], static_cast<uint16_t>(rec_type - RECORD_BASE));
  put_u32(&image[2], dba);
  if (re->flags & REC_TIMESTAMPED) {
    uint32_t stamp = dio_pzgetts(re->file);
    put_u32(&image[6], stamp);
    put_u32(&image[10], stamp);
  }
  std::memcpy(&image[static_cast<size_t>(re->data)], data, static_cast<size_t>(re->length - re->data));
  if (dio_write_slot(re->file, slot, image.data(), 0) != S_OKAY) return 0;
  for (int f = re->first_field; f < t.size_fd && t.field_table[f].record == index; ++f) {
    const field_entry &fld = t.field_table[f];
    if (fld.key == 'n' || (fld.flags & FLD_OPTKEY_MASK)) continue;
    char key[KEYSLOT_LEN];
    key_stored_value(f, image.data(), key);
    if (key_insert(f, key, dba) != S_OKAY) return 0;
  }
  return dba;
}

void EngineTest::SetUp() {
  for (const char *v : {"DBUSERID", "DBDPATH", "DBFPATH", "DBWDIR", "DBTAF", "CTBPATH", "DBLOG", "LOCKMGR",
                        "SMLM_DEADUSER_FACTOR", "SMLM_ALMD_INIT_TIME", "NORVANE_BOOT_MARKER",
                        "KESTO_TEST_EMULATE_TIMEDLOCK"})
    unsetenv(v);
  reset_engine();
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
}

void EngineTest::TearDown() { reset_engine(); }

kesto_schema::Layout EngineTest::write_schema(const char *text, const std::string &dir) {
  kesto_schema::Schema schema;
  std::string error;
  kesto_schema::Layout layout;
  EXPECT_TRUE(kesto_schema::parse_schema(text, &schema, &error)) << error;
  std::string where = dir.empty() ? dir_.path() : dir;
  EXPECT_TRUE(kesto_schema::write_dictionary(schema, where + "/" + schema.name + ".dbd", &error, &layout))
      << error;
  return layout;
}

void EngineTest::open_people(const char *mode) {
  people_ = write_schema(kPeopleSchema);
  ASSERT_EQ(dt_open("people", mode, nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
}

}  // namespace kesto_test
