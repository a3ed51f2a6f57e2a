// Record creation: a whole image with its keys (dt_fillnew), records made
// of announced key values (dt_setkey, dt_makenew), duplicates that store
// nothing, and failures part-way that take the record back out.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::DataFileShape;
using kesto_test::EngineTest;
using kesto_test::KeyFileEntry;

const char *const kCreateSchema = R"(
database mk page 512
file d0 mk.d00 data
file d1 mk.d01 data
file k0 mk.k00 key
record SYS in d0 system
end
record ITEM in d0 timestamped
  NAME char[12] unique key in k0
  KIND short duplicate key in k0
  NICK char[8] unique key in k0 optional
  CITY char[8]
  AGE short
  compound CA unique key in k0 = CITY, AGE desc
end
record TAG in d1
  LABEL char[10] unique key in k0
  SEQ int duplicate key in k0
  NOTE char[6] unique key in k0 optional
  FREE int
end
)";

constexpr int SYS = 10000, ITEM = 10001, TAG = 10002;
constexpr int D0 = 0, D1 = 1, K0 = 2;

class CreateTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kCreateSchema);
    open();
  }

 public:
  void open() {
    ASSERT_EQ(dt_open("mk", "o", nullptr), S_OKAY);
    if (!initialised_) {
      ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    }
    initialised_ = true;
  }

  const kesto_schema::FieldInfo &info(const char *rec, const char *name) {
    return layout_.records.at(rec).fields.at(name);
  }
  long number(const char *rec, const char *name) { return info(rec, name).number; }

  std::vector<char> item(const char *name, int16_t kind, const char *city, int16_t age, const char *nick = "") {
    const kesto_schema::RecordInfo &r = layout_.records.at("ITEM");
    std::vector<char> d(static_cast<size_t>(r.length - r.data), 0);
    auto at = [&](const char *f) { return &d[static_cast<size_t>(info("ITEM", f).offset - r.data)]; };
    std::strcpy(at("NAME"), name);
    std::memcpy(at("KIND"), &kind, 2);
    std::strcpy(at("NICK"), nick);
    std::strcpy(at("CITY"), city);
    std::memcpy(at("AGE"), &age, 2);
    return d;
  }

  int fill(const std::vector<char> &image) { return dt_fillnew(ITEM, image.data(), nullptr, 0); }

  db_address current() {
    db_address dba = 0;
    return dt_crget(&dba, nullptr, 0) == S_OKAY ? dba : 0;
  }

  std::vector<KeyFileEntry> keys() {
    std::vector<KeyFileEntry> e;
    EXPECT_TRUE(kesto_test::check_key_file(K0, &e));
    return e;
  }

  DataFileShape slots(int file) {
    DataFileShape shape;
    EXPECT_TRUE(kesto_test::check_data_file(file, &shape));
    return shape;
  }

  // How many entries of one key the key file holds.
  size_t entries_of(const char *rec, const char *field) {
    int prefix = kt().field_table[info(rec, field).index].key_number - curr_dbt()->first_key;
    size_t n = 0;
    for (const KeyFileEntry &e : keys()) n += e.prefix == prefix ? 1 : 0;
    return n;
  }

  kesto_schema::Layout layout_;
  bool initialised_ = false;
};

TEST_F(CreateTest, FillnewStoresTheImageEntersItsKeysAndMakesItCurrent) {
  std::vector<char> image = item("Ann", 7, "Oslo", 30, "annie");
  ASSERT_EQ(fill(image), S_OKAY);
  db_address ann = current();
  EXPECT_EQ(ann, 2u);  // slot 1 holds the system record
  std::vector<char> back(image.size());
  ASSERT_EQ(dt_recread(back.data(), nullptr, 0), S_OKAY);
  EXPECT_EQ(back, image);

  // Both timestamps start at the file's counter; so does the current
  // record's.
  char *rec;
  ASSERT_EQ(dio_read(ann, &rec, 0), S_OKAY);
  EXPECT_EQ(rec_id(rec), 1u);
  EXPECT_EQ(get_u32(rec + 6), get_u32(rec + 10));
  EXPECT_EQ(get_u32(rec + 10), dio_pzgetts(D0));
  EXPECT_EQ(kt().cr_time, get_u32(rec + 10));

  // Every key but the optional one, each pointing at the record.
  EXPECT_EQ(dt_keyfind(number("ITEM", "NAME"), "Ann", nullptr, 0), S_OKAY);
  EXPECT_EQ(current(), ann);
  int16_t kind = 7;
  EXPECT_EQ(dt_keyfind(number("ITEM", "KIND"), &kind, nullptr, 0), S_OKAY);
  struct {
    char city[8];
    int16_t age;
  } ca = {"Oslo", 30};
  EXPECT_EQ(dt_keyfind(number("ITEM", "CA"), &ca, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_keyfind(number("ITEM", "NICK"), "annie", nullptr, 0), S_NOTFOUND);
  EXPECT_EQ(keys().size(), 3u);
  EXPECT_EQ(slots(D0).live, 2);
}

TEST_F(CreateTest, ADuplicateUniqueKeyStoresNothing) {
  ASSERT_EQ(fill(item("Ann", 7, "Oslo", 30)), S_OKAY);
  db_address ann = current();
  const struct {
    const char *what;
    std::vector<char> image;
  } clashes[] = {
      {"the same name", item("Ann", 8, "Rome", 40)},
      {"the same city and age", item("Bob", 8, "Oslo", 30)},
  };
  for (const auto &c : clashes) {
    SCOPED_TRACE(c.what);
    uint32_t next = dio_pznext(D0), head = kt().pgzero[D0].head;
    size_t entries = keys().size();
    EXPECT_EQ(fill(c.image), S_DUPLICATE);
    EXPECT_EQ(dio_pznext(D0), next);  // no slot taken
    EXPECT_EQ(kt().pgzero[D0].head, head);
    EXPECT_EQ(keys().size(), entries);  // no key entry left
    EXPECT_EQ(current(), ann);
    EXPECT_EQ(slots(D0).live, 2);
  }
  // Values that only a duplicates-allowed or an optional key shares are
  // no duplicates: KIND 7 twice, NICK "x" twice (never entered).
  ASSERT_EQ(fill(item("Cid", 7, "Oslo", 31, "x")), S_OKAY);
  ASSERT_EQ(fill(item("Dan", 7, "Oslo", 32, "x")), S_OKAY);
  EXPECT_EQ(entries_of("ITEM", "KIND"), 3u);
  EXPECT_EQ(entries_of("ITEM", "NICK"), 0u);
  EXPECT_EQ(slots(D0).live, 4);
}

TEST_F(CreateTest, MakenewBuildsARecordFromAnnouncedKeys) {
  int32_t seq = 5;
  ASSERT_EQ(dt_setkey(number("TAG", "LABEL"), "first", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "LABEL"), "second", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "SEQ"), &seq, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "NOTE"), "memo", nullptr, 0), S_OKAY);
  int listed = 0;
  for (setkey_entry *e = kt().setkeys; e; e = e->next) ++listed;
  EXPECT_EQ(listed, 3);  // one entry per field, the later value kept

  ASSERT_EQ(dt_makenew(TAG, nullptr, 0), S_OKAY);
  db_address tag = current();
  EXPECT_EQ(tag, (1u << 24) | 1u);
  char label[10] = {}, note[6] = {};
  int32_t seq_back = 0, free_back = -1;
  ASSERT_EQ(dt_crread(number("TAG", "LABEL"), label, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crread(number("TAG", "SEQ"), &seq_back, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crread(number("TAG", "NOTE"), note, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crread(number("TAG", "FREE"), &free_back, nullptr, 0), S_OKAY);
  EXPECT_STREQ(label, "second");
  EXPECT_EQ(seq_back, 5);
  EXPECT_STREQ(note, "");  // an optional key is checked, not stored
  EXPECT_EQ(free_back, 0);
  EXPECT_EQ(entries_of("TAG", "LABEL"), 1u);
  EXPECT_EQ(entries_of("TAG", "SEQ"), 1u);
  EXPECT_EQ(entries_of("TAG", "NOTE"), 0u);

  // The values stay for the next record: the same label is a duplicate.
  EXPECT_EQ(dt_makenew(TAG, nullptr, 0), S_DUPLICATE);
  // An optional unique key is checked against the entries it has.
  ASSERT_EQ(dt_crwrite(number("TAG", "NOTE"), "memo", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keystore(number("TAG", "NOTE"), nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "LABEL"), "third", nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_makenew(TAG, nullptr, 0), S_DUPLICATE);
  ASSERT_EQ(dt_setkey(number("TAG", "NOTE"), "other", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_makenew(TAG, nullptr, 0), S_OKAY);
  EXPECT_EQ(slots(D1).live, 2);
  EXPECT_EQ(keys().size(), 5u);  // two labels, two sequence numbers, one note
}

TEST_F(CreateTest, MakenewWithoutAKeyValueTakesNoSlot) {
  int32_t seq = 1;
  ASSERT_EQ(dt_setkey(number("TAG", "SEQ"), &seq, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "NOTE"), "n", nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_makenew(TAG, nullptr, 0), S_KEYREQD);  // no label, a unique key
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0397E"), std::string::npos);

  // A missing value of a duplicates-allowed key is found before the slot
  // is taken, too.
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(kt().setkeys, nullptr);  // the close dropped every value
  open();
  ASSERT_EQ(dt_setkey(number("TAG", "LABEL"), "l", nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setkey(number("TAG", "NOTE"), "n", nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_makenew(TAG, nullptr, 0), S_KEYREQD);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0398E"), std::string::npos);
  EXPECT_EQ(dio_pznext(D1), 1u);
  EXPECT_TRUE(keys().empty());
  EXPECT_EQ(dt_crget(nullptr, nullptr, 0), S_NOCR);
}

TEST_F(CreateTest, RefusedCalls) {
  std::vector<char> image = item("Ann", 1, "Oslo", 1);
  char sys_image[16] = {};
  const struct {
    const char *what;
    int status;
    int (*call)(CreateTest *, const void *);
    const void *arg;
  } cases[] = {
      {"a record type out of range", S_INVREC,
       [](CreateTest *, const void *d) { return dt_fillnew(10003, d, nullptr, 0); }, image.data()},
      {"the system record", S_INVREC, [](CreateTest *, const void *d) { return dt_fillnew(SYS, d, nullptr, 0); },
       sys_image},
      {"makenew of the system record", S_INVREC, [](CreateTest *, const void *) { return dt_makenew(SYS, nullptr, 0); },
       nullptr},
      {"makenew of a record with a compound key", S_COMKEY,
       [](CreateTest *, const void *) { return dt_makenew(ITEM, nullptr, 0); }, nullptr},
      {"a key value for a field that is no key", S_NOTKEY,
       [](CreateTest *t, const void *d) { return dt_setkey(t->number("TAG", "FREE"), d, nullptr, 0); },
       image.data()},
      {"a key value for no field", S_INVFLD, [](CreateTest *, const void *d) { return dt_setkey(2999, d, nullptr, 0); },
       image.data()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.call(this, c.arg), c.status);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM"), std::string::npos);
  }
  EXPECT_EQ(slots(D0).live, 1);
  EXPECT_EQ(slots(D1).live, 0);
  EXPECT_EQ(kt().setkeys, nullptr);
  EXPECT_EQ(dt_crget(nullptr, nullptr, 0), S_NOCR);
}

// Every page read that creation makes, failed in turn on a cold cache: a
// creation that fails leaves neither a key entry nor a taken slot, and the
// one that at last succeeds takes the slot of the failed ones.
TEST_F(CreateTest, AFailureAtAnyStepTakesTheRecordBackOut) {
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(d_setpages(8, 2), S_OKAY);  // a small cache: pages come and go
  open();
  for (int i = 0; i < 60; ++i) {
    std::string name = "n" + std::to_string(i);
    ASSERT_EQ(fill(item(name.c_str(), static_cast<int16_t>(i % 5), "c", static_cast<int16_t>(i))), S_OKAY);
  }
  const size_t entries = keys().size();
  const uint32_t next = dio_pznext(D0);
  bool created = false, withdrawn = false;
  int failures = 0;
  for (int nth = 1; !created && nth < 100; ++nth) {
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    open();
    db_address before = current();
    int status;
    {
      kesto_test::FaultyIo io;
      io.fail(kesto_test::FaultyIo::PREAD, nth, EIO);
      testing::internal::CaptureStderr();
      status = fill(item("new", 1, "z", 99));
      testing::internal::GetCapturedStderr();
    }
    if (status == S_OKAY) {
      created = true;
      break;
    }
    ASSERT_LT(status, 0) << "at " << nth;
    ++failures;
    EXPECT_EQ(current(), before) << "at " << nth;
    EXPECT_EQ(dt_keyfind(number("ITEM", "NAME"), "new", nullptr, 0), S_NOTFOUND) << "at " << nth;
    ASSERT_EQ(keys().size(), entries) << "at " << nth;
    DataFileShape shape = slots(D0);
    ASSERT_EQ(shape.live, 61) << "at " << nth;
    // A slot given back waits on the chain for the next creation.
    withdrawn = withdrawn || shape.deleted == 1;
  }
  ASSERT_TRUE(created);
  EXPECT_GT(failures, 3);
  EXPECT_TRUE(withdrawn);
  EXPECT_EQ(keys().size(), entries + 3);
  DataFileShape shape = slots(D0);
  EXPECT_EQ(shape.live, 62);
  EXPECT_EQ(shape.deleted, 0);
  EXPECT_EQ(dio_pznext(D0), next + 1);
}

}  // namespace
