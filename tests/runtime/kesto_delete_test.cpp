// Record delete: what may go, what it takes with it (key entries, the
// slot, currency), and the refusals that change nothing.
#include <string>
#include <vector>

#include "kesto_set_fixture.h"

namespace {

using namespace kesto_test;  // the set database's names
using DeleteTest = SetTest;

TEST_F(DeleteTest, ARecordInNoSetGoesWithItsKeysAndCurrency) {
  db_task &t = kt();
  db_address other_owner = make_owner("p");
  // The owner heads an empty set, and is current owner and member here
  // and there.
  t.curr_own[FIRSTS - 20000] = owner_;
  t.curr_own[NEXTS - 20000] = other_owner;
  t.curr_mem[NEXTS - 20000] = owner_;  // by hand: no real set holds it so
  t.current_record = owner_;
  ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);

  EXPECT_EQ(dt_crget(nullptr, nullptr, 0), S_NOCR);
  EXPECT_EQ(t.curr_own[FIRSTS - 20000], 0u);
  EXPECT_EQ(t.curr_mem[FIRSTS - 20000], 0u);
  EXPECT_EQ(t.curr_own[NEXTS - 20000], other_owner);
  EXPECT_EQ(t.curr_mem[NEXTS - 20000], 0u);
  EXPECT_EQ(dt_keyfind(layout_.records.at("OWNER").fields.at("ONAME").number, "o", nullptr, 0), S_NOTFOUND);
  std::vector<KeyFileEntry> entries;
  ASSERT_TRUE(check_key_file(1, &entries));
  EXPECT_EQ(entries.size(), 1u);  // "p"
  DataFileShape shape;
  ASSERT_TRUE(check_data_file(0, &shape));
  EXPECT_EQ(shape.live, 2);  // the system record and "p"
  EXPECT_EQ(shape.deleted, 1);

  // No current record now; the deleted slot is the next one handed out.
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_delete(nullptr, 0), S_NOCR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0077E"), std::string::npos);
  EXPECT_EQ(item("i"), owner_);
}

TEST_F(DeleteTest, AStaleCurrentRecordAnswersDeleted) {
  db_address a = item("a");
  ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);
  db_address b = item("b");  // takes a's slot back
  ASSERT_EQ(b, a);
  ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);
  kt().current_record = a;  // a register kept from before: the slot is deleted
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_delete(nullptr, 0), S_DELETED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(kt().current_record, a);
  DataFileShape shape;
  ASSERT_TRUE(check_data_file(0, &shape));
  EXPECT_EQ(shape.deleted, 1);
}

TEST_F(DeleteTest, RecordsInSetsStay) {
  db_task &t = kt();
  db_address member = item("m"), lone_member = item("l");
  ASSERT_EQ(connect(LASTS, owner_, member), S_OKAY);
  ASSERT_EQ(connect(ALL, 1, lone_member), S_OKAY);  // a member that owns nothing
  const struct {
    const char *what;
    db_address record;
    int status;
    const char *message;
  } cases[] = {
      {"an owner with a member", owner_, S_HASMEM, "QVKDM0081E"},
      {"a member", member, S_ISMEM, "QVKDM0082E"},
      {"a member that owns nothing", lone_member, S_ISMEM, "QVKDM0082E"},
      {"the system record", 1, S_DELSYS, "QVKDM0080E"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    t.current_record = c.record;
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_delete(nullptr, 0), c.status);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(c.message), std::string::npos);
    EXPECT_EQ(t.current_record, c.record);
  }
  EXPECT_EQ(members(LASTS, owner_), (std::vector<db_address>{member}));
  EXPECT_EQ(members(ALL, 1), (std::vector<db_address>{lone_member}));
  DataFileShape shape;
  ASSERT_TRUE(check_data_file(0, &shape));
  EXPECT_EQ(shape.live, 4);
  EXPECT_EQ(shape.deleted, 0);
}

TEST_F(DeleteTest, ATimestampedRecordKeepsTheCounterAtDeletion) {
  db_address a = item("a");
  kt().pgzero[0].stamp += 3;
  ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);
  char *rec;
  ASSERT_EQ(dio_read(a, &rec, 0), S_OKAY);
  EXPECT_EQ(get_u32(rec + 6), dio_pzgetts(0));
  EXPECT_EQ(get_u32(rec + 10), dio_pzgetts(0));
  EXPECT_EQ(kt().cr_time, 0u);
}

}  // namespace
