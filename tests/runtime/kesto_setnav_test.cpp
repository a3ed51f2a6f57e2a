// Set navigation, membership and currency: moving through a set, the
// registers each call sets, disconnecting members, disconnecting and
// deleting a record, and saving and restoring the whole currency.
#include <cerrno>
#include <string>
#include <vector>

#include "kesto_set_fixture.h"

namespace {

using namespace kesto_test;  // the set database's names

class SetNavTest : public SetTest {
 protected:
  // Owner o with members a, b, c in LASTS.
  void SetUp() override {
    SetTest::SetUp();
    a_ = item("a");
    b_ = item("b");
    c_ = item("c");
    for (db_address m : {a_, b_, c_}) ASSERT_EQ(connect(LASTS, owner_, m), S_OKAY);
  }

  db_address cr() { return kt().current_record; }
  db_address own(int set) { return kt().curr_own[set - 20000]; }
  db_address mem(int set) { return kt().curr_mem[set - 20000]; }

  set_pointer head(int set, db_address owner) {
    char *rec;
    set_pointer sp{};
    EXPECT_EQ(dio_read(owner, &rec, 0), S_OKAY);
    EXPECT_EQ(r_gset(set - 20000, rec, &sp), S_OKAY);
    return sp;
  }

  db_address a_ = 0, b_ = 0, c_ = 0;
};

TEST_F(SetNavTest, MovesWalkTheChainAndStopAtItsEnds) {
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  std::vector<db_address> seen;
  int status = dt_findfm(LASTS, nullptr, 0);
  for (; status == S_OKAY; status = dt_findnm(LASTS, nullptr, 0)) {
    seen.push_back(cr());
    EXPECT_EQ(mem(LASTS), cr());
  }
  EXPECT_EQ(status, S_EOS);
  EXPECT_EQ(seen, (std::vector<db_address>{a_, b_, c_}));
  // After the last: no current member, the current record stays, and the
  // next move starts over at the first.
  EXPECT_EQ(mem(LASTS), 0u);
  EXPECT_EQ(cr(), c_);
  ASSERT_EQ(dt_findnm(LASTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(cr(), a_);
  ASSERT_EQ(dt_findlm(LASTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(cr(), c_);
  EXPECT_EQ(mem(LASTS), c_);
  // The member's update timestamp comes along.
  uint32_t stamp = 0;
  ASSERT_EQ(dt_utscr(&stamp, nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().cr_time, stamp);
  EXPECT_EQ(kt().cm_time[LASTS - 20000], stamp);

  // An empty set: 1, the current record kept, no current member.
  ASSERT_EQ(dt_csoset(FIRSTS, &owner_, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_findfm(FIRSTS, nullptr, 0), S_EOS);
  EXPECT_EQ(dt_findlm(FIRSTS, nullptr, 0), S_EOS);
  EXPECT_EQ(dt_findnm(FIRSTS, nullptr, 0), S_EOS);
  EXPECT_EQ(cr(), c_);
  EXPECT_EQ(mem(FIRSTS), 0u);
}

TEST_F(SetNavTest, MembershipAndCount) {
  int32_t count = -1;
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_members(LASTS, &count, nullptr, 0), S_OKAY);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(dt_csoset(FIRSTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_members(FIRSTS, &count, nullptr, 0), S_OKAY);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(dt_crset(&b_, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_ismember(LASTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_ismember(FIRSTS, nullptr, 0), S_EOS);
  ASSERT_EQ(dt_crset(&owner_, nullptr, 0), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_ismember(LASTS, nullptr, 0), S_INVMEM);  // an owner type is no member type
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0340E"), std::string::npos);
}

TEST_F(SetNavTest, RegistersMoveBetweenSets) {
  // A member made current brings its own owner along.
  db_address other_owner = make_owner("p");
  db_address d = item("d");
  ASSERT_EQ(connect(LASTS, other_owner, d), S_OKAY);
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_csmset(LASTS, &d, nullptr, 0), S_OKAY);
  EXPECT_EQ(own(LASTS), other_owner);
  EXPECT_EQ(mem(LASTS), d);
  ASSERT_EQ(dt_csmset(LASTS, nullptr, nullptr, 0), S_OKAY);
  EXPECT_EQ(mem(LASTS), 0u);
  EXPECT_EQ(own(LASTS), other_owner);

  // The current record as member, then as owner, then back.
  ASSERT_EQ(dt_crset(&b_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setmr(LASTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(own(LASTS), owner_);
  EXPECT_EQ(mem(LASTS), b_);
  ASSERT_EQ(dt_crset(&owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setor(FIRSTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(own(FIRSTS), owner_);
  EXPECT_EQ(kt().co_time[FIRSTS - 20000], kt().cr_time);
  ASSERT_EQ(dt_setoo(ASC, FIRSTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(own(ASC), owner_);
  EXPECT_EQ(mem(ASC), 0u);
  ASSERT_EQ(dt_crset(&a_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setro(ASC, nullptr, 0), S_OKAY);
  EXPECT_EQ(cr(), owner_);

  // An owner as member of another set: o belongs to ALL under the system
  // record.
  ASSERT_EQ(connect(ALL, 1, owner_), S_OKAY);
  kt().curr_own[ALL - 20000] = 0;
  ASSERT_EQ(dt_setmo(ALL, FIRSTS, nullptr, 0), S_OKAY);
  EXPECT_EQ(own(ALL), 1u);
  EXPECT_EQ(mem(ALL), owner_);

  const struct {
    const char *what;
    int status;
    const char *message;
    int (*call)(db_address);
    db_address arg;
  } refusals[] = {
      {"owner-to-owner across owner types", S_INVOWN, "QVKDM0304E",
       [](db_address) { return dt_setoo(ALL, FIRSTS, nullptr, 0); }, 0},
      {"an owner type that is no member type", S_INVMEM, "QVKDM0310E",
       [](db_address) { return dt_setmo(FIRSTS, ALL, nullptr, 0); }, 0},
      {"a member of a type the set does not hold", S_INVMEM, "QVKDM0182E",
       [](db_address dba) { return dt_csmset(FIRSTS, &dba, nullptr, 0); }, 1},
      {"a member that is not connected", S_NOTCON, "QVKDM0346E",
       [](db_address dba) { return dt_csmset(FIRSTS, &dba, nullptr, 0); }, 0},
      {"the current record as owner of a set its type cannot own", S_INVOWN, "QVKDM0303E",
       [](db_address) { return dt_setor(ALL, nullptr, 0); }, 0},
      {"a set without current owner as source", S_NOCO, "QVKDM0305E",
       [](db_address) { return dt_setoo(DESC, NEXTS, nullptr, 0); }, 0},
  };
  db_address lone = item("lone");
  for (const auto &r : refusals) {
    SCOPED_TRACE(r.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(r.call(r.arg ? r.arg : lone), r.status);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(r.message), std::string::npos);
  }
}

TEST_F(SetNavTest, DisconnectingRelinksTheNeighbours) {
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_csmset(LASTS, &b_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_discon(LASTS, nullptr, 0), S_OKAY);  // the middle one
  EXPECT_EQ(cr(), b_);
  EXPECT_EQ(mem(LASTS), c_);
  EXPECT_EQ(members(LASTS, owner_), (std::vector<db_address>{a_, c_}));
  EXPECT_EQ(link(LASTS, b_).owner, 0u);

  ASSERT_EQ(dt_discon(LASTS, nullptr, 0), S_EOS);  // c, the last
  EXPECT_EQ(mem(LASTS), 0u);
  ASSERT_EQ(dt_findfm(LASTS, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_discon(LASTS, nullptr, 0), S_EOS);  // a, the only one
  EXPECT_EQ(cr(), a_);
  set_pointer sp = head(LASTS, owner_);
  EXPECT_EQ(sp.total, 0u);
  EXPECT_EQ(sp.first, 0u);
  EXPECT_EQ(sp.last, 0u);
  member_pointer ma = link(LASTS, a_);
  EXPECT_EQ(ma.owner | ma.prev | ma.next, 0u);
  // The set's timestamp is the file's counter at the disconnection.
  EXPECT_EQ(sp.timestamp, dio_pzgetts(0));
  EXPECT_EQ(kt().cs_time[LASTS - 20000], sp.timestamp);
}

TEST_F(SetNavTest, DisconnectRefusals) {
  db_task &t = kt();
  db_address lone = item("lone");
  const struct {
    const char *what;
    db_address owner, member;
    int status;
    const char *message;  // null: nothing printed
  } cases[] = {
      {"no current owner", 0, a_, S_NOCO, "QVKDM0003E"},
      {"no current member", owner_, 0, S_NOCM, "QVKDM0004E"},
      {"a member that is not connected", owner_, lone, S_NOTCON, nullptr},
      {"a member of another owner", make_owner("p"), a_, S_SYSERR, "QVKDM0816E"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    t.curr_own[LASTS - 20000] = c.owner;
    t.curr_mem[LASTS - 20000] = c.member;
    t.current_record = b_;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_discon(LASTS, nullptr, 0), c.status);
    std::string err = testing::internal::GetCapturedStderr();
    if (c.message) EXPECT_NE(err.find(c.message), std::string::npos);
    else EXPECT_EQ(err, "");
    EXPECT_EQ(cr(), b_);
    EXPECT_EQ(members(LASTS, owner_), (std::vector<db_address>{a_, b_, c_}));
  }
  ASSERT_EQ(dio_flush(), S_OKAY);
  EXPECT_EQ(dio_modheld(), 0);  // nothing left held
}

// A disconnection reads the member, its owner and both neighbours before
// it changes any: a failed read, at whichever step, leaves the chain whole.
TEST_F(SetNavTest, AFailedReadLeavesTheChainWhole) {
  std::vector<db_address> made;
  for (int i = 0; i < 43; ++i) {
    made.push_back(item("i", (i * 17) % 43));  // chain order far from slot order
    ASSERT_EQ(connect(ASC, owner_, made.back()), S_OKAY);
  }
  std::vector<db_address> before = members(ASC, owner_);
  db_address leaving = before[20];
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(d_setpages(8, 2), S_OKAY);
  int failures = 0, status = S_SYSERR;
  for (int nth = 1; nth < 50 && status != S_OKAY; ++nth) {
    // A cold cache; the registers set by hand, so that nothing is read
    // before the disconnection.
    ASSERT_EQ(dt_open("sets", "o", nullptr), S_OKAY);
    kt().curr_own[ASC - 20000] = owner_;
    kt().curr_mem[ASC - 20000] = leaving;
    {
      kesto_test::FaultyIo io;
      io.fail(kesto_test::FaultyIo::PREAD, nth, EIO);
      testing::internal::CaptureStderr();
      status = dt_discon(ASC, nullptr, 0);
      testing::internal::GetCapturedStderr();
    }
    if (status != S_OKAY) {
      ++failures;
      ASSERT_LT(status, 0);
      EXPECT_EQ(members(ASC, owner_), before) << "at " << nth;
      ASSERT_EQ(dio_flush(), S_OKAY);
      EXPECT_EQ(dio_modheld(), 0) << "at " << nth;
      ASSERT_EQ(dt_close(nullptr), S_OKAY);
    }
  }
  ASSERT_EQ(status, S_OKAY);
  EXPECT_GE(failures, 3);
  before.erase(before.begin() + 20);
  EXPECT_EQ(members(ASC, owner_), before);
  EXPECT_EQ(link(ASC, leaving).owner, 0u);
}

TEST_F(SetNavTest, DisdelTakesARecordOutOfEverySet) {
  // o owns a, b, c in LASTS and belongs to ALL; b also belongs to ASC of
  // another owner.
  db_address p = make_owner("p");
  ASSERT_EQ(connect(ALL, 1, owner_), S_OKAY);
  ASSERT_EQ(connect(ASC, p, b_), S_OKAY);
  // Registers to keep and to lose: ASC's owner p stays, its member b goes
  // once b is deleted; LASTS names o, which goes.
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_csoset(DESC, &p, nullptr, 0), S_OKAY);

  ASSERT_EQ(dt_crset(&owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_disdel(nullptr, 0), S_OKAY);
  for (db_address m : {a_, b_, c_}) EXPECT_EQ(link(LASTS, m).owner, 0u);
  EXPECT_EQ(members(ALL, 1), std::vector<db_address>{});
  EXPECT_EQ(own(LASTS), 0u);
  EXPECT_EQ(own(DESC), p);
  EXPECT_EQ(dt_crget(nullptr, nullptr, 0), S_NOCR);
  char *rec;
  ASSERT_EQ(dio_read(owner_, &rec, 0), S_OKAY);
  EXPECT_TRUE(rec_id(rec) & 0x8000);

  // A member of a set goes too, its owner's chain closing up.
  ASSERT_EQ(dt_csmset(ASC, &b_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crset(&b_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_disdel(nullptr, 0), S_OKAY);
  EXPECT_EQ(members(ASC, p), std::vector<db_address>{});
  EXPECT_EQ(own(ASC), p);
  EXPECT_EQ(mem(ASC), 0u);
  DataFileShape shape;
  ASSERT_TRUE(check_data_file(0, &shape));
  EXPECT_EQ(shape.deleted, 2);
}

TEST_F(SetNavTest, SavedCurrencyComesBackExactly) {
  db_task &t = kt();
  auto snapshot = [&t]() {
    std::vector<uint32_t> s{t.current_record, t.cr_time};
    for (int i = 0; i < t.size_st; ++i)
      for (uint32_t v : {t.curr_own[i], t.curr_mem[i], t.co_time[i], t.cm_time[i], t.cs_time[i]}) s.push_back(v);
    return s;
  };
  ASSERT_EQ(dt_csoset(LASTS, &owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_findlm(LASTS, nullptr, 0), S_OKAY);
  db_address *saved = nullptr;
  int size = 0;
  ASSERT_EQ(dt_rdcurr(&saved, &size, nullptr), S_OKAY);
  // 6 sets, records and sets timestamped: (8n + 4) * 2 + 4n bytes.
  EXPECT_EQ(size, (8 * 6 + 4) * 2 + 4 * 6);
  std::vector<uint32_t> before = snapshot();

  ASSERT_EQ(dt_findfm(LASTS, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_crset(&owner_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_setor(FIRSTS, nullptr, 0), S_OKAY);
  t.pgzero[0].stamp += 2;
  ASSERT_EQ(dt_csmset(LASTS, &b_, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_discon(LASTS, nullptr, 0), S_OKAY);
  ASSERT_NE(snapshot(), before);
  ASSERT_EQ(dt_wrcurr(saved, nullptr), S_OKAY);
  EXPECT_EQ(snapshot(), before);

  // Read again into a new buffer, and refused once the sets it was made
  // for are no longer the open ones (the buffer is freed all the same).
  ASSERT_EQ(dt_rdcurr(&saved, &size, nullptr), S_OKAY);
  ASSERT_EQ(dt_rerdcurr(&saved, nullptr), S_OKAY);
  write_schema("database extra\nfile d0 extra.d00 data\nrecord R in d0\n  X int\nend\n"
               "set S order last owner R\n  member R\nend\n");
  ASSERT_EQ(dt_iopen("extra", nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_rerdcurr(&saved, nullptr), S_SYSERR);
  EXPECT_EQ(dt_wrcurr(saved, nullptr), S_SYSERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0818E"), std::string::npos);
}

}  // namespace
