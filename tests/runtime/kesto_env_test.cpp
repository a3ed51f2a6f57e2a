// The engine's environment, its path construction, and tasks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kesto_test_support.h"

namespace {

using kesto_test::EngineTest;

class EnvTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    write_schema(kesto_test::kPeopleSchema);
  }
};

struct EnvCase {
  const char *var;
  std::string value;
  int status;       // of dt_open in mode "o"
};

TEST_F(EnvTest, EnvironmentRulesAndTheirFailures) {
  const EnvCase cases[] = {
      {"DBUSERID", "user_01", S_OKAY},
      {"DBUSERID", "bad-user", S_BADUSERID},
      {"DBUSERID", "caf\xc3\xa9", S_BADUSERID},
      {"DBUSERID", std::string(1025, 'u'), S_NAMELEN},
      {"DBDPATH", std::string(2046, 'p'), S_NAMELEN},
      {"DBFPATH", std::string(2049, 'p'), S_NAMELEN},
      {"DBWDIR", std::string(1024, 'w'), S_NAMELEN},
      {"DBTAF", std::string(1016, 't') + "/", S_NAMELEN},
      {"DBTAF", "notadir", S_DBLERR},
      {"CTBPATH", std::string(1023, 'c'), S_NAMELEN},
      {"DBLOG", std::string(1025, 'l'), S_NAMELEN},
      {"LOCKMGR", std::string(1024, 'm'), S_NAMELEN},
  };
  for (const EnvCase &c : cases) {
    kesto_test::reset_engine();
    if (std::strcmp(c.var, "DBWDIR") != 0) {
      ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
    }
    setenv(c.var, c.value.c_str(), 1);
    testing::internal::CaptureStderr();
    int status = dt_open("people", "o", nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv(c.var);
    EXPECT_EQ(status, c.status) << c.var << "=" << c.value.substr(0, 20);
    if (status != S_OKAY) {
      EXPECT_NE(err.find("QVKDM"), std::string::npos) << c.var;
      EXPECT_EQ(kt().open_state, 0) << c.var;
    }
    dt_close(nullptr);
  }
}

TEST_F(EnvTest, DefaultsWithoutTheEnvironment) {
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  db_task &t = kt();
  EXPECT_STREQ(t.user_id, "kesto");
  EXPECT_STREQ(t.taf_name, "kesto.taf");
  EXPECT_STREQ(t.tjf_name, "kesto.tjf");
  EXPECT_STREQ(t.tcf_name, "kesto.tcf");
  EXPECT_STREQ(t.lockmgr_name, "lockmgr");
  EXPECT_STREQ(t.log_name, "kesto.log");
  EXPECT_TRUE(kesto_test::file_exists(dir_.file("kesto.taf")));
}

TEST_F(EnvTest, UserIdIsRequiredWithTheLockManager) {
  EXPECT_EQ(dt_open("people", "s", nullptr), S_USERID);
  EXPECT_EQ(kt().open_state, 0);
}

TEST_F(EnvTest, DbtafNamesTheActivityFileDirectory) {
  std::string tafdir = dir_.file("taf");
  ASSERT_EQ(mkdir(tafdir.c_str(), 0777), 0);
  setenv("DBTAF", "taf/", 1);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_STREQ(kt().taf_name, "taf/kesto.taf");
  EXPECT_STREQ(kt().tjf_name, "taf/kesto.tjf");
  EXPECT_TRUE(kesto_test::file_exists(dir_.file("taf/kesto.taf")));
}

TEST_F(EnvTest, DbwdirGetsItsSlashAndFindsTheDictionary) {
  // A fresh default task: only the environment names the directory.
  kesto_test::reset_engine();
  setenv("DBWDIR", dir_.path().c_str(), 1);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(std::string(kt().dbwdir), dir_.path() + "/");
  EXPECT_EQ(std::string(kt().file_table[0].name), dir_.path() + "/people.d00");
}

TEST_F(EnvTest, InterfaceSettingsWinOverTheEnvironment) {
  setenv("DBWDIR", "/nonexistent", 1);
  setenv("CTBPATH", "/elsewhere", 1);
  ASSERT_EQ(dt_ctbpath(dir_.path().c_str(), nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(std::string(kt().dbwdir), dir_.path() + "/");
  EXPECT_EQ(std::string(kt().ctbpath), dir_.path() + "/");
}

TEST_F(EnvTest, DbdpathAndDbfpathElementsPerDatabase) {
  std::string d1 = dir_.file("dict"), f1 = dir_.file("data");
  ASSERT_EQ(mkdir(d1.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(f1.c_str(), 0777), 0);
  write_schema(kesto_test::kPeopleSchema, d1);
  ASSERT_EQ(std::remove(dir_.file("people.dbd").c_str()), 0);
  setenv("DBDPATH", "dict", 1);
  // An absolute element stands for itself even with a working directory.
  setenv("DBFPATH", f1.c_str(), 1);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(std::string(kt().file_table[0].name), f1 + "/people.d00");
  ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
  EXPECT_TRUE(kesto_test::file_exists(f1 + "/people.k00"));
}

TEST_F(EnvTest, PathSettersRefuseWhileOpenOrTooLong) {
  EXPECT_EQ(dt_dbwdir(std::string(1024, 'x').c_str(), nullptr), S_NAMELEN);
  EXPECT_EQ(dt_dbdpath(std::string(1021, 'x').c_str(), nullptr), S_NAMELEN);
  EXPECT_EQ(dt_ctbpath(std::string(1025, 'x').c_str(), nullptr), S_NAMELEN);
  ASSERT_EQ(dt_dbwdir("db", nullptr), S_OKAY);
  EXPECT_STREQ(kt().dbwdir, "db/");
  ASSERT_EQ(dt_dbwdir("db/", nullptr), S_OKAY);
  EXPECT_STREQ(kt().dbwdir, "db/");
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_dbwdir("x", nullptr), S_DBOPEN);
  EXPECT_EQ(dt_dbdpath("x", nullptr), S_DBOPEN);
  EXPECT_EQ(dt_ctbpath("x", nullptr), S_DBOPEN);
  testing::internal::GetCapturedStderr();
}

TEST(PathTest, GetElement) {
  struct Case {
    const char *list;
    int index;
    const char *expected;
  } cases[] = {
      {"a;b", 0, "a/"}, {"a;b", 1, "b/"}, {"a;b", 5, "b/"}, {"a;b;", 1, "b/"},
      {"a;b;", 5, nullptr}, {"", 0, nullptr}, {nullptr, 0, nullptr}, {"a;;b", 1, nullptr},
      {"dir/", 0, "dir/"},
  };
  for (const Case &c : cases) {
    const char *got = get_element(c.list, c.index);
    if (!c.expected) EXPECT_EQ(got, nullptr) << (c.list ? c.list : "null") << " " << c.index;
    else EXPECT_STREQ(got, c.expected) << c.list << " " << c.index;
  }
}

TEST_F(EngineTest, NameConstruction) {
  char out[2 * PATHLEN];
  ASSERT_EQ(dt_dbwdir("w", nullptr), S_OKAY);
  EXPECT_EQ(con_dbd(out, "db1", nullptr), S_OKAY);
  EXPECT_STREQ(out, "w/db1.dbd");
  EXPECT_EQ(con_dbd(out, "db1", "dict"), S_OKAY);
  EXPECT_STREQ(out, "w/dict/db1.dbd");
  EXPECT_EQ(con_dbd(out, "/abs/db1", "dict"), S_OKAY);
  EXPECT_STREQ(out, "/abs/db1.dbd");
  EXPECT_EQ(con_dbf(out, "f.d00", "sub/db1", "fpath"), S_OKAY);
  EXPECT_STREQ(out, "w/sub/f.d00");
  EXPECT_EQ(con_dbf(out, "f.d00", "db1", "fpath"), S_OKAY);
  EXPECT_STREQ(out, "w/fpath/f.d00");
  EXPECT_EQ(con_dbf(out, "/x/f.d00", "db1", "fpath"), S_OKAY);
  EXPECT_STREQ(out, "/x/f.d00");
  EXPECT_EQ(con_dbd(out, std::string(1020, 'n').c_str(), "d"), S_NAMELEN);
  EXPECT_EQ(con_dbf(out, std::string(1024, 'n').c_str(), "db", "fp"), S_NAMELEN);
  EXPECT_STREQ(strip_dbwdir("w/a/b"), "a/b");
  EXPECT_STREQ(strip_dbwdir("/abs/b"), "/abs/b");
}

TEST(FileTest, BlockSizes) {
  kesto_test::FaultyIo io;
  int fd = open("/dev/null", O_RDONLY);
  struct Case {
    long reported;
    int status;
    long size;
  } cases[] = {
      {8192, S_OKAY, 8192}, {1024, S_OKAY, 1024}, {65536, S_OKAY, 65536}, {256, S_OKAY, 512},
      {512, S_OKAY, 512},   {131072, S_OKAY, 131072}, {3000, S_DBLERR, 0},
  };
  for (const Case &c : cases) {
    io.set_block_size(c.reported);
    long size = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fsblock_size(fd, &size), c.status) << c.reported;
    std::string err = testing::internal::GetCapturedStderr();
    if (c.status == S_OKAY) EXPECT_EQ(size, c.size);
    else EXPECT_NE(err.find("filesystem blocksize (3000) not supported"), std::string::npos) << err;
  }
  io.fail(kesto_test::FaultyIo::FSTAT, 1, EIO);
  long size;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fsblock_size(fd, &size), S_DBLERR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0386E"), std::string::npos);
  close(fd);
}

TEST(TaskTest, FirstCallMakesTheDefaultTaskOnce) {
  kesto_test::reset_engine();
  ASSERT_EQ(db_enter(-2, nullptr), S_OKAY);
  EXPECT_EQ(Kestotask.block, &db_global);
  kt().options = 0x7;
  ASSERT_EQ(db_enter(-2, nullptr), S_OKAY);
  EXPECT_EQ(kt().options, 0x7u);
  EXPECT_EQ(db_enter(0, nullptr), S_DBOPEN);
  kesto_test::reset_engine();
}

TEST_F(EnvTest, TasksKeepTheirOwnState) {
  DB_TASK a, b;
  ASSERT_EQ(dt_opentask(&a), S_OKAY);
  ASSERT_EQ(dt_opentask(&b), S_OKAY);
  EXPECT_EQ(task_count, 2);
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), &a), S_OKAY);
  setenv("DBUSERID", "alpha", 1);
  ASSERT_EQ(dt_open("people", "o", &a), S_OKAY);
  setenv("DBUSERID", "beta", 1);
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), &b), S_OKAY);
  ASSERT_EQ(dt_open("people", "c", &b), S_OKAY);
  // The default task has its own state as well.
  setenv("DBUSERID", "gamma", 1);
  DB_TASK def = Orgtask;
  ASSERT_EQ(dt_open("people", "c", &def), S_OKAY);
  EXPECT_STREQ(a.block->user_id, "alpha");
  EXPECT_STREQ(b.block->user_id, "beta");
  EXPECT_STREQ(db_global.user_id, "gamma");
  EXPECT_EQ(db_enter(0, &a), S_OKAY);
  EXPECT_EQ(db_enter(1, &a), S_INVDB);
  EXPECT_EQ(dt_closetask(&a), S_DBCLOSE);
  EXPECT_EQ(dt_close(&a), S_OKAY);
  EXPECT_EQ(dt_closetask(&a), S_OKAY);
  EXPECT_EQ(Kestotask.block, &db_global);
  EXPECT_EQ(db_global.open_state, 2);
  EXPECT_EQ(task_count, 1);
  DB_TASK null_task = {nullptr, nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(db_enter(-2, &null_task), S_INVPTR);
  EXPECT_EQ(dt_closetask(&null_task), S_INVPTR);
  EXPECT_EQ(dt_closetask(&def), S_INVPTR);
  testing::internal::GetCapturedStderr();
  dt_close(&b);
  dt_closetask(&b);
  unsetenv("DBUSERID");
}

TEST_F(EnvTest, TwoTasksWithOneUserIdAreRefused) {
  DB_TASK a, b;
  ASSERT_EQ(dt_opentask(&a), S_OKAY);
  ASSERT_EQ(dt_opentask(&b), S_OKAY);
  dt_dbwdir(dir_.path().c_str(), &a);
  dt_dbwdir(dir_.path().c_str(), &b);
  ASSERT_EQ(dt_open("people", "o", &a), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_open("people", "o", &b), S_DUPUSERID);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QVKDM0094E"), std::string::npos);
  EXPECT_EQ(b.block->open_state, 0);
  dt_close(&a);
  dt_closetask(&a);
  dt_closetask(&b);
}

}  // namespace
