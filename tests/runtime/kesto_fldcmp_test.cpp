// Typed comparison of field values: every field type, the country table's
// collation, NaN.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;

const char *const kTypesSchema = R"(
database types page 512
file d0 types.d00 data
file k0 types.k00 key
record R in d0
  S short
  US short unsigned
  I int
  UI int unsigned
  L long
  F float
  FA float[2]
  D double
  A dbaddr
  C char
  UC char unsigned
  STR char[8]
  RAW char[2][3]
  group G
    GS short
    GC char[3]
  end
  compound K unique key in k0 = STR desc, I
end
)";

std::vector<char> bytes(const void *p, size_t n) {
  const char *c = static_cast<const char *>(p);
  return std::vector<char>(c, c + n);
}
template <typename T>
std::vector<char> of(T v) {
  return bytes(&v, sizeof v);
}
template <typename T>
std::vector<char> pair_of(T a, T b) {
  T v[2] = {a, b};
  return bytes(v, sizeof v);
}
std::vector<char> text(const std::string &s, size_t n) {
  std::vector<char> v(n, 0);
  std::memcpy(v.data(), s.data(), std::min(n, s.size()));
  return v;
}
// A group value: GS at 0, GC at 2, and one byte of padding as given.
std::vector<char> group(int16_t gs, const char *gc, char pad) {
  std::vector<char> v(6, pad);
  std::memcpy(v.data(), &gs, 2);
  std::memcpy(v.data() + 2, gc, 3);
  return v;
}
std::vector<char> compound(const std::string &str, int32_t i) {
  std::vector<char> v = text(str, 12);
  std::memcpy(v.data() + 8, &i, 4);
  return v;
}

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

class FldcmpTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kTypesSchema);
    ASSERT_EQ(dt_open("types", "o", nullptr), S_OKAY);
  }

  const field_entry *field(const char *name) {
    return &kt().field_table[layout_.records.at("R").fields.at(name).index];
  }

  int compare(const char *name, const std::vector<char> &a, const std::vector<char> &b) {
    return fldcmp(field(name), a.data(), b.data());
  }

  kesto_schema::Layout layout_;
};

TEST_F(FldcmpTest, EveryFieldType) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const double dnan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char *what;
    const char *field;
    std::vector<char> a, b;
    int expected;  // sign, except where the value itself is given
    bool exact;
  } cases[] = {
      {"short, signed", "S", of<int16_t>(-1), of<int16_t>(1), -1, false},
      {"short, unsigned", "US", of<uint16_t>(0xFFFF), of<uint16_t>(1), 1, true},
      {"short, equal", "S", of<int16_t>(7), of<int16_t>(7), 0, true},
      {"int, signed", "I", of<int32_t>(INT32_MIN), of<int32_t>(0), -1, true},
      {"int, unsigned", "UI", of<uint32_t>(0x80000000u), of<uint32_t>(1), 1, true},
      {"long", "L", of<int32_t>(5), of<int32_t>(-5), 1, true},
      {"float", "F", of<float>(1.5f), of<float>(2.5f), -1, true},
      {"float, NaN first", "F", of<float>(nan), of<float>(1.0f), 0, true},
      {"float, NaN second", "F", of<float>(2.0f), of<float>(nan), 0, true},
      {"float, signed zeros", "F", of<float>(-0.0f), of<float>(0.0f), 0, true},
      {"float array, NaN lets the next element decide", "FA", pair_of<float>(nan, 1.0f),
       pair_of<float>(5.0f, 2.0f), -1, true},
      {"double", "D", of<double>(1e300), of<double>(-1e300), 1, true},
      {"double, NaN", "D", of<double>(dnan), of<double>(dnan), 0, true},
      {"address, other file", "A", of<uint32_t>(0x02000001), of<uint32_t>(0x00000009), 2, true},
      {"address, same file", "A", of<uint32_t>(0x01000005), of<uint32_t>(0x01000007), -1, true},
      {"char, signed", "C", of<char>('a'), of<char>(static_cast<char>(0xE9)), 1, false},
      {"char, unsigned", "UC", of<char>('a'), of<char>(static_cast<char>(0xE9)), -1, false},
      {"string", "STR", text("abc", 8), text("abd", 8), -1, false},
      {"string, bytes after the end", "STR", text(std::string("abc\0X", 5), 8),
       text(std::string("abc\0Y", 5), 8), 0, true},
      {"string, shorter first", "STR", text("ab", 8), text("abc", 8), -1, false},
      {"string filling its field", "STR", text("abcdefgh", 8), text("abcdefgh", 8), 0, true},
      {"character array, NUL inside", "RAW", text(std::string("a\0b", 3), 6), text(std::string("a\0c", 3), 6),
       -1, true},
      {"character array, unsigned bytes", "RAW", text("\xff", 6), text("\x01", 6), 1, true},
      {"group, first member decides", "G", group(1, "zzz", 0), group(2, "aaa", 0), -1, false},
      {"group, second member decides", "G", group(2, "abc", 0), group(2, "abd", 0), -1, false},
      {"group, padding ignored", "G", group(2, "abc", 'x'), group(2, "abc", 'y'), 0, true},
      // The descending direction of STR applies to stored keys only.
      {"compound, ascending compare", "K", compound("ab", 9), compound("abc", 1), -1, false},
      {"compound, second component", "K", compound("ab", 1), compound("ab", 9), -1, true},
  };
  for (const Case &c : cases) {
    int got = compare(c.field, c.a, c.b);
    if (c.exact) EXPECT_EQ(got, c.expected) << c.what;
    else EXPECT_EQ(sign(got), c.expected) << c.what;
    // Swapping the values turns the order round.
    EXPECT_EQ(sign(compare(c.field, c.b, c.a)), -sign(c.expected)) << c.what << ", swapped";
  }
}

TEST_F(FldcmpTest, CountryTableCollation) {
  // A secondary order for 'é' after 'e', and 'ß' sorting as "ss".
  ASSERT_EQ(dt_mapchar(0xE9, 0xE9, "e", 1, nullptr), S_OKAY);
  ASSERT_EQ(dt_mapchar(0xDF, 0xDF, "ss", 0, nullptr), S_OKAY);
  struct Case {
    const char *what;
    std::string a, b;
    int expected;
  } cases[] = {
      {"plain letters", "abc", "abd", -1},
      {"shorter first", "abc", "abcd", -1},
      {"equal", "abc", "abc", 0},
      {"secondary order", "\xe9", "e", 1},
      {"primary before secondary", "\xe9", "f", -1},
      {"two-character sort", "\xdf", "ss", 0},
      {"two-character sort, followed", "\xdf" "a", "ssa", 0},
      {"two-character sort against the next letter", "\xdf", "st", -1},
      {"letter case, no table entry", "abc", "ABC", 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(sign(compare("STR", text(c.a, 8), text(c.b, 8))), c.expected) << c.what;
    EXPECT_EQ(sign(compare("STR", text(c.b, 8), text(c.a, 8))), -c.expected) << c.what << ", swapped";
  }

  // Ignoring case maps the lower-case letters on the upper-case ones.
  ASSERT_EQ(dt_on_opt(OPT_IGNORECASE, nullptr), S_OKAY);
  EXPECT_EQ(compare("STR", text("abc", 8), text("ABC", 8)), 0);
  EXPECT_LT(compare("STR", text("abc", 8), text("ABD", 8)), 0);
  ASSERT_EQ(dt_off_opt(OPT_IGNORECASE, nullptr), S_OKAY);
  EXPECT_NE(compare("STR", text("abc", 8), text("ABC", 8)), 0);
}

TEST_F(FldcmpTest, CollationStaysInsideTheField) {
  ASSERT_EQ(dt_mapchar(0xDF, 0xDF, "ss", 0, nullptr), S_OKAY);
  // 'ß' in the last byte of a full field looks one character ahead in the
  // other value: past the field's end it sees the end of the string, not
  // whatever follows the field in memory.
  std::vector<char> a = text("abcdefg\xdf", 9), b1 = text("abcdefgs" "s", 9), b2 = text("abcdefgs" "x", 9);
  int with_s = compare("STR", a, b1), with_x = compare("STR", a, b2);
  EXPECT_EQ(with_s, with_x);
  EXPECT_GT(with_s, 0);
}

TEST_F(FldcmpTest, WithoutACountryTableStrncmpDecides) {
  EXPECT_GT(compare("STR", text("abc", 8), text("ABC", 8)), 0);
  EXPECT_LT(compare("STR", text("\x01", 8), text("\xff", 8)), 0);
}

}  // namespace
