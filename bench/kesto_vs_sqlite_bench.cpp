// The record engine and SQLite on the same work, in one run.
//
//   kesto_vs_sqlite_bench [DIR] [COUNT] [LARGE]
//
// Files go to fresh directories under DIR (default $TMPDIR or /tmp).
//
// COUNT records (default 100000) of a unique integer key, a unique 40-byte
// text key and 100 bytes of payload, a cache of 512 pages:
//   1. COUNT inserts in one transaction, keys in random order;
//   2. COUNT random lookups by each key, reading the record;
//   3. a full scan in integer-key order, reading every record;
//   4. 1000 transactions of one insert each.
// LARGE records (default 1000000; 0 leaves them out) of a unique integer
// key and a 16-byte name key that four records share, nothing else, a
// cache of 16 MiB (4096 pages), inserted in 100 transactions:
//   5. inserted in integer-key order, and into other files in random order;
//   then, on the files of the random order:
//   6. LARGE random lookups by the integer key, and LARGE / 4 by name, each
//      reading the name's four records;
//   7. a full scan in the order of each key, reading every record;
//   8. the data and key files' size after each order (SQLite: its database
//      file), and each store's peak memory over steps 5-7.
// Prints each figure for both and the ratio engine / SQLite. Both stores
// must read the same records (sums and counts), and scans must meet the
// keys in order.
//
// The two are set up alike. Both use 4096-byte pages and the same cache
// (the engine as the view database sizes it: all pages but 4 for data and
// key pages, 4 for the overflow index). The engine runs as it runs on its
// own (the engine's tool): one-user mode "o", two-phase commit, every
// changed file forced to disk at commit (options 0x3 | 0x10). SQLite
// stores the records in a table whose INTEGER PRIMARY KEY is the integer
// key and with an index on the text key, uses its rollback journal
// (journal_mode=DELETE, the engine's overflow file is its counterpart),
// synchronous=FULL (every commit forced to disk, as option 0x10 does) and
// locking_mode=EXCLUSIVE (one process, as mode "o"); its statements are
// prepared once.
//
// Each store runs in a process of its own (its own cache, its own peak
// memory), driven step by step; the steps of the two alternate in blocks,
// so that both meet the same load of a shared machine.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "runtime/kesto.h"
#include "runtime/kesto_schema.h"

namespace {

using bench::fail;
using bench::seconds_of;

constexpr int kPageSize = 4096;
constexpr int kSmallCache = 512;
constexpr int kLargeCache = 4096;  // 16 MiB
constexpr int kSingleInserts = 1000;
constexpr int kLargeCommits = 100;
constexpr int kBlocks = 10;  // the two stores alternate this many times in a long step
// Commits, which wait for the disk, alternate more often: the load of a
// shared disk changes within seconds.
constexpr int kCommitBlocks = 100;

// The records of one run: the name key's width, how many records share a
// name, the payload's size.
struct Layout {
  int name_width;  // 40: a string; 16: 16 bytes, all used
  int per_name;    // 1: a unique key
  int payload;     // bytes, 0 for none
  int cache_pages;
  int per_commit;  // inserts per transaction
};

int record_size(const Layout &l) { return 4 + l.name_width + l.payload; }

// The name of record `id`: spread over the key space, so that the names'
// order is not the integers' order.
void name_of(const Layout &l, int32_t id, char *out) {
  std::memset(out, 0, static_cast<size_t>(l.name_width));
  int32_t n = id / l.per_name;
  uint64_t h = static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull;
  if (l.name_width == 16) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h ^ (h >> 29)));
    std::memcpy(out, text, 16);
  } else {
    std::snprintf(out, static_cast<size_t>(l.name_width), "name-%016llx-%08d-%08x",
                  static_cast<unsigned long long>(h), n, static_cast<unsigned>(h >> 17));
  }
}

size_t name_length(const Layout &l, const char *name) { return strnlen(name, static_cast<size_t>(l.name_width)); }

// The record's data part as the engine lays it out: the integer, the name,
// the payload (a string).
std::vector<char> record_of(const Layout &l, int32_t id) {
  std::vector<char> r(static_cast<size_t>(record_size(l)), 0);
  std::memcpy(r.data(), &id, 4);
  name_of(l, id, r.data() + 4);
  char *payload = r.data() + 4 + l.name_width;
  for (int i = 0; i < l.payload - 1; ++i) payload[i] = static_cast<char>('a' + (id * 7 + i * 13) % 26);
  return r;
}

// Names compare as the engine compares them: a string up to its NUL, 16
// bytes whole.
int compare_names(const Layout &l, const char *a, const char *b) {
  return l.name_width == 16 ? std::memcmp(a, b, 16) : std::strncmp(a, b, static_cast<size_t>(l.name_width));
}

// What a read contributes to a store's checksum: the integer and the first
// bytes of the name and the payload.
int64_t value_of(int32_t id, const char *name, const char *payload) {
  return id + name[0] + (payload ? payload[0] : 0);
}

// Keys met by a scan must rise (names: never fall).
class OrderCheck {
 public:
  OrderCheck(bool by_name, const Layout &l)
      : by_name_(by_name), layout_(l), previous_(static_cast<size_t>(l.name_width), 0) {}
  void next(int32_t id, const char *name) {
    if (started_) {
      bool ok = by_name_ ? compare_names(layout_, previous_.data(), name) <= 0 : id > previous_id_;
      if (!ok) fail("a scan met keys out of order");
    }
    started_ = true;
    previous_id_ = id;
    std::memcpy(previous_.data(), name, previous_.size());
  }

 private:
  bool by_name_;
  Layout layout_;
  bool started_ = false;
  int32_t previous_id_ = 0;
  std::vector<char> previous_;
};

// The size of the regular files in `dir` whose names `keep` accepts.
int64_t bytes_of(const std::string &dir, const std::function<bool(const std::string &)> &keep) {
  int64_t total = 0;
  DIR *d = opendir(dir.c_str());
  if (!d) fail("cannot list " + dir);
  while (struct dirent *e = readdir(d)) {
    struct stat st;
    if (keep(e->d_name) && stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
  }
  closedir(d);
  return total;
}

void check(int status, const char *what) {
  if (status != S_OKAY) fail(std::string(what) + " failed: " + std::to_string(status));
}

// ---- the engine ----

constexpr int ITEM = 10000;
constexpr long ID = 0, NAME = 1;

class Engine {
 public:
  Engine(const std::string &dir, const Layout &l) : dir_(dir), layout_(l) {
    const std::string name_type = l.name_width == 16 ? "char[1][16]" : "char[40]";
    const std::string schema = "database bench page " + std::to_string(kPageSize) +
                               "\n"
                               "file d0 bench.d00 data\n"
                               "file k0 bench.k00 key\n"
                               "file k1 bench.k01 key\n"
                               "record ITEM in d0\n"
                               "  ID int unique key in k0\n"
                               "  NAME " + name_type + (l.per_name == 1 ? " unique" : " duplicate") +
                               " key in k1\n" +
                               (l.payload ? "  PAYLOAD char[" + std::to_string(l.payload) + "]\n" : "") +
                               "end\n";
    kesto_schema::Schema parsed;
    std::string error;
    if (!kesto_schema::parse_schema(schema, &parsed, &error) ||
        !kesto_schema::write_dictionary(parsed, dir + "/bench.dbd", &error))
      fail("dictionary: " + error);
    check(dt_dbwdir(dir.c_str(), nullptr), "dt_dbwdir");
    check(d_setpages(l.cache_pages - 4, 4), "d_setpages");
    check(dt_on_opt(OPT_SYNCFILES, nullptr), "dt_on_opt");
    check(dt_open("bench", "o", nullptr), "dt_open");
    check(dt_initialize(nullptr, 0), "dt_initialize");
    record_.resize(static_cast<size_t>(record_size(l)));
  }
  ~Engine() { dt_close(nullptr); }

  void begin() { check(dt_trbegin("bench", nullptr), "dt_trbegin"); }
  void commit() { check(dt_trend(nullptr), "dt_trend"); }
  void insert(const std::vector<char> &r) { check(dt_fillnew(ITEM, r.data(), nullptr, 0), "dt_fillnew"); }

  int64_t find_by_id(int32_t id) {
    check(dt_keyfind(ID, &id, nullptr, 0), "dt_keyfind(ID)");
    read();
    return value_of(id_(), name_(), payload_());
  }
  // Every record of a name; adds their number to *count.
  int64_t find_by_name(const char *name, int64_t *count) {
    int64_t sum = 0;
    int status = dt_keyfind(NAME, name, nullptr, 0);
    check(status, "dt_keyfind(NAME)");
    for (; status == S_OKAY; status = dt_keynext(NAME, nullptr, 0)) {
      read();
      if (compare_names(layout_, name_(), name) != 0) break;
      sum += value_of(id_(), name_(), payload_());
      ++*count;
      if (layout_.per_name == 1) return sum;
    }
    if (status != S_OKAY && status != S_NOTFOUND) fail("dt_keynext failed: " + std::to_string(status));
    return sum;
  }
  // Every record in the order of a key; the sum of their values.
  int64_t scan(long key, int64_t *count) {
    int64_t sum = 0;
    OrderCheck order(key == NAME, layout_);
    check(dt_keyfind(key, nullptr, nullptr, 0), "dt_keyfind(reset)");
    int status;
    while ((status = dt_keynext(key, nullptr, 0)) == S_OKAY) {
      read();
      order.next(id_(), name_());
      sum += value_of(id_(), name_(), payload_());
      ++*count;
    }
    if (status != S_NOTFOUND) fail("dt_keynext failed: " + std::to_string(status));
    return sum;
  }
  int64_t file_bytes() const {
    return bytes_of(dir_, [](const std::string &n) { return n.rfind("bench.d", 0) == 0 || n.rfind("bench.k", 0) == 0; });
  }

 private:
  void read() { check(dt_recread(record_.data(), nullptr, 0), "dt_recread"); }
  int32_t id_() const {
    int32_t id;
    std::memcpy(&id, record_.data(), 4);
    return id;
  }
  const char *name_() const { return record_.data() + 4; }
  const char *payload_() const { return layout_.payload ? record_.data() + 4 + layout_.name_width : nullptr; }

  std::string dir_;
  Layout layout_;
  std::vector<char> record_;
};

// ---- SQLite ----

class Sqlite {
 public:
  Sqlite(const std::string &dir, const Layout &l) : path_(dir + "/bench.sqlite"), layout_(l) {
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) fail("sqlite3_open");
    exec("PRAGMA page_size=" + std::to_string(kPageSize));
    exec("PRAGMA cache_size=" + std::to_string(l.cache_pages));
    exec("PRAGMA journal_mode=DELETE");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA locking_mode=EXCLUSIVE");
    const std::string payload = l.payload ? ", payload" : "";
    // The integer key is the table's own key, as a SQLite user writes it.
    exec("CREATE TABLE item(id INTEGER PRIMARY KEY, name TEXT NOT NULL" +
         std::string(l.payload ? ", payload TEXT NOT NULL" : "") + ")");
    exec(std::string(l.per_name == 1 ? "CREATE UNIQUE INDEX" : "CREATE INDEX") + " item_name ON item(name)");
    insert_ = prepare("INSERT INTO item(id, name" + payload + ") VALUES(?, ?" + (l.payload ? ", ?" : "") + ")");
    by_id_ = prepare("SELECT id, name" + payload + " FROM item WHERE id = ?");
    by_name_ = prepare("SELECT id, name" + payload + " FROM item WHERE name = ?");
    scan_id_ = prepare("SELECT id, name" + payload + " FROM item ORDER BY id");
    scan_name_ = prepare("SELECT id, name" + payload + " FROM item ORDER BY name");
  }
  ~Sqlite() {
    for (sqlite3_stmt *s : {insert_, by_id_, by_name_, scan_id_, scan_name_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }
  void insert(const std::vector<char> &r) {
    int32_t id;
    std::memcpy(&id, r.data(), 4);
    const char *name = r.data() + 4;
    sqlite3_bind_int(insert_, 1, id);
    sqlite3_bind_text(insert_, 2, name, static_cast<int>(name_length(layout_, name)), SQLITE_STATIC);
    if (layout_.payload) sqlite3_bind_text(insert_, 3, name + layout_.name_width, -1, SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) fail(std::string("insert: ") + sqlite3_errmsg(db_));
    sqlite3_reset(insert_);
  }
  int64_t find_by_id(int32_t id) {
    sqlite3_bind_int(by_id_, 1, id);
    if (sqlite3_step(by_id_) != SQLITE_ROW) fail(std::string("lookup: ") + sqlite3_errmsg(db_));
    int64_t v = value_of(sqlite3_column_int(by_id_, 0), text(by_id_, 1), payload(by_id_));
    sqlite3_reset(by_id_);
    return v;
  }
  int64_t find_by_name(const char *name, int64_t *count) {
    sqlite3_bind_text(by_name_, 1, name, static_cast<int>(name_length(layout_, name)), SQLITE_STATIC);
    int64_t sum = 0;
    int rc;
    while ((rc = sqlite3_step(by_name_)) == SQLITE_ROW) {
      sum += value_of(sqlite3_column_int(by_name_, 0), text(by_name_, 1), payload(by_name_));
      ++*count;
      if (layout_.per_name == 1) break;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(std::string("lookup: ") + sqlite3_errmsg(db_));
    sqlite3_reset(by_name_);
    return sum;
  }
  int64_t scan(long key, int64_t *count) {
    sqlite3_stmt *s = key == NAME ? scan_name_ : scan_id_;
    OrderCheck order(key == NAME, layout_);
    std::vector<char> name(static_cast<size_t>(layout_.name_width));
    int64_t sum = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      int32_t id = sqlite3_column_int(s, 0);
      std::fill(name.begin(), name.end(), 0);
      std::memcpy(name.data(), sqlite3_column_text(s, 1),
                  std::min(name.size(), static_cast<size_t>(sqlite3_column_bytes(s, 1))));
      order.next(id, name.data());
      sum += value_of(id, name.data(), payload(s));
      ++*count;
    }
    if (rc != SQLITE_DONE) fail(std::string("scan: ") + sqlite3_errmsg(db_));
    sqlite3_reset(s);
    return sum;
  }
  int64_t file_bytes() const {
    struct stat st;
    return stat(path_.c_str(), &st) == 0 ? st.st_size : 0;
  }

 private:
  static const char *text(sqlite3_stmt *s, int column) {
    return reinterpret_cast<const char *>(sqlite3_column_text(s, column));
  }
  const char *payload(sqlite3_stmt *s) const { return layout_.payload ? text(s, 2) : nullptr; }
  void exec(const std::string &sql) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error ? error : "?";
      sqlite3_free(error);
      fail(sql + ": " + text);
    }
  }
  sqlite3_stmt *prepare(const std::string &sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) fail(sql + ": " + sqlite3_errmsg(db_));
    return s;
  }

  std::string path_;
  Layout layout_;
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *insert_ = nullptr, *by_id_ = nullptr, *by_name_ = nullptr, *scan_id_ = nullptr, *scan_name_ = nullptr;
};

// ---- the steps, run in each store's process ----

// The work of one run, the same for both stores.
struct Plan {
  Layout layout;
  int count;                         // records inserted by INSERT
  std::vector<int32_t> insert_order;
  std::vector<int32_t> lookup_ids;   // by the integer key
  std::vector<int32_t> lookup_names; // a record id of each name looked up
};

enum Step : int32_t { INSERT, SINGLES, LOOKUP_ID, LOOKUP_NAME, SCAN_ID, SCAN_NAME, FILES, MEMORY };

struct Request {
  int32_t step;
  int64_t from, to;  // the part of the step's list
};

struct Reply {
  double seconds;
  int64_t sum;
  int64_t count;
};

int64_t status_kib(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field));
  return 0;
}

template <typename Store>
Reply perform(Store &store, const Plan &p, const Request &r, int64_t rss_at_start) {
  Reply y{0, 0, 0};
  const Layout &l = p.layout;
  switch (r.step) {
    case INSERT: {
      std::vector<std::vector<char>> records;
      for (int64_t i = r.from; i < r.to; ++i) records.push_back(record_of(l, p.insert_order[static_cast<size_t>(i)]));
      y.seconds = seconds_of([&] {
        for (size_t i = 0; i < records.size(); i += static_cast<size_t>(l.per_commit)) {
          store.begin();
          for (size_t j = i; j < std::min(records.size(), i + static_cast<size_t>(l.per_commit)); ++j)
            store.insert(records[j]);
          store.commit();
        }
      });
      break;
    }
    case SINGLES:
      y.seconds = seconds_of([&] {
        for (int64_t i = r.from; i < r.to; ++i) {
          store.begin();
          store.insert(record_of(l, static_cast<int32_t>(p.count + i)));
          store.commit();
        }
      });
      break;
    case LOOKUP_ID:
      y.seconds = seconds_of([&] {
        for (int64_t i = r.from; i < r.to; ++i) y.sum += store.find_by_id(p.lookup_ids[static_cast<size_t>(i)]);
      });
      y.count = r.to - r.from;
      break;
    case LOOKUP_NAME: {
      std::vector<char> names(static_cast<size_t>((r.to - r.from) * l.name_width));
      for (int64_t i = r.from; i < r.to; ++i)
        name_of(l, p.lookup_names[static_cast<size_t>(i)], names.data() + (i - r.from) * l.name_width);
      y.seconds = seconds_of([&] {
        for (int64_t i = 0; i < r.to - r.from; ++i) y.sum += store.find_by_name(names.data() + i * l.name_width, &y.count);
      });
      break;
    }
    case SCAN_ID:
    case SCAN_NAME:
      y.seconds = seconds_of([&] { y.sum = store.scan(r.step == SCAN_NAME ? NAME : ID, &y.count); });
      break;
    case FILES:
      y.count = store.file_bytes();
      break;
    case MEMORY:
      y.count = (status_kib("VmHWM:") - rss_at_start) * 1024;
      break;
    default:
      fail("unknown step");
  }
  return y;
}

bool read_all(int fd, void *data, size_t n) {
  char *p = static_cast<char *>(data);
  while (n) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void write_all(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n) {
    ssize_t r = ::write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) fail("a pipe to a store's process broke");
    p += r;
    n -= static_cast<size_t>(r);
  }
}

// A store in a process of its own, answering one step at a time.
class Worker {
 public:
  template <typename Store>
  static Worker start(const char *name, const Plan &plan, const std::string &dir) {
    return Worker(name, [&plan, dir](int in, int out) {
      // The peak from here on is this store's.
      std::ofstream("/proc/self/clear_refs") << "5";
      const int64_t rss = status_kib("VmRSS:");
      Store store(dir, plan.layout);
      Request r;
      while (read_all(in, &r, sizeof r)) {
        Reply y = perform(store, plan, r, rss);
        write_all(out, &y, sizeof y);
      }
    });
  }

  Worker(Worker &&other) noexcept : name_(other.name_), pid_(other.pid_), to_(other.to_), from_(other.from_) {
    other.pid_ = -1;
    other.to_ = other.from_ = -1;
  }
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  ~Worker() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
      std::fprintf(stderr, "the %s process ended with status %d\n", name_, status);
  }

  Reply ask(Step step, int64_t from = 0, int64_t to = 0) {
    Request r{step, from, to};
    write_all(to_, &r, sizeof r);
    Reply y;
    if (!read_all(from_, &y, sizeof y)) fail(std::string("the ") + name_ + " process ended early");
    return y;
  }

 private:
  Worker(const char *name, const std::function<void(int, int)> &body) : name_(name) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) fail("pipe");
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      body(down[0], up[1]);
      std::fflush(nullptr);
      _exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }

  const char *name_;
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

// A step's figures for both stores.
struct Pair {
  Reply engine{0, 0, 0}, sqlite{0, 0, 0};
};

// Runs a step over [0, n) on both stores, alternating in `blocks` parts;
// their sums and counts must agree.
Pair both(Worker &engine, Worker &sqlite, Step step, int64_t n, int blocks, const char *what) {
  Pair p;
  for (int b = 0; b < blocks; ++b) {
    int64_t from = n * b / blocks, to = n * (b + 1) / blocks;
    for (auto [w, total] : {std::make_pair(&engine, &p.engine), std::make_pair(&sqlite, &p.sqlite)}) {
      Reply y = w->ask(step, from, to);
      total->seconds += y.seconds;
      total->sum += y.sum;
      total->count += y.count;
    }
  }
  if (p.engine.sum != p.sqlite.sum || p.engine.count != p.sqlite.count)
    fail(std::string(what) + ": the two stores read different records");
  return p;
}

void line(const std::string &what, double a, double b) {
  std::printf("%-52s %12.3f %12.3f %8.2f\n", what.c_str(), a, b, a / b);
}

void mib_line(const std::string &what, int64_t a, int64_t b) {
  line(what + " (MiB)", static_cast<double>(a) / (1 << 20), static_cast<double>(b) / (1 << 20));
}

std::vector<int32_t> shuffled(int count, std::mt19937 &rng) {
  std::vector<int32_t> v(static_cast<size_t>(count));
  std::iota(v.begin(), v.end(), 0);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

std::vector<int32_t> random_ids(int n, int count, std::mt19937 &rng) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int32_t &id : v) id = static_cast<int32_t>(rng() % static_cast<unsigned>(count));
  return v;
}

// A fresh directory for each store of a run; removed at the end.
struct Dirs {
  Dirs(const std::string &base, const char *tag)
      : engine(bench::make_dir(base, (std::string("kesto-") + tag).c_str())),
        sqlite(bench::make_dir(base, (std::string("sqlite-") + tag).c_str())) {}
  ~Dirs() {
    bench::remove_dir(engine);
    bench::remove_dir(sqlite);
  }
  std::string engine, sqlite;
};

void small_run(const std::string &base, int count, std::mt19937 &rng) {
  Plan plan{{40, 1, 100, kSmallCache, count}, count, shuffled(count, rng), {}, {}};
  plan.lookup_ids = random_ids(count, count, rng);
  plan.lookup_names = plan.lookup_ids;
  Dirs dirs(base, "small");
  Worker engine = Worker::start<Engine>("engine", plan, dirs.engine);
  Worker sqlite = Worker::start<Sqlite>("SQLite", plan, dirs.sqlite);

  std::printf("%d records of a unique integer key, a unique 40-byte text key and 100 bytes of payload; "
              "a cache of %d pages\n",
              count, kSmallCache);
  const std::string n = std::to_string(count);
  Pair p = both(engine, sqlite, INSERT, count, 1, "inserts");
  line("1. " + n + " inserts in one transaction", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, LOOKUP_ID, count, kBlocks, "lookups by the integer key");
  line("2a. " + n + " lookups by the integer key", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, LOOKUP_NAME, count, kBlocks, "lookups by the text key");
  line("2b. " + n + " lookups by the text key", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, SCAN_ID, 1, 1, "the scan");
  if (p.engine.count != count) fail("the scan met " + std::to_string(p.engine.count) + " records");
  line("3. full scan in integer-key order", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, SINGLES, kSingleInserts, kCommitBlocks, "single inserts");
  line("4. " + std::to_string(kSingleInserts) + " one-insert transactions", p.engine.seconds, p.sqlite.seconds);
}

void large_run(const std::string &base, int count, std::mt19937 &rng) {
  const int per_name = 4;
  const int per_commit = std::max(1, count / kLargeCommits);
  const Layout layout{16, per_name, 0, kLargeCache, per_commit};
  std::printf("\n%d records of a unique integer key and a 16-byte name key shared by %d; "
              "%d transactions, a cache of %d pages\n",
              count, per_name, (count + per_commit - 1) / per_commit, kLargeCache);
  Plan ordered{layout, count, {}, {}, {}};
  ordered.insert_order.resize(static_cast<size_t>(count));
  std::iota(ordered.insert_order.begin(), ordered.insert_order.end(), 0);
  Plan random{layout, count, shuffled(count, rng), random_ids(count, count, rng), random_ids(count / per_name, count, rng)};
  const std::string n = std::to_string(count);
  int64_t ordered_bytes[2];
  {
    Dirs dirs(base, "ordered");
    Worker engine = Worker::start<Engine>("engine", ordered, dirs.engine);
    Worker sqlite = Worker::start<Sqlite>("SQLite", ordered, dirs.sqlite);
    Pair p = both(engine, sqlite, INSERT, count, kLargeCommits, "inserts");
    line("5a. " + n + " inserts in integer-key order", p.engine.seconds, p.sqlite.seconds);
    ordered_bytes[0] = engine.ask(FILES).count;
    ordered_bytes[1] = sqlite.ask(FILES).count;
  }
  Dirs dirs(base, "random");
  Worker engine = Worker::start<Engine>("engine", random, dirs.engine);
  Worker sqlite = Worker::start<Sqlite>("SQLite", random, dirs.sqlite);
  Pair p = both(engine, sqlite, INSERT, count, kLargeCommits, "inserts");
  line("5b. " + n + " inserts in random order", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, LOOKUP_ID, count, kBlocks, "lookups by the integer key");
  line("6a. " + n + " lookups by the integer key", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, LOOKUP_NAME, count / per_name, kBlocks, "lookups by name");
  line("6b. " + std::to_string(count / per_name) + " lookups by name, " + std::to_string(per_name) + " records each",
       p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, SCAN_ID, 1, 1, "the scan by the integer key");
  if (p.engine.count != count) fail("the scan met " + std::to_string(p.engine.count) + " records");
  line("7a. full scan in integer-key order", p.engine.seconds, p.sqlite.seconds);
  p = both(engine, sqlite, SCAN_NAME, 1, 1, "the scan by name");
  if (p.engine.count != count) fail("the scan met " + std::to_string(p.engine.count) + " records");
  line("7b. full scan in name order", p.engine.seconds, p.sqlite.seconds);
  mib_line("8a. data and key files after 5a", ordered_bytes[0], ordered_bytes[1]);
  mib_line("8b. data and key files after 5b", engine.ask(FILES).count, sqlite.ask(FILES).count);
  mib_line("8c. peak memory over 5b-7", engine.ask(MEMORY).count, sqlite.ask(MEMORY).count);
}

}  // namespace

int main(int argc, char **argv) {
  std::string base = bench::base_dir(argc, argv);
  int count = argc > 2 ? std::atoi(argv[2]) : 100000;
  int large = argc > 3 ? std::atoi(argv[3]) : 1000000;
  if (count < 1 || large < 0) fail("COUNT must be positive and LARGE not negative");
  // A store's process that fails ends with a message; the pipe to it must
  // not end this one silently.
  signal(SIGPIPE, SIG_IGN);

  std::mt19937 rng(20241003u);
  std::printf("The engine and SQLite %s, 4096-byte pages; files under %s\n", sqlite3_libversion(), base.c_str());
  std::printf("durability: engine: two-phase commit, every changed file forced to disk at commit (0x10)\n");
  std::printf("durability: SQLite: journal_mode=DELETE, synchronous=FULL: every commit forced to disk\n");
  std::printf("schema: SQLite's integer key is its INTEGER PRIMARY KEY, the text key an index\n\n");
  std::printf("%-52s %12s %12s %8s\n", "work", "engine", "SQLite", "ratio");
  small_run(base, count, rng);
  if (large > 0) large_run(base, large, rng);
  return 0;
}
