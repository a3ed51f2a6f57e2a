// The dictionary writer and reader, and the first pages of new files.
#include <ctime>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::read_file;

constexpr int kHeader = 22;
constexpr int kFileEntry = 1038;

void put16(std::vector<unsigned char> &b, size_t at, int v) {
  b[at] = static_cast<unsigned char>(v & 0xFF);
  b[at + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

uint32_t u32(const std::vector<unsigned char> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class DictTest : public EngineTest {
 protected:
  std::vector<unsigned char> people_image() {
    kesto_schema::Schema schema;
    std::string error;
    EXPECT_TRUE(kesto_schema::parse_schema(kesto_test::kPeopleSchema, &schema, &error)) << error;
    std::vector<unsigned char> image;
    EXPECT_TRUE(kesto_schema::build_dictionary(schema, &image, &people_, &error)) << error;
    return image;
  }
  int open_image(const std::vector<unsigned char> &image) {
    kesto_test::write_file(dir_.file("people.dbd"), image);
    return dt_open("people", "o", nullptr);
  }
};

TEST_F(DictTest, ReaderLoadsWhatTheWriterLaidOut) {
  people_ = write_schema(kesto_test::kPeopleSchema);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  db_task &t = kt();
  ASSERT_EQ(t.size_ft, 2);
  ASSERT_EQ(t.size_rt, 3);
  EXPECT_EQ(t.size_st, 2);
  EXPECT_EQ(t.size_mt, 2);
  EXPECT_EQ(t.size_srt, 1);
  EXPECT_EQ(t.size_kt, 2);
  EXPECT_EQ(t.file_table[0].type, 'd');
  EXPECT_EQ(t.file_table[1].type, 'k');
  EXPECT_EQ(t.file_table[0].page_size, 512);
  // System record: no fields, owns the people set, current owner after open.
  EXPECT_EQ(t.record_table[0].field_count, -1);
  EXPECT_EQ(t.db_table[0].sysdba, 1u);
  EXPECT_EQ(t.curr_own[1], 1u);
  EXPECT_EQ(t.curr_own[0], 0u);
  EXPECT_EQ(t.current_record, 1u);
  EXPECT_TRUE(t.rec_stamped);
  EXPECT_FALSE(t.set_stamped);
  // Fields: NAME, AGE, CITY, then the compound key; then PLATE, WEIGHT.
  const kesto_schema::RecordInfo &person = people_.records.at("PERSON");
  EXPECT_EQ(person.number, 10001);
  EXPECT_EQ(person.fields.at("NAME").number, 1000);
  EXPECT_EQ(person.fields.at("CITY_AGE").number, 1003);
  const field_entry &name = t.field_table[person.fields.at("NAME").index];
  EXPECT_EQ(name.key, 'u');
  EXPECT_EQ(name.key_number, 0);
  EXPECT_EQ(name.offset, person.fields.at("NAME").offset);
  const field_entry &compound = t.field_table[person.fields.at("CITY_AGE").index];
  EXPECT_EQ(compound.type, 'k');
  EXPECT_EQ(compound.length, 20);
  EXPECT_EQ(compound.key_number, 1);
  EXPECT_EQ(t.key_table[0].component, person.fields.at("CITY").index);
  EXPECT_EQ(t.key_table[1].order, 'd');
  EXPECT_TRUE(t.field_table[person.fields.at("AGE").index].flags & FLD_COMPONENT);
  EXPECT_TRUE(t.field_table[person.fields.at("NAME").index].flags & FLD_SORT);
  EXPECT_TRUE(t.record_table[1].flags & REC_TIMESTAMPED);
  EXPECT_TRUE(t.record_table[1].flags & REC_COMKEY);
  EXPECT_EQ(t.key_count, 3);
  EXPECT_EQ(t.set_table[1].order, 'a');
  EXPECT_EQ(t.set_table[0].owner, 1);
  EXPECT_EQ(t.member_table[0].record, 2);
  // The overflow file's entry follows the database files.
  EXPECT_EQ(t.file_table[2].type, 'o');
  EXPECT_EQ(std::string(t.file_table[2].name), dir_.path() + "/kesto.log");
}

TEST_F(DictTest, GroupsOptionalKeysAndTheTextFormTogether) {
  const char *text = R"(
database shapes page 1024
file d shapes.dat data
file k shapes.key key page 512 static
record SHAPE in d
  ID int unique key in k
  group BOX[2]
    W short
    H short
  end
  TAG char[12] duplicate key in k optional
  NAMES char[3][8]
  compound BOXKEY unique key in k optional = ID, TAG desc
end
)";
  kesto_schema::Layout layout = write_schema(text);
  const kesto_schema::RecordInfo &shape = layout.records.at("SHAPE");
  EXPECT_EQ(shape.fields.at("BOX").number, 1);
  EXPECT_EQ(shape.fields.at("W").number, 2);
  EXPECT_EQ(shape.fields.at("H").number, 3);
  EXPECT_EQ(shape.fields.at("TAG").number, 4);
  EXPECT_EQ(shape.fields.at("BOXKEY").number, 6);
  EXPECT_EQ(shape.fields.at("BOX").length, 8);
  EXPECT_EQ(shape.fields.at("NAMES").length, 24);
  ASSERT_EQ(dt_open("shapes", "o", nullptr), S_OKAY);
  db_task &t = kt();
  const field_entry &tag = t.field_table[shape.fields.at("TAG").index];
  EXPECT_EQ(tag.flags & FLD_OPTKEY_MASK, 1 << 10);
  EXPECT_EQ(t.field_table[shape.fields.at("BOXKEY").index].flags & FLD_OPTKEY_MASK, 2 << 10);
  EXPECT_TRUE(t.field_table[shape.fields.at("W").index].flags & FLD_GROUPED);
  EXPECT_EQ(t.field_table[shape.fields.at("NAMES").index].dims[1], 8);
  EXPECT_TRUE(t.file_table[1].flags & FILE_STATIC);
  EXPECT_EQ(t.file_table[1].page_size, 512);
  EXPECT_EQ(t.record_table[0].field_count, 6);
}

TEST(SchemaTextTest, MistakesAreNamedWithTheirLine) {
  struct Case {
    const char *text;
    const char *needle;
  } cases[] = {
      {"database x\nfile a a.d data\nrecord R in a\n F bogus\nend\n", "line 4: unknown type bogus"},
      {"database x\nrecord R in a\n", "missing 'end'"},
      {"database x\nfile a a.d data\nrecord R in a\n F int unique key in nowhere\nend\n", "unknown key file"},
      {"database x\nfile a a.d data\nfile k a.k key\nrecord R in k\nend\n", "is not a data file"},
      {"database x\nfile a a.d data\nfile k a.k key\nrecord R in a\n F char[300] unique key in k\nend\n",
       "longer than 260"},
      {"database x\nfile a a.d data\nfile k a.k key\nrecord R in a\n F char[200]\n G char[100]\n"
       " compound C unique key in k = F, G\nend\n", "longer than 256"},
      {"database x\nfile a a.d data\nrecord R in a\n F char[1100]\nend\n", "do not fit a page"},
      {"database x\nfile a a.d data\nrecord R in a system\n F int\nend\n", "cannot have fields"},
      {"database x\nfile a a.d data\nrecord R in a\nend\nset S order sideways owner R\n", "unknown order"},
  };
  for (const auto &c : cases) {
    kesto_schema::Schema schema;
    std::string error;
    std::vector<unsigned char> image;
    bool ok = kesto_schema::parse_schema(c.text, &schema, &error) &&
              kesto_schema::build_dictionary(schema, &image, nullptr, &error);
    EXPECT_FALSE(ok) << c.text;
    EXPECT_NE(error.find(c.needle), std::string::npos) << error;
  }
}

TEST_F(DictTest, DictionaryThatFailsValidationGivesIncompatible) {
  const std::vector<unsigned char> good = people_image();
  const size_t files = kHeader, records = kHeader + 2 * kFileEntry, fields = records + 3 * 12;
  const size_t sets = fields + 6 * 20, sorts = sets + 2 * 12 + 2 * 8, keys = sorts + 1 * 4;
  // Fields: NAME, AGE, CITY, CITY_AGE (of PERSON), PLATE, WEIGHT (of CAR).
  const size_t name = fields, age = fields + 20, city = fields + 40, city_age = fields + 60, plate = fields + 80;
  auto key_and_type = [](char key, char type) { return key | type << 8; };
  struct Patch {
    const char *what;
    size_t at;
    int value;  // 16-bit; -1000 fills the first file name without a NUL
    size_t at2 = 0;  // a second change, when not 0
    int value2 = 0;
  } patches[] = {
      {"data slots do not fit the page", files + 1030, 200},
      {"key slot above 260 bytes", files + kFileEntry + 1032, 300},
      {"key slots do not fit the page", files + kFileEntry + 1030, 40},
      {"file page above the database page", files + 1034, 1024},
      {"record longer than its slot", records + 12 + 2, 400},
      {"record in a key file", records + 12, 1},
      {"field outside its record", fields + 20 + 14, 300},
      {"key longer than the key slot", fields + 2, 200},
      {"compound key above 256 bytes", fields + 3 * 20 + 2, 300},
      {"key file that is a data file", fields + 10, 0},
      {"duplicate key number", fields + 3 * 20 + 12, 0},
      {"set owner out of range", sets + 2, 7},
      {"set pointer outside the owner", sets + 4, 500},
      {"key table names a plain field", keys, 0},
      {"file name without NUL", files, -1000},
      {"elements beyond the field's bytes", age + 4, 100},
      {"negative dimension", age + 4, -1},
      {"unknown field type", age, key_and_type('n', 'x')},
      {"field in the record's header", name + 14, 2},
      {"key number beyond the key fields", plate + 12, 3},
      {"optional key on a field that is no key", age + 18, 1 << 10},
      {"optional key bit beyond the bitmap", plate + 18, 1 << 10, records + 24 + 4, 6},
      {"compound field that is no key", city_age, key_and_type('n', 'k')},
      {"group member without a group", name + 18, FLD_GROUPED | FLD_SORT},
      {"group member outside its group", age, key_and_type('n', 'g'), city + 18, FLD_GROUPED | FLD_COMPONENT},
      {"compound component of another record", keys + 2, 4},
      {"sort field of another record", sorts, 4},
      {"sort entry of another set", sorts + 2, 0},
      {"record listing another record's field", records + 12 + 8, 5},
  };
  for (const Patch &p : patches) {
    std::vector<unsigned char> image = good;
    if (p.value == -1000) {
      for (int i = 0; i < 1026; ++i) image[p.at + i] = 'a';
    } else {
      put16(image, p.at, p.value);
    }
    if (p.at2) put16(image, p.at2, p.value2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_image(image), S_INCOMPAT) << p.what;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("incompatible dictionary file"), std::string::npos) << p.what << ": " << err;
    EXPECT_EQ(kt().open_state, 0) << p.what;
  }
  EXPECT_EQ(open_image(good), S_OKAY);
}

TEST_F(DictTest, VersionAndShortDictionaries) {
  std::vector<unsigned char> image = people_image();
  image[5] = 0x1B;
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_image(image), S_INCOMPAT);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0457E"), std::string::npos);

  image = people_image();
  put16(image, 8, 0);  // no files
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_image(image), S_BADREAD);
  image = people_image();
  put16(image, 10, 0);  // no record types
  EXPECT_EQ(open_image(image), S_BADREAD);
  image = people_image();
  image.resize(image.size() - 3);
  EXPECT_EQ(open_image(image), S_BADREAD);
  testing::internal::GetCapturedStderr();

  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("missing", "o", nullptr), S_INVDB);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0456E"), std::string::npos);
}

// ---- New files ----

class InitFileTest : public EngineTest {};

void expect_page_zero(const std::vector<unsigned char> &file, uint32_t head, uint32_t next, uint32_t stamp) {
  ASSERT_GE(file.size(), 512u);
  EXPECT_EQ(u32(file, 0), head);
  EXPECT_EQ(u32(file, 4), next);
  EXPECT_EQ(u32(file, 8), stamp);
  uint32_t created = u32(file, 12);
  EXPECT_LE(created, static_cast<uint32_t>(time(nullptr)));
  EXPECT_GE(created + 60, static_cast<uint32_t>(time(nullptr)));
  EXPECT_EQ(u32(file, 16), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&file[20]), 22), std::string("db_KESTO Version 3.20\0", 22));
  for (size_t i = 42; i < 512; ++i) ASSERT_EQ(file[i], 0) << i;
}

TEST_F(InitFileTest, GoldenPageZeroEmptyKeyRootAndSystemRecord) {
  open_people();
  std::vector<unsigned char> data = read_file(dir_.file("people.d00"));
  std::vector<unsigned char> key = read_file(dir_.file("people.k00"));
  ASSERT_EQ(data.size(), 1024u);
  ASSERT_EQ(key.size(), 1024u);
  expect_page_zero(data, 0, 2, 1);
  expect_page_zero(key, 0xFFFFFFFF, 2, 0);
  // Key root: time, count 0, first child -1.
  const unsigned char root_tail[] = {0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<unsigned char>(key.begin() + 516, key.begin() + 522),
            std::vector<unsigned char>(root_tail, root_tail + 6));
  EXPECT_EQ(u32(key, 512), u32(key, 12));
  for (size_t i = 522; i < 1024; ++i) ASSERT_EQ(key[i], 0) << i;
  // System record in slot 1: record number 0, its own address file 0 slot 1.
  const unsigned char sys[] = {0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(data.begin() + 516, data.begin() + 522),
            std::vector<unsigned char>(sys, sys + 6));
  for (size_t i = 522; i < 1024; ++i) ASSERT_EQ(data[i], 0) << i;
  // The page-zero table took the new header.
  EXPECT_EQ(kt().pgzero[0].next, 2u);
  EXPECT_EQ(kt().pgzero[1].head, 0xFFFFFFFFu);
}

TEST_F(InitFileTest, DataFileWithoutSystemRecordAndTimestampedSystemRecord) {
  write_schema(R"(
database two page 256
file a two.a data
file b two.b data
record SYS in a timestamped system
end
record R in b
  X int
end
set S order first owner SYS
  member R
end
)");
  ASSERT_EQ(dt_open("two", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  std::vector<unsigned char> a = read_file(dir_.file("two.a"));
  std::vector<unsigned char> b = read_file(dir_.file("two.b"));
  ASSERT_EQ(a.size(), 512u);
  ASSERT_EQ(b.size(), 256u);
  EXPECT_EQ(u32(b, 4), 1u);
  EXPECT_EQ(u32(a, 4), 2u);
  EXPECT_EQ(u32(a, 256 + 10), 1u);  // creation timestamp
  EXPECT_EQ(u32(a, 256 + 14), 1u);  // update timestamp
}

TEST_F(InitFileTest, RefusalsAndWriteFailures) {
  open_people();
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_initfile(2, nullptr, 0), S_NOFILE);
  EXPECT_EQ(dt_initfile(-1, nullptr, 0), S_NOFILE);
  ASSERT_EQ(dt_on_opt(OPT_READONLY, nullptr), S_OKAY);
  EXPECT_EQ(dt_initfile(0, nullptr, 0), S_READONLY);
  EXPECT_EQ(dt_initialize(nullptr, 0), S_READONLY);
  dt_off_opt(OPT_READONLY, nullptr);
  {
    kesto_test::FaultyIo io;
    io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
    EXPECT_EQ(dt_initfile(0, nullptr, 0), S_BADWRITE);
    io.shorten(kesto_test::FaultyIo::PWRITE, 1);
    EXPECT_EQ(dt_initfile(0, nullptr, 0), S_NOSPACE);
    io.fail(kesto_test::FaultyIo::CLOSE, 2, EIO);  // the first closes the cached descriptor
    EXPECT_EQ(dt_initfile(1, nullptr, 0), S_BADWRITE);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0463E"), std::string::npos) << err;
  EXPECT_NE(err.find("QVKDM0462E"), std::string::npos) << err;
  EXPECT_NE(err.find("QVKDM0471E"), std::string::npos) << err;
  EXPECT_EQ(dt_initialize(nullptr, 0), S_OKAY);
}

}  // namespace
