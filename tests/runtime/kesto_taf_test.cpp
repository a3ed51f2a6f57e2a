// The activity file and the country table.
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::read_file;

uint32_t u32(const std::vector<unsigned char> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t u16(const std::vector<unsigned char> &b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

class TafTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    write_schema(kesto_test::kPeopleSchema);
  }
  std::string taf() { return dir_.file("kesto.taf"); }
  // Closes the database and opens it again: what the open printed.
  std::string reopen() {
    EXPECT_EQ(dt_close(nullptr), S_OKAY);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_open("people", "c", nullptr), S_OKAY);
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(TafTest, NewActivityFileGoldenBytes) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  ASSERT_EQ(f.size(), 5146u);
  EXPECT_EQ(u16(f, 0), 0x3EAF);
  uint32_t created = u32(f, 2);
  EXPECT_LE(created, static_cast<uint32_t>(time(nullptr)));
  EXPECT_GE(created + 60, static_cast<uint32_t>(time(nullptr)));
  for (int e = 0; e < 5; ++e) {
    size_t at = 6 + static_cast<size_t>(e) * 1028;
    EXPECT_EQ(u16(f, at), 0xBEEF) << e;
    for (size_t i = at + 2; i < at + 1028; ++i) ASSERT_EQ(f[i], 0) << e;
  }
  EXPECT_EQ(taf_check_value("a"), 0xBEEF + 0x61);
}

TEST_F(TafTest, NoDescriptorIsLeftToProgramsTheProcessStarts) {
  // Making the activity file also synchronises its directory.
  kesto_test::FaultyIo io;
  ASSERT_EQ(dt_on_opt(OPT_SYNCFILES, nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(read_file(taf()).size(), 5146u);
  EXPECT_GT(io.calls(kesto_test::FaultyIo::OPEN), 1);
  EXPECT_EQ(io.inheritable_opens(), 0);
}

TEST_F(TafTest, AddDeleteAndAFullTable) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  std::vector<unsigned char> before = read_file(taf());
  ASSERT_EQ(taf_add("one.log"), S_OKAY);
  ASSERT_EQ(taf_add("two.log"), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[8])), "one.log");
  EXPECT_EQ(u16(f, 6), taf_check_value("one.log"));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[6 + 1028 + 2])), "two.log");
  ASSERT_EQ(taf_del("one.log"), S_OKAY);
  ASSERT_EQ(taf_add("three.log"), S_OKAY);
  f = read_file(taf());
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[8])), "three.log");
  // Deleting what is not listed rewrites the file unchanged.
  std::vector<unsigned char> same = read_file(taf());
  ASSERT_EQ(taf_del("nothing.log"), S_OKAY);
  EXPECT_EQ(read_file(taf()), same);
  for (const char *p : {"a", "b", "c"}) ASSERT_EQ(taf_add(p), S_OKAY);
  // A sixth commit would wait for a free entry; without a lock manager
  // nobody could free one, so it fails at once.
  time_t start = time(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(taf_add("six"), S_DBLERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0290E"), std::string::npos);
  EXPECT_LE(time(nullptr) - start, 1);
  for (const char *p : {"two.log", "three.log", "a", "b", "c"}) ASSERT_EQ(taf_del(p), S_OKAY);
  f = read_file(taf());
  EXPECT_EQ(std::vector<unsigned char>(f.begin() + 6, f.end()), std::vector<unsigned char>(before.begin() + 6, before.end()));
}

// A commit adds its entry and removes it again: each write carries the
// entry's check value and path, not the whole file, and the file ends as it
// began.
TEST_F(TafTest, ACommitWritesOnlyItsEntry) {
  open_people();
  const std::vector<unsigned char> before = read_file(taf());
  kesto_test::WriteLog log;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
    struct {
      char plate[8];
      uint16_t weight;
    } car = {"CAR-1", static_cast<uint16_t>(900 + round)};
    ASSERT_EQ(dt_fillnew(10002, &car, nullptr, 0), S_OKAY);  // a CAR
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  }
  const std::vector<kesto_test::WriteLog::Write> writes = log.to("kesto.taf");
  ASSERT_EQ(writes.size(), 4u);
  for (const kesto_test::WriteLog::Write &w : writes) {
    EXPECT_EQ(w.offset, 6);
    EXPECT_EQ(w.bytes, 2 + std::strlen("kesto.log"));
  }
  EXPECT_EQ(read_file(taf()), before);
}

// Another process may change the file between two of this one's writes
// (under the file's lock, in a shared open): a change is made to the file
// as it is now, never to what this process saw last.
TEST_F(TafTest, AnEntryWrittenByAnotherProcessMeanwhileStays) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  const std::string mine = "mine-with-a-longer-name.log";
  ASSERT_EQ(taf_add(mine.c_str()), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  const std::string theirs = "theirs.log";
  const size_t at = 6 + 3 * 1028;
  f[at] = static_cast<unsigned char>(taf_check_value(theirs.c_str()));
  f[at + 1] = static_cast<unsigned char>(taf_check_value(theirs.c_str()) >> 8);
  std::memcpy(&f[at + 2], theirs.c_str(), theirs.size());
  kesto_test::write_file(taf(), f);
  ASSERT_EQ(taf_del(mine.c_str()), S_OKAY);
  ASSERT_EQ(taf_add("again.log"), S_OKAY);
  EXPECT_EQ(reopen(), "");
  EXPECT_STREQ(taf_files[0], "again.log");
  EXPECT_STREQ(taf_files[3], "theirs.log");
  f = read_file(taf());
  ASSERT_EQ(f.size(), 5146u);
  // The longer name removed left no byte of itself behind the shorter one.
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[8]), mine.size() + 1),
            std::string("again.log") + std::string(mine.size() + 1 - 9, '\0'));
}

// A write that failed leaves the file's bytes unknown: the next one is
// made from the file as read again, and the table comes out whole.
TEST_F(TafTest, AfterAFailedWriteTheNextStillGivesTheWholeTable) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(taf_add("first.log"), S_OKAY);
  {
    kesto_test::FaultyIo io;
    io.only_files("kesto.taf");
    io.shorten(kesto_test::FaultyIo::PWRITE, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(taf_add("second-with-a-long-name.log"), S_DBLERR);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0281E"), std::string::npos);
  }
  ASSERT_EQ(taf_add("second-with-a-long-name.log"), S_OKAY);
  ASSERT_EQ(taf_del("first.log"), S_OKAY);
  EXPECT_EQ(reopen(), "");
  EXPECT_STREQ(taf_files[0], "");
  EXPECT_STREQ(taf_files[1], "second-with-a-long-name.log");
}

TEST_F(TafTest, OlderFormIsConvertedOnTheNextWrite) {
  std::vector<unsigned char> old(2 + 5 * 1028, 0);
  old[0] = 0xAF;
  old[1] = 0x1E;
  for (int e = 0; e < 5; ++e) {
    size_t at = 2 + static_cast<size_t>(e) * 1028;
    old[at] = 0xEF;
    old[at + 1] = 0xBE;
  }
  kesto_test::write_file(taf(), old);
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  EXPECT_EQ(kt().taf_time, 1u);
  ASSERT_EQ(dt_on_opt(OPT_JOURNAL, nullptr), S_OKAY);
  ASSERT_EQ(taf_add("x.log"), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  ASSERT_EQ(f.size(), 5146u);
  EXPECT_EQ(u16(f, 0), 0x2EAF);
  EXPECT_EQ(u32(f, 2), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[8])), "x.log");
}

TEST_F(TafTest, CorruptEntryIsDroppedWithANote) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  for (const char *p : {"first", "second", "third"}) ASSERT_EQ(taf_add(p), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  f[6 + 2 * 1028 + 2] = 'T';  // the third entry's path changed on disk
  kesto_test::write_file(taf(), f);
  testing::internal::CaptureStderr();
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "QVKDM0534W Note:  TAF entry #2 is corrupt, skipping\n");
  EXPECT_STREQ(taf_files[0], "first");
  EXPECT_STREQ(taf_files[1], "second");
  EXPECT_STREQ(taf_files[2], "");
}

TEST_F(TafTest, BadHeaderAndWriteFailures) {
  kesto_test::write_file(taf(), std::vector<unsigned char>(5146, 0x55));
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", nullptr), S_DBLERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0286E"), std::string::npos);
  EXPECT_EQ(kt().open_state, 0);
  ASSERT_EQ(std::remove(taf().c_str()), 0);
  kesto_test::FaultyIo io;
  io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", nullptr), S_DBLERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0278E"), std::string::npos);
  EXPECT_EQ(kt().taf_fd, -1);
}

// A creation that ended before the first write (a failed write, a crash)
// leaves an empty file; it records no commit and the next open makes it
// anew instead of failing for ever.
TEST_F(TafTest, EmptyFileLeftByAFailedCreationIsMadeAnew) {
  {
    kesto_test::FaultyIo io;
    io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_open("people", "o", nullptr), S_DBLERR);
    testing::internal::GetCapturedStderr();
  }
  ASSERT_TRUE(kesto_test::file_exists(taf()));
  EXPECT_EQ(read_file(taf()).size(), 0u);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  std::vector<unsigned char> f = read_file(taf());
  ASSERT_EQ(f.size(), 5146u);
  EXPECT_EQ(u16(f, 0), 0x3EAF);
  EXPECT_EQ(u16(f, 6), 0xBEEF);
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);

  // A file cut short elsewhere is still refused: it may have held entries.
  f.resize(100);
  kesto_test::write_file(taf(), f);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", nullptr), S_DBLERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0287E"), std::string::npos);
}

// ---- Country table ----

class CountryTableTest : public EngineTest {
 protected:
  void write_ctb(const std::string &text) {
    std::ofstream out(dir_.file("kesto.ctb"), std::ios::binary);
    out << text;
  }
  void open() {
    write_schema(kesto_test::kPeopleSchema);
    ASSERT_EQ(dt_ctbpath(dir_.path().c_str(), nullptr), S_OKAY);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  }
};

TEST_F(CountryTableTest, MappingLinesAndIgnoreCase) {
  write_ctb("\xe6,A,1,ae\r\nb,B,2,c\nignorecase\n");
  open();
  const ctb_entry *t = kt().ctbl;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t[0xe6].out, 'A');
  EXPECT_EQ(t[0xe6].primary, 'a');
  EXPECT_EQ(t[0xe6].second, 'e');
  EXPECT_EQ(t[0xe6].order, 1);
  EXPECT_EQ(t['b'].primary, 'A' + 1);  // ignorecase came after the mapping
  EXPECT_EQ(t['b'].order, 2);
  EXPECT_EQ(t['q'].primary, 'Q');
  EXPECT_TRUE(kt().options & OPT_IGNORECASE);
  ASSERT_EQ(dt_off_opt(OPT_IGNORECASE, nullptr), S_OKAY);
  EXPECT_EQ(kt().ctbl['q'].primary, 'q');
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(kt().ctbl, nullptr);
}

TEST_F(CountryTableTest, LongLinesSplitAndAnEmptyLineEndsTheLoad) {
  // 25 characters: a line of 19, then "x,Y,3,z" of 6 plus the newline.
  write_ctb("a,A,1,a" + std::string(12, ' ') + "x,Y,3,z\n\nc,C,1,c\n");
  open();
  const ctb_entry *t = kt().ctbl;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t['a'].out, 'A');
  EXPECT_EQ(t['x'].out, 'Y');
  EXPECT_EQ(t['c'].out, 0);
}

TEST_F(CountryTableTest, EmptyFirstLineOrNoFileLoadsNothing) {
  write_ctb("\na,A,1,a\n");
  open();
  EXPECT_EQ(kt().ctbl, nullptr);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(std::remove(dir_.file("kesto.ctb").c_str()), 0);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(kt().ctbl, nullptr);
}

TEST_F(EngineTest, MapcharRefusesLongSortStrings) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_mapchar('a', 'A', "abc", 0, nullptr), S_INVSORT);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0391E"), std::string::npos);
  EXPECT_EQ(dt_mapchar('a', 'A', "b", 300, nullptr), S_OKAY);
  EXPECT_EQ(kt().ctbl['a'].order, 300 & 0xFF);
}

}  // namespace
