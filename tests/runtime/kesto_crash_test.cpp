// Crashes and I/O faults during a commit and during its recovery, and with
// journaling during a journaled commit, a checkpoint and a roll-forward.
//
// A child process opens the database (option 0x10, as the view database
// uses it; a cache of 8 pages, so that changed pages go to the overflow
// file), runs one transaction of many changes and ends itself at a chosen
// write or synchronisation (see CrashIo), or meets a failing, short or
// unsynchronised I/O call. The parent then opens the database, which
// recovers what the activity file lists, and requires that it holds the
// whole transaction or none of it, that it passes every integrity check,
// and that once the commit was recorded durably it holds all of it. With
// journaling, the journal must tell the same story: a further journaled
// transaction, then the database files restored to their state before the
// crash and rolled forward, give what the database holds.
//
// The journaled sweeps take every crash point around the commit's durable
// point and a third of the others (each mode another third), and the
// roll-forward's run of like writes a sample of its middle;
// KESTO_CRASH_FULL=1 takes them all.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
  int journal_write = 0;      // the journal's header covering the commit entry ...
  int journal_sync = 0;       // ... and its synchronisation
  // Where the commit becomes durable: the activity-file entry, or with
  // journaling the journal's commit entry.
  int point_write = 0;
  int point_sync = 0;
};

bool full_sweep() {
  const char *v = std::getenv("KESTO_CRASH_FULL");
  return v && *v && std::string(v) != "0";
}

class CrashTest : public EngineTest {
 protected:
  unsigned options() const { return OPT_SYNCFILES | (journaled_ ? OPT_JOURNAL : 0u); }

  void open_database() {
    d_setpages(8, 2);
    dt_on_opt(options(), nullptr);
  }

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
    map_ = map_commit(events, journaled_);
    ASSERT_GT(map_.entry_write, map_.overflow_sync);
    ASSERT_GT(map_.entry_sync, map_.entry_write);
    ASSERT_GE(map_.copies.size(), 3u);
    ASSERT_GT(map_.entry_removal, map_.copies.back());
    if (journaled_) {
      ASSERT_GT(map_.journal_write, map_.entry_sync);
      ASSERT_GT(map_.journal_sync, map_.journal_write);
      ASSERT_GT(map_.copies.front(), map_.journal_sync);
    }
  }

  // The child's work: open, one transaction, close. `arm` sets the crash
  // point once the database is open; `done` sees the I/O table at the end.
  int transaction(CrashIo::Mode mode, const std::function<void(CrashIo &)> &arm,
                  const std::function<void(const CrashIo &)> &done = nullptr, unsigned seed = 1) {
    open_database();
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

  static CommitMap map_commit(const std::vector<CrashIo::Event> &events, bool journaled) {
    CommitMap m;
    int last_taf_write = 0;
    for (const CrashIo::Event &e : events) {
      if (e.kind == CrashIo::OPEN) continue;
      m.total = e.number;
      bool taf = e.path == "kesto.taf", log = e.path == "kesto.log", tjf = e.path == "kesto.tjf";
      if (tjf && m.entry_sync && m.copies.empty()) {
        if (e.kind == CrashIo::WRITE) m.journal_write = e.number;
        if (e.kind == CrashIo::SYNC) m.journal_sync = e.number;
      }
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
    m.point_write = journaled ? m.journal_write : m.entry_write;
    m.point_sync = journaled ? m.journal_sync : m.entry_sync;
    return m;
  }

  // Opens the database as the next process would (recovering), checks it
  // and closes it again.
  std::string reopened() {
    // A recovery that fails ends the process: it runs in a child first.
    const std::string err_path = dir_.file("recovery.txt");
    int child = run_in_child(
        [&] {
          dt_on_opt(options(), nullptr);
          return dt_open("people", "o", nullptr) == S_OKAY ? 0 : 1;
        },
        60, err_path);
    std::vector<unsigned char> bytes = read_file(err_path);
    std::remove(err_path.c_str());
    if (child < 0 || !WIFEXITED(child) || WEXITSTATUS(child) != 0) {
      ADD_FAILURE() << "the next open: " << describe_status(child) << "\n" << std::string(bytes.begin(), bytes.end());
      return "! open failed";
    }
    dt_on_opt(options(), nullptr);
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
    if (journaled_) expect_journal_agrees(where);
  }

  // The database files as they were before the work under test (the
  // journal, which holds that work, left as it is).
  void restore_database_files(const FileSet &files) {
    for (const char *name : {"people.d00", "people.k00"}) write_file(dir_.file(name), files.at(name));
  }

  // Rolls the journal forward over the database files of `from`: the
  // result must be what the database holds after one more journaled
  // transaction.
  void expect_journal_agrees(const std::string &where, const FileSet &from) {
    open_database();
    auto later = []() -> int {
      for (int i = 0; i < 3; ++i) {
        db_address p;
        int s = add_person("later" + std::to_string(i), 50 + i, city_name(i), &p);
        if (s == S_OKAY) s = add_car(p, "L" + std::to_string(i), 300);
        if (s != S_OKAY) return s;
      }
      return S_OKAY;
    };
    if (dt_open("people", "o", nullptr) != S_OKAY || dt_trbegin("later", nullptr) != S_OKAY || later() != S_OKAY ||
        dt_trend(nullptr) != S_OKAY) {
      ADD_FAILURE() << where << ": a journaled transaction after it failed";
      dt_close(nullptr);
      return;
    }
    const std::string live = snapshot();
    EXPECT_EQ(dt_close(nullptr), S_OKAY);
    restore_database_files(from);
    open_database();
    ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY) << where;
    testing::internal::CaptureStderr();
    int status = tjf_roll_forward(true);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, S_OKAY) << where << "\n" << err;
    EXPECT_TRUE(snapshot() == live) << where << ": the journal rolled forward differs from the database";
    EXPECT_EQ(dt_close(nullptr), S_OKAY);
  }
  void expect_journal_agrees(const std::string &where) { expect_journal_agrees(where, pristine_); }

  // The crash points a sweep takes: all of them, or every second one, the
  // other half in the other mode.
  // Journaled sweeps take every point around the commit's durable point
  // and a third of the others, a different third in each mode.
  bool swept(int n, int mode_index) const {
    if (!journaled_ || full_sweep()) return true;
    if (map_.point_write && n >= map_.point_write - 3 && n <= map_.point_sync + 3) return true;
    return n % 3 == mode_index % 3;
  }
  // A long sweep takes its first and last points, where the work starts
  // and ends, and a sample between them.
  static bool sampled(int n, int total) { return full_sweep() || n <= 6 || n > total - 20 || n % 9 == 0; }

  // Crashes the child before event `n` and checks what the next open finds.
  void crash_before(CrashIo::Mode mode, int n, Outcome expected, unsigned seed = 1) {
    restore_files(dir_.path(), pristine_);
    int status = run_in_child(
        [&] { return transaction(mode, [n](CrashIo &io) { io.crash_before(n); }, nullptr, seed); }, 60, "/dev/null");
    std::string where = "crash before event " + std::to_string(n) + " of " + std::to_string(map_.total);
    ASSERT_EQ(describe_status(status), "exit " + std::to_string(CrashIo::kCrashExit)) << where;
    expect_outcome(reopened(), expected, where);
  }

  // The commit under test's sweeps, shared by both fixtures.
  void killed_at_every_write() {
    for (int n = 1; n <= map_.total; ++n)
      if (swept(n, 0)) crash_before(CrashIo::PROCESS, n, n <= map_.point_write ? OLD : NEW);
  }

  void power_lost_at_every_write() {
    for (int n = 1; n <= map_.total; ++n) {
      if (swept(n, 1)) crash_before(CrashIo::LOSE_ALL, n, n <= map_.point_sync ? OLD : NEW);
      if (swept(n, 0))
        crash_before(CrashIo::LOSE_SOME, n, n <= map_.point_write ? OLD : n > map_.point_sync ? NEW : EITHER,
                     static_cast<unsigned>(n));
    }
  }

  void crash_during_recovery_is_repeated();
  void failed_short_and_unsynced_calls_are_reported();

  bool journaled_ = false;
  std::string base_, after_;
  FileSet pristine_;
  CommitMap map_;
};

class JournaledCrashTest : public CrashTest {
 protected:
  void SetUp() override {
    journaled_ = true;
    CrashTest::SetUp();
  }
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
TEST_F(CrashTest, KilledAtEveryWrite) { killed_at_every_write(); }
TEST_F(JournaledCrashTest, KilledAtEveryWrite) { killed_at_every_write(); }

// A power failure at every write and synchronisation: whatever was not
// synchronised is lost, all of it or a random part of it.
TEST_F(CrashTest, PowerLostAtEveryWrite) { power_lost_at_every_write(); }
TEST_F(JournaledCrashTest, PowerLostAtEveryWrite) { power_lost_at_every_write(); }

// A recovery interrupted in turn is repeated by the next open.
TEST_F(CrashTest, CrashDuringRecoveryIsRepeated) { crash_during_recovery_is_repeated(); }
TEST_F(JournaledCrashTest, CrashDuringRecoveryIsRepeated) { crash_during_recovery_is_repeated(); }

void CrashTest::crash_during_recovery_is_repeated() {
  restore_files(dir_.path(), pristine_);
  int status = run_in_child([&] {
    return transaction(CrashIo::PROCESS, [&](CrashIo &io) { io.crash_before(map_.point_sync + 1); });
  });
  ASSERT_EQ(describe_status(status), "exit " + std::to_string(CrashIo::kCrashExit));
  const FileSet recorded = save_files(dir_.path());

  auto recover = [&](CrashIo::Mode mode, int n) {
    open_database();
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
      if (!swept(n, mode == CrashIo::PROCESS ? 0 : 1)) continue;
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
TEST_F(CrashTest, FailedShortAndUnsyncedCallsAreReported) { failed_short_and_unsynced_calls_are_reported(); }
TEST_F(JournaledCrashTest, FailedShortAndUnsyncedCallsAreReported) {
  failed_short_and_unsynced_calls_are_reported();
}

void CrashTest::failed_short_and_unsynced_calls_are_reported() {
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
      open_database();
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
      if (!swept(n, static_cast<int>(&f - faults))) continue;
      std::string where = std::string(f.name) + " at call " + std::to_string(n) + " of " + std::to_string(calls);
      restore_files(dir_.path(), pristine_);
      status = run_in_child(
          [&] {
            open_database();
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

// ---- the checkpoint and the roll-forward ----

const CrashIo::Trigger never = [](const CrashIo::Event &, bool) { return false; };

struct IoFault {
  const char *name;
  FaultyIo::Op op;
  bool shorten;
};
const IoFault io_faults[] = {
    {"failed write", FaultyIo::PWRITE, false},
    {"short write", FaultyIo::PWRITE, true},
    {"failed sync", FaultyIo::FSYNC, false},
    {"failed rename", FaultyIo::RENAME, false},
};

class JournalMaintenanceCrashTest : public JournaledCrashTest {
 protected:
  // Two journaled transactions in a child; `done` receives what they leave
  // and `journaled` the files then.
  void SetUp() override {
    JournaledCrashTest::SetUp();
    restore_files(dir_.path(), pristine_);
    ASSERT_EQ(describe_status(run_in_child([&] {
                open_database();
                if (dt_open("people", "o", nullptr) != S_OKAY || two_transactions() != S_OKAY) return 2;
                return dt_close(nullptr) == S_OKAY ? 0 : 3;
              })),
              "exit 0");
    journaled_files_ = save_files(dir_.path());
    done_ = reopened();
    ASSERT_NE(done_, base_);
    restore_files(dir_.path(), journaled_files_);
  }

  // Small ones: the roll-forward writes each of their changes.
  static int two_transactions() {
    std::vector<db_address> added(4);
    int s = dt_trbegin("first", nullptr);
    for (int i = 0; s == S_OKAY && i < 4; ++i) {
      s = add_person("j" + std::to_string(i), 40 + i, city_name(i), &added[static_cast<size_t>(i)]);
      if (s == S_OKAY)
        s = add_car(added[static_cast<size_t>(i)], "J" + std::to_string(i), static_cast<uint16_t>(500 + i));
    }
    if (s == S_OKAY) s = dt_trend(nullptr);
    if (s == S_OKAY) s = dt_trbegin("second", nullptr);
    if (s == S_OKAY) s = first_status({rename_person(added[0], "jr0"), set_age(added[1], 77), remove_record(added[2])});
    return s == S_OKAY ? dt_trend(nullptr) : s;
  }

  static uint32_t journal_end(const std::string &path) {
    std::vector<unsigned char> j = read_file(path);
    return j.size() < 12 ? 0 : j[8] | j[9] << 8 | j[10] << 16 | static_cast<uint32_t>(j[11]) << 24;
  }

  // Runs `operation` on the open database in a child, crashing before
  // event n (0: none, the events written to the events file), or with
  // the nth call of an I/O fault; its status decides the exit status (0
  // or 10).
  int run(const std::function<int()> &operation, CrashIo::Mode mode, int n, const IoFault *fault = nullptr,
          const std::string &err_path = "/dev/null") {
    return run_in_child(
        [&] {
          open_database();
          if (dt_open("people", "o", nullptr) != S_OKAY) return 2;
          int status;
          if (fault) {
            FaultyIo io;
            if (n && fault->shorten) io.shorten(fault->op, n);
            else if (n) io.fail(fault->op, n, EIO);
            status = operation();
            if (!n) std::ofstream(events_path()) << io.calls(fault->op);
          } else {
            CrashIo io(mode, static_cast<unsigned>(n));
            if (n) io.crash_before(n);
            else io.crash_when(never);
            status = operation();
            if (!n) write_events(io.events());
          }
          return status == S_OKAY ? 0 : 10;
        },
        60, err_path);
  }

  int event_total() {
    int total = 0;
    for (const CrashIo::Event &e : read_events()) total = std::max(total, e.number);
    return total;
  }

  FileSet journaled_files_;
  std::string done_;
};

// A checkpoint crashed or failed anywhere: the database holds both
// transactions, the journal is whole (rolled forward over the files before
// them it gives the same) or empty, and both go on working.
TEST_F(JournalMaintenanceCrashTest, CheckpointCrashedOrFailed) {
  auto checkpoint = [] { return dt_checkpoint(nullptr); };
  auto check = [&](const std::string &where) {
    const std::string s = reopened();
    EXPECT_TRUE(s == done_) << where << ": the checkpoint changed the database";
    // A journal cut off before its new header was written is empty too.
    const bool emptied = journal_end(dir_.file("kesto.tjf")) <= 28;
    expect_journal_agrees(where, emptied ? save_files(dir_.path()) : pristine_);
  };
  ASSERT_EQ(describe_status(run(checkpoint, CrashIo::PROCESS, 0)), "exit 0");
  const int total = event_total();
  ASSERT_GT(total, 6);
  for (CrashIo::Mode mode : {CrashIo::PROCESS, CrashIo::LOSE_ALL, CrashIo::LOSE_SOME}) {
    for (int n = 1; n <= total; ++n) {
      const std::string where = "mode " + std::to_string(mode) + ", crash before event " + std::to_string(n);
      restore_files(dir_.path(), journaled_files_);
      ASSERT_EQ(describe_status(run(checkpoint, mode, n)), "exit " + std::to_string(CrashIo::kCrashExit)) << where;
      check(where);
    }
  }
  const std::string err_path = dir_.file("stderr.txt");
  for (const IoFault &f : io_faults) {
    restore_files(dir_.path(), journaled_files_);
    ASSERT_EQ(describe_status(run(checkpoint, CrashIo::PROCESS, 0, &f)), "exit 0");
    int calls = 0;
    std::ifstream(events_path()) >> calls;
    for (int n = 1; n <= calls; ++n) {
      const std::string where = std::string(f.name) + " at call " + std::to_string(n);
      restore_files(dir_.path(), journaled_files_);
      EXPECT_EQ(describe_status(run(checkpoint, CrashIo::PROCESS, n, &f, err_path)), "exit 10") << where;
      std::vector<unsigned char> bytes = read_file(err_path);
      EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("*** db_KESTO database error"), std::string::npos)
          << where;
      check(where);
    }
  }
}

// A roll-forward crashed or failed anywhere: the database still opens, and
// the next roll-forward completes the work. With a damaged tail the
// journal is moved aside on the way.
TEST_F(JournalMaintenanceCrashTest, RollForwardCrashedOrFailed) {
  auto roll_forward = [] { return tjf_roll_forward(true); };
  std::vector<unsigned char> damaged = journaled_files_.at("kesto.tjf");
  const uint32_t end = journal_end(dir_.file("kesto.tjf"));
  ASSERT_LT(end + 20, damaged.size());
  for (uint32_t i = 0; i < 20; ++i) damaged[end + i] = 0x55;
  const uint32_t longer = end + 20;
  for (int i = 0; i < 4; ++i) damaged[8 + i] = static_cast<unsigned char>(longer >> (8 * i));
  struct Scenario {
    const char *what;
    std::vector<unsigned char> journal;
  } scenarios[] = {{"a whole journal", journaled_files_.at("kesto.tjf")}, {"a damaged tail", damaged}};
  const std::string err_path = dir_.file("stderr.txt");
  for (const Scenario &sc : scenarios) {
    SCOPED_TRACE(sc.what);
    auto set_up = [&] {
      restore_files(dir_.path(), journaled_files_);
      restore_database_files(pristine_);
      write_file(dir_.file("kesto.tjf"), sc.journal);
    };
    // Only the end of the work touches the journal: the journal's use after
    // it is checked there.
    auto check = [&](const std::string &where, bool at_the_end) {
      open_database();
      ASSERT_EQ(dt_open("people", "o", nullptr), S_OKAY) << where;
      testing::internal::CaptureStderr();
      const int status = tjf_roll_forward(true);
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(status, S_OKAY) << where << "\n" << err;
      EXPECT_TRUE(snapshot() == done_) << where << ": the roll-forward did not complete";
      EXPECT_EQ(dt_close(nullptr), S_OKAY);
      EXPECT_EQ(journal_end(dir_.file("kesto.tjf")), 28u) << where;
      if (at_the_end) expect_journal_agrees(where, save_files(dir_.path()));
    };
    set_up();
    ASSERT_EQ(describe_status(run(roll_forward, CrashIo::PROCESS, 0)), "exit 0");
    const int total = event_total();
    ASSERT_GT(total, 10);
    for (CrashIo::Mode mode : {CrashIo::PROCESS, CrashIo::LOSE_ALL, CrashIo::LOSE_SOME}) {
      for (int n = 1; n <= total; ++n) {
        if (!sampled(n, total)) continue;
        // Nothing is forced to disk while the changes are written: a power
        // failure there loses them all or some, as at their first.
        if (mode != CrashIo::PROCESS && n > 6 && n <= total - 20 && !full_sweep()) continue;
        const std::string where = "mode " + std::to_string(mode) + ", crash before event " + std::to_string(n);
        set_up();
        ASSERT_EQ(describe_status(run(roll_forward, mode, n)), "exit " + std::to_string(CrashIo::kCrashExit))
            << where;
        check(where, n > total - 20);
      }
    }
    for (const IoFault &f : io_faults) {
      set_up();
      ASSERT_EQ(describe_status(run(roll_forward, CrashIo::PROCESS, 0, &f)), "exit 0");
      int calls = 0;
      std::ifstream(events_path()) >> calls;
      for (int n = 1; n <= calls; ++n) {
        if (!sampled(n, calls)) continue;
        const std::string where = std::string(f.name) + " at call " + std::to_string(n);
        set_up();
        EXPECT_EQ(describe_status(run(roll_forward, CrashIo::PROCESS, n, &f, err_path)), "exit 10") << where;
        check(where, n > calls - 10);
      }
    }
  }
}

}  // namespace
