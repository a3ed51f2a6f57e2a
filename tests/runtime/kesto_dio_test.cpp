// Page cache, file I/O and page-zero chains.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "kesto_crash_io.h"
#include "kesto_test_support.h"
#include "kesto_trans_fixture.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::FaultyIo;
using kesto_test::read_file;

uint32_t u32(const std::vector<unsigned char> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class CacheTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(d_setpages(8, 2), S_OKAY);
    open_people();
    spp_ = people_.files.at("d0").slots;
    slot_size_ = people_.files.at("d0").slot_size;
  }

  // Creates a CAR record with the given plate in a new slot.
  uint32_t new_car(const char *plate) {
    uint32_t slot = 0;
    EXPECT_EQ(dio_pzalloc(0, &slot), S_OKAY);
    std::vector<char> image(static_cast<size_t>(slot_size_), 0);
    put_u16(&image[0], 2);
    put_u32(&image[2], slot);
    std::strncpy(&image[static_cast<size_t>(people_.records.at("CAR").fields.at("PLATE").offset)], plate, 8);
    EXPECT_EQ(dio_write_slot(0, slot, image.data(), 0), S_OKAY);
    return slot;
  }

  std::string plate_on_disk(const std::vector<unsigned char> &file, uint32_t slot) {
    size_t at = static_cast<size_t>((slot - 1) / spp_ + 1) * 512 + 4 +
                static_cast<size_t>((slot - 1) % spp_) * slot_size_ +
                people_.records.at("CAR").fields.at("PLATE").offset;
    if (at + 8 > file.size()) return "<beyond end>";
    return std::string(reinterpret_cast<const char *>(&file[at]), strnlen(reinterpret_cast<const char *>(&file[at]), 8));
  }

  int spp_ = 0;
  int slot_size_ = 0;
};

TEST_F(CacheTest, EvictionWithAFullCacheWritesVictimsToTheirFiles) {
  ASSERT_GE(spp_, 2);
  std::vector<uint32_t> slots;
  for (int i = 0; i < 12 * spp_; ++i) slots.push_back(new_car(("c" + std::to_string(i)).c_str()));
  // Only 8 pages fit; the others went to the data file on eviction.
  EXPECT_LE(dio_modheld(), 8);
  std::vector<unsigned char> before = read_file(dir_.file("people.d00"));
  EXPECT_GE(before.size(), 6u * 512);
  EXPECT_EQ(plate_on_disk(before, slots[0]), "c0");
  // Everything is on disk after the flush; page zero records the next slot.
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(dio_modheld(), 0);
  std::vector<unsigned char> after = read_file(dir_.file("people.d00"));
  for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(plate_on_disk(after, slots[i]), "c" + std::to_string(i));
  EXPECT_EQ(u32(after, 4), slots.back() + 1);
  // Every page written carries the time of its write.
  uint32_t stamp = u32(after, 512);
  EXPECT_GE(stamp + 60, static_cast<uint32_t>(time(nullptr)));
  // Read back through the cache after a close and open.
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read_slot(0, slots[30], &rec, 0), S_OKAY);
  EXPECT_STREQ(rec + people_.records.at("CAR").fields.at("PLATE").offset, "c30");
}

TEST_F(CacheTest, HeldPagesAreNeverEvicted) {
  std::vector<uint32_t> slots;
  for (int i = 0; i < 9 * spp_; ++i) slots.push_back(new_car("x"));
  ASSERT_EQ(dio_flush(), S_OKAY);
  char *rec;
  for (int page = 0; page < 8; ++page) ASSERT_EQ(dio_read_slot(0, slots[page * spp_], &rec, 1), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_read_slot(0, slots[8 * spp_], &rec, 0), S_FAULT);
  EXPECT_EQ(rec, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0043E"), std::string::npos);
  for (int page = 0; page < 8; ++page) ASSERT_EQ(dio_write_slot(0, slots[page * spp_], nullptr, 1), S_OKAY);
  EXPECT_EQ(dio_read_slot(0, slots[8 * spp_], &rec, 0), S_OKAY);
}

TEST_F(CacheTest, HoldRulesOfPageAndSlotAccess) {
  uint32_t slot = new_car("a");
  ASSERT_EQ(dio_flush(), S_OKAY);
  dio_setdef(0);
  char *page;
  ASSERT_EQ(dio_get(1, &page, 1), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_get(1, &page, 1), S_SYSERR);
  EXPECT_EQ(dio_touch(1), S_OKAY);  // ends the hold
  EXPECT_EQ(dio_modheld(), 1);
  char *rec;
  EXPECT_EQ(dio_read_slot(0, slot, &rec, 1), S_OKAY);
  EXPECT_EQ(dio_read_slot(0, slot, &rec, 1), S_OKAY);  // slot reads count holds
  EXPECT_EQ(dio_write_slot(0, slot, nullptr, 1), S_OKAY);
  EXPECT_EQ(dio_write_slot(0, slot, nullptr, 1), S_OKAY);
  EXPECT_EQ(dio_write_slot(0, slot, nullptr, 1), S_SYSERR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0018E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0030E"), std::string::npos);
}

TEST_F(CacheTest, SlotAtOrBeyondNextIsRefused) {
  uint32_t slot = new_car("a");
  char *rec = reinterpret_cast<char *>(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_read_slot(0, slot + 1, &rec, 0), S_INVADDR);
  EXPECT_EQ(rec, nullptr);
  std::vector<char> image(static_cast<size_t>(slot_size_), 'z');
  EXPECT_EQ(dio_write_slot(0, slot + 5, image.data(), 0), S_INVADDR);
  EXPECT_EQ(dio_read(0x05000001, &rec, 0), S_SYSERR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0023E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0028E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0021E"), std::string::npos);
}

TEST_F(CacheTest, PageReadPastTheEndComesBackZeroAndExtendsTheFile) {
  FaultyIo io;
  io.set_block_size(4096);
  pgzero_entry &pz = kt().pgzero[0];
  pz.next = 10 * static_cast<uint32_t>(spp_) + 1;
  char *rec;
  ASSERT_EQ(dio_read_slot(0, pz.next - 1, &rec, 0), S_OKAY);
  for (int i = 0; i < slot_size_; ++i) ASSERT_EQ(rec[i], 0);
  struct stat st;
  ASSERT_EQ(stat(dir_.file("people.d00").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8192);  // page 10 ends at 5632; the block is filled out
  io.set_block_size(0);
  ASSERT_EQ(dt_on_opt(OPT_READONLY, nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_read_slot(0, 20 * static_cast<uint32_t>(spp_), &rec, 0), S_INVADDR);
  pz.next = 30 * static_cast<uint32_t>(spp_);
  EXPECT_EQ(dio_read_slot(0, pz.next - 1, &rec, 0), S_READONLY);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0054E"), std::string::npos);
  dt_off_opt(OPT_READONLY, nullptr);
  pz.next = 2;
}

TEST_F(CacheTest, ReadFailuresAreRetriedOnlyForEinval) {
  FaultyIo io;
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dio_pzread(0), S_OKAY);
  io.fail(FaultyIo::PREAD, 1, EINVAL);
  char *rec;
  EXPECT_EQ(dio_read_slot(0, 1, &rec, 0), S_OKAY);
  ASSERT_EQ(dio_clear(), S_OKAY);
  ASSERT_EQ(dio_pzread(0), S_OKAY);
  io.fail(FaultyIo::PREAD, 1, EIO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_read_slot(0, 1, &rec, 0), S_SYSERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0061E"), std::string::npos);
  // The failed load left nothing behind: the next read succeeds.
  EXPECT_EQ(dio_read_slot(0, 1, &rec, 0), S_OKAY);
}

TEST_F(CacheTest, FailedWriteOutKeepsThePageModified) {
  uint32_t slot = new_car("keep");
  FaultyIo io;
  io.fail(FaultyIo::PWRITE, 1, ENOSPC);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_flush(), S_BADWRITE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0051E"), std::string::npos);
  EXPECT_EQ(dio_modheld(), 1);
  // Close refuses while the page cannot be written, and succeeds after.
  io.fail(FaultyIo::PWRITE, 1, ENOSPC);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_close(nullptr), S_BADWRITE);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(kt().open_state, 2);
  EXPECT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(plate_on_disk(read_file(dir_.file("people.d00")), slot), "keep");
}

TEST_F(CacheTest, FlushSynchronisesChangedFilesWithOption0x10) {
  FaultyIo io;
  new_car("s");
  io.reset_counts();
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(io.calls(FaultyIo::FSYNC), 0);
  new_car("t");
  ASSERT_EQ(dt_on_opt(OPT_SYNCFILES, nullptr), S_OKAY);
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(io.calls(FaultyIo::FSYNC), 1);
  new_car("u");
  io.fail(FaultyIo::FSYNC, 1, EIO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_flush(), S_BADWRITE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0383E"), std::string::npos);
}

TEST_F(CacheTest, OpenFileLimitRecyclesDescriptors) {
  FaultyIo io;
  ASSERT_EQ(dt_setfiles(1, nullptr), S_OKAY);
  EXPECT_EQ(kt().max_open_files, 1);
  EXPECT_EQ(kt().open_files, 0);  // a running database's files were closed
  int base = kesto_test::open_fd_count();
  io.reset_counts();
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(dio_open(0), S_OKAY);
    EXPECT_EQ(kt().open_files, 1);
    ASSERT_EQ(dio_open(1), S_OKAY);
    EXPECT_EQ(kt().open_files, 1);
    EXPECT_EQ(kt().file_table[0].status, 'c');
    EXPECT_LE(kesto_test::open_fd_count(), base + 1);
  }
  EXPECT_EQ(io.calls(FaultyIo::OPEN), 6);
  EXPECT_EQ(dt_setfiles(0, nullptr), S_OKAY);
  EXPECT_EQ(dt_setfiles(256, nullptr), S_OKAY);
  EXPECT_EQ(kt().max_open_files, 1);
  ASSERT_EQ(dt_setfiles(2, nullptr), S_OKAY);
  ASSERT_EQ(dio_open(0), S_OKAY);
  ASSERT_EQ(dio_open(1), S_OKAY);
  EXPECT_EQ(kt().open_files, 2);
}

// A file closed to make room for another is synchronised on the way out;
// when that fails, the call that needed the room fails, instead of the
// later synchronisation of a fresh descriptor reporting success.
TEST_F(CacheTest, FailedSyncOfAFileClosedForRoomIsReported) {
  ASSERT_EQ(dt_setfiles(1, nullptr), S_OKAY);
  ASSERT_EQ(dt_on_opt(OPT_SYNCFILES, nullptr), S_OKAY);
  new_car("room");
  dio_pzsetts(1);  // the key file's header changes too
  ASSERT_TRUE(kt().pgzero[1].modified);
  FaultyIo io;
  io.fail(FaultyIo::FSYNC, 1, EIO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_flush(), S_BADWRITE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0383E"), std::string::npos);
  EXPECT_EQ(io.calls(FaultyIo::FSYNC), 1);
}

// The files of a commit step are forced to disk together; with room for
// one open file, opening each closes (and so synchronises) the one before.
// Either way every written file is synchronised once before the step ends.
TEST_F(CacheTest, CommitStepsForceEveryWrittenFileWhateverTheRoomForDescriptors) {
  ASSERT_EQ(dt_on_opt(OPT_SYNCFILES, nullptr), S_OKAY);
  for (int room : {8, 1}) {
    SCOPED_TRACE("room for " + std::to_string(room) + " open files");
    ASSERT_EQ(dt_setfiles(room, nullptr), S_OKAY);
    FaultyIo io;
    ASSERT_EQ(dt_trbegin("many", nullptr), S_OKAY);
    ASSERT_EQ(kesto_test::change_many(room), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    for (int f = 0; f <= kt().size_ft; ++f) EXPECT_FALSE(kt().file_table[f].flags & FILE_WRITTEN) << f;
    // Both phases force the data file, the key file and the overflow file.
    EXPECT_GE(io.calls(FaultyIo::FSYNC), 5);
    EXPECT_LE(kt().open_files, room);
    const std::string before = kesto_test::snapshot();
    ASSERT_FALSE(kesto_test::has_fault(before)) << before;
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
    EXPECT_EQ(kesto_test::snapshot(), before);
  }
}

TEST_F(CacheTest, OpenFailureThatClosingCannotRelieve) {
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(std::remove(dir_.file("people.k00").c_str()), 0);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dio_open(1), S_NOFILE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0008E"), std::string::npos);
  EXPECT_EQ(dio_pzread(1), S_NOFILE);
  EXPECT_EQ(kt().pgzero[1].next, 0u);
}

TEST_F(CacheTest, StatisticsAndCallback) {
  struct Seen {
    int reads = 0, writes = 0;
  } seen;
  d_cachecallback(
      [](void *h, int kind, int, uint32_t) {
        Seen *s = static_cast<Seen *>(h);
        (kind ? s->writes : s->reads)++;
      },
      &seen);
  d_zerocachestats();
  uint32_t slot = new_car("a");
  char *rec;
  ASSERT_EQ(dio_read_slot(0, slot, &rec, 0), S_OKAY);
  ASSERT_EQ(dio_read_slot(0, slot, &rec, 0), S_OKAY);
  uint32_t accesses, redundant, misses;
  d_getcachestats(&accesses, &redundant, &misses);
  EXPECT_EQ(accesses, 3u);
  EXPECT_EQ(misses, 1u);
  EXPECT_EQ(redundant, 2u);
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(seen.reads, 1);
  EXPECT_EQ(seen.writes, 1);
  d_cachecallback(nullptr, nullptr);
}

TEST_F(EngineTest, SetPagesBeforeAndAfterTheCacheExists) {
  ASSERT_EQ(d_setpages(3, 0), S_OKAY);
  EXPECT_EQ(dio_data_pages(), 8);
  EXPECT_EQ(dio_index_pages(), 2);
  ASSERT_EQ(d_setpages(40, 6), S_OKAY);
  EXPECT_EQ(dio_data_pages(), 40);
  open_people();
  testing::internal::CaptureStderr();
  EXPECT_EQ(d_setpages(20, 4), S_SETPAGES);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0006E"), std::string::npos);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(d_setpages(20, 4), S_OKAY);
}

// ---- Page-zero chains ----

class ChainTest : public CacheTest {};

TEST_F(ChainTest, DeletedSlotsOfOnePageStayTogetherInTheChain) {
  std::vector<uint32_t> s;
  for (int i = 0; i < 3 * spp_; ++i) s.push_back(new_car("x"));
  uint32_t other = s[2 * spp_];   // a slot on the third page
  uint32_t a = s[spp_], b = s[spp_ + 1];
  ASSERT_EQ(dio_pzdel(0, other), S_OKAY);
  ASSERT_EQ(dio_pzdel(0, a), S_OKAY);
  ASSERT_EQ(dio_pzdel(0, b), S_OKAY);
  EXPECT_EQ(kt().pgzero[0].head, a);
  char *rec;
  ASSERT_EQ(dio_read_slot(0, a, &rec, 0), S_OKAY);
  EXPECT_EQ(rec_id(rec), static_cast<uint16_t>(~2u & 0xFFFF));
  EXPECT_EQ(get_u32(rec + 2), b);
  uint32_t got[4];
  for (uint32_t &g : got) ASSERT_EQ(dio_pzalloc(0, &g), S_OKAY);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
  EXPECT_EQ(got[2], other);
  EXPECT_EQ(got[3], s.back() + 1);
  // The header reaches the file at the flush.
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(u32(read_file(dir_.file("people.d00")), 4), s.back() + 2);
}

TEST_F(ChainTest, ReuseSwitchedOffAlwaysTakesNext) {
  uint32_t a = new_car("x");
  new_car("y");
  ASSERT_EQ(dio_pzdel(0, a), S_OKAY);
  ASSERT_EQ(dt_off_opt(OPT_REUSE, nullptr), S_OKAY);
  uint32_t n;
  ASSERT_EQ(dio_pzalloc(0, &n), S_OKAY);
  EXPECT_EQ(n, a + 2);
  EXPECT_EQ(kt().pgzero[0].head, a);
}

TEST_F(ChainTest, InconsistentChainsAreRefused) {
  uint32_t a = new_car("x");
  uint32_t b = new_car("y");
  testing::internal::CaptureStderr();
  // Head names a live slot.
  kt().pgzero[0].head = b;
  uint32_t n = 0;
  EXPECT_EQ(dio_pzalloc(0, &n), S_SYSERR);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(kt().pgzero[0].head, b);
  // Head beyond next.
  kt().pgzero[0].head = 999;
  EXPECT_EQ(dio_pzalloc(0, &n), S_SYSERR);
  kt().pgzero[0].head = 0;
  // A slot deleted twice, and one never handed out.
  ASSERT_EQ(dio_pzdel(0, a), S_OKAY);
  EXPECT_EQ(dio_pzdel(0, a), S_SYSERR);
  EXPECT_EQ(dio_pzdel(0, b + 1), S_SYSERR);
  // A chain that loops on itself.
  char *rec;
  ASSERT_EQ(dio_read_slot(0, a, &rec, 0), S_OKAY);
  put_u32(rec + 2, a);
  EXPECT_EQ(dio_pzalloc(0, &n), S_SYSERR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0072E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0076E"), std::string::npos);
}

TEST_F(ChainTest, KeyNodesAndTheirLimits) {
  uint32_t n;
  testing::internal::CaptureStderr();
  dio_setdef(0);
  EXPECT_EQ(dio_pzalloc(1, &n), S_NOWORK);
  dio_setdef(1);
  ASSERT_EQ(dio_pzalloc(1, &n), S_OKAY);
  EXPECT_EQ(n, 2u);
  ASSERT_EQ(dio_pzalloc(1, &n), S_OKAY);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(dio_pzdel(1, 2), S_OKAY);
  ASSERT_EQ(dio_pzdel(1, 3), S_OKAY);
  EXPECT_EQ(kt().pgzero[1].head, 3u);
  ASSERT_EQ(dio_pzalloc(1, &n), S_OKAY);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(dio_pzalloc(1, &n), S_OKAY);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(kt().pgzero[1].head, 0xFFFFFFFFu);
  kt().pgzero[1].next = 2147483647u / 512;
  EXPECT_EQ(dio_pzalloc(1, &n), S_RECLIMIT);
  kt().pgzero[0].next = (2147483647u / 512 - 1) * static_cast<uint32_t>(spp_) + 1;
  EXPECT_EQ(dio_pzalloc(0, &n), S_RECLIMIT);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0070E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0071E"), std::string::npos);
  dio_pzclr();
}

TEST_F(EngineTest, TimestampCounterOnlyWithTimestampedTypes) {
  write_schema(R"(
database plain page 256
file d plain.d data
record R in d
  X int
end
)");
  ASSERT_EQ(dt_open("plain", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  EXPECT_EQ(dio_pzsetts(0), 0u);
  EXPECT_EQ(kt().pgzero[0].modified, 0);
  EXPECT_EQ(dio_pzgetts(0), 1u);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  open_people();
  EXPECT_EQ(dio_pzsetts(0), 2u);
  EXPECT_EQ(kt().pgzero[0].modified, 1);
  EXPECT_EQ(dio_pzgetts(0), 2u);
}

// ---- Damaged page-zero headers ----

class DamagedHeaderTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    open_people();
    ASSERT_EQ(dt_trbegin("fill", nullptr), S_OKAY);
    ASSERT_EQ(kesto_test::populate(40), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    good_ = kesto_test::snapshot();
    ASSERT_FALSE(kesto_test::has_fault(good_)) << good_;
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    files_ = kesto_test::save_files(dir_.path());
  }

  static off_t size_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }

  void patch(const char *name, size_t at, uint32_t value) {
    std::vector<unsigned char> bytes = files_.at(name);
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
    kesto_test::write_file(dir_.file(name), bytes);
  }

  std::string good_;
  kesto_test::FileSet files_;
};

// A header whose next lies beyond the file's pages, whose next is below
// that of an empty file, or whose deleted chain starts at or beyond next,
// is a damaged file: every use of the file says so, nothing walks or
// extends the file, and the other file of the database stays usable.
TEST_F(DamagedHeaderTest, AHeaderThatDoesNotFitItsFileIsReported) {
  const off_t data_size = size_of(dir_.file("people.d00"));
  const off_t key_size = size_of(dir_.file("people.k00"));
  const uint32_t data_next = get_u32(reinterpret_cast<const char *>(files_.at("people.d00").data()) + 4);
  const uint32_t key_next = get_u32(reinterpret_cast<const char *>(files_.at("people.k00").data()) + 4);
  const uint32_t data_slots = static_cast<uint32_t>(data_size / 512 - 1) * static_cast<uint32_t>(people_.files.at("d0").slots);
  struct Case {
    const char *what;
    const char *file;
    size_t at;
    uint32_t value;
    bool damaged;
  } cases[] = {
      {"a data file's next far beyond its end", "people.d00", 4, 50000000, true},
      {"a data file's next one slot beyond its last page", "people.d00", 4, data_slots + 2, true},
      {"a data file's next filling its last page", "people.d00", 4, data_slots + 1, false},
      {"a data file's next of 0", "people.d00", 4, 0, true},
      {"a data file's deleted chain at next", "people.d00", 0, data_next, true},
      {"a key file's next beyond its end", "people.k00", 4, static_cast<uint32_t>(key_size / 512) + 1, true},
      {"a key file's next at its end", "people.k00", 4, static_cast<uint32_t>(key_size / 512), false},
      {"a key file's next below the root", "people.k00", 4, 1, true},
      {"a key file's free chain beyond next", "people.k00", 0, key_next + 7, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    kesto_test::restore_files(dir_.path(), files_);
    patch(c.file, c.at, c.value);
    for (bool read_only : {false, true}) {
      if (read_only) {
        ASSERT_EQ(dt_on_opt(OPT_READONLY, nullptr), S_OKAY);
      }
      ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
      testing::internal::CaptureStderr();
      int scan = S_OKAY;
      int records = 0;
      for (scan = dt_recfrst(kesto_test::PERSON, nullptr, 0); scan == S_OKAY; scan = dt_recnext(nullptr, 0)) ++records;
      int key = dt_keyfind(kesto_test::NAME, kesto_test::person_name(0).c_str(), nullptr, 0);
      const std::string err = testing::internal::GetCapturedStderr();
      const bool data_file = std::string(c.file) == "people.d00";
      if (c.damaged) {
        EXPECT_EQ(data_file ? scan : key, S_BADREAD) << err;
        EXPECT_NE(err.find("QVKDM0961E"), std::string::npos) << err;
        EXPECT_NE(err.find(std::string(c.file) + ": damaged page-zero header"), std::string::npos) << err;
        // The records are still read (a key find lands on a record, so it
        // reads the data file too).
        if (!data_file) {
          EXPECT_EQ(scan, S_NOTFOUND) << err;
        }
        // Asked again, the file is refused again.
        testing::internal::CaptureStderr();
        EXPECT_EQ(data_file ? dt_recfrst(kesto_test::PERSON, nullptr, 0)
                            : dt_keyfind(kesto_test::NAME, kesto_test::person_name(0).c_str(), nullptr, 0),
                  S_BADREAD);
        testing::internal::GetCapturedStderr();
      } else {
        EXPECT_EQ(scan, S_NOTFOUND) << err;
        EXPECT_GT(records, 0);
        EXPECT_EQ(key, S_OKAY) << err;
      }
      EXPECT_EQ(dt_close(nullptr), S_OKAY);
      if (read_only) {
        ASSERT_EQ(dt_off_opt(OPT_READONLY, nullptr), S_OKAY);
      }
      EXPECT_EQ(size_of(dir_.file("people.d00")), data_size);
      EXPECT_EQ(size_of(dir_.file("people.k00")), key_size);
    }
  }
  // A transaction meeting a damaged file fails, and aborted leaves the files
  // as they were.
  kesto_test::restore_files(dir_.path(), files_);
  patch("people.d00", 0, data_next + 3);
  const kesto_test::FileSet damaged = kesto_test::save_files(dir_.path());
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_trbegin("damaged", nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(kesto_test::add_person("another", 30, "Oulu"), S_BADREAD);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(dt_trabort(nullptr), S_OKAY);
  EXPECT_EQ(dt_close(nullptr), S_OKAY);
  for (const char *name : {"people.d00", "people.k00"}) EXPECT_TRUE(read_file(dir_.file(name)) == damaged.at(name)) << name;
}

// Random bytes of page zero of either file changed: whatever the engine
// meets reading, scanning, changing and committing ends with a status (a
// normal result or an error), in time, with the files not grown beyond what
// the work itself adds.
TEST_F(DamagedHeaderTest, RandomFlipsInPageZeroNeverHangCrashOrGrowTheFiles) {
  std::mt19937 rng(20250611u);
  const std::string err_path = dir_.file("stderr.txt");
  int refused = 0, worked = 0;
  for (const char *name : {"people.d00", "people.k00"}) {
    for (int round = 0; round < 40; ++round) {
      const std::string where = std::string(name) + " round " + std::to_string(round);
      kesto_test::restore_files(dir_.path(), files_);
      std::vector<unsigned char> bytes = files_.at(name);
      // Mostly the header's twelve bytes, now and then the rest of page zero.
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) {
        size_t at = rng() % 4 ? rng() % 12 : rng() % 512;
        bytes[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
        if (rng() % 4 == 0) bytes[at] = static_cast<unsigned char>(rng());
      }
      kesto_test::write_file(dir_.file(name), bytes);
      const off_t before = size_of(dir_.file("people.d00")) + size_of(dir_.file("people.k00"));
      int status = kesto_test::run_in_child(
          [] {
            if (dt_open("people", "o", nullptr) != S_OKAY) return 2;
            kesto_test::snapshot();
            int s = dt_trbegin("work", nullptr);
            if (s == S_OKAY) s = kesto_test::change_many(1);
            if (s == S_OKAY) s = dt_trend(nullptr);
            else if (trans_active()) dt_trabort(nullptr);
            kesto_test::snapshot();
            dt_close(nullptr);
            return s == S_OKAY ? 0 : 1;
          },
          30, err_path);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << where << ": " << kesto_test::describe_status(status);
      (WEXITSTATUS(status) == 0 ? worked : refused) += 1;
      // The transaction adds a few pages at most.
      const off_t after = size_of(dir_.file("people.d00")) + size_of(dir_.file("people.k00"));
      EXPECT_LE(after, before + 16 * 512) << where;
    }
  }
  // Both outcomes occur: the flips are neither all harmless nor all fatal.
  EXPECT_GT(refused, 0);
  EXPECT_GT(worked, 0);
}

}  // namespace
