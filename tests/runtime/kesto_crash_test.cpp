// Crashes and I/O faults during a commit and during its recovery.
//
// A child process opens the database (option 0x10, as the view database
// uses it; a cache of 8 pages, so that changed pages go to the overflow
// file), runs one transaction of many changes and ends itself at a chosen
// write or synchronisation (see CrashIo), or meets a failing, short or
// unsynchronised I/O call. The parent then opens the database, which
// recovers what the activity file lists, and requires that it holds the
// whole transaction or none of it, that it passes every integrity check,
// and that once the commit was recorded durably it holds all of it.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kesto_crash_io.h"
#include "kesto_trans_fixture.h"

namespace {

using namespace kesto_test;

enum Outcome { OLD, NEW, EITHER };

// Where the commit's writes and syncs fall, by event number.
struct CommitMap {
  int total = 0;
  int overflow_sync = 0;      // the overflow file forced to disk
  int entry_write = 0;        // the activity file's entries written ...
  int entry_sync = 0;         // ... and forced to disk
  std::vector<int> copies;    // writes to the database files after that
  int entry_removal = 0;      // the first write of the activity file after them
};

class CrashTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    write_schema(kPeopleSchema);
    d_setpages(8, 2);
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY);
    ASSERT_EQ(dt_initialize(nullptr, 0), S_OKAY);
    ASSERT_EQ(dt_trbegin("base", nullptr), S_OKAY);
    ASSERT_EQ(populate(30), S_OKAY);
    ASSERT_EQ(dt_trend(nullptr), S_OKAY);
    base_ = snapshot();
    ASSERT_FALSE(has_fault(base_)) << base_;
    ASSERT_EQ(dt_close(nullptr), S_OKAY);
    pristine_ = save_files(dir_.path());

    // A run without a crash gives the transaction's result and the map of
    // its events.
    std::vector<CrashIo::Event> events;
    int status = run_in_child([&] {
      return transaction(CrashIo::PROCESS, nullptr, [&](const CrashIo &io) { write_events(io.events()); });
    });
    ASSERT_EQ(describe_status(status), "exit 0");
    events = read_events();
    after_ = reopened();
    ASSERT_NE(after_, base_);
    restore_files(dir_.path(), pristine_);
    map_ = map_commit(events);
    ASSERT_GT(map_.entry_write, map_.overflow_sync);
    ASSERT_GT(map_.entry_sync, map_.entry_write);
    ASSERT_GE(map_.copies.size(), 3u);
    ASSERT_GT(map_.entry_removal, map_.copies.back());
  }

  // The child's work: open, one transaction, close. `arm` sets the crash
  // point once the database is open; `done` sees the I/O table at the end.
  int transaction(CrashIo::Mode mode, const std::function<void(CrashIo &)> &arm,
                  const std::function<void(const CrashIo &)> &done = nullptr, unsigned seed = 1) {
    d_setpages(8, 2);
    dt_on_opt(OPT_SYNCFILES, nullptr);
    if (dt_open("people", "o", nullptr) != S_OKAY) return 2;
    CrashIo io(mode, seed);
    if (arm) arm(io);
    if (dt_trbegin("work", nullptr) != S_OKAY) return 3;
    if (change_many(1) != S_OKAY) return 4;
    if (dt_trend(nullptr) != S_OKAY) return 5;
    if (done) done(io);
    return dt_close(nullptr) == S_OKAY ? 0 : 6;
  }

  std::string events_path() const { return dir_.file("events.txt"); }

  void write_events(const std::vector<CrashIo::Event> &events) {
    std::ofstream out(events_path());
    for (const CrashIo::Event &e : events)
      out << e.kind << ' ' << e.number << ' ' << e.path.substr(e.path.rfind('/') + 1) << '\n';
  }

  std::vector<CrashIo::Event> read_events() {
    std::vector<CrashIo::Event> events;
    std::ifstream in(events_path());
    int kind, number;
    std::string name;
    while (in >> kind >> number >> name) events.push_back({static_cast<CrashIo::Kind>(kind), number, name, 0, 0});
    return events;
  }

  static CommitMap map_commit(const std::vector<CrashIo::Event> &events) {
    CommitMap m;
    int last_taf_write = 0;
    for (const CrashIo::Event &e : events) {
      if (e.kind == CrashIo::OPEN) continue;
      m.total = e.number;
      bool taf = e.path == "kesto.taf", log = e.path == "kesto.log";
      bool database = e.path == "people.d00" || e.path == "people.k00";
      if (log && e.kind == CrashIo::SYNC && !m.entry_sync) m.overflow_sync = e.number;
      if (taf && e.kind == CrashIo::WRITE && !m.entry_sync) last_taf_write = e.number;
      if (taf && e.kind == CrashIo::SYNC && !m.entry_sync) {
        m.entry_sync = e.number;
        m.entry_write = last_taf_write;  // the write of the entries themselves
      }
      if (taf && e.kind == CrashIo::WRITE && m.entry_sync && !m.entry_removal) m.entry_removal = e.number;
      if (database && e.kind == CrashIo::WRITE && m.entry_sync && !m.entry_removal) m.copies.push_back(e.number);
    }
    return m;
  }

  // Opens the database as the next process would (recovering), checks it
  // and closes it again.
  std::string reopened() {
    // A recovery that fails ends the process: it runs in a child first.
    const std::string err_path = dir_.file("recovery.txt");
    int child = run_in_child([] { return dt_open("people", "o", nullptr) == S_OKAY ? 0 : 1; }, 60, err_path);
    std::vector<unsigned char> bytes = read_file(err_path);
    std::remove(err_path.c_str());
    if (child < 0 || !WIFEXITED(child) || WEXITSTATUS(child) != 0) {
      ADD_FAILURE() << "the next open: " << describe_status(child) << "\n" << std::string(bytes.begin(), bytes.end());
      return "! open failed";
    }
    testing::internal::CaptureStderr();
    int status = dt_open("people", "o", nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, S_OKAY) << err;
    if (status != S_OKAY) return "! open failed";
    std::string s = snapshot();
    EXPECT_FALSE(has_fault(s)) << s;
    for (int i = 0; i < TAF_ENTRIES; ++i) EXPECT_STREQ(taf_files[i], "") << i;
    EXPECT_EQ(dt_close(nullptr), S_OKAY);
    return s;
  }

  void expect_outcome(const std::string &s, Outcome expected, const std::string &where) {
    if (expected == OLD) EXPECT_TRUE(s == base_) << where << ": expected the state before the transaction";
    else if (expected == NEW) EXPECT_TRUE(s == after_) << where << ": expected the whole transaction";
    else EXPECT_TRUE(s == base_ || s == after_) << where << ": neither before nor after the transaction";
  }

  // Crashes the child before event `n` and checks what the next open finds.
  void crash_before(CrashIo::Mode mode, int n, Outcome expected, unsigned seed = 1) {
    restore_files(dir_.path(), pristine_);
    int status = run_in_child(
        [&] { return transaction(mode, [n](CrashIo &io) { io.crash_before(n); }, nullptr, seed); }, 60, "/dev/null");
    std::string where = "crash before event " + std::to_string(n) + " of " + std::to_string(map_.total);
    ASSERT_EQ(describe_status(status), "exit " + std::to_string(CrashIo::kCrashExit)) << where;
    expect_outcome(reopened(), expected, where);
  }

  std::string base_, after_;
  FileSet pristine_;
  CommitMap map_;
};

TEST_F(CrashTest, NamedPointsOfTheCommit) {
  const int n = static_cast<int>(map_.copies.size());
  struct Point {
    std::string name;
    int before;
    Outcome outcome;
  } points[] = {
      {"after the overflow flush", map_.overflow_sync + 1, OLD},
      {"after the activity-file entry is written, before it is synchronised", map_.entry_sync, NEW},
      {"after the activity-file entry is written", map_.entry_sync + 1, NEW},
      {"after 1 of " + std::to_string(n) + " pages are copied back", map_.copies[1], NEW},
      {"after " + std::to_string(n / 2) + " of " + std::to_string(n) + " pages are copied back", map_.copies[n / 2], NEW},
      {"after " + std::to_string(n - 1) + " of " + std::to_string(n) + " pages are copied back", map_.copies[n - 1], NEW},
      {"before the entry is removed", map_.entry_removal, NEW},
  };
  for (const Point &p : points) {
    SCOPED_TRACE(p.name);
    crash_before(CrashIo::PROCESS, p.before, p.outcome);
  }
}

// A kill at every write and synchronisation of the transaction: the writes
// made so far all reach the files.
TEST_F(CrashTest, KilledAtEveryWrite) {
  for (int n = 1; n <= map_.total; ++n) crash_before(CrashIo::PROCESS, n, n <= map_.entry_write ? OLD : NEW);
}

// A power failure at every write and synchronisation: whatever was not
// synchronised is lost, all of it or a random part of it.
TEST_F(CrashTest, PowerLostAtEveryWrite) {
  for (int n = 1; n <= map_.total; ++n) {
    crash_before(CrashIo::LOSE_ALL, n, n <= map_.entry_sync ? OLD : NEW);
    crash_before(CrashIo::LOSE_SOME, n, n <= map_.entry_write ? OLD : n > map_.entry_sync ? NEW : EITHER,
                 static_cast<unsigned>(n));
  }
}

// A recovery interrupted in turn is repeated by the next open.
TEST_F(CrashTest, CrashDuringRecoveryIsRepeated) {
  restore_files(dir_.path(), pristine_);
  int status = run_in_child([&] {
    return transaction(CrashIo::PROCESS, [&](CrashIo &io) { io.crash_before(map_.entry_sync + 1); });
  });
  ASSERT_EQ(describe_status(status), "exit " + std::to_string(CrashIo::kCrashExit));
  const FileSet recorded = save_files(dir_.path());

  auto recover = [&](CrashIo::Mode mode, int n) {
    d_setpages(8, 2);
    dt_on_opt(OPT_SYNCFILES, nullptr);
    CrashIo io(mode);
    if (n) io.crash_before(n);
    else io.crash_when([&](const CrashIo::Event &, bool) { return false; });
    int result = dt_open("people", "o", nullptr) == S_OKAY ? 0 : 2;
    if (!n) write_events(io.events());
    return result;
  };
  ASSERT_EQ(describe_status(run_in_child([&] { return recover(CrashIo::PROCESS, 0); }, 60, "/dev/null")), "exit 0");
  std::vector<CrashIo::Event> events = read_events();
  int total = events.empty() ? 0 : events.back().number;
  for (const CrashIo::Event &e : events) total = std::max(total, e.number);
  ASSERT_GT(total, 5);
  for (CrashIo::Mode mode : {CrashIo::PROCESS, CrashIo::LOSE_ALL}) {
    for (int n = 1; n <= total; ++n) {
      std::string where = "recovery crashed before event " + std::to_string(n) + " of " + std::to_string(total);
      restore_files(dir_.path(), recorded);
      int s = run_in_child([&] { return recover(mode, n); }, 60, "/dev/null");
      ASSERT_EQ(describe_status(s), "exit " + std::to_string(CrashIo::kCrashExit)) << where;
      expect_outcome(reopened(), NEW, where);
    }
  }
}

// Failing, short and unsynchronised I/O calls, at every call of the kind
// from the transaction's begin to the end of its commit. The failing call
// is reported; before the point of no return the transaction can be
// aborted (the database holds what it held) and tried again; after it the
// process ends, and the next open finds the commit whole (completed from
// its recorded entry) or absent (never recorded).
TEST_F(CrashTest, FailedShortAndUnsyncedCallsAreReported) {
  struct Fault {
    const char *name;
    FaultyIo::Op op;
    bool shorten;
  } faults[] = {
      {"failed write", FaultyIo::PWRITE, false},
      {"short write", FaultyIo::PWRITE, true},
      {"failed sync", FaultyIo::FSYNC, false},
  };
  const std::string err_path = dir_.file("stderr.txt");
  for (const Fault &f : faults) {
    SCOPED_TRACE(f.name);
    // How many such calls the transaction makes.
    restore_files(dir_.path(), pristine_);
    int calls = -1;
    int status = run_in_child([&] {
      d_setpages(8, 2);
      dt_on_opt(OPT_SYNCFILES, nullptr);
      if (dt_open("people", "o", nullptr) != S_OKAY) return 2;
      FaultyIo io;
      if (dt_trbegin("work", nullptr) != S_OKAY || change_many(1) != S_OKAY || dt_trend(nullptr) != S_OKAY) return 3;
      std::ofstream(events_path()) << io.calls(f.op);
      return 0;
    });
    ASSERT_EQ(describe_status(status), "exit 0");
    std::ifstream(events_path()) >> calls;
    ASSERT_GT(calls, 3);

    for (int n = 1; n <= calls; ++n) {
      std::string where = std::string(f.name) + " at call " + std::to_string(n) + " of " + std::to_string(calls);
      restore_files(dir_.path(), pristine_);
      status = run_in_child(
          [&] {
            d_setpages(8, 2);
            dt_on_opt(OPT_SYNCFILES, nullptr);
            if (dt_open("people", "o", nullptr) != S_OKAY) return 2;
            int result = 0;
            {
              FaultyIo io;
              if (f.shorten) io.shorten(f.op, n);
              else io.fail(f.op, n, EIO);
              int s = dt_trbegin("work", nullptr);
              if (s == S_OKAY) s = change_many(1);
              if (s == S_OKAY) s = dt_trend(nullptr);
              if (s == S_OKAY) return 0;  // the fault went unnoticed
              if (s > 0) return 7;
              if (trans_active() && dt_trabort(nullptr) != S_OKAY) return 8;
              // Aborted: the database reads as before.
              if (snapshot() != base_) return 9;
              result = 10;
            }
            // And the same transaction goes through now.
            if (dt_trbegin("again", nullptr) != S_OKAY || change_many(1) != S_OKAY || dt_trend(nullptr) != S_OKAY)
              return 11;
            return dt_close(nullptr) == S_OKAY ? result : 12;
          },
          60, err_path);
      std::vector<unsigned char> bytes = read_file(err_path);
      std::string err(bytes.begin(), bytes.end());
      EXPECT_NE(err.find("*** db_KESTO database error"), std::string::npos) << where << "\n" << err;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 10) {
        expect_outcome(reopened(), NEW, where + " (aborted and done again)");
      } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) {
        // Past the point of no return: recorded or not, the commit is
        // whole or absent.
        EXPECT_NE(err.find("*** db_KESTO error during commit, exiting"), std::string::npos) << where << "\n" << err;
        expect_outcome(reopened(), EITHER, where + " (past the point of no return)");
      } else {
        ADD_FAILURE() << where << ": " << describe_status(status) << "\n" << err;
      }
    }
  }
}

}  // namespace
