// The overflow file as a transaction leaves it: its header and names, the
// place of each file's index area, which pages get a copy (pages of the old
// extent only, each once), and where their positions are recorded.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::read_file;

// One record per page: slot s lies on page s.
const char *const kRowsSchema = R"(
database rows page 512
file d0 rows.d00 data slots 1
file k0 rows.k00 key
record SYS in d0 system
end
record ROW in d0
  N int unique key in k0
  V char[400]
end
)";

constexpr int ROW = 10001;
constexpr long V = 1001;
constexpr int D0 = 0, K0 = 1;

uint16_t u16(const std::vector<unsigned char> &b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t u32(const std::vector<unsigned char> &b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<uint32_t>(b[at + 3]) << 24;
}

class OverflowTest : public EngineTest {
 protected:
  // `rows` rows in slots 2 .. rows + 1, made outside a transaction.
  void open_rows(int rows, int cache_pages = 8) {
    write_schema(kRowsSchema);
    d_setpages(cache_pages, 2);
    ASSERT_EQ(dt_open("rows", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    for (int32_t n = 0; n < rows; ++n) ASSERT_EQ(add_row(n), S_OKAY) << n;
  }

  int add_row(int32_t n) {
    char data[404] = {};
    std::memcpy(data, &n, 4);
    std::snprintf(data + 4, 400, "row %d", n);
    return dt_fillnew(ROW, data, nullptr, 0);
  }

  // Rewrites the text of the row in `slot`.
  void touch_row(uint32_t slot, const char *text) {
    db_address dba = slot;
    char value[400] = {};
    std::snprintf(value, sizeof value, "%s", text);
    ASSERT_EQ(dt_crset(&dba, nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_crwrite(V, value, nullptr, 0), S_OKAY);
  }

  std::string text_of(uint32_t slot) {
    db_address dba = slot;
    char value[400];
    EXPECT_EQ(dt_crset(&dba, nullptr, 0), S_OKAY);
    EXPECT_EQ(dt_crread(V, value, nullptr, 0), S_OKAY);
    return value;
  }

  uint32_t copy_of(int file, uint32_t page) {
    uint32_t position = 0;
    EXPECT_EQ(o_search(file, page, &position), S_OKAY);
    return position;
  }
};

TEST_F(OverflowTest, HeaderNamesEveryFileAndAnEmptyTransactionAddsOnlyTheTable) {
  open_people();
  const std::string log = dir_.file("kesto.log");
  EXPECT_STREQ(kt().log_name, "kesto.log");
  EXPECT_FALSE(kesto_test::file_exists(log));
  ASSERT_EQ(dt_trbegin("empty", nullptr), S_OKAY);
  std::vector<unsigned char> head = read_file(log);
  ASSERT_EQ(head.size(), 6u + 2 * 1027);
  EXPECT_EQ(u16(head, 0), 2);
  EXPECT_EQ(u32(head, 2), 0u);  // no journal
  EXPECT_EQ(u16(head, 6), 512);
  EXPECT_STREQ(reinterpret_cast<const char *>(&head[8]), "people.d00");
  EXPECT_EQ(u16(head, 6 + 1027), 512);
  EXPECT_STREQ(reinterpret_cast<const char *>(&head[8 + 1027]), "people.k00");
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  // The commit wrote the table of the two files: nothing changed, nothing
  // copied back.
  std::vector<unsigned char> after = read_file(log);
  ASSERT_EQ(after.size(), 6u + 2 * 1027 + 2 * 16);
  for (size_t at = 6 + 2 * 1027; at < after.size(); ++at) EXPECT_EQ(after[at], 0) << at;
  EXPECT_EQ(kt().ov_evicted, 0);
}

TEST_F(OverflowTest, NameFromTheLogNameAndTheUserId) {
  struct Case {
    const char *dblog;
    const char *userid;
    const char *file;
  } cases[] = {
      {nullptr, nullptr, "kesto.log"},
      {nullptr, "alice", "alice.log"},
      {"logs/", nullptr, "logs/kesto.log"},
      {"logs/", "bob", "logs/bob.log"},
      {"mine.ovf", "bob", "mine.ovf"},
  };
  mkdir(dir_.file("logs").c_str(), 0755);
  write_schema(kesto_test::kPeopleSchema);
  for (const Case &c : cases) {
    kesto_test::reset_engine();
    ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
    if (c.dblog) {
      setenv("DBLOG", c.dblog, 1);
    } else {
      unsetenv("DBLOG");
    }
    if (c.userid) {
      setenv("DBUSERID", c.userid, 1);
    } else {
      unsetenv("DBUSERID");
    }
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    EXPECT_STREQ(kt().file_table[kt().ov_file].name, dir_.file(c.file).c_str());
    EXPECT_STREQ(kt().log_name, c.file);
    ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
    EXPECT_TRUE(kesto_test::file_exists(dir_.file(c.file))) << c.file;
    ASSERT_EQ(dt_trabort(nullptr), S_OKAY);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
  }
  unsetenv("DBLOG");
  unsetenv("DBUSERID");
}

TEST_F(OverflowTest, IndexAreaSizeAndPositionsOfPagesAcrossAnIndexPageBoundary) {
  // 299 rows after the system record: the data file has 300 pages, which
  // take 2 index pages and 1 bitmap word: 4 * (512 + 1) + 12 bytes.
  open_rows(299);
  ASSERT_EQ(dt_trbegin("boundary", nullptr), S_OKAY);
  const uint32_t initial = kt().ov_initial;
  touch_row(256, "first change");
  const ov_entry &e = kt().ov_table[D0];
  EXPECT_EQ(e.pages, 300u);
  EXPECT_EQ(e.index_pos, initial);
  EXPECT_EQ(kt().ov_next, initial + 2064);
  // More changed pages than the cache holds: the overflow comes on and
  // changed pages are evicted to it.
  for (uint32_t slot = 250; slot <= 262; ++slot) touch_row(slot, ("changed " + std::to_string(slot)).c_str());
  EXPECT_EQ(kt().ov_active, 1);
  EXPECT_EQ(kt().ov_evicted, 1);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);

  std::vector<unsigned char> ov = read_file(dir_.file("kesto.log"));
  const size_t root = 6 + 2 * 1027;
  EXPECT_EQ(u32(ov, root), 300u);
  EXPECT_EQ(u32(ov, root + 4), initial);
  EXPECT_EQ(u32(ov, root + 8), 0u);  // no slot was allocated
  EXPECT_EQ(u32(ov, root + 12), 0u);
  // Page 256 lies in entry 255 of index page 0, page 257 in entry 0 of
  // index page 1: both pages of the index are in use.
  EXPECT_EQ(u32(ov, initial), 0xC0000000u);
  uint32_t copy256 = u32(ov, initial + 4 + 255 * 4);
  uint32_t copy257 = u32(ov, initial + 4 + 1024);
  ASSERT_NE(copy256, 0u);
  ASSERT_NE(copy257, 0u);
  // The copies hold the committed pages (their files stamp the time of the
  // write into the first four bytes).
  std::vector<unsigned char> data = read_file(dir_.file("rows.d00"));
  for (uint32_t page : {256u, 257u}) {
    uint32_t copy = page == 256 ? copy256 : copy257;
    ASSERT_LE(copy + 512, ov.size());
    EXPECT_EQ(0, std::memcmp(&ov[copy + 4], &data[page * 512 + 4], 508)) << page;
  }
  EXPECT_EQ(text_of(257), "changed 257");
}

// The table, the index area and the page copies of a commit lie one after
// the other in the overflow file: one call writes them all. The header word
// (no journal: 0) is written when the file is set up, not again by each
// commit.
TEST_F(OverflowTest, ACommitWritesItsCopiesWithTheIndexInOneCall) {
  open_rows(60);
  const uint32_t root = 6 + 2 * 1027;
  const size_t area = 4 + 1024 + 12;  // 61 pages: one bitmap word, one index page
  kesto_test::WriteLog log;
  for (int round = 0; round < 3; ++round) {
    // The first begin sets the file up: its header is written then.
    ASSERT_EQ(dt_trbegin("one call", nullptr), S_OKAY);
    log.clear();
    touch_row(10, ("round " + std::to_string(round)).c_str());
    touch_row(11, ("round " + std::to_string(round)).c_str());
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    const std::vector<kesto_test::WriteLog::Write> writes = log.to("kesto.log");
    ASSERT_EQ(writes.size(), 1u) << round;
    EXPECT_EQ(writes[0].offset, root);
    EXPECT_EQ(writes[0].bytes, 2 * 16 + area + 2 * 512);
    // In place: the two pages, in one call.
    const std::vector<kesto_test::WriteLog::Write> data = log.to("rows.d00");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].offset, 10 * 512);
    EXPECT_EQ(data[0].bytes, 2u * 512);
  }
  // The copies the file holds are the pages of the last commit, as a
  // recovery would apply them (the files stamp the time of the write into
  // the first four bytes).
  std::vector<unsigned char> ov = read_file(dir_.file("kesto.log"));
  std::vector<unsigned char> rows = read_file(dir_.file("rows.d00"));
  EXPECT_EQ(u32(ov, 2), 0u);
  const uint32_t index = kt().ov_initial;
  ASSERT_EQ(u32(ov, root + 4), index);
  for (uint32_t page : {10u, 11u}) {
    const uint32_t copy = u32(ov, index + 4 + (page - 1) * 4);
    ASSERT_NE(copy, 0u) << page;
    ASSERT_LE(copy + 512, ov.size());
    EXPECT_EQ(0, std::memcmp(&ov[copy + 4], &rows[page * 512 + 4], 508)) << page;
  }
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("rows", "o", nullptr), S_OKAY);
  EXPECT_EQ(text_of(10), "round 2");
  EXPECT_EQ(text_of(11), "round 2");
}

TEST_F(OverflowTest, EachPageGetsOneCopyAndNewPagesGoInPlace) {
  open_rows(60);
  const size_t old_size = read_file(dir_.file("rows.d00")).size();
  ASSERT_EQ(dt_trbegin("copies", nullptr), S_OKAY);
  const std::vector<unsigned char> data_before = read_file(dir_.file("rows.d00"));
  const std::vector<unsigned char> keys_before = read_file(dir_.file("rows.k00"));
  // Change pages of the old extent again and again while the cache
  // evicts them.
  for (int round = 0; round < 3; ++round)
    for (uint32_t slot = 10; slot <= 30; ++slot)
      touch_row(slot, ("round " + std::to_string(round)).c_str());
  // New rows go to pages beyond the old extent.
  for (int32_t n = 1000; n < 1020; ++n) ASSERT_EQ(add_row(n), S_OKAY);
  const ov_entry &d0 = kt().ov_table[D0];
  const ov_entry &k0 = kt().ov_table[K0];
  EXPECT_EQ(d0.pages, 61u);
  std::set<uint32_t> positions;
  int copies = 0;
  for (uint32_t page = 1; page <= d0.pages; ++page) {
    if (uint32_t at = copy_of(D0, page)) {
      ++copies;
      EXPECT_TRUE(positions.insert(at).second) << "page " << page;
    }
  }
  for (uint32_t page = 1; page <= k0.pages; ++page)
    if (uint32_t at = copy_of(K0, page)) {
      EXPECT_TRUE(positions.insert(at).second);
    }
  EXPECT_GT(copies, 0);
  // Nothing beyond the old extent has a copy; evicted new pages are in the
  // file already, which has grown.
  for (uint32_t page = d0.pages + 1; page <= 81; ++page) EXPECT_EQ(copy_of(D0, page), 0u) << page;
  EXPECT_GT(read_file(dir_.file("rows.d00")).size(), old_size);
  // Every copy took one page of the file: no page was given two places.
  uint32_t areas = static_cast<uint32_t>(4 * (256 + 1) + 12) * (k0.index_pos ? 2 : 1);
  EXPECT_EQ(kt().ov_next, kt().ov_initial + areas + 512 * static_cast<uint32_t>(positions.size()));
  // The old extents of both files are untouched until the commit.
  for (auto [name, before, pages] : {std::make_tuple("rows.d00", &data_before, d0.pages),
                                     std::make_tuple("rows.k00", &keys_before, k0.pages)}) {
    std::vector<unsigned char> now = read_file(dir_.file(name));
    size_t extent = (pages + 1) * 512;
    ASSERT_GE(now.size(), extent) << name;
    ASSERT_GE(before->size(), extent) << name;
    EXPECT_EQ(0, std::memcmp(now.data(), before->data(), extent)) << name;
  }
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  // New rows changed both page-zero headers, which the commit saved.
  std::vector<unsigned char> ov = read_file(dir_.file("kesto.log"));
  const size_t root = 6 + 2 * 1027;
  EXPECT_EQ(u32(ov, root + 8), 1u);
  EXPECT_EQ(u32(ov, root + 16 + 8), 1u);
  for (uint32_t slot = 10; slot <= 30; ++slot) EXPECT_EQ(text_of(slot), "round 2");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("rows", "o", nullptr), S_OKAY);
  for (uint32_t slot = 10; slot <= 30; ++slot) EXPECT_EQ(text_of(slot), "round 2");
  EXPECT_TRUE(kesto_test::check_key_file(K0));
  EXPECT_TRUE(kesto_test::check_data_file(D0));
}

}  // namespace
