// A shared open within one process: what the locks allow and refuse, what
// a commit and an abort do with them, the record lock bit, and two tasks
// working on one database, where each sees the other's commits.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;

class SharedTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    write_file(dir_.file("boot"), {1});
    setenv("NORVANE_BOOT_MARKER", dir_.file("boot").c_str(), 1);
    setenv("DBUSERID", "main", 1);
    // The database is made by one user, as a shared open needs its files.
    open_people("o");
    ASSERT_EQ(dt_trbegin("base", nullptr), S_OKAY);
    ASSERT_EQ(populate(6, &people_at_), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
  }

  void TearDown() override {
    unsetenv("DBUSERID");
    EngineTest::TearDown();
  }

  // The age of a person found by its key (locks as the caller holds them).
  int age_of(const std::string &name) {
    char key[20] = {};
    std::snprintf(key, sizeof key, "%s", name.c_str());
    if (int s = dt_keyfind(NAME, key, nullptr, 0); s != S_OKAY) return s < 0 ? s : -1000;
    PersonData d{};
    if (int s = dt_recread(&d, nullptr, 0); s != S_OKAY) return s;
    return d.age;
  }

  int write_age(const std::string &name, int32_t age) {
    char key[20] = {};
    std::snprintf(key, sizeof key, "%s", name.c_str());
    if (int s = dt_keyfind(NAME, key, nullptr, 0); s != S_OKAY) return s;
    db_address dba;
    dt_crget(&dba, nullptr, 0);
    return set_age(dba, age);  // AGE is part of a compound key
  }

  char state(int rec = PERSON) {
    char c = '?';
    EXPECT_EQ(dt_reclstat(rec, &c, nullptr, 0), S_OKAY);
    return c;
  }

  std::vector<db_address> people_at_;
};

TEST_F(SharedTest, LocksGuardReadsAndWrites) {
  ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
  EXPECT_EQ(kt().open_state, 1);
  const std::string p0 = person_name(0), p1 = person_name(1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(age_of(p0), S_NOTLOCKED);
  ASSERT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_OKAY);
  EXPECT_EQ(state(), 'r');
  EXPECT_EQ(age_of(p0), 20);
  EXPECT_EQ(write_age(p0, 41), S_NOTRANS);  // outside a transaction
  EXPECT_EQ(dt_reclock(PERSON, 'w', nullptr, 0), S_NOTRANS);
  ASSERT_EQ(dt_trbegin("t1", nullptr), S_OKAY);
  EXPECT_EQ(write_age(p0, 41), S_NOTLOCKED);  // read-locked only
  EXPECT_EQ(dt_recfree(PERSON, nullptr, 0), S_TRFREE);
  std::string err = testing::internal::GetCapturedStderr();
  for (const char *site : {"QVKDM0016E", "QVKDM0026E", "QVKDM0117E", "QVKDM0027E", "QVKDM0130E"})
    EXPECT_NE(err.find(site), std::string::npos) << site << "\n" << err;

  ASSERT_EQ(dt_reclock(PERSON, 'w', nullptr, 0), S_OKAY);
  EXPECT_EQ(state(), 'w');
  EXPECT_EQ(write_age(p0, 41), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  // The commit gave every lock back.
  EXPECT_EQ(state(), 'f');
  EXPECT_EQ(kt().file_locks[0].app, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(age_of(p0), S_NOTLOCKED);
  testing::internal::GetCapturedStderr();

  // A kept lock outlives its transaction as a read lock.
  ASSERT_EQ(dt_trbegin("t2", nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'w', nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'k', nullptr, 0), S_OKAY);
  EXPECT_EQ(write_age(p1, 52), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  EXPECT_EQ(state(), 'r');
  EXPECT_EQ(age_of(p0), 41);
  EXPECT_EQ(age_of(p1), 52);
  ASSERT_EQ(dt_recfree(PERSON, nullptr, 0), S_OKAY);
  EXPECT_EQ(state(), 'f');

  // An abort drops the changes and the locks.
  ASSERT_EQ(dt_trbegin("t3", nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'w', nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'k', nullptr, 0), S_OKAY);
  EXPECT_EQ(write_age(p0, 99), S_OKAY);
  ASSERT_EQ(dt_trabort(nullptr), S_OKAY);
  EXPECT_EQ(state(), 'f');
  ASSERT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_OKAY);
  EXPECT_EQ(age_of(p0), 41);

  // Written at commit: other readers may read until then.
  ASSERT_EQ(dt_recfree(PERSON, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_trbegin("t4", nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'i', nullptr, 0), S_OKAY);
  EXPECT_EQ(kt().file_locks[0].app, -2);
  EXPECT_EQ(write_age(p0, 43), S_OKAY);
  ASSERT_EQ(dt_trend(nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_OKAY);
  EXPECT_EQ(age_of(p0), 43);
  // The refused writes left nothing behind in the cache or the files.
  EXPECT_TRUE(check_key_file(PEOPLE_K0));
  EXPECT_TRUE(check_data_file(PEOPLE_D0));
  ASSERT_EQ(dt_recfree(PERSON, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

TEST_F(SharedTest, RefusedRequestsChangeNoState) {
  ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
  testing::internal::CaptureStderr();
  struct Case {
    int item;
    char type;
    int status;
  } cases[] = {
      {999, 'r', S_INVNUM},     {10003, 'r', S_INVREC}, {20002, 'r', S_INVSET},
      {30000 + 99, 'r', S_INVFLD}, {PERSON, 'q', S_BADTYPE}, {PERSON, 'k', S_NOTRANS},
  };
  for (const Case &c : cases) {
    LOCK_REQUEST request[2] = {{OWNS, 'r'}, {c.item, c.type}};
    EXPECT_EQ(dt_lock(2, request, nullptr, 0), c.status) << c.item << c.type;
    char s;
    ASSERT_EQ(dt_setlstat(OWNS, &s, nullptr, 0), S_OKAY);
    EXPECT_EQ(s, 'f') << "the whole request is undone";
  }
  EXPECT_EQ(dt_keylock(AGE, 'r', nullptr, 0), S_NOTKEY);
  EXPECT_EQ(dt_recfree(PERSON, nullptr, 0), S_NOTLOCKED);
  ASSERT_EQ(dt_trbegin("k", nullptr), S_OKAY);
  EXPECT_EQ(dt_reclock(PERSON, 'k', nullptr, 0), S_NOTLOCKED);
  EXPECT_EQ(dt_trabort(nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_NOTFREE);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(state(), 'r');
  // A key lock and a set lock stand for their files too.
  char s;
  ASSERT_EQ(dt_keylock(NAME, 'r', nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_keylstat(NAME, &s, nullptr, 0), S_OKAY);
  EXPECT_EQ(s, 'r');
  EXPECT_EQ(kt().file_locks[PEOPLE_K0].app, 2);
  ASSERT_EQ(dt_freeall(nullptr), S_OKAY);
  EXPECT_EQ(state(), 'f');
  EXPECT_EQ(kt().file_locks[PEOPLE_K0].app, 0);
  EXPECT_EQ(dt_timeout(3, nullptr), S_OKAY);
  EXPECT_EQ(kt().lock_timeout, 3);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

TEST_F(SharedTest, AnExclusiveLockWritesOutsideATransaction) {
  ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'x', nullptr, 0), S_OKAY);
  EXPECT_EQ(state(), 'x');
  EXPECT_EQ(write_age(person_name(2), 64), S_OKAY);
  // Given back, the change is in the file for the next user.
  ASSERT_EQ(dt_recfree(PERSON, nullptr, 0), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  EXPECT_EQ(age_of(person_name(2)), 64);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

TEST_F(SharedTest, TheRecordLockBitChangesUnderATemporaryLock) {
  ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'r', nullptr, 0), S_OKAY);
  ASSERT_EQ(age_of(person_name(3)), 23);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_UNLOCKED);
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_OKAY);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_LOCKED);
  EXPECT_EQ(dt_rlbset(nullptr, 0), S_LOCKED);
  // The temporary lock went back to the read lock the task holds.
  EXPECT_EQ(kt().file_locks[0].app, 1);
  EXPECT_EQ(dt_rlbclr(nullptr, 0), S_UNLOCKED);
  EXPECT_EQ(dt_rlbtst(nullptr, 0), S_UNLOCKED);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

// Five commits in progress fill the activity file; a sixth waits for one of
// them to end, and goes on moments after it does.
TEST_F(SharedTest, ACommitWaitsBrieflyForAnActivityEntry) {
  ASSERT_EQ(dt_open("people", "s", nullptr), S_OKAY);
  for (int i = 0; i < TAF_ENTRIES; ++i) ASSERT_EQ(taf_add(("busy" + std::to_string(i) + ".log").c_str()), S_OKAY);
  pid_t other = fork();
  if (other == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    _exit(taf_del("busy3.log") == S_OKAY ? 0 : 1);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(taf_add("sixth.log"), S_OKAY);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int st;
  ASSERT_EQ(waitpid(other, &st, 0), other);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_GT(waited, 0.15);
  EXPECT_LT(waited, 1.5);
  ASSERT_EQ(taf_access(0), S_OKAY);
  EXPECT_STREQ(taf_files[3], "sixth.log");
  std::vector<std::string> listed(taf_files, taf_files + TAF_ENTRIES);
  ASSERT_EQ(taf_release(), S_OKAY);
  for (const std::string &name : listed) ASSERT_EQ(taf_del(name.c_str()), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

TEST_F(SharedTest, TwoTasksSeeEachOthersCommits) {
  DB_TASK a, b;
  ASSERT_EQ(dt_opentask(&a), S_OKAY);
  ASSERT_EQ(dt_opentask(&b), S_OKAY);
  for (DB_TASK *t : {&a, &b}) {
    ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), t), S_OKAY);
    std::snprintf(t->block->user_id, sizeof t->block->user_id, "%s", t == &a ? "taska" : "taskb");
    ASSERT_EQ(dt_open("people", "s", t), S_OKAY);
  }
  const std::string p4 = person_name(5);
  // B caches the record's page ...
  ASSERT_EQ(dt_reclock(PERSON, 'r', &b, 0), S_OKAY);
  EXPECT_EQ(age_of(p4), 25);
  ASSERT_EQ(dt_recfree(PERSON, &b, 0), S_OKAY);
  // ... A changes it ...
  ASSERT_EQ(dt_trbegin("a1", &a), S_OKAY);
  ASSERT_EQ(dt_reclock(PERSON, 'w', &a, 0), S_OKAY);
  ASSERT_EQ(write_age(p4, 77), S_OKAY);
  // ... and while A holds it, B cannot have it.
  ASSERT_EQ(dt_timeout(0, &b), S_OKAY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(dt_reclock(PERSON, 'r', &b, 0), S_UNAVAIL);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("timed out waiting for lock"), std::string::npos) << err;
  ASSERT_EQ(dt_trend(&a), S_OKAY);
  // B's next lock drops its stale page: it reads the commit.
  ASSERT_EQ(dt_reclock(PERSON, 'r', &b, 0), S_OKAY);
  EXPECT_EQ(age_of(p4), 77);
  // Written at commit while B reads: the commit cannot write, with or
  // without two phases, until B has let go.
  for (bool two_phase : {true, false}) {
    if (!two_phase) {
      ASSERT_EQ(dt_off_opt(OPT_TWOPHASE, &a), S_OKAY);
    }
    ASSERT_EQ(dt_timeout(0, &a), S_OKAY);
    ASSERT_EQ(dt_trbegin("a2", &a), S_OKAY);
    ASSERT_EQ(dt_reclock(PERSON, 'i', &a, 0), S_OKAY);
    ASSERT_EQ(write_age(p4, 78), S_OKAY);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dt_trend(&a), S_UNAVAIL) << two_phase;
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(dt_trabort(&a), S_OKAY);
    char held;
    ASSERT_EQ(dt_reclstat(PERSON, &held, &b, 0), S_OKAY);  // B is the current task again
    EXPECT_EQ(held, 'r');
    EXPECT_EQ(age_of(p4), 77) << two_phase;
  }
  ASSERT_EQ(dt_close(&b), S_OKAY);
  ASSERT_EQ(dt_close(&a), S_OKAY);
  ASSERT_EQ(dt_closetask(&a), S_OKAY);
  ASSERT_EQ(dt_closetask(&b), S_OKAY);
}

}  // namespace
