// A database of owners and members in sets of every order, shared by the
// tests of set connection, navigation, disconnection and deletion.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace kesto_test {

const char *const kSetSchema = R"(
database sets page 512
file d0 sets.d00 data
file k0 sets.k00 key
record SYS in d0 system
end
record OWNER in d0 timestamped
  ONAME char[8] unique key in k0
end
record ITEM in d0 timestamped
  NAME char[8]
  N int
  M short
end
record OTHER in d0
  LABEL char[8]
  N int
end
set FIRSTS order first owner OWNER
  member ITEM
end
set LASTS order last owner OWNER timestamped
  member ITEM
end
set NEXTS order next owner OWNER
  member ITEM
end
set ASC order ascending owner OWNER
  member ITEM sort N, M
  member OTHER sort N
end
set DESC order descending owner OWNER
  member ITEM sort N, M
end
set ALL order last owner SYS
  member OWNER
  member ITEM
end
)";

constexpr int OWNER = 10001, ITEM = 10002, OTHER = 10003;
constexpr int FIRSTS = 20000, LASTS = 20001, NEXTS = 20002, ASC = 20003, DESC = 20004, ALL = 20005;

class SetTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    layout_ = write_schema(kSetSchema);
    ASSERT_EQ(dt_open("sets", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    owner_ = make_owner("o");
  }

  std::vector<char> image(const char *rec) {
    const kesto_schema::RecordInfo &r = layout_.records.at(rec);
    return std::vector<char>(static_cast<size_t>(r.length - r.data), 0);
  }
  char *at(std::vector<char> &d, const char *rec, const char *field) {
    const kesto_schema::RecordInfo &r = layout_.records.at(rec);
    return &d[static_cast<size_t>(r.fields.at(field).offset - r.data)];
  }

  db_address created(int rec, const std::vector<char> &d) {
    db_address dba = 0;
    EXPECT_EQ(dt_fillnew(rec, d.data(), nullptr, 0), S_OKAY);
    EXPECT_EQ(dt_crget(&dba, nullptr, 0), S_OKAY);
    return dba;
  }
  db_address make_owner(const char *name) {
    std::vector<char> d = image("OWNER");
    std::strcpy(at(d, "OWNER", "ONAME"), name);
    return created(OWNER, d);
  }
  db_address item(const char *name, int32_t n = 0, int16_t m = 0) {
    std::vector<char> d = image("ITEM");
    std::strcpy(at(d, "ITEM", "NAME"), name);
    std::memcpy(at(d, "ITEM", "N"), &n, 4);
    std::memcpy(at(d, "ITEM", "M"), &m, 2);
    return created(ITEM, d);
  }
  db_address other(const char *label, int32_t n) {
    std::vector<char> d = image("OTHER");
    std::strcpy(at(d, "OTHER", "LABEL"), label);
    std::memcpy(at(d, "OTHER", "N"), &n, 4);
    return created(OTHER, d);
  }

  // Makes `owner` the set's current owner (which clears its current
  // member) and `member` the current record, and connects.
  int connect(int set, db_address owner, db_address member) {
    EXPECT_EQ(dt_csoset(set, &owner, nullptr, 0), S_OKAY);
    EXPECT_EQ(dt_crset(&member, nullptr, 0), S_OKAY);
    return dt_connect(set, nullptr, 0);
  }

  std::vector<db_address> members(int set, db_address owner) {
    std::vector<db_address> m;
    EXPECT_TRUE(kesto_test::check_set(set, owner, &m));
    return m;
  }

  member_pointer link(int set, db_address dba) {
    char *rec;
    member_pointer mp{};
    EXPECT_EQ(dio_read(dba, &rec, 0), S_OKAY);
    EXPECT_EQ(r_gmem(set - 20000, rec, &mp), S_OKAY);
    return mp;
  }

  kesto_schema::Layout layout_;
  db_address owner_ = 0;
};

}  // namespace kesto_test
