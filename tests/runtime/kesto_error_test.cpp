// Error lines of the engine: exact form on standard error, the callback
// path, db_status and errno.
#include <cerrno>
#include <string>
#include <vector>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;

class ErrorTest : public EngineTest {};

struct LineCase {
  int code;
  int msg;
  const char *detail;  // null: none
  const char *expected;
};

TEST_F(ErrorTest, PrintsOneNumberedLineInTheExactForm) {
  const LineCase cases[] = {
      {-11, 93, nullptr, "QVKDM0093E *** db_KESTO database error -11 - invalid lock value\n"},
      {-918, 498, nullptr, "QVKDM0498I *** db_KESTO database error -918 - auto-recovery in process\n"},
      {-919, 384, nullptr,
       "QVKDM0384E *** db_KESTO database error -919 - error writing to a database/overflow file\n"},
      {-1, 7, nullptr, "QVKDM0007E *** db_KESTO database error -1 - database not opened\n"},
      {-50, 12345, nullptr, "QVKDM12345E *** db_KESTO database error -50 - invalid internal ID\n"},
      {-926, 1, "x=%d", "QVKDM0001E *** db_KESTO database error -926 - problem in shared memory lock manager: x=7\n"},
      {-907, 387, "filesystem blocksize (%ld) not supported\n",
       "QVKDM0387E *** db_KESTO database error -907 - database taf/log file error: filesystem blocksize (7) not supported\n"},
      {-51, 2, nullptr, "QVKDM0002E *** db_KESTO database error -51 - unknown error\n"},
      {-899, 2, nullptr, "QVKDM0002E *** db_KESTO database error -899 - unknown error\n"},
  };
  for (const LineCase &c : cases) {
    testing::internal::CaptureStderr();
    int r = c.detail ? (std::string(c.detail).find("%ld") != std::string::npos
                            ? dberr_code(c.code, c.msg, c.detail, 7L)
                            : dberr_code(c.code, c.msg, c.detail, 7))
                     : dberr_code(c.code, c.msg);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected) << c.code;
    EXPECT_EQ(r, c.code);
    EXPECT_EQ(db_status, c.code);
  }
}

TEST_F(ErrorTest, EmptyDetailAddsNothing) {
  const char *empty = "";
  testing::internal::CaptureStderr();
  dberr_code(-4, 497, empty);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "QVKDM0497E *** db_KESTO database error -4 - invalid database\n");
}

TEST_F(ErrorTest, DebugInterruptIsPrintedButLeavesStatusZero) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dberr_code(-916, 3), 0);
  EXPECT_EQ(db_status, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "QVKDM0003E *** db_KESTO database error -916 - debug check interrupt\n");
}

TEST_F(ErrorTest, PositiveCodeIsStoredSilently) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(dberr_code(5, 1), 5);
  EXPECT_EQ(db_status, 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ErrorTest, ErrnoSurvivesTheReport) {
  errno = ENOSPC;
  testing::internal::CaptureStderr();
  dberr_code(-900, 50, "%s", "detail");
  dbout_code(550, 1, "Bad deleted rec (%ld)\n", 3L);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(errno, ENOSPC);
}

std::vector<std::pair<int, std::string>> seen;
void collect(int code, const char *text) { seen.emplace_back(code, text); }

TEST_F(ErrorTest, CallbackReceivesCodeAndTextAndNothingIsPrinted) {
  seen.clear();
  ASSERT_EQ(dt_set_dberr(collect, nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dberr_code(-21, 457, "%s", "x.dbd"), -21);
  EXPECT_EQ(dberr(-2), -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(-21, std::string("incompatible dictionary file")));
  EXPECT_EQ(seen[1], std::make_pair(-2, std::string("invalid set")));

  // Removing it prints again; the callback belongs to the task that set it.
  DB_TASK other;
  ASSERT_EQ(dt_opentask(&other), S_OKAY);
  testing::internal::CaptureStderr();
  dt_set_dberr(nullptr, &other);
  dberr_code(-3, 1);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  DB_TASK def = Orgtask;
  db_enter(-2, &def);
  testing::internal::CaptureStderr();
  dberr_code(-3, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(seen.size(), 3u);
  dt_set_dberr(nullptr, nullptr);
  dt_closetask(&other);
}

TEST_F(ErrorTest, EngineCallsReportThroughTheCallback) {
  seen.clear();
  dt_set_dberr(collect, nullptr);
  EXPECT_EQ(dt_open("people", "q", nullptr), S_BADTYPE);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, -11);
  dt_set_dberr(nullptr, nullptr);
}

TEST_F(ErrorTest, OlderFormAndNotesGoToStandardError) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  dberr(-6);
  dbout_code(534, 1, "Note:  TAF entry #%d is corrupt, skipping", 2);
  dbout_code(1, 2, "info");
  dbout_code(1, 0, "error");
  dbautorec();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\n*** db_KESTO database error -6 - invalid db_address\n"
            "QVKDM0534W Note:  TAF entry #2 is corrupt, skipping\n"
            "QVKDM0001I info\n"
            "QVKDM0001E error\n"
            "QVKDM0498I *** db_KESTO database error -918 - auto-recovery in process\n");
}

}  // namespace
