// Recovery of commits recorded in the activity file but not finished: the
// open completes them from their overflow files, in the order of the
// table, touching only the files they changed; doing it twice changes
// nothing; and a recovery that cannot complete ends the process with its
// line, leaving the entry for the next attempt.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "kesto_crash_io.h"
#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;

// Runs a commit as far as its entry in the activity file, then drops
// everything as a crash there would: the overflow file and the entry are
// on disk, the changed pages of the old extents are not.
void commit_until_recorded() {
  db_task &t = kt();
  ASSERT_EQ(dio_flush(), S_OKAY);
  ASSERT_EQ(o_flush(), S_OKAY);
  ASSERT_EQ(taf_add(t.log_name), S_OKAY);
  t.trans_id[0] = '\0';
  dio_pzclr();
  dio_clear();
  dio_ixclear();
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
}

class RecoveryTest : public EngineTest {
 protected:
  // The people database with a committed population; `changed` receives
  // what a recorded but unfinished commit of more changes holds.
  void recorded_commit(const char *db, std::string *base, std::string *changed, int seed = 1,
                       const char *mode = "o") {
    ASSERT_EQ(dt_open(db, mode, nullptr), S_OKAY);
    ASSERT_EQ(dt_trbegin("base", nullptr), S_OKAY);
    ASSERT_EQ(populate(25), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    *base = snapshot();
    ASSERT_EQ(dt_trbegin("recorded", nullptr), S_OKAY);
    ASSERT_EQ(change_many(seed), S_OKAY);
    *changed = snapshot();
    ASSERT_FALSE(has_fault(*changed)) << *changed;
    commit_until_recorded();
  }

  std::string open_and_snapshot(const char *db, const char *mode, std::string *err = nullptr) {
    testing::internal::CaptureStderr();
    int status = dt_open(db, mode, nullptr);
    std::string text = testing::internal::GetCapturedStderr();
    if (err) *err = text;
    EXPECT_EQ(status, S_OKAY) << text;
    std::string s = snapshot();
    EXPECT_FALSE(has_fault(s)) << s;
    return s;
  }
};

TEST_F(RecoveryTest, OpenCompletesARecordedCommit) {
  d_setpages(8, 2);
  open_people();
  std::string base, changed;
  recorded_commit("people", &base, &changed);
  // Without the recovery the database is as it was: pages written beyond
  // the old ends of the files are not reached by the old headers.
  EXPECT_EQ(open_and_snapshot("people", "c"), base);
  EXPECT_STREQ(taf_files[0], "kesto.log");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);

  std::string err;
  EXPECT_EQ(open_and_snapshot("people", "o", &err), changed);
  EXPECT_NE(err.find("QVKDM0498I *** db_KESTO database error -918 - auto-recovery in process\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("Auto-recovery of " + dir_.file("kesto.log") + "\n"), std::string::npos) << err;
  for (int i = 0; i < TAF_ENTRIES; ++i) EXPECT_STREQ(taf_files[i], "");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(open_and_snapshot("people", "o"), changed);
}

TEST_F(RecoveryTest, RecoveringTwiceChangesNothingAndUnchangedFilesAreNotOpened) {
  d_setpages(8, 2);
  open_people();
  ASSERT_EQ(populate(10), S_OKAY);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  // A transaction that changes no key: only the data file has pages in the
  // overflow file.
  ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
  ASSERT_EQ(dt_trbegin("weights", nullptr), S_OKAY);
  for (int s = dt_recfrst(CAR, nullptr, 0); s == S_OKAY; s = dt_recnext(nullptr, 0)) {
    uint16_t weight = 4242;
    ASSERT_EQ(dt_crwrite(WEIGHT, &weight, nullptr, 0), S_OKAY);
  }
  const std::string changed = snapshot();
  commit_until_recorded();
  const FileSet recorded = save_files(dir_.path());

  std::vector<CrashIo::Event> events;
  {
    CrashIo watch(CrashIo::PROCESS);
    EXPECT_EQ(open_and_snapshot("people", "o"), changed);
    events = watch.events();
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
  }
  bool opened_data = false;
  for (const CrashIo::Event &e : events) {
    if (e.kind == CrashIo::OPEN && ends_with(e.path, "people.d00")) opened_data = true;
    if (e.kind == CrashIo::OPEN && ends_with(e.path, "people.k00")) break;
    EXPECT_FALSE(e.kind == CrashIo::WRITE && ends_with(e.path, "people.k00"));
  }
  EXPECT_TRUE(opened_data);
  const FileSet once = save_files(dir_.path());

  // The same entry again: the files come out byte for byte the same.
  FileSet again_before = once;
  again_before["kesto.taf"] = recorded.at("kesto.taf");
  restore_files(dir_.path(), again_before);
  EXPECT_EQ(open_and_snapshot("people", "o"), changed);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  const FileSet twice = save_files(dir_.path());
  EXPECT_TRUE(twice.at("people.d00") == once.at("people.d00"));
  EXPECT_TRUE(twice.at("people.k00") == once.at("people.k00"));
}

TEST_F(RecoveryTest, EntriesAreRecoveredInTableOrder) {
  // Two databases, each with a commit of its own user recorded.
  write_schema(kPeopleSchema);
  std::string folks(kPeopleSchema);
  for (size_t at; (at = folks.find("people")) != std::string::npos;) folks.replace(at, 6, "folks");
  write_schema(folks.c_str());
  std::string base[2], changed[2];
  const char *dbs[2] = {"people", "folks"};
  const char *users[2] = {"first", "second"};
  for (int i = 0; i < 2; ++i) {
    reset_engine();
    ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
    setenv("DBUSERID", users[i], 1);
    // The second must not recover the first's entry yet.
    const char *mode = i == 0 ? "o" : "c";
    ASSERT_EQ(dt_open(dbs[i], mode, nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    recorded_commit(dbs[i], &base[i], &changed[i], i, mode);
  }
  unsetenv("DBUSERID");
  // The entries go to the first and third places of the table.
  reset_engine();
  ASSERT_EQ(dt_dbwdir(dir_.path().c_str(), nullptr), S_OKAY);
  ASSERT_EQ(dt_open("people", "c", nullptr), S_OKAY);
  ASSERT_STREQ(taf_files[0], "first.log");
  ASSERT_STREQ(taf_files[1], "second.log");
  ASSERT_EQ(taf_del("second.log"), S_OKAY);
  ASSERT_EQ(taf_add("placeholder"), S_OKAY);
  ASSERT_EQ(taf_add("second.log"), S_OKAY);
  ASSERT_EQ(taf_del("placeholder"), S_OKAY);
  ASSERT_STREQ(taf_files[2], "second.log");
  ASSERT_EQ(dt_close(nullptr), S_OKAY);

  std::string err;
  testing::internal::CaptureStderr();
  ASSERT_EQ(dt_open("people;folks", "o", nullptr), S_OKAY);
  err = testing::internal::GetCapturedStderr();
  size_t first = err.find("Auto-recovery of " + dir_.file("first.log"));
  size_t second = err.find("Auto-recovery of " + dir_.file("second.log"));
  ASSERT_NE(first, std::string::npos) << err;
  ASSERT_NE(second, std::string::npos) << err;
  EXPECT_LT(first, second);
  for (int i = 0; i < TAF_ENTRIES; ++i) EXPECT_STREQ(taf_files[i], "");
  EXPECT_EQ(snapshot(), changed[0]);
  ASSERT_EQ(dt_close(nullptr), S_OKAY);
  EXPECT_EQ(open_and_snapshot("folks", "o"), changed[1]);
}

TEST_F(RecoveryTest, UnusableOverflowFileEndsTheProcess) {
  open_people();
  std::string base, changed;
  recorded_commit("people", &base, &changed);
  const FileSet recorded = save_files(dir_.path());
  const std::string log = dir_.file("kesto.log");
  const std::vector<unsigned char> good = recorded.at("kesto.log");

  auto truncated = [&](size_t n) {
    return [&, n] { write_file(log, std::vector<unsigned char>(good.begin(), good.begin() + n)); };
  };
  auto with_journal_id = [&] {
    std::vector<unsigned char> bytes = good;
    bytes[2] = 7;  // a journal transaction this engine cannot look up
    write_file(log, bytes);
  };
  auto with_entry = [&](size_t at, size_t n, unsigned char byte) {
    return [&, at, n, byte] {
      std::vector<unsigned char> bytes = good;
      std::fill(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n), byte);
      write_file(log, bytes);
    };
  };
  struct Case {
    const char *what;
    std::function<void()> damage;
    const char *also = "";  // a further line the failure prints
  } cases[] = {
      {"missing", [&] { std::remove(log.c_str()); }},
      {"a directory", [&] { std::remove(log.c_str()); mkdir(log.c_str(), 0755); }},
      {"header cut short", truncated(3)},
      {"file table cut short", truncated(6 + 2 * 1027 + 10)},
      {"page copies cut short", truncated(good.size() - 100)},
      {"journal id", with_journal_id, "QVKDM0908E"},
      // The data file's entry: its page size, then its name.
      {"a page size of 0", with_entry(6, 2, 0), "QVKDM0859E *** db_KESTO database error -914"},
      {"a name without its end", with_entry(8, 1025, 'x'), "QVKDM0859E *** db_KESTO database error -914"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    restore_files(dir_.path(), recorded);
    ::rmdir(log.c_str());
    c.damage();
    const std::string err_path = dir_.file("stderr.txt");
    int status = run_in_child([&] { return dt_open("people", "o", nullptr) == S_OKAY ? 0 : 1; }, 60, err_path);
    std::vector<unsigned char> err_bytes = read_file(err_path);
    std::string err(err_bytes.begin(), err_bytes.end());
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << describe_status(status) << "\n" << err;
    EXPECT_NE(err.find("QVKDM0535E *** db_KESTO auto-recovery of 'kesto.log' failed, exiting\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find(c.also), std::string::npos) << err;
    std::remove(err_path.c_str());
    ::rmdir(log.c_str());
    // The entry stays for the next attempt, which succeeds with the file
    // restored.
    write_file(log, good);
    EXPECT_EQ(open_and_snapshot("people", "o"), changed);
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
  }
}

}  // namespace
