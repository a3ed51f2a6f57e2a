// The record engine and SQLite on the same work, in one run.
//
//   kesto_vs_sqlite_bench [DIR] [COUNT]
//
// One record type with a unique integer key, a unique 40-byte text key and
// 100 bytes of payload, COUNT records (default 100000), in a fresh
// directory under DIR (default $TMPDIR or /tmp):
//   1. COUNT inserts in one transaction, keys in random order;
//   2. COUNT random lookups by each key, reading the record;
//   3. a full scan in integer-key order, reading every record;
//   4. 1000 transactions of one insert each.
// Prints each time for both and the ratio engine / SQLite.
//
// The two are set up alike. Both use 4096-byte pages and a cache of 512
// pages (the engine as the view database sizes it: 508 data pages and 4
// for the overflow index). The engine runs as the view database runs it:
// one-user mode "o", two-phase commit, every changed file forced to disk at
// commit (options 0x3 | 0x10). SQLite stores the records in a rowid table
// with a unique index on each key (as the engine keeps a data file and a
// key file per key), uses its rollback journal (journal_mode=DELETE, the
// engine's overflow file is its counterpart), synchronous=FULL (every
// commit forced to disk, as option 0x10 does) and locking_mode=EXCLUSIVE
// (one process, as mode "o"); its statements are prepared once.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr int kCachePages = 512;
constexpr int kSingleInserts = 1000;

const char *const kSchema = R"(
database bench page 4096
file d0 bench.d00 data
file k0 bench.k00 key
file k1 bench.k01 key
record ITEM in d0
  ID int unique key in k0
  NAME char[40] unique key in k1
  PAYLOAD char[100]
end
)";

constexpr int ITEM = 10000;
constexpr long ID = 0, NAME = 1;

// The data part of an ITEM record.
struct Item {
  int32_t id;
  char name[40];
  char payload[100];
};

// The 39 characters (and a NUL) of the text key of record `id`: spread over
// the key space, so that their order is not the integers' order.
void name_of(int32_t id, char out[40]) {
  uint64_t h = static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull;
  std::snprintf(out, 40, "name-%016llx-%08d-%08x", static_cast<unsigned long long>(h), id,
                static_cast<unsigned>(h >> 17));
}

void payload_of(int32_t id, char out[100]) {
  for (int i = 0; i < 99; ++i) out[i] = static_cast<char>('a' + (id * 7 + i * 13) % 26);
  out[99] = '\0';
}

Item item_of(int32_t id) {
  Item it{};
  it.id = id;
  name_of(id, it.name);
  payload_of(id, it.payload);
  return it;
}

void check(int status, const char *what) {
  if (status != S_OKAY) fail(std::string(what) + " failed: " + std::to_string(status));
}

// ---- the engine ----

class Engine {
 public:
  explicit Engine(const std::string &dir) {
    kesto_schema::Schema schema;
    std::string error;
    if (!kesto_schema::parse_schema(kSchema, &schema, &error) ||
        !kesto_schema::write_dictionary(schema, dir + "/bench.dbd", &error))
      fail("dictionary: " + error);
    check(dt_dbwdir(dir.c_str(), nullptr), "dt_dbwdir");
    check(d_setpages(kCachePages - 4, 4), "d_setpages");
    check(dt_on_opt(OPT_SYNCFILES, nullptr), "dt_on_opt");
    check(dt_open("bench", "o", nullptr), "dt_open");
    check(dt_initialize(nullptr, 0), "dt_initialize");
  }
  ~Engine() { dt_close(nullptr); }

  void begin() { check(dt_trbegin("bench", nullptr), "dt_trbegin"); }
  void commit() { check(dt_trend(nullptr), "dt_trend"); }
  void insert(const Item &it) { check(dt_fillnew(ITEM, &it, nullptr, 0), "dt_fillnew"); }

  int64_t find_by_id(int32_t id) {
    check(dt_keyfind(ID, &id, nullptr, 0), "dt_keyfind(ID)");
    return read();
  }
  int64_t find_by_name(const char *name) {
    check(dt_keyfind(NAME, name, nullptr, 0), "dt_keyfind(NAME)");
    return read();
  }
  // Every record in integer-key order; the sum of their ids.
  int64_t scan(int *count) {
    int64_t sum = 0;
    *count = 0;
    check(dt_keyfind(ID, nullptr, nullptr, 0), "dt_keyfind(reset)");
    int status;
    while ((status = dt_keynext(ID, nullptr, 0)) == S_OKAY) {
      sum += read();
      ++*count;
    }
    if (status != S_NOTFOUND) fail("dt_keynext failed: " + std::to_string(status));
    return sum;
  }

 private:
  int64_t read() {
    Item it;
    check(dt_recread(&it, nullptr, 0), "dt_recread");
    return it.id + it.payload[0];
  }
};

// ---- SQLite ----

class Sqlite {
 public:
  explicit Sqlite(const std::string &dir) {
    if (sqlite3_open((dir + "/bench.sqlite").c_str(), &db_) != SQLITE_OK) fail("sqlite3_open");
    exec("PRAGMA page_size=" + std::to_string(kPageSize));
    exec("PRAGMA cache_size=" + std::to_string(kCachePages));
    exec("PRAGMA journal_mode=DELETE");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA locking_mode=EXCLUSIVE");
    exec("CREATE TABLE item(id INTEGER NOT NULL, name TEXT NOT NULL, payload TEXT NOT NULL)");
    exec("CREATE UNIQUE INDEX item_id ON item(id)");
    exec("CREATE UNIQUE INDEX item_name ON item(name)");
    insert_ = prepare("INSERT INTO item(id, name, payload) VALUES(?, ?, ?)");
    by_id_ = prepare("SELECT id, payload FROM item WHERE id = ?");
    by_name_ = prepare("SELECT id, payload FROM item WHERE name = ?");
    scan_ = prepare("SELECT id, payload FROM item ORDER BY id");
  }
  ~Sqlite() {
    for (sqlite3_stmt *s : {insert_, by_id_, by_name_, scan_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }
  void insert(const Item &it) {
    sqlite3_bind_int(insert_, 1, it.id);
    sqlite3_bind_text(insert_, 2, it.name, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert_, 3, it.payload, -1, SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) fail(std::string("insert: ") + sqlite3_errmsg(db_));
    sqlite3_reset(insert_);
  }
  int64_t find_by_id(int32_t id) {
    sqlite3_bind_int(by_id_, 1, id);
    return row(by_id_);
  }
  int64_t find_by_name(const char *name) {
    sqlite3_bind_text(by_name_, 1, name, -1, SQLITE_STATIC);
    return row(by_name_);
  }
  int64_t scan(int *count) {
    int64_t sum = 0;
    *count = 0;
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) {
      sum += sqlite3_column_int(scan_, 0) + sqlite3_column_text(scan_, 1)[0];
      ++*count;
    }
    if (rc != SQLITE_DONE) fail(std::string("scan: ") + sqlite3_errmsg(db_));
    sqlite3_reset(scan_);
    return sum;
  }

 private:
  void exec(const std::string &sql) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error ? error : "?";
      sqlite3_free(error);
      fail(sql + ": " + text);
    }
  }
  sqlite3_stmt *prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) fail(std::string(sql) + ": " + sqlite3_errmsg(db_));
    return s;
  }
  int64_t row(sqlite3_stmt *s) {
    if (sqlite3_step(s) != SQLITE_ROW) fail(std::string("lookup: ") + sqlite3_errmsg(db_));
    int64_t v = sqlite3_column_int(s, 0) + sqlite3_column_text(s, 1)[0];
    sqlite3_reset(s);
    return v;
  }

  sqlite3 *db_ = nullptr;
  sqlite3_stmt *insert_ = nullptr, *by_id_ = nullptr, *by_name_ = nullptr, *scan_ = nullptr;
};

struct Figures {
  double insert, by_id, by_name, scan, single;
  int64_t checksum;
};

// The same work on either store.
template <typename Store>
Figures run(Store &store, const std::vector<int32_t> &insert_order, const std::vector<int32_t> &lookup_order,
            int count) {
  Figures f{};
  std::vector<Item> items;
  items.reserve(insert_order.size());
  for (int32_t id : insert_order) items.push_back(item_of(id));
  f.insert = seconds_of([&] {
    store.begin();
    for (const Item &it : items) store.insert(it);
    store.commit();
  });
  std::vector<std::array<char, 40>> names(lookup_order.size());
  for (size_t i = 0; i < lookup_order.size(); ++i) name_of(lookup_order[i], names[i].data());
  int64_t sum = 0;
  f.by_id = seconds_of([&] {
    for (int32_t id : lookup_order) sum += store.find_by_id(id);
  });
  f.by_name = seconds_of([&] {
    for (const auto &name : names) sum += store.find_by_name(name.data());
  });
  int scanned = 0;
  f.scan = seconds_of([&] { sum += store.scan(&scanned); });
  if (scanned != count) fail("the scan met " + std::to_string(scanned) + " records");
  f.single = seconds_of([&] {
    for (int i = 0; i < kSingleInserts; ++i) {
      store.begin();
      store.insert(item_of(count + i));
      store.commit();
    }
  });
  f.checksum = sum;
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  std::string base = bench::base_dir(argc, argv);
  int count = argc > 2 ? std::atoi(argv[2]) : 100000;
  if (count < 1) fail("COUNT must be positive");

  std::mt19937 rng(20241003u);
  std::vector<int32_t> insert_order(static_cast<size_t>(count));
  std::iota(insert_order.begin(), insert_order.end(), 0);
  std::shuffle(insert_order.begin(), insert_order.end(), rng);
  std::vector<int32_t> lookup_order(static_cast<size_t>(count));
  for (int32_t &id : lookup_order) id = static_cast<int32_t>(rng() % static_cast<unsigned>(count));

  std::string engine_dir = bench::make_dir(base, "kesto-bench");
  std::string sqlite_dir = bench::make_dir(base, "sqlite-bench");
  Figures e, s;
  {
    Engine engine(engine_dir);
    e = run(engine, insert_order, lookup_order, count);
  }
  {
    Sqlite sqlite(sqlite_dir);
    s = run(sqlite, insert_order, lookup_order, count);
  }
  bench::remove_dir(engine_dir);
  bench::remove_dir(sqlite_dir);
  if (e.checksum != s.checksum) fail("the two stores read different records");

  std::printf("%d records of a 4-byte and a 40-byte unique key and 100 bytes of payload; "
              "4096-byte pages, a cache of %d pages, commits forced to disk; files under %s (SQLite %s)\n\n",
              count, kCachePages, base.c_str(), sqlite3_libversion());
  std::printf("%-44s %12s %12s %8s\n", "work", "engine (s)", "SQLite (s)", "ratio");
  auto line = [](const std::string &what, double a, double b) {
    std::printf("%-44s %12.3f %12.3f %8.2f\n", what.c_str(), a, b, a / b);
  };
  line("1. " + std::to_string(count) + " inserts in one transaction", e.insert, s.insert);
  line("2a. " + std::to_string(count) + " lookups by the integer key", e.by_id, s.by_id);
  line("2b. " + std::to_string(count) + " lookups by the text key", e.by_name, s.by_name);
  line("3. full scan in integer-key order", e.scan, s.scan);
  line("4. " + std::to_string(kSingleInserts) + " one-insert transactions", e.single, s.single);
  return 0;
}
