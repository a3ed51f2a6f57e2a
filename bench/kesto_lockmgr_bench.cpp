// The engine's shared mode (the lock manager) against the operating
// system's file locks and SQLite, in one run.
//
//   kesto_lockmgr_bench [DIR] [SECONDS]
//
// In a fresh directory under DIR (default $TMPDIR or /tmp):
//   1. lock and release round trip, one process, nothing contended: a read
//      lock on a record type and its release (dt_reclock, dt_recfree in
//      mode "s"), against an fcntl write lock on a file and its release
//      (the primitive SQLite and most multi-process stores build on);
//   2. committed transactions per second with 1, 2, 4 and 8 processes, each
//      changing a record of its own in its own transactions, for SECONDS
//      (default 1.5) each, against SQLite with as many processes updating
//      a row of their own. Prints the rates, each one's scaling over one
//      process, and the ratio engine / SQLite.
//
// The engine's locks are file locks: each process's record type lives in a
// data file and a key file of its own, so that the processes do not wait
// for one another's locks. SQLite locks a whole database file, so its like
// is a database file per process ("SQLite, own files", the ratio's peer);
// the same processes on one SQLite file ("SQLite, one file") take turns at
// its write lock, which is shown beside for what it is. Each commit is the
// engine's two-phase commit with every changed file forced to disk
// (options 0x3 | 0x10), without journaling; SQLite runs in WAL mode with
// synchronous=FULL (every commit forced to disk) and a busy time-out, one
// connection per process.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "runtime/kesto.h"
#include "runtime/kesto_schema.h"

namespace {

using bench::fail;
using bench::seconds_of;

constexpr int kMaxProcesses = 8;
constexpr int kRoundTrips = 200000;

std::string schema_text() {
  std::string s = "database bench page 4096\n";
  for (int i = 0; i < kMaxProcesses; ++i)
    s += "file d" + std::to_string(i) + " bench.d0" + std::to_string(i) + " data\nfile k" + std::to_string(i) +
         " bench.k0" + std::to_string(i) + " key\n";
  for (int i = 0; i < kMaxProcesses; ++i)
    s += "record R" + std::to_string(i) + " in d" + std::to_string(i) + "\n  ID" + std::to_string(i) +
         " int unique key in k" + std::to_string(i) + "\n  V" + std::to_string(i) + " int\nend\n";
  return s;
}

struct Row {
  int32_t id;
  int32_t value;
};

void check(int status, const char *what) {
  if (status != S_OKAY) fail(std::string(what) + " failed: " + std::to_string(status));
}

// ---- the engine ----

void make_engine_database(const std::string &dir) {
  kesto_schema::Schema schema;
  std::string error;
  if (!kesto_schema::parse_schema(schema_text(), &schema, &error) ||
      !kesto_schema::write_dictionary(schema, dir + "/bench.dbd", &error))
    fail("dictionary: " + error);
  check(dt_dbwdir(dir.c_str(), nullptr), "dt_dbwdir");
  setenv("DBUSERID", "maker", 1);
  check(dt_open("bench", "o", nullptr), "dt_open");
  check(dt_initialize(nullptr, 0), "dt_initialize");
  check(dt_trbegin("fill", nullptr), "dt_trbegin");
  for (int i = 0; i < kMaxProcesses; ++i) {
    Row r{1, 0};
    check(dt_fillnew(10000 + i, &r, nullptr, 0), "dt_fillnew");
  }
  check(dt_trend(nullptr), "dt_trend");
  check(dt_close(nullptr), "dt_close");
}

// Opens the database in mode "s" in a task of its own (a task keeps the
// user id it first read).
void open_shared(const std::string &dir, const std::string &user) {
  static DB_TASK task;
  check(dt_opentask(&task), "dt_opentask");
  setenv("DBUSERID", user.c_str(), 1);
  check(dt_dbwdir(dir.c_str(), &task), "dt_dbwdir");
  check(dt_on_opt(OPT_SYNCFILES, nullptr), "dt_on_opt");
  check(dt_open("bench", "s", nullptr), "dt_open");
}

double engine_round_trip(const std::string &dir) {
  open_shared(dir, "trip");
  const double s = seconds_of([] {
    for (int i = 0; i < kRoundTrips; ++i) {
      check(dt_reclock(10000, 'r', nullptr, 0), "dt_reclock");
      check(dt_recfree(10000, nullptr, 0), "dt_recfree");
    }
  });
  check(dt_close(nullptr), "dt_close");
  return s / kRoundTrips;
}

// One process's commits until the deadline.
long engine_worker(int index, double seconds) {
  const int rec = 10000 + index;
  const long field = index * 1000L;
  long commits = 0;
  auto begin = std::chrono::steady_clock::now();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() < seconds) {
    check(dt_trbegin("bench", nullptr), "dt_trbegin");
    check(dt_reclock(rec, 'w', nullptr, 0), "dt_reclock");
    int32_t id = 1;
    check(dt_keyfind(field, &id, nullptr, 0), "dt_keyfind");
    Row r;
    check(dt_recread(&r, nullptr, 0), "dt_recread");
    ++r.value;
    check(dt_crwrite(field + 1, &r.value, nullptr, 0), "dt_crwrite");
    check(dt_trend(nullptr), "dt_trend");
    ++commits;
  }
  check(dt_close(nullptr), "dt_close");
  return commits;
}

// ---- SQLite ----

void sqlite_exec(sqlite3 *db, const char *sql) {
  char *err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) fail(std::string(sql) + ": " + (err ? err : ""));
}

// The database file every process shares, or process `own`'s own.
std::string sqlite_file(const std::string &dir, int own = -1) {
  return dir + (own < 0 ? "/bench.sqlite" : "/bench" + std::to_string(own) + ".sqlite");
}

sqlite3 *sqlite_open(const std::string &file) {
  sqlite3 *db;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) fail("sqlite3_open");
  sqlite3_busy_timeout(db, 10000);
  sqlite_exec(db, "PRAGMA journal_mode=WAL");
  sqlite_exec(db, "PRAGMA synchronous=FULL");
  return db;
}

void make_sqlite_database(const std::string &file) {
  sqlite3 *db = sqlite_open(file);
  sqlite_exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, v INTEGER NOT NULL)");
  for (int i = 0; i < kMaxProcesses; ++i)
    sqlite_exec(db, ("INSERT INTO t VALUES(" + std::to_string(i) + ", 0)").c_str());
  sqlite3_close(db);
}

sqlite3 *sqlite_db = nullptr;

long sqlite_worker(int index, double seconds) {
  sqlite3 *db = sqlite_db;
  sqlite3_stmt *update;
  if (sqlite3_prepare_v2(db, "UPDATE t SET v = v + 1 WHERE id = ?", -1, &update, nullptr) != SQLITE_OK)
    fail("prepare");
  sqlite3_bind_int(update, 1, index);
  long commits = 0;
  auto begin = std::chrono::steady_clock::now();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() < seconds) {
    sqlite_exec(db, "BEGIN IMMEDIATE");
    if (sqlite3_step(update) != SQLITE_DONE) fail(std::string("update: ") + sqlite3_errmsg(db));
    sqlite3_reset(update);
    sqlite_exec(db, "COMMIT");
    ++commits;
  }
  sqlite3_finalize(update);
  sqlite3_close(db);
  return commits;
}

double fcntl_round_trip(const std::string &dir) {
  int fd = open((dir + "/lockfile").c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) fail("open lockfile");
  struct flock lock = {};
  lock.l_whence = SEEK_SET;
  const double s = seconds_of([&] {
    for (int i = 0; i < kRoundTrips; ++i) {
      lock.l_type = F_WRLCK;
      if (fcntl(fd, F_SETLKW, &lock) < 0) fail("fcntl lock");
      lock.l_type = F_UNLCK;
      if (fcntl(fd, F_SETLK, &lock) < 0) fail("fcntl unlock");
    }
  });
  close(fd);
  return s / kRoundTrips;
}

// Runs `processes` copies of a worker at once, each started once all have
// opened the database; the commits per second of all of them together.
template <typename Open, typename Work>
double rate_of(int processes, double seconds, Open open_database, Work work) {
  int go[2], counts[2], ready[2];
  if (pipe(go) != 0 || pipe(counts) != 0 || pipe(ready) != 0) fail("pipe");
  std::vector<pid_t> children;
  std::fflush(stdout);
  for (int i = 0; i < processes; ++i) {
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
      close(go[1]);
      open_database(i);
      if (write(ready[1], "r", 1) != 1) _exit(3);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(3);  // starts when the parent closes it
      long n = work(i, seconds);
      if (write(counts[1], &n, sizeof n) != sizeof n) _exit(3);
      _exit(0);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(counts[1]);
  close(ready[1]);
  for (int i = 0; i < processes; ++i) {
    char c;
    if (read(ready[0], &c, 1) != 1) fail("a worker could not open the database");
  }
  close(ready[0]);
  long total = 0, n;
  // Over the time they all took: a process held up counts against the rate.
  const double elapsed = seconds_of([&] {
    close(go[1]);
    while (read(counts[0], &n, sizeof n) == sizeof n) total += n;
  });
  close(counts[0]);
  for (pid_t pid : children) {
    int st;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) fail("a worker failed: status " + std::to_string(st));
  }
  return total / (elapsed > seconds ? elapsed : seconds);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string dir = bench::make_dir(bench::base_dir(argc, argv), "kesto-lockmgr-bench");
  const double seconds = argc > 2 ? std::atof(argv[2]) : 1.5;
  if (!(seconds > 0)) fail("SECONDS must be positive");
  std::string boot = dir + "/boot";
  std::fclose(std::fopen(boot.c_str(), "w"));
  setenv("NORVANE_BOOT_MARKER", boot.c_str(), 1);
  make_engine_database(dir);
  make_sqlite_database(sqlite_file(dir));
  for (int i = 0; i < kMaxProcesses; ++i) make_sqlite_database(sqlite_file(dir, i));

  const double engine_trip = engine_round_trip(dir), fcntl_trip = fcntl_round_trip(dir);
  std::printf("lock and release round trip, one process (%d times)\n", kRoundTrips);
  std::printf("  %-28s %10s %10s %8s\n", "", "engine", "fcntl", "ratio");
  std::printf("  %-28s %8.0f ns %8.0f ns %8.2f\n\n", "read lock + release", engine_trip * 1e9, fcntl_trip * 1e9,
              engine_trip / fcntl_trip);

  std::printf("committed transactions per second, each process changing its own record (%.1f s each);\n"
              "the engine's processes change files of their own, as do SQLite's with own files (the ratio's "
              "peer);\nSQLite's with one file take turns at its write lock\n",
              seconds);
  std::printf("  %-10s %12s %8s %14s %8s %8s %14s %8s\n", "processes", "engine", "scaling", "SQLite own files",
              "scaling", "ratio", "SQLite one file", "scaling");
  double engine_one = 0, own_one = 0, shared_one = 0;
  for (int processes : {1, 2, 4, 8}) {
    const double e = rate_of(
        processes, seconds, [&](int i) { open_shared(dir, "w" + std::to_string(i)); }, engine_worker);
    const double own = rate_of(
        processes, seconds, [&](int i) { sqlite_db = sqlite_open(sqlite_file(dir, i)); }, sqlite_worker);
    const double shared = rate_of(
        processes, seconds, [&](int) { sqlite_db = sqlite_open(sqlite_file(dir)); }, sqlite_worker);
    if (processes == 1) {
      engine_one = e;
      own_one = own;
      shared_one = shared;
    }
    std::printf("  %-10d %12.0f %7.2fx %14.0f %7.2fx %8.2f %14.0f %7.2fx\n", processes, e, e / engine_one, own,
                own / own_one, e / own, shared, shared / shared_one);
  }
  bench::remove_dir(dir);
  return 0;
}
