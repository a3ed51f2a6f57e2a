// Set connection: where a new member goes in each set order, the pointers
// and counts it leaves, timestamps, and the refusals that change nothing.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kesto_set_fixture.h"

namespace {

using namespace kesto_test;  // the set database's names
using ConnectTest = SetTest;

TEST_F(ConnectTest, EachOrderPlacesTheNewMember) {
  struct Key {
    int32_t n;
    int16_t m;
  };
  const struct {
    const char *what;
    int set;
    std::vector<Key> keys;          // connected in this order
    std::vector<size_t> expected;   // positions in `keys`, in chain order
  } cases[] = {
      {"first", FIRSTS, {{1, 0}, {2, 0}, {3, 0}}, {2, 1, 0}},
      {"last", LASTS, {{1, 0}, {2, 0}, {3, 0}}, {0, 1, 2}},
      {"next without a current member", NEXTS, {{1, 0}, {2, 0}}, {1, 0}},
      {"ascending, equal keys in call order", ASC, {{5, 0}, {3, 0}, {5, 0}, {4, 0}}, {1, 3, 0, 2}},
      {"descending, equal keys in call order", DESC, {{5, 0}, {3, 0}, {5, 0}, {4, 0}}, {0, 2, 3, 1}},
      {"ascending on the second sort field", ASC, {{2, 9}, {2, 1}, {1, 5}, {2, 5}}, {2, 1, 3, 0}},
      {"descending on the second sort field", DESC, {{2, 9}, {2, 1}, {1, 5}, {2, 5}}, {0, 3, 1, 2}},
  };
  int round = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    db_address owner = make_owner(("o" + std::to_string(++round)).c_str());
    std::vector<db_address> made;
    for (const Key &k : c.keys) {
      made.push_back(item("i", k.n, k.m));
      // The set's current member is cleared before each connection.
      ASSERT_EQ(connect(c.set, owner, made.back()), S_OKAY);
      EXPECT_EQ(kt().curr_mem[c.set - 20000], made.back());
    }
    std::vector<db_address> want;
    for (size_t i : c.expected) want.push_back(made[i]);
    EXPECT_EQ(members(c.set, owner), want);
  }
}

TEST_F(ConnectTest, NextGoesAfterTheCurrentMember) {
  db_address a = item("a"), b = item("b"), c = item("c"), d = item("d");
  ASSERT_EQ(connect(NEXTS, owner_, a), S_OKAY);
  // Connecting leaves the new member current: b follows a.
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_connect(NEXTS, nullptr, 0), S_OKAY);
  // Between a and b.
  kt().curr_mem[NEXTS - 20000] = a;
  ASSERT_EQ(dt_crset(&c, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_connect(NEXTS, nullptr, 0), S_OKAY);
  // After the last.
  kt().curr_mem[NEXTS - 20000] = b;
  ASSERT_EQ(dt_crset(&d, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_connect(NEXTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(members(NEXTS, owner_), (std::vector<db_address>{a, c, b, d}));
  member_pointer mc = link(NEXTS, c);
  EXPECT_EQ(mc.owner, owner_);
  EXPECT_EQ(mc.prev, a);
  EXPECT_EQ(mc.next, b);
}

// Registers or chains that disagree with each other are reported instead
// of being followed: a current member of another owner would splice two
// chains, and a chain that loops would keep a sorted walk going for ever.
TEST_F(ConnectTest, InconsistenciesAreReportedNotFollowed) {
  db_address other_owner = make_owner("p");
  db_address a = item("a", 1), b = item("b", 2), x = item("x", 3), late = item("late", 9);
  ASSERT_EQ(connect(NEXTS, other_owner, x), S_OKAY);
  ASSERT_EQ(connect(NEXTS, owner_, a), S_OKAY);
  kt().curr_mem[NEXTS - 20000] = x;
  ASSERT_EQ(dt_crset(&b, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_connect(NEXTS, nullptr, 0), S_SYSERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0813E"), std::string::npos);
  EXPECT_EQ(members(NEXTS, owner_), (std::vector<db_address>{a}));
  EXPECT_EQ(members(NEXTS, other_owner), (std::vector<db_address>{x}));

  ASSERT_EQ(connect(ASC, owner_, a), S_OKAY);
  ASSERT_EQ(connect(ASC, owner_, b), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read(b, &rec, 1), S_OKAY);
  member_pointer loop{owner_, a, a};  // b leads back to a
  ASSERT_EQ(r_pmem(ASC - 20000, rec, &loop), S_OKAY);
  ASSERT_EQ(dio_write(b, nullptr, 1), S_OKAY);
  ASSERT_EQ(dt_csoset(ASC, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crset(&late, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_connect(ASC, nullptr, 0), S_SYSERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0815E"), std::string::npos);
  EXPECT_EQ(link(ASC, late).owner, 0u);
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(dio_modheld(), 0);
}

TEST_F(ConnectTest, SortListsOfDifferentLengthsCompareTheirCommonPart) {
  db_address i51 = item("i51", 5, 1), o5 = other("o5", 5), i50 = item("i50", 5, 0), o4 = other("o4", 4);
  for (db_address m : {i51, o5, i50, o4}) ASSERT_EQ(connect(ASC, owner_, m), S_OKAY);
  // o5 equals i51 on N (all it has) and goes after it; i50 sorts before
  // i51 on M; o4 is lowest.
  EXPECT_EQ(members(ASC, owner_), (std::vector<db_address>{o4, i50, i51, o5}));
}

TEST_F(ConnectTest, TheFirstMemberOfAnEmptySetHasNoNeighbours) {
  db_address a = item("a");
  ASSERT_EQ(connect(FIRSTS, owner_, a), S_OKAY);
  member_pointer ma = link(FIRSTS, a);
  EXPECT_EQ(ma.owner, owner_);
  EXPECT_EQ(ma.prev, 0u);
  EXPECT_EQ(ma.next, 0u);
  char *rec;
  ASSERT_EQ(dio_read(owner_, &rec, 0), S_OKAY);
  set_pointer head;
  ASSERT_EQ(r_gset(FIRSTS - 20000, rec, &head), S_OKAY);
  EXPECT_EQ(head.total, 1u);
  EXPECT_EQ(head.first, a);
  EXPECT_EQ(head.last, a);
  // One record may belong to several sets at once, of different owners.
  ASSERT_EQ(connect(ALL, 1, a), S_OKAY);
  ASSERT_EQ(connect(ALL, 1, owner_), S_OKAY);
  EXPECT_EQ(members(ALL, 1), (std::vector<db_address>{a, owner_}));
  EXPECT_EQ(members(FIRSTS, owner_), (std::vector<db_address>{a}));
}

TEST_F(ConnectTest, ATimestampedSetTakesItsOwnersFileCounter) {
  db_task &t = kt();
  db_address a = item("a");
  // Let the file's counter move away from the records' stamps.
  t.pgzero[0].stamp += 5;
  ASSERT_EQ(connect(LASTS, owner_, a), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read(owner_, &rec, 0), S_OKAY);
  set_pointer head;
  ASSERT_EQ(r_gset(LASTS - 20000, rec, &head), S_OKAY);
  EXPECT_EQ(head.timestamp, dio_pzgetts(0));
  EXPECT_EQ(t.cs_time[LASTS - 20000], head.timestamp);
  uint32_t stamp = 0;
  ASSERT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(t.cm_time[LASTS - 20000], stamp);
  EXPECT_NE(stamp, head.timestamp);
  // An untimestamped set keeps no set timestamp.
  ASSERT_EQ(connect(FIRSTS, owner_, a), S_OKAY);
  EXPECT_EQ(t.cs_time[FIRSTS - 20000], 0u);
}

TEST_F(ConnectTest, RefusalsChangeNothing) {
  db_task &t = kt();
  db_address a = item("a"), b = item("b"), x = other("x", 1);
  ASSERT_EQ(connect(LASTS, owner_, a), S_OKAY);
  const struct {
    const char *what;
    int status;
    const char *message;
    int set;
    db_address owner, record;  // 0: none
  } cases[] = {
      {"connected twice", S_ISOWNED, "QVKDM0194E", LASTS, owner_, a},
      {"no current record", S_NOCR, "QVKDM0192E", LASTS, owner_, 0},
      {"no current owner", S_NOCO, "QVKDM0193E", LASTS, 0, b},
      {"no such set", S_INVSET, "QVKDM0400E", 20006, owner_, b},
      {"a record type that is no member", S_INVMEM, "QVKDM0340E", LASTS, owner_, x},
      {"an owner of the wrong type", S_SYSERR, "QVKDM0195E", LASTS, a, b},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.set == LASTS) t.curr_own[LASTS - 20000] = c.owner;  // by hand: dt_csoset checks the type
    t.current_record = c.record;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_connect(c.set, nullptr, 0), c.status);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(c.message), std::string::npos);
    EXPECT_EQ(members(LASTS, owner_), (std::vector<db_address>{a}));
    EXPECT_EQ(link(LASTS, b).owner, 0u);
  }
  // Nothing stays held: once written out, no page is changed or held.
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(dio_modheld(), 0);
}

// A read that fails part-way leaves the set as it was and holds nothing:
// a connection reads every record it changes before it writes any.
TEST_F(ConnectTest, AFailedReadLeavesTheSetAsItWas) {
  std::vector<db_address> made;
  for (int i = 0; i < 40; ++i) {
    made.push_back(item("i", i % 7, static_cast<int16_t>(i)));
    ASSERT_EQ(connect(ASC, owner_, made.back()), S_OKAY);
  }
  db_address late = item("late", 3, 100);
  std::vector<db_address> before = members(ASC, owner_);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(d_setpages(8, 2), S_OKAY);
  int failures = 0;
  for (int nth = 1; nth < 100; ++nth) {
    ASSERT_EQ(dt_open("sets", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_csoset(ASC, &owner_, nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_crset(&late, nullptr, 0), S_OKAY);
    int status;
    {
      kesto_test::FaultyIo io;
      io.fail(kesto_test::FaultyIo::PREAD, nth, EIO);
      testing::internal::CaptureStderr();
      status = dt_connect(ASC, nullptr, 0);
      testing::internal::GetCapturedStderr();
    }
    if (status == S_OKAY) break;
    ++failures;
    ASSERT_LT(status, 0);
    EXPECT_EQ(members(ASC, owner_), before) << "at " << nth;
    EXPECT_EQ(link(ASC, late).owner, 0u) << "at " << nth;
    ASSERT_EQ(dio_flush(), S_OKAY);
    EXPECT_EQ(dio_modheld(), 0) << "at " << nth;
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
  }
  EXPECT_GT(failures, 3);
  std::vector<db_address> after = members(ASC, owner_);
  ASSERT_EQ(after.size(), 41u);
  // Keys (3, 100) follow every (3, m < 100): after made[38], before made[4].
  auto at = std::find(after.begin(), after.end(), late);
  ASSERT_NE(at, after.end());
  EXPECT_EQ(*(at - 1), made[38]);
  EXPECT_EQ(*(at + 1), made[4]);
}

}  // namespace
