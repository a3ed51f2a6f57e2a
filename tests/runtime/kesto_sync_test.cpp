// Forcing files to disk on request, the journal's checkpoint limit and
// requests, and the space statistics of one file.
#include <cerrno>
#include <cstring>
#include <string>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;
using kesto_test::FaultyIo;

const char *const kStatsSchema = R"(
database st page 1024
file d0 st.d00 data slots 10
file k0 st.k00 key
record R in d0
  N int unique key in k0
  V char[60]
end
)";

constexpr int R = 10000;

class SyncTest : public EngineTest {
 protected:
  db_address add(int32_t n, int dbn = 0) {
    char data[64] = {};
    std::memcpy(data, &n, 4);
    EXPECT_EQ(dt_fillnew(R, data, nullptr, dbn), S_OKAY);
    db_address dba = 0;
    dt_crget(&dba, nullptr, dbn);
    return dba;
  }
};

TEST_F(SyncTest, SyncFilesFlushesAndForcesEveryFileButNotDuringATransaction) {
  EXPECT_EQ(dt_syncfiles(nullptr), S_OKAY);  // nothing open
  open_people();
  write_schema(kStatsSchema);
  ASSERT_EQ(dt_iopen("st", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 1), S_OKAY);
  add(7, 1);
  {
    FaultyIo io;
    ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_syncfiles(nullptr), S_TRACTIVE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0157E"), std::string::npos);
    EXPECT_EQ(io.calls(FaultyIo::FSYNC), 0);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  }
  add(8, 1);  // changed outside a transaction, still in the cache
  {
    FaultyIo io;
    ASSERT_EQ(dt_isyncfiles(nullptr, 1), S_OKAY);
    EXPECT_EQ(io.calls(FaultyIo::FSYNC), 3);  // st's two files and the activity file
    EXPECT_EQ(dio_modheld(), 0);
    io.reset_counts();
    ASSERT_EQ(dt_syncfiles(nullptr), S_OKAY);
    EXPECT_EQ(io.calls(FaultyIo::FSYNC), 5);
    // A failing synchronisation stops there.
    io.reset_counts();
    io.fail(FaultyIo::FSYNC, 1, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_syncfiles(nullptr), S_BADWRITE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0384E"), std::string::npos);
    EXPECT_EQ(io.calls(FaultyIo::FSYNC), 1);
  }
}

TEST_F(SyncTest, CheckpointLimitAndRequests) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_settjfsize(0, nullptr), S_DBOPEN);
  EXPECT_EQ(dt_checkpoint(nullptr), S_DBOPEN);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QVKDM0158E"), std::string::npos);
  EXPECT_NE(err.find("QVKDM0152E"), std::string::npos);
  open_people();
  struct {
    int32_t asked;
    int32_t limit;
  } limits[] = {{0, 268435456}, {5000, 1048576}, {1048575, 1048576}, {2000000, 2000000},
                {1073741824, 1073741824}, {2147483647, 1073741824}};
  for (const auto &l : limits) {
    ASSERT_EQ(dt_settjfsize(l.asked, nullptr), S_OKAY) << l.asked;
    EXPECT_EQ(kt().tjf_limit, l.limit) << l.asked;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_settjfsize(-1, nullptr), S_TJFERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0206E *** db_KESTO database error -925 - error in "
                                                        "Transaction Journaling File: Invalid TJF checkpoint limit -1"),
            std::string::npos);
  EXPECT_EQ(kt().tjf_limit, 1073741824);
  // Without a lock manager a checkpoint has nobody to ask; a requested one
  // is forgotten by the next commit or abort.
  EXPECT_EQ(dt_checkpoint(nullptr), S_OKAY);
  db_need_checkpoint();
  EXPECT_EQ(kt().checkpoint_needed, 1);
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  EXPECT_EQ(kt().checkpoint_needed, 0);
  db_need_checkpoint();
  ASSERT_EQ(dt_trbegin("t", nullptr), S_OKAY);
  ASSERT_EQ(dt_trabort(nullptr), S_OKAY);
  EXPECT_EQ(kt().checkpoint_needed, 0);
}

TEST_F(SyncTest, FileStatistics) {
  write_schema(kStatsSchema);
  ASSERT_EQ(dt_open("st", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  std::vector<db_address> made;
  for (int32_t n = 0; n < 25; ++n) made.push_back(add(n));
  for (int i : {3, 4, 17}) {
    ASSERT_EQ(dt_crset(&made[static_cast<size_t>(i)], nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);
  }
  ASSERT_EQ(dt_syncfiles(nullptr), S_OKAY);
  ASSERT_EQ(kesto_test::read_file(dir_.file("st.d00")).size(), 4096u);

  db_file_stats stats;
  ASSERT_EQ(dt_getdbfilestats(dir_.file("st.d00").c_str(), &stats, nullptr, 0), S_OKAY);
  EXPECT_STREQ(stats.name, "st.d00");
  EXPECT_EQ(stats.kind, 1);
  EXPECT_EQ(stats.allocated, 30);  // 3 pages of 10 slots after page zero
  EXPECT_EQ(stats.in_use, 22);
  EXPECT_EQ(stats.maximum, 16777215);

  ASSERT_EQ(dt_getdbfilestats("elsewhere/st.k00", &stats, nullptr, 0), S_OKAY);
  EXPECT_STREQ(stats.name, "st.k00");
  EXPECT_EQ(stats.kind, 2);
  size_t key_pages = kesto_test::read_file(dir_.file("st.k00")).size() / 1024;
  EXPECT_EQ(stats.allocated, static_cast<int32_t>(key_pages) - 1);
  EXPECT_EQ(stats.in_use, static_cast<int32_t>(dio_pznext(1)) - 2);
  EXPECT_EQ(stats.maximum, 2147483647 / 1024 - 1);

  // No such file, or another database than the current one: -4, unreported.
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_getdbfilestats("st.d01", &stats, nullptr, 0), S_INVDB);
  EXPECT_STREQ(stats.name, "");
  write_schema(kesto_test::kPeopleSchema);
  ASSERT_EQ(dt_iopen("people", nullptr), S_OKAY);
  EXPECT_EQ(kt().curr_db, 1);
  EXPECT_EQ(dt_getdbfilestats("st.d00", &stats, nullptr, 0), S_INVDB);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SyncTest, ABadDeletedChainIsCountedWithAWarning) {
  write_schema(kStatsSchema);
  ASSERT_EQ(dt_open("st", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  db_address a = add(1);
  add(2);
  ASSERT_EQ(dt_crset(&a, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_delete(nullptr, 0), S_OKAY);
  // The chain's head slot loses its deleted mark.
  char *rec;
  ASSERT_EQ(dio_read(a, &rec, 1), S_OKAY);
  put_u16(rec, 0);
  ASSERT_EQ(dio_write(a, nullptr, 1), S_OKAY);
  db_file_stats stats;
  testing::internal::CaptureStderr();
  ASSERT_EQ(dt_getdbfilestats("st.d00", &stats, nullptr, 0), S_OKAY);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0550W Bad deleted rec (1)\n"), std::string::npos);
  EXPECT_EQ(stats.in_use, 1);
}

TEST_F(SyncTest, StatisticsKeepAHeaderChangedInTheCache) {
  write_schema(kStatsSchema);
  ASSERT_EQ(dt_open("st", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_syncfiles(nullptr), S_OKAY);
  db_address first = add(1);  // the new next slot is only in the cache
  db_file_stats stats;
  ASSERT_EQ(dt_getdbfilestats("st.d00", &stats, nullptr, 0), S_OKAY);
  EXPECT_EQ(stats.in_use, 1);
  EXPECT_NE(add(2), first);
  EXPECT_TRUE(kesto_test::check_data_file(0));
  EXPECT_TRUE(kesto_test::check_key_file(1));
}

}  // namespace
