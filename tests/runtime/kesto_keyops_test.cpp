// The key operations of the interface: find, next, previous, last, read,
// positioning on the current record, and storing and deleting optional
// keys.
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;

const char *const kOpsSchema = R"(
database ops page 512
file d0 ops.d00 data
file k0 ops.k00 key page 256 slots 5
record SYS in d0 system
end
record ITEM in d0 timestamped
  NAME char[10] duplicate key in k0
  CODE int unique key in k0
  NICK char[8] unique key in k0 optional
  WORD char[6]
  NUM short
  compound WN unique key in k0 = WORD desc, NUM
end
record OTHER in d0
  X int
  OPT int duplicate key in k0 optional
end
)";

constexpr long NAME = 1000, CODE = 1001, NICK = 1002, WORD = 1003, WN = 1005, X = 2000, OPT = 2001;
constexpr int ITEM = 10001, OTHER = 10002;

class KeyOpsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kOpsSchema);
    ASSERT_EQ(dt_open("ops", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  }

  int at(const char *rec, const char *f) {
    const auto &r = layout_.records.at(rec);
    return r.fields.at(f).offset - r.data;
  }

  db_address item(const char *name, int code, const char *word = "", int16_t num = 0, const char *nick = "") {
    const auto &r = layout_.records.at("ITEM");
    std::vector<char> d(static_cast<size_t>(r.length - r.data), 0);
    std::strcpy(&d[static_cast<size_t>(at("ITEM", "NAME"))], name);
    std::memcpy(&d[static_cast<size_t>(at("ITEM", "CODE"))], &code, 4);
    std::strcpy(&d[static_cast<size_t>(at("ITEM", "NICK"))], nick);
    std::strcpy(&d[static_cast<size_t>(at("ITEM", "WORD"))], word);
    std::memcpy(&d[static_cast<size_t>(at("ITEM", "NUM"))], &num, 2);
    return kesto_test::make_record(ITEM, d.data());
  }

  db_address other(int x, int opt) {
    const auto &r = layout_.records.at("OTHER");
    std::vector<char> d(static_cast<size_t>(r.length - r.data), 0);
    std::memcpy(&d[static_cast<size_t>(at("OTHER", "X"))], &x, 4);
    std::memcpy(&d[static_cast<size_t>(at("OTHER", "OPT"))], &opt, 4);
    return kesto_test::make_record(OTHER, d.data());
  }

  db_address current() {
    db_address dba = 0;
    EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
    return dba;
  }

  // Addresses met by stepping through a key with `step` until it ends.
  std::vector<db_address> walk(long field, int (*step)(long, DB_TASK *, int)) {
    std::vector<db_address> seen;
    while (step(field, nullptr, 0) == S_OKAY) seen.push_back(current());
    return seen;
  }

  kesto_schema::Layout layout_;
};

TEST_F(KeyOpsTest, DuplicatesComeInAddressOrder) {
  db_address a = item("same", 1), b = item("same", 2), c = item("same", 3);
  item("after", 4);
  item("zz", 5);
  ASSERT_EQ(dt_keyfind(NAME, "same", nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), a);
  ASSERT_EQ(dt_keynext(NAME, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), b);
  ASSERT_EQ(dt_keynext(NAME, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), c);
  ASSERT_EQ(dt_keynext(NAME, nullptr, 0), S_OKAY);  // "zz"
  EXPECT_EQ(dt_keynext(NAME, nullptr, 0), S_NOTFOUND);
  // The record found last holds the current record's timestamp.
  uint32_t stamp = 0;
  ASSERT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().cr_time, stamp);
}

TEST_F(KeyOpsTest, AMissedValuePlacesTheNextStep) {
  db_address ten = item("a", 10), twenty = item("b", 20), thirty = item("c", 30);
  ASSERT_EQ(dt_crset(&thirty, nullptr, 0), S_OKAY);
  int code = 15;
  EXPECT_EQ(dt_keyfind(CODE, &code, nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(current(), thirty);  // unchanged
  ASSERT_EQ(dt_keynext(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), twenty);
  code = 15;
  EXPECT_EQ(dt_keyfind(CODE, &code, nullptr, 0), S_NOTFOUND);
  ASSERT_EQ(dt_keyprev(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), ten);
  // A null value only resets the key: the current record stays.
  EXPECT_EQ(dt_keyfind(CODE, nullptr, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), ten);
  EXPECT_EQ(walk(CODE, dt_keynext), (std::vector<db_address>{ten, twenty, thirty}));
}

TEST_F(KeyOpsTest, StepsFromAFreshOpenAndAfterTheEnds) {
  db_address a = item("a", 1), b = item("b", 2), c = item("c", 3);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("ops", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_keynext(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), a);
  ASSERT_EQ(dt_keyprev(NAME, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), c);
  ASSERT_EQ(dt_keylast(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), c);
  EXPECT_EQ(dt_keynext(CODE, nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(current(), c);
  ASSERT_EQ(dt_keynext(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), a);
  EXPECT_EQ(walk(CODE, dt_keyprev), std::vector<db_address>{});  // already before the first
  EXPECT_EQ(walk(CODE, dt_keyprev), (std::vector<db_address>{c, b, a}));
  // A key without entries.
  EXPECT_EQ(dt_keylast(NICK, nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(dt_keynext(NICK, nullptr, 0), S_NOTFOUND);
}

TEST_F(KeyOpsTest, KeyReadGivesTheValueAsPassed) {
  db_address w = item("w", 1, "ab", 7);
  item("x", 2, "abc", 7);
  char key[8] = {};
  std::strcpy(key, "ab");
  int16_t num = 7;
  std::memcpy(key + 6, &num, 2);
  ASSERT_EQ(dt_keyfind(WN, key, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), w);
  char back[8];
  std::memset(back, 'x', sizeof back);
  ASSERT_EQ(dt_keyread(back, nullptr), S_OKAY);
  EXPECT_EQ(std::memcmp(back, key, 8), 0);
  // Descending: "abc" comes before "ab".
  ASSERT_EQ(dt_keyprev(WN, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keyread(back, nullptr), S_OKAY);
  EXPECT_STREQ(back, "abc");

  // A string key comes back NUL-filled.
  char name[10];
  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(dt_keyfind(NAME, "w", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keyread(name, nullptr), S_OKAY);
  EXPECT_EQ(std::string(name, 10), std::string("w") + std::string(9, '\0'));
  // After a miss, the neighbour the search stopped at.
  EXPECT_EQ(dt_keyfind(NAME, "wa", nullptr, 0), S_NOTFOUND);
  ASSERT_EQ(dt_keyread(name, nullptr), S_OKAY);
  EXPECT_STREQ(name, "w");
}

TEST_F(KeyOpsTest, KeyReadWithoutAPositionedKey) {
  item("a", 1);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("ops", "o", nullptr), S_OKAY);
  char buf[10];
  EXPECT_EQ(dt_keyread(buf, nullptr), S_KEYSEQ);  // no key operation since the open
  ASSERT_EQ(dt_keyfind(NAME, nullptr, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keyread(buf, nullptr), S_KEYSEQ);  // reset
  ASSERT_EQ(dt_keylast(NAME, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keyread(buf, nullptr), S_OKAY);
  EXPECT_EQ(dt_keynext(NAME, nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(dt_keyread(buf, nullptr), S_KEYSEQ);  // ran off the end
}

TEST_F(KeyOpsTest, CurkeyPositionsEveryKeyOnTheCurrentRecord) {
  db_address a = item("a", 1, "p", 1), b = item("b", 2, "q", 2), c = item("c", 3, "r", 3);
  ASSERT_EQ(dt_keyfind(NAME, "c", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_curkey(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keynext(NAME, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), c);
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keyprev(CODE, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), a);
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keynext(WN, nullptr, 0), S_OKAY);  // descending: "p" after "q"
  EXPECT_EQ(current(), a);
  // The optional key is not stored: its position is left alone.
  const key_position &nick = kt().key_pos[kt().field_table[layout_.records.at("ITEM").fields.at("NICK").index].key_number];
  EXPECT_EQ(nick.status, 0);
}

TEST_F(KeyOpsTest, OptionalKeysAreStoredAndDeletedOnRequest) {
  db_address a = item("a", 1, "", 0, "nick"), b = item("b", 2, "", 0, "nick");
  ASSERT_EQ(dt_crset(&a, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keydel(NICK, nullptr, 0), S_NOTFOUND);
  ASSERT_EQ(dt_keystore(NICK, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keyfind(NICK, "nick", nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), a);
  // Stored already: nothing changes.
  std::vector<kesto_test::KeyFileEntry> before, after;
  ASSERT_TRUE(kesto_test::check_key_file(1, &before));
  ASSERT_EQ(dt_keystore(NICK, nullptr, 0), S_OKAY);
  ASSERT_TRUE(kesto_test::check_key_file(1, &after));
  EXPECT_EQ(before.size(), after.size());
  // Unique: b's equal nickname is a duplicate, and b stays current.
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keystore(NICK, nullptr, 0), S_DUPLICATE);
  EXPECT_EQ(current(), b);
  ASSERT_EQ(dt_crset(&a, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keydel(NICK, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keyfind(NICK, "nick", nullptr, 0), S_NOTFOUND);
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keystore(NICK, nullptr, 0), S_OKAY);
  // Optional keys with duplicates need no check.
  db_address o1 = other(1, 5), o2 = other(2, 5);
  for (db_address o : {o1, o2}) {
    ASSERT_EQ(dt_crset(&o, nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_keystore(OPT, nullptr, 0), S_OKAY);
  }
  int five = 5;
  ASSERT_EQ(dt_keyfind(OPT, &five, nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), o1);
}

TEST_F(KeyOpsTest, ErrorStatuses) {
  db_address a = item("a", 1);
  db_address o = other(1, 2);
  char buf[10];
  testing::internal::CaptureStderr();
  struct Case {
    const char *what;
    int got;
    int status;
    const char *site;
  } cases[] = {
      {"find on a field number out of range", dt_keyfind(1999, "a", nullptr, 0), S_INVFLD, "QVKDM0401E"},
      {"find on a field that is no key", dt_keyfind(WORD, "a", nullptr, 0), S_NOTKEY, "QVKDM0410E"},
      {"next on a field that is no key", dt_keynext(X, nullptr, 0), S_NOTKEY, "QVKDM0410E"},
      {"store, field of another type", (dt_crset(&o, nullptr, 0), dt_keystore(NICK, nullptr, 0)), S_BADFIELD,
       "QVKDM0406E"},
      {"delete, field of another type", dt_keydel(NICK, nullptr, 0), S_BADFIELD, "QVKDM0448E"},
      {"store, not optional", (dt_crset(&a, nullptr, 0), dt_keystore(CODE, nullptr, 0)), S_NOTOPTKEY,
       "QVKDM0407E"},
      {"delete, not optional", dt_keydel(NAME, nullptr, 0), S_NOTOPTKEY, "QVKDM0449E"},
      {"store, no current record", (dt_crset(nullptr, nullptr, 0), dt_keystore(NICK, nullptr, 0)), S_NOCR,
       "QVKDM0405E"},
      {"delete, no current record", dt_keydel(NICK, nullptr, 0), S_NOCR, "QVKDM0800E"},
      {"curkey, no current record", dt_curkey(nullptr, 0), S_NOCR, "QVKDM0443E"},
      {"read with nothing open", (dt_close(nullptr), dt_keyread(buf, nullptr)), S_KEYSEQ, ""},
      {"find with nothing open", dt_keyfind(NAME, "a", nullptr, 0), S_DBOPEN, "QVKDM0496E"},
  };
  std::string err = testing::internal::GetCapturedStderr();
  for (const Case &c : cases) {
    EXPECT_EQ(c.got, c.status) << c.what;
    EXPECT_NE(err.find(c.site), std::string::npos) << c.what << ": " << c.site;
  }
}

TEST_F(KeyOpsTest, CurkeyOnADamagedCurrentRecord) {
  db_address a = item("a", 1);
  const int changed_pages = dio_modheld();
  ASSERT_EQ(dt_crset(&a, nullptr, 0), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read(a, &rec, 0), S_OKAY);
  put_u16(rec, 0x0031);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_curkey(nullptr, 0), S_INVREC);
  put_u16(rec, static_cast<uint16_t>(~1));
  EXPECT_EQ(dt_curkey(nullptr, 0), S_INVADDR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0445E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0444E"), std::string::npos);
  put_u16(rec, 1);
  EXPECT_EQ(dt_curkey(nullptr, 0), S_OKAY);
  EXPECT_EQ(dio_modheld(), changed_pages);  // released on every path
}

}  // namespace
