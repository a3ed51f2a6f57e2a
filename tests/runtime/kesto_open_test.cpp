// Opening and closing databases: modes, name lists, several databases,
// failed opens, and what a close gives back.
#include <string>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;

const char *const kOtherSchema = R"(
database other page 256
file od other.dat data
file ok other.key key
record ITEM in od
  CODE int unique key in ok
  NOTE char[8]
end
record TAG in od
  LABEL char[8] duplicate key in ok
end
set ITEM_TAGS order first owner ITEM
  member TAG
end
)";

class OpenTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    people_ = write_schema(kesto_test::kPeopleSchema);
    other_ = write_schema(kOtherSchema);
  }
  kesto_schema::Layout other_;
};

TEST_F(OpenTest, OpenModes) {
  struct Case {
    const char *mode;
    int status;
    int state;
  } cases[] = {
      {"o", S_OKAY, 2}, {"c", S_OKAY, 2}, {"n", S_OKAY, 2}, {"t", S_OKAY, 2},
      {"onerous", S_OKAY, 2}, {"q", S_BADTYPE, 0}, {"s", S_NOFILE, 0}, {"x", S_NOFILE, 0},
  };
  setenv("DBUSERID", "tester", 1);
  for (const Case &c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_open("people", c.mode, nullptr), c.status) << c.mode;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(kt().open_state, c.state) << c.mode;
    if (c.status == S_BADTYPE) {
      EXPECT_NE(err.find("QVKDM0093E"), std::string::npos);
    }
    if (c.status == S_NOFILE) {
      // The shared modes tell the lock manager each file's identity: a
      // database whose files were never made cannot be opened in them.
      EXPECT_NE(err.find("QVKDM0100E"), std::string::npos) << err;
      EXPECT_EQ(kt().lm.base, nullptr);
    }
    if (c.status == S_OKAY) {
      EXPECT_STREQ(kt().open_mode, "x");
      EXPECT_EQ(kt().use_lockmgr, 0);
    }
    EXPECT_EQ(dt_close(nullptr), S_OKAY);
  }
  unsetenv("DBUSERID");
}

TEST_F(OpenTest, CloseAndIncrementalOpenWithNothingOpen) {
  EXPECT_EQ(dt_close(nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_iopen("other", nullptr), S_DBOPEN);
  EXPECT_EQ(dt_iclose(nullptr, -1), S_DBOPEN);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0091E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0496E"), std::string::npos);
}

TEST_F(OpenTest, PlainOpenClosesWhatWasOpen) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_open("other", "o", nullptr), S_OKAY);
  EXPECT_EQ(kt().no_of_dbs, 1);
  EXPECT_STREQ(kt().db_table[0].name, "other");
  EXPECT_EQ(kt().size_rt, 2);
}

TEST_F(OpenTest, NameRules) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("sub/abcdefghijkl", "o", nullptr), S_NAMELEN);
  EXPECT_EQ(dt_open("abcdefghijkl", "o", nullptr), S_NAMELEN);
  EXPECT_EQ(dt_open((std::string(1010, 'd') + "/people").c_str(), "o", nullptr), S_NAMELEN);
  EXPECT_EQ(dt_open(std::string(1025, 'n').c_str(), "o", nullptr), S_NAMELEN);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0095E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0096E"), std::string::npos);
  EXPECT_EQ(kt().open_state, 0);
  // A directory in the name finds the dictionary and the files there.
  ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0777), 0);
  write_schema(kOtherSchema, dir_.file("sub"));
  ASSERT_EQ(dt_open("sub/other", "o", nullptr), S_OKAY);
  EXPECT_STREQ(kt().db_table[0].path, "sub/");
  EXPECT_EQ(std::string(kt().file_table[0].name), dir_.file("sub/other.dat"));
}

TEST_F(OpenTest, NameListWithTwoDatabases) {
  ASSERT_EQ(dt_open("people;other", "o", nullptr), S_OKAY);
  db_task &t = kt();
  ASSERT_EQ(t.no_of_dbs, 2);
  EXPECT_EQ(t.curr_db, 0);
  EXPECT_EQ(t.default_db, 0);
  const db_entry &second = t.db_table[1];
  EXPECT_EQ(second.slice[TBL_FILE].first, 2);
  EXPECT_EQ(second.slice[TBL_RECORD].first, 3);
  EXPECT_EQ(second.slice[TBL_FIELD].first, 6);
  EXPECT_EQ(second.slice[TBL_SET].first, 2);
  EXPECT_EQ(second.first_key, 3);
  // The second database's tables follow the first's, rebased.
  const field_entry &code = t.field_table[6];
  EXPECT_EQ(code.record, 3);
  EXPECT_EQ(code.key_file, 3);
  EXPECT_EQ(code.key_number, 3);
  EXPECT_EQ(t.record_table[3].file, 2);
  EXPECT_EQ(t.record_table[3].first_field, 6);
  EXPECT_EQ(t.set_table[2].owner, 3);
  EXPECT_EQ(t.set_table[2].first_member, 2);
  EXPECT_EQ(t.member_table[2].record, 4);
  EXPECT_EQ(t.key_count, 5);
  EXPECT_EQ(t.file_table[4].type, 'o');
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 1), S_OKAY);
  EXPECT_TRUE(kesto_test::file_exists(dir_.file("other.key")));

  // Record numbers are per database: 10000 is ITEM in database 1.
  char state;
  EXPECT_EQ(dt_reclstat(10000, &state, nullptr, 1), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_reclstat(10002, &state, nullptr, 1), S_INVREC);
  EXPECT_EQ(dt_reclstat(10002, &state, nullptr, 2), S_INVDB);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(dt_reclstat(10002, &state, nullptr, 0), S_OKAY);
  EXPECT_EQ(db_enter(-1, nullptr), S_OKAY);
  EXPECT_EQ(kt().curr_db, 0);

  // Closing the first leaves the second with its indexes moved down.
  ASSERT_EQ(dt_iclose(nullptr, 0), S_OKAY);
  ASSERT_EQ(t.no_of_dbs, 1);
  EXPECT_STREQ(t.db_table[0].name, "other");
  EXPECT_EQ(t.size_ft, 2);
  EXPECT_EQ(t.size_rt, 2);
  EXPECT_EQ(t.size_fd, 3);
  EXPECT_EQ(t.size_st, 1);
  EXPECT_EQ(t.size_kt, 0);
  for (int k = 0; k < TBL_COUNT; ++k) EXPECT_EQ(t.db_table[0].slice[k].first, 0) << k;
  EXPECT_EQ(t.db_table[0].first_key, 0);
  EXPECT_EQ(t.field_table[0].record, 0);
  EXPECT_EQ(t.field_table[0].key_file, 1);
  EXPECT_EQ(t.field_table[0].key_number, 0);
  EXPECT_EQ(t.record_table[0].file, 0);
  EXPECT_EQ(t.set_table[0].owner, 0);
  EXPECT_EQ(t.set_table[0].first_member, 0);
  EXPECT_EQ(t.member_table[0].record, 1);
  EXPECT_EQ(t.key_count, 2);
  EXPECT_EQ(t.key_pos[0].field, 0);
  EXPECT_EQ(t.key_pos[0].key_file, 1);
  EXPECT_EQ(t.ov_file, 2);
  EXPECT_EQ(t.file_table[2].type, 'o');
  EXPECT_EQ(t.curr_db, 0);
  // Its page-zero headers moved with its files.
  EXPECT_EQ(dio_pznext(1), 2u);
  EXPECT_EQ(dio_pznext(0), 1u);
  EXPECT_EQ(dt_iclose(nullptr, 0), S_OKAY);
  EXPECT_EQ(t.open_state, 0);
}

TEST_F(OpenTest, IncrementalOpenAddsAndAFailedOneTakesOnlyItsOwn) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  ASSERT_EQ(dio_open(0), S_OKAY);
  const int open_before = kt().open_files;
  int fds = kesto_test::open_fd_count();
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_iopen("other;missing", nullptr), S_INVDB);
  testing::internal::GetCapturedStderr();
  db_task &t = kt();
  EXPECT_EQ(t.no_of_dbs, 1);
  EXPECT_EQ(t.size_ft, 2);
  EXPECT_EQ(t.size_rt, 3);
  EXPECT_EQ(t.key_count, 3);
  EXPECT_EQ(t.open_state, 2);
  EXPECT_EQ(t.file_table[2].type, 'o');
  EXPECT_EQ(dio_pznext(0), 2u);
  ASSERT_EQ(dt_iopen("other", nullptr), S_OKAY);
  EXPECT_EQ(t.no_of_dbs, 2);
  EXPECT_EQ(t.curr_db, 1);
  EXPECT_EQ(t.default_db, 1);
  EXPECT_EQ(t.key_count, 5);
  // The descriptor opened before the incremental open is still tracked.
  EXPECT_EQ(t.file_table[0].status, 'o');
  EXPECT_EQ(t.open_files, open_before);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_LT(kesto_test::open_fd_count(), fds);
}

TEST_F(OpenTest, CloseReleasesEveryDescriptor) {
  int before = kesto_test::open_fd_count();
  ASSERT_EQ(dt_open("people;other", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 1), S_OKAY);
  for (int f = 0; f < 4; ++f) ASSERT_EQ(dio_open(f), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(kesto_test::open_fd_count(), before);
  EXPECT_FALSE(dio_tables_exist());
}

TEST_F(OpenTest, RecoveryCheckAtOpen) {
  // A crashed commit left its overflow file in the activity file.
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_trbegin("empty", nullptr), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  ASSERT_EQ(taf_add("kesto.log"), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  // Mode "c" skips the check; "o" completes the commit and removes the entry.
  EXPECT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  EXPECT_STREQ(taf_files[0], "kesto.log");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Auto-recovery of " + dir_.file("kesto.log")),
            std::string::npos);
  EXPECT_STREQ(taf_files[0], "");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  // Written with journaling on, a one-user open needs a roll forward.
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  ASSERT_EQ(dt_on_opt(OPT_JOURNAL, nullptr), S_OKAY);
  ASSERT_EQ(taf_add("kesto2.log"), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  dt_off_opt(OPT_JOURNAL, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", nullptr), S_NOLOCKMGR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "QVKDM0098E *** db_KESTO database error -920 - no lock manager is installed: Roll forward "
                "recovery needed may be needed"),
            std::string::npos);
}

TEST_F(OpenTest, RenamedFiles) {
  ASSERT_EQ(dt_renfile("people", 1, "renamed.key", nullptr), S_OKAY);
  ASSERT_EQ(dt_renfile("people", 1, "renamed2.key", nullptr), S_OKAY);
  ASSERT_EQ(dt_renfile("other", 2, "bad", nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(std::string(kt().file_table[1].name), dir_.file("renamed2.key"));
  // Renaming an open database's file is refused without a report.
  EXPECT_EQ(dt_renfile("people", 0, "x", nullptr), -1);
  EXPECT_EQ(db_status, 0);
  // The other database's renaming names a file it does not have.
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_iopen("other", nullptr), S_RENAME);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0317E"), std::string::npos);
  EXPECT_EQ(kt().no_of_dbs, 1);
  ASSERT_EQ(dt_renclean(nullptr), S_OKAY);
  EXPECT_EQ(dt_iopen("other", nullptr), S_OKAY);
}

}  // namespace
