// Key files: searches, scans and boundaries, node splits, merges and root
// collapse, keys sharing a file, and damaged nodes.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"
#include "runtime/kesto_keynode.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::KeyFileEntry;
using kesto_test::KeyFileShape;

// A and B share k0, four entries to a node; W has k1 to itself.
const char *const kKeySchema = R"(
database keys page 512
file d0 keys.d00 data
file k0 keys.k00 key page 256 slots 4
file k1 keys.k01 key page 512 slots 20
record ITEM in d0
  A int duplicate key in k0
  B double unique key in k0
  W char[8] duplicate key in k1
  N int
  compound WD duplicate key in k1 = W desc
end
)";

constexpr int K0 = 1, K1 = 2;  // file numbers

class KeyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kKeySchema);
    ASSERT_EQ(dt_open("keys", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  }

  int index(const char *name) { return layout_.records.at("ITEM").fields.at(name).index; }

  int insert_a(int32_t v, db_address dba) { return key_insert(index("A"), reinterpret_cast<char *>(&v), dba); }
  int insert_b(double v, db_address dba) { return key_insert(index("B"), reinterpret_cast<char *>(&v), dba); }
  int delete_a(int32_t v, db_address dba) { return key_delete(index("A"), reinterpret_cast<char *>(&v), dba); }

  // Searches A for v (address 0: the first entry of v).
  int find_a(int32_t v, db_address *dba) {
    EXPECT_EQ(key_init(index("A")), S_OKAY);
    return key_locpos(reinterpret_cast<char *>(&v), dba);
  }

  int scan(const char *name, int direction, db_address *dba) {
    EXPECT_EQ(key_init(index(name)), S_OKAY);
    return key_scan(direction, dba);
  }

  int boundary(const char *name, int mode, db_address *dba) {
    EXPECT_EQ(key_init(index(name)), S_OKAY);
    return key_boundary(mode, dba);
  }

  key_position &position(const char *name) {
    return kt().key_pos[kt().field_table[index(name)].key_number];
  }

  // A node of a key file, copied out.
  std::vector<char> node(int file, uint32_t page) {
    dio_setdef(file);
    char *buf = nullptr;
    EXPECT_EQ(dio_get(page, &buf, 0), S_OKAY);
    return std::vector<char>(buf, buf + kt().file_table[file].page_size);
  }

  std::vector<db_address> addresses(int file) {
    std::vector<KeyFileEntry> entries;
    EXPECT_TRUE(kesto_test::check_key_file(file, &entries));
    std::vector<db_address> out;
    for (const KeyFileEntry &e : entries) out.push_back(e.dba);
    return out;
  }

  kesto_schema::Layout layout_;
};

TEST_F(KeyTest, AnEmptyKeyFileHoldsNothing) {
  db_address dba = 0;
  EXPECT_EQ(find_a(5, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, -1);
  EXPECT_EQ(boundary("A", KEY_FIRST, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, -1);
  EXPECT_EQ(boundary("A", KEY_LAST, &dba), S_NOTFOUND);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, -1);
  EXPECT_EQ(scan("A", KEY_PREV, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, -1);
  EXPECT_EQ(dba, 0u);
}

TEST_F(KeyTest, TheNodePathFitsTheLargestTree) {
  // 20 slots per page: 20^7 > 16777214, so 6 levels below the root.
  EXPECT_EQ(position("W").max_levels, 7);
  EXPECT_EQ(position("A").max_levels, 13);
}

TEST_F(KeyTest, RootSplitMovesItsHalvesToNewPages) {
  for (int v = 1; v <= 3; ++v) ASSERT_EQ(insert_a(v * 10, v), S_OKAY);
  KeyFileShape shape;
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.nodes, 1);
  ASSERT_EQ(insert_a(40, 4), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.depth, 1);
  std::vector<char> root = node(K0, 1);
  ASSERT_EQ(keynode::count(root.data()), 1);
  const int slot_len = kt().file_table[K0].slot_size;
  // The middle of the four entries, 30, stays in the root.
  EXPECT_EQ(keynode::address(keynode::slot(root.data(), 0, slot_len), 4), 3u);
  EXPECT_EQ(keynode::child(root.data(), 0, slot_len), 2u);
  EXPECT_EQ(keynode::child(root.data(), 1, slot_len), 3u);
  EXPECT_EQ(keynode::count(node(K0, 2).data()), 2);
  EXPECT_EQ(keynode::count(node(K0, 3).data()), 1);
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3, 4}));
}

TEST_F(KeyTest, AFailedSplitLeavesTheTreeAsItWas) {
  for (int v = 1; v <= 3; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  // The root is full: the next entry needs two new pages, and making the
  // first of them fails.
  {
    kesto_test::FaultyIo io;
    io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
    testing::internal::CaptureStderr();
    EXPECT_LT(insert_a(4, 4), 0);
    testing::internal::GetCapturedStderr();
  }
  kesto_test::KeyFileShape shape;
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.nodes, 1);
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3}));
  // The pages it had are on the free chain, and serve the next split.
  EXPECT_EQ(shape.free_pages, 2);
  ASSERT_EQ(insert_a(4, 4), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.free_pages, 0);
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3, 4}));
}

TEST_F(KeyTest, DuplicatesLieInAddressOrderAcrossNodes) {
  ASSERT_EQ(insert_a(5, 3), S_OKAY);
  ASSERT_EQ(insert_a(5, 1), S_OKAY);
  ASSERT_EQ(insert_a(6, 4), S_OKAY);
  ASSERT_EQ(insert_a(5, 2), S_OKAY);  // splits: 5@3 goes up to the root
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3, 4}));
  db_address dba = 0;
  EXPECT_EQ(find_a(5, &dba), S_OKAY);
  EXPECT_EQ(dba, 1u);
  dba = 2;
  EXPECT_EQ(find_a(5, &dba), S_OKAY);
  EXPECT_EQ(dba, 2u);
  dba = 0;
  ASSERT_EQ(find_a(5, &dba), S_OKAY);
  for (db_address want : {2u, 3u, 4u}) {
    EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
    EXPECT_EQ(dba, want);
  }
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_NOTFOUND);

  // The very same entry again is refused.
  testing::internal::CaptureStderr();
  EXPECT_EQ(insert_a(5, 2), S_SYSERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0426E"), std::string::npos);
  EXPECT_EQ(addresses(K0).size(), 4u);
}

TEST_F(KeyTest, SearchesBetweenKeysPlaceTheScan) {
  for (int v = 1; v <= 9; ++v) ASSERT_EQ(insert_a(v * 10, v), S_OKAY);
  db_address dba = 0;
  EXPECT_EQ(find_a(25, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, 2);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 3u);
  dba = 0;
  EXPECT_EQ(find_a(25, &dba), S_NOTFOUND);
  EXPECT_EQ(scan("A", KEY_PREV, &dba), S_OKAY);
  EXPECT_EQ(dba, 2u);
  // Below the first and above the last.
  dba = 0;
  EXPECT_EQ(find_a(5, &dba), S_NOTFOUND);
  EXPECT_EQ(scan("A", KEY_PREV, &dba), S_NOTFOUND);
  EXPECT_EQ(position("A").status, -1);
  dba = 0;
  EXPECT_EQ(find_a(95, &dba), S_NOTFOUND);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_NOTFOUND);
}

TEST_F(KeyTest, AChangedTreeKeepsAMissedSearchBetweenItsNeighbours) {
  for (int v = 1; v <= 9; ++v) ASSERT_EQ(insert_a(v * 10, v), S_OKAY);
  // After each missed search the file changes (by another key), so the next
  // scan must find its place again.
  db_address dba = 0;
  EXPECT_EQ(find_a(5, &dba), S_NOTFOUND);
  ASSERT_EQ(insert_b(1.0, 100), S_OKAY);
  EXPECT_EQ(position("A").status, 3);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 1u);  // 10, the first greater value

  dba = 0;
  EXPECT_EQ(find_a(25, &dba), S_NOTFOUND);
  ASSERT_EQ(insert_b(2.0, 101), S_OKAY);
  EXPECT_EQ(scan("A", KEY_PREV, &dba), S_OKAY);
  EXPECT_EQ(dba, 2u);  // 20, the next smaller value

  // A value inserted where the search missed is the next one.
  dba = 0;
  EXPECT_EQ(find_a(55, &dba), S_NOTFOUND);
  ASSERT_EQ(insert_a(55, 50), S_OKAY);
  ASSERT_EQ(insert_b(3.0, 102), S_OKAY);
  dba = 0;
  EXPECT_EQ(find_a(54, &dba), S_NOTFOUND);
  ASSERT_EQ(insert_b(4.0, 103), S_OKAY);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 50u);
}

TEST_F(KeyTest, TwoKeysInOneFileStayApart) {
  for (int v = 1; v <= 12; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  ASSERT_EQ(insert_b(-7.5, 100), S_OKAY);
  ASSERT_EQ(insert_b(3.25, 101), S_OKAY);
  // B's entries sort after every A entry, whatever their values.
  std::vector<char> root = node(K0, 1);
  const int slot_len = kt().file_table[K0].slot_size;
  for (int i = 0; i < keynode::count(root.data()); ++i)
    EXPECT_EQ(keynode::prefix(keynode::slot(root.data(), i, slot_len)), 0);

  db_address dba = 0;
  EXPECT_EQ(boundary("B", KEY_FIRST, &dba), S_OKAY);
  EXPECT_EQ(dba, 100u);
  EXPECT_EQ(position("B").status, 3);
  EXPECT_EQ(scan("B", KEY_PREV, &dba), S_NOTFOUND);  // not into A's entries
  EXPECT_EQ(boundary("B", KEY_LAST, &dba), S_OKAY);
  EXPECT_EQ(dba, 101u);
  EXPECT_EQ(boundary("A", KEY_LAST, &dba), S_OKAY);
  EXPECT_EQ(dba, 12u);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_NOTFOUND);  // not into B's entries
  EXPECT_EQ(position("A").status, -1);
  // A scan that ran off starts over.
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 1u);
}

TEST_F(KeyTest, FirstThenNextYieldsTheSecondKey) {
  for (int v = 1; v <= 6; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  db_address dba = 0;
  ASSERT_EQ(boundary("A", KEY_FIRST, &dba), S_OKAY);
  EXPECT_EQ(dba, 1u);
  EXPECT_EQ(position("A").status, 3);
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 2u);
  ASSERT_EQ(boundary("A", KEY_LAST, &dba), S_OKAY);
  EXPECT_EQ(scan("A", KEY_PREV, &dba), S_OKAY);
  EXPECT_EQ(dba, 5u);
}

TEST_F(KeyTest, DescendingStringsSortLongerFirst) {
  char dst[2];
  const char src[2] = {0x00, static_cast<char>(0xFF)};
  key_cmpcpy(dst, src, 2);
  EXPECT_EQ(dst[0], static_cast<char>(0xFF));
  EXPECT_EQ(dst[1], 0x00);

  for (const char *w : {"ab", "abc", "b"}) {
    char value[8] = {}, key[8];
    std::strcpy(value, w);
    key_search_value(index("WD"), value, key);
    ASSERT_EQ(key_insert(index("WD"), key, static_cast<db_address>(std::strlen(w) * 10 + w[0])), S_OKAY);
  }
  // An insertion leaves the key's position on its entry: start over.
  db_address dba = 0;
  ASSERT_EQ(boundary("WD", KEY_RESET, &dba), S_OKAY);
  std::vector<db_address> order;
  for (int status = scan("WD", KEY_NEXT, &dba); status == S_OKAY; status = scan("WD", KEY_NEXT, &dba))
    order.push_back(dba);
  // "b" > "abc" > "ab" ascending, so descending: b, abc, ab.
  EXPECT_EQ(order, (std::vector<db_address>{10 + 'b', 30 + 'a', 20 + 'a'}));
}

TEST_F(KeyTest, DeletingCollapsesTheRootAndFreesItsChildren) {
  for (int v = 1; v <= 4; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  KeyFileShape shape;
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  ASSERT_EQ(shape.depth, 1);
  ASSERT_EQ(delete_a(4, 4), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.depth, 0);
  EXPECT_EQ(shape.nodes, 1);
  EXPECT_EQ(shape.free_pages, 2);
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3}));
  // Freed pages are used again.
  ASSERT_EQ(insert_a(4, 4), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.free_pages, 0);
  EXPECT_EQ(dio_pznext(K0), 4u);
}

TEST_F(KeyTest, AnAbsentEntryIsNotDeleted) {
  for (int v = 1; v <= 5; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  std::vector<KeyFileEntry> before, after;
  ASSERT_TRUE(kesto_test::check_key_file(K0, &before));
  EXPECT_EQ(delete_a(3, 4), S_NOTFOUND);
  EXPECT_EQ(delete_a(7, 1), S_NOTFOUND);
  ASSERT_TRUE(kesto_test::check_key_file(K0, &after));
  EXPECT_EQ(before.size(), after.size());
}

TEST_F(KeyTest, AnUnderfullLeafBesideTwoEntriesStaysAsItIs) {
  for (int v = 1; v <= 5; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  // Root [3], leaves [1 2] and [4 5]; deleting 5 leaves [4] beside [1 2].
  ASSERT_EQ(delete_a(5, 5), S_OKAY);
  KeyFileShape shape;
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.depth, 1);
  EXPECT_EQ(shape.nodes, 3);
  EXPECT_EQ(keynode::count(node(K0, 2).data()), 2);
  EXPECT_EQ(keynode::count(node(K0, 3).data()), 1);
}

TEST_F(KeyTest, RotationsAndMergesKeepOrder) {
  // Enough entries for three levels, then deletions from the front and the
  // back, which take entries from right and left siblings and merge nodes.
  for (int v = 1; v <= 40; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  KeyFileShape shape;
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_GE(shape.depth, 2);
  std::vector<db_address> want;
  for (int v = 1; v <= 40; ++v) want.push_back(v);
  for (int i = 0; i < 15; ++i) {
    ASSERT_EQ(delete_a(1 + i, 1 + i), S_OKAY);
    want.erase(want.begin());
    ASSERT_EQ(delete_a(40 - i, 40 - i), S_OKAY);
    want.pop_back();
    ASSERT_EQ(addresses(K0), want);
  }
  // An inner entry is replaced by its successor.
  std::vector<char> root = node(K0, 1);
  int32_t inner = static_cast<int32_t>(get_u32(keynode::slot(root.data(), 0, kt().file_table[K0].slot_size) + 6));
  ASSERT_EQ(delete_a(inner, static_cast<db_address>(inner)), S_OKAY);
  want.erase(std::find(want.begin(), want.end(), static_cast<db_address>(inner)));
  EXPECT_EQ(addresses(K0), want);
  for (db_address a : std::vector<db_address>(want)) ASSERT_EQ(delete_a(static_cast<int32_t>(a), a), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(K0, nullptr, &shape));
  EXPECT_EQ(shape.nodes, 1);
  EXPECT_EQ(keynode::count(node(K0, 1).data()), 0);
}

TEST_F(KeyTest, ASplitCarriesAnotherKeysEntryUpward) {
  // Root [A3], leaves [A1 A2] and [A4 B1 B2]: the next A entry fills the
  // right leaf, whose middle entry, B1, belongs to B (8-byte values).
  for (int v = 1; v <= 4; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  ASSERT_EQ(insert_b(1.0, 101), S_OKAY);
  ASSERT_EQ(insert_b(2.0, 102), S_OKAY);
  ASSERT_EQ(insert_a(5, 5), S_OKAY);
  std::vector<char> root = node(K0, 1);
  const int slot_len = kt().file_table[K0].slot_size;
  ASSERT_EQ(keynode::count(root.data()), 2);
  const char *moved = keynode::slot(root.data(), 1, slot_len);
  EXPECT_EQ(keynode::prefix(moved), 1);
  EXPECT_EQ(keynode::address(moved, 8), 101u);
  // The context of the key being inserted is intact.
  EXPECT_EQ(kctx().fldno, index("A"));
  EXPECT_EQ(kctx().key_len, 4);
  EXPECT_EQ(kctx().prefix, 0);
  EXPECT_EQ(addresses(K0), (std::vector<db_address>{1, 2, 3, 4, 5, 101, 102}));
  db_address dba = 0;
  ASSERT_EQ(boundary("B", KEY_FIRST, &dba), S_OKAY);
  EXPECT_EQ(dba, 101u);
  EXPECT_EQ(scan("B", KEY_NEXT, &dba), S_OKAY);
  EXPECT_EQ(dba, 102u);
}

TEST_F(KeyTest, ANonKeyFieldHasNoKeyContext) {
  ASSERT_EQ(key_init(index("A")), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(key_init(index("N")), S_NOTKEY);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0410E"), std::string::npos);
  EXPECT_EQ(kctx().fldno, index("A"));  // the context stays as it was
}

TEST_F(KeyTest, DamagedNodesAreReportedNotFollowed) {
  for (int v = 1; v <= 9; ++v) ASSERT_EQ(insert_a(v, v), S_OKAY);
  const int slot_len = kt().file_table[K0].slot_size;
  auto damage = [&](uint32_t page, int offset, uint32_t value, int width) {
    dio_setdef(K0);
    char *buf;
    ASSERT_EQ(dio_get(page, &buf, 1), S_OKAY);
    if (width == 2) put_u16(buf + offset, static_cast<uint16_t>(value));
    else put_u32(buf + offset, value);
    ASSERT_EQ(dio_touch(page), S_OKAY);
  };
  std::vector<char> root = node(K0, 1);
  uint32_t first_child = keynode::child(root.data(), 0, slot_len);
  struct Case {
    const char *what;
    uint32_t page;
    int offset;
    uint32_t value;
    int width;
    const char *site;
  } cases[] = {
      {"a key count above the slots", first_child, 4, 9, 2, "QVKDM0413E"},
      {"an empty inner node", first_child, 4, 0, 2, "QVKDM0413E"},
      {"a child of 0", 1, 6, 0, 4, "QVKDM0415E"},
      {"a child never allocated", 1, 6, 999, 4, "QVKDM0412E"},
  };
  for (const Case &c : cases) {
    std::vector<char> saved = node(K0, c.page);
    damage(c.page, c.offset, c.value, c.width);
    testing::internal::CaptureStderr();
    db_address dba = 0;
    EXPECT_EQ(find_a(1, &dba), S_KEYERR) << c.what;
    dba = 0;
    EXPECT_EQ(insert_a(0, 77), S_KEYERR) << c.what;
    EXPECT_EQ(delete_a(1, 1), S_KEYERR) << c.what;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.site), std::string::npos) << c.what << ": " << err;
    EXPECT_NE(err.find("key file inconsistency"), std::string::npos) << c.what;
    // Put the node back.
    dio_setdef(K0);
    char *buf;
    ASSERT_EQ(dio_get(c.page, &buf, 1), S_OKAY);
    std::memcpy(buf, saved.data(), saved.size());
    ASSERT_EQ(dio_touch(c.page), S_OKAY);
    ASSERT_TRUE(kesto_test::check_key_file(K0));
  }
  // A scan from a path whose node went bad.
  db_address dba = 0;
  ASSERT_EQ(boundary("A", KEY_FIRST, &dba), S_OKAY);
  ASSERT_EQ(scan("A", KEY_NEXT, &dba), S_OKAY);
  const key_position &kp = position("A");
  damage(kp.path[kp.level].page, 4, 0x7FFF, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(scan("A", KEY_NEXT, &dba), S_KEYERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0417E"), std::string::npos);
}

}  // namespace
