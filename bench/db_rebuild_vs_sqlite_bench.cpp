// The rebuild of a view database (its dump, then the load of the dump into a
// new database) and SQLite doing the same with the same records: its tables
// written out as text and read into a new database with the same indexes.
//
//   db_rebuild_vs_sqlite_bench [DIR] [COUNT]
//
// COUNT file versions (default 100000, a multiple of 1000) in a 3-level tree
// under a VOB's root directory (10 directories of 100 directories of
// COUNT / 1000 files, each file an element and its version in a load-rule
// scope), files under DIR (default $TMPDIR or /tmp). The dump is the dump
// program as the agent runs it (a process of its own); the load runs in a
// process of its own too, as the agent's start-up does it; SQLite's dump and
// load are each a process. Prints each step's time and its peak resident
// memory, with the ratio view database / SQLite; and the same for a tenth of
// COUNT, so that the peak memory of the view database's dump and load can be
// seen to stay flat in the number of objects.
//
// SQLite keeps the records of the loaded namespace (objects, elements,
// versions, directory versions, entries with their names, scopes) with the
// engine's keys as indexes; 4096-byte pages, a cache of 512 pages,
// journal_mode=DELETE, synchronous=FULL, locking_mode=EXCLUSIVE, the load in
// one transaction as the view database's.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sqlite_support.h"
#include "bench/view_tree_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"
#include "lib/ostreladb/ostrel_db_vns.h"
#include "platform/imsg/imsg.h"

namespace {

using bench::dir_name;
using bench::elem_of;
using bench::fail;
using bench::file_name;
using bench::kSub;
using bench::kTop;
using bench::kWhen;
using bench::Shape;
using bench::status_of;
using bench::ver_of;

constexpr int kPageSize = 4096;
constexpr int kCachePages = 512;
const qel_oid_s kScope = {{0x5c, 0x09, 0xe0, 0x02}};

void check(int status, const std::string& what) {
    if (status != 0) fail(what + " failed: " + std::to_string(status));
}

// ---- the view database ----

void build_view_db(const std::string& storage, const Shape& shape) {
    if (chdir(storage.c_str()) != 0) fail("chdir " + storage);
    view_home = storage;
    check(ostrel_storage_init(), "ostrel_storage_init");
    int created = 0;
    check(ostrel_db_init(&created), "ostrel_db_init");
    check(ostrel_db_create_def_scope(), "default scope");
    check(ostrel_db_create_lr_scope(&kScope, 1, "/vobs/bench"), "scope");
    qel_uuid_s uuid{};
    uuid.bytes[0] = 1;
    uint32_t vob = 0, root = 0;
    auto version = [&](uint32_t parent, uint32_t n, const std::string& name, bool dir, uint32_t* dbid) {
        qel_fstat_db_s f = status_of(dir, n);
        uint32_t e = 0;
        qel_oid_s elem = elem_of(n), ver = ver_of(n);
        int status = ostrela_db_create_vns_elem(vob, &elem, &kWhen, &f, dir ? VNS_MTYPE_DIR_ELEM : VNS_MTYPE_ELEM, 0, &e);
        if (status == 0)
            status = ostrela_db_create_vns_ver(vob, parent, &ver, &elem, dir ? VNS_MTYPE_DIR_VER : VNS_MTYPE_VER, &kWhen,
                                               name.c_str(), &f, &kScope, 1, 0, dbid, nullptr, nullptr);
        return status;
    };
    check(ostrel_db_in_transaction(1, [&] {
              int status = ostrela_db_vob_create(&uuid, "host:/vobs/bench", &vob);
              qel_fstat_db_s f = status_of(true, 0);
              qel_oid_s elem = elem_of(0), ver = ver_of(0);
              uint32_t e = 0;
              if (status == 0) status = ostrela_db_create_vns_elem(vob, &elem, &kWhen, &f, VNS_MTYPE_DIR_ELEM, 0, &e);
              if (status == 0) status = ostrela_db_create_root_dir(vob, &ver, &elem, &kWhen, &f, &kScope, 1, 0, &root);
              return status;
          }),
          "root");
    for (int t = 0; t < kTop; ++t) {
        check(ostrel_db_in_transaction(1, [&] {
                  uint32_t top = 0;
                  int status = version(root, shape.top(t), dir_name(t), true, &top);
                  for (int s = 0; status == 0 && s < kSub; ++s) {
                      uint32_t sub = 0;
                      status = version(top, shape.sub(t, s), dir_name(s), true, &sub);
                      for (int f = 0; status == 0 && f < shape.files_per_dir; ++f) {
                          uint32_t file = 0;
                          status = version(sub, shape.file(t, s, f), file_name(f), false,
                                           &file);
                      }
                  }
                  return status;
              }),
              "tree");
    }
    check(ostrel_db_close(), "close");
}

int load_view_db(const char* storage) {
    if (chdir(storage) != 0) fail(std::string("chdir ") + storage);
    view_home = storage;
    int status = ostrela_db_load_db();
    if (status == 0) status = ostrela_db_close_db();
    return status == 0 ? 0 : 1;
}

// ---- SQLite ----

const char* const kSchema[] = {
    "CREATE TABLE obj(vob INTEGER, oid BLOB, mtype INTEGER, dbid INTEGER, type INTEGER, mode INTEGER,"
    " node INTEGER, atime INTEGER, mtime INTEGER, ctime INTEGER, xtime INTEGER)",
    "CREATE UNIQUE INDEX obj_dbid ON obj(vob, dbid)",
    "CREATE UNIQUE INDEX obj_oid ON obj(vob, oid)",
    "CREATE TABLE elem(vob INTEGER, dbid INTEGER, co_oid BLOB, time INTEGER, co INTEGER)",
    "CREATE UNIQUE INDEX elem_key ON elem(vob, dbid)",
    "CREATE TABLE ver(vob INTEGER, dbid INTEGER, time INTEGER, size INTEGER, mtype INTEGER, stale INTEGER,"
    " elem INTEGER)",
    "CREATE UNIQUE INDEX ver_key ON ver(vob, dbid)",
    "CREATE INDEX ver_elem ON ver(vob, elem)",
    "CREATE TABLE dir_ver(vob INTEGER, dbid INTEGER, parent INTEGER, done INTEGER, saved INTEGER)",
    "CREATE UNIQUE INDEX dir_ver_key ON dir_ver(vob, dbid)",
    "CREATE TABLE entry(vob INTEGER, ver INTEGER, parent INTEGER, scope BLOB, hash INTEGER, mtype INTEGER,"
    " valid INTEGER, gn INTEGER, name TEXT)",
    "CREATE INDEX entry_ver ON entry(vob, ver)",
    "CREATE INDEX entry_name ON entry(vob, parent, hash)",
    "CREATE INDEX entry_scope ON entry(scope)",
};

// The tables as the dump writes them: each column an integer, a blob or a
// text.
struct Table {
    const char* name;
    const char* columns;  // 'i' integer, 'b' blob, 't' text
};
const Table kTables[] = {{"obj", "ibiiiiiiiii"}, {"elem", "iibii"}, {"ver", "iiiiiii"},
                         {"dir_ver", "iiiii"},   {"entry", "iiibiiiit"}};

std::string insert_sql(const Table& t) {
    std::string sql = std::string("INSERT INTO ") + t.name + " VALUES(";
    for (size_t i = 0; t.columns[i] != '\0'; ++i) sql += i == 0 ? "?" : ",?";
    return sql + ")";
}

void create_schema(bench::SqliteDb& db) {
    for (const char* sql : kSchema) db.exec(sql);
}

void build_sqlite(const std::string& dir, const Shape& shape) {
    bench::SqliteDb db(dir + "/view.sqlite", kPageSize, kCachePages);
    create_schema(db);
    sqlite3_stmt* obj = db.prepare(insert_sql(kTables[0]).c_str());
    sqlite3_stmt* elem = db.prepare(insert_sql(kTables[1]).c_str());
    sqlite3_stmt* ver = db.prepare(insert_sql(kTables[2]).c_str());
    sqlite3_stmt* dir_ver = db.prepare(insert_sql(kTables[3]).c_str());
    sqlite3_stmt* entry = db.prepare(insert_sql(kTables[4]).c_str());
    uint32_t next = 1;
    auto add = [&](uint32_t parent, uint32_t n, const std::string& name, bool is_dir) {
        uint32_t e = next++, v = next++;
        qel_oid_s eo = elem_of(n), vo = ver_of(n);
        for (auto [o, dbid, mtype] : {std::tuple{eo, e, is_dir ? 2 : 5}, {vo, v, is_dir ? 3 : 6}}) {
            int64_t values[] = {1, 0, mtype, dbid, is_dir ? 2 : 1, is_dir ? 0755 : 0444, e, 1700000000, 1700000000,
                                1700000000, 0};
            for (int c = 0; c < 11; ++c) {
                if (c == 1) sqlite3_bind_blob(obj, 2, o.bytes, 16, SQLITE_TRANSIENT);
                else sqlite3_bind_int64(obj, c + 1, values[c]);
            }
            db.done(obj);
        }
        sqlite3_bind_int64(elem, 1, 1);
        sqlite3_bind_int64(elem, 2, e);
        sqlite3_bind_zeroblob(elem, 3, 16);
        sqlite3_bind_int64(elem, 4, 1700000000);
        sqlite3_bind_int64(elem, 5, 0);
        db.done(elem);
        int64_t vv[] = {1, v, 1700000000, n, is_dir ? 3 : 6, 0, e};
        for (int c = 0; c < 7; ++c) sqlite3_bind_int64(ver, c + 1, vv[c]);
        db.done(ver);
        if (is_dir) {
            int64_t dv[] = {1, v, parent, 0, 0};
            for (int c = 0; c < 5; ++c) sqlite3_bind_int64(dir_ver, c + 1, dv[c]);
            db.done(dir_ver);
        }
        int64_t ev[] = {1, v, parent, 0, static_cast<int64_t>(std::hash<std::string>()(name) & 0xFFFFFFFF),
                        is_dir ? 3 : 6, 1, 1};
        for (int c = 0; c < 8; ++c) {
            if (c == 3) sqlite3_bind_blob(entry, 4, kScope.bytes, 16, SQLITE_TRANSIENT);
            else sqlite3_bind_int64(entry, c + 1, ev[c]);
        }
        sqlite3_bind_text(entry, 9, name.c_str(), -1, SQLITE_TRANSIENT);
        db.done(entry);
        return v;
    };
    db.exec("BEGIN");
    uint32_t root = add(0, 0, "", true);
    for (int t = 0; t < kTop; ++t) {
        uint32_t top = add(root, shape.top(t), dir_name(t), true);
        for (int s = 0; s < kSub; ++s) {
            uint32_t sub = add(top, shape.sub(t, s), dir_name(s), true);
            for (int f = 0; f < shape.files_per_dir; ++f)
                add(sub, shape.file(t, s, f), file_name(f), false);
        }
    }
    db.exec("COMMIT");
}

// Every row as a line: the table, then each column (integers in hex, blobs
// in hex, texts counted), as the view database's dump writes its records.
int sqlite_dump(const char* dir) {
    bench::SqliteDb db(std::string(dir) + "/view.sqlite", kPageSize, kCachePages);
    FILE* out = std::fopen((std::string(dir) + "/dump.txt").c_str(), "we");
    if (out == nullptr) fail("dump.txt");
    for (const Table& t : kTables) {
        sqlite3_stmt* s = db.prepare((std::string("SELECT * FROM ") + t.name).c_str());
        while (db.row(s)) {
            std::fputs(t.name, out);
            for (int c = 0; t.columns[c] != '\0'; ++c) {
                if (t.columns[c] == 'i') {
                    std::fprintf(out, " %" PRIx64, static_cast<uint64_t>(sqlite3_column_int64(s, c)));
                } else if (t.columns[c] == 'b') {
                    const unsigned char* b = static_cast<const unsigned char*>(sqlite3_column_blob(s, c));
                    std::fputc(' ', out);
                    for (int i = 0; i < sqlite3_column_bytes(s, c); ++i) std::fprintf(out, "%02x", b[i]);
                } else {
                    std::fprintf(out, " %d:", sqlite3_column_bytes(s, c));
                    std::fwrite(sqlite3_column_text(s, c), 1, static_cast<size_t>(sqlite3_column_bytes(s, c)), out);
                }
            }
            std::fputc('\n', out);
        }
    }
    bool ok = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    return std::fclose(out) == 0 && ok ? 0 : 1;
}

int sqlite_load(const char* dir) {
    std::string path = std::string(dir) + "/new.sqlite";
    std::remove(path.c_str());
    bench::SqliteDb db(path, kPageSize, kCachePages);
    create_schema(db);
    std::vector<sqlite3_stmt*> inserts;
    for (const Table& t : kTables) inserts.push_back(db.prepare(insert_sql(t).c_str()));
    FILE* in = std::fopen((std::string(dir) + "/dump.txt").c_str(), "re");
    if (in == nullptr) fail("dump.txt");
    db.exec("BEGIN");
    char name[16];
    while (std::fscanf(in, "%15s", name) == 1) {
        size_t k = 0;
        while (k < sizeof kTables / sizeof kTables[0] && std::strcmp(kTables[k].name, name) != 0) ++k;
        if (k == sizeof kTables / sizeof kTables[0]) fail(std::string("bad table ") + name);
        sqlite3_stmt* s = inserts[k];
        for (int c = 0; kTables[k].columns[c] != '\0'; ++c) {
            char col = kTables[k].columns[c];
            if (col == 'i') {
                uint64_t v = 0;
                if (std::fscanf(in, "%" SCNx64, &v) != 1) fail("bad number");
                sqlite3_bind_int64(s, c + 1, static_cast<int64_t>(v));
            } else if (col == 'b') {
                char hex[33];
                if (std::fscanf(in, "%32s", hex) != 1) fail("bad blob");
                unsigned char b[16];
                for (int i = 0; i < 16; ++i) std::sscanf(hex + 2 * i, "%2hhx", &b[i]);
                sqlite3_bind_blob(s, c + 1, b, 16, SQLITE_TRANSIENT);
            } else {
                int len = 0;
                if (std::fscanf(in, "%d:", &len) != 1 || len < 0 || len > 255) fail("bad text");
                char text[256];
                if (std::fread(text, 1, static_cast<size_t>(len), in) != static_cast<size_t>(len)) fail("short text");
                sqlite3_bind_text(s, c + 1, text, len, SQLITE_TRANSIENT);
            }
        }
        db.done(s);
    }
    std::fclose(in);
    db.exec("COMMIT");
    return 0;
}

// ---- measuring ----

struct Run {
    double seconds;
    long peak_kb;
};

// Runs `args` as a process of its own: its time and its peak resident
// memory.
Run measured(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    struct rusage usage {};
    int status = 0;
    double seconds = bench::seconds_of([&] {
        pid_t pid = fork();
        if (pid < 0) fail("fork");
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (wait4(pid, &status, 0, &usage) != pid) fail("wait4");
    });
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(args[0] + " " + args[1] + " failed");
    return {seconds, usage.ru_maxrss};
}

struct Sizes {
    Run dump, load, sqlite_dump, sqlite_load;
    long dump_bytes;
};

Sizes run_size(const std::string& base, int count) {
    Shape shape{count / (kTop * kSub)};
    std::string dir = bench::make_dir(base, "rebuild");
    std::string storage = dir + "/view";
    if (mkdir(storage.c_str(), 0700) != 0) fail("mkdir " + storage);
    std::string self = "/proc/self/exe";
    char exe[4096];
    ssize_t n = readlink(self.c_str(), exe, sizeof exe - 1);
    if (n <= 0) fail("readlink");
    exe[n] = '\0';
    // Built in a process of its own, so that this one stays small for the
    // next size.
    pid_t pid = fork();
    if (pid == 0) {
        build_view_db(storage, shape);
        build_sqlite(dir, shape);
        _exit(0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("build");
    Sizes s{};
    s.dump = measured({std::string(OSTREL_BENCH_SERVER_DIR) + "/ostrel_dumper_1", storage});
    struct stat st;
    s.dump_bytes = ::stat((storage + "/" + OSTREL_DB_DUMP_FILE).c_str(), &st) == 0 ? st.st_size : 0;
    s.load = measured({exe, "--load", storage});
    s.sqlite_dump = measured({exe, "--sqlite-dump", dir});
    s.sqlite_load = measured({exe, "--sqlite-load", dir});
    bench::remove_dir(dir);
    return s;
}

// Messages of the view database go to standard error, errors only.
void quiet_messages() {
    imsg_proc_t procs[IMSG_NUM_KINDS];
    for (int k = 0; k < IMSG_NUM_KINDS; ++k)
        procs[k] = k >= IMSG_KIND_ERR && k < IMSG_KIND_TRACE ? [](void*, const char* text) { std::fputs(text, stderr); }
                                                             : [](void*, const char*) {};
    imsg_set_redirect_procs(procs, IMSG_NUM_KINDS, nullptr);
}

void print(const char* what, const Run& ours, const Run& peer) {
    std::printf("  %-6s view db %7.3f s %7ld KiB   SQLite %7.3f s %7ld KiB   time ratio %.2f\n", what, ours.seconds,
                ours.peak_kb, peer.seconds, peer.peak_kb, ours.seconds / peer.seconds);
}

} // namespace

int main(int argc, char** argv) {
    quiet_messages();
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) return load_view_db(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--sqlite-dump") == 0) return sqlite_dump(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--sqlite-load") == 0) return sqlite_load(argv[2]);
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 1);
    const std::string base = bench::base_dir(argc, argv);
    const int count = argc > 2 ? std::atoi(argv[2]) : 100000;
    if (count < kTop * kSub * 10 || count % (kTop * kSub) != 0) fail("COUNT must be a multiple of 1000, at least 10000");
    std::printf("view database rebuild (dump, then load into a new database) beside SQLite, under %s\n",
                base.c_str());
    std::printf("durability: view db: the dump files and the loaded database forced to disk at their end\n"
                "durability: SQLite: %s\n",
                bench::SqliteDb::describe(bench::SqliteDb::FORCED));
    Sizes small = run_size(base, count / 10);
    Sizes large = run_size(base, count);
    for (const auto& [n, s] : {std::pair{count / 10, &small}, {count, &large}}) {
        std::printf("%d files (%d directories), dump %ld bytes:\n", n, 1 + kTop + kTop * kSub, s->dump_bytes);
        print("dump", s->dump, s->sqlite_dump);
        print("load", s->load, s->sqlite_load);
    }
    std::printf("peak memory, %d files against %d: dump %.2f, load %.2f (SQLite: %.2f, %.2f)\n", count, count / 10,
                double(large.dump.peak_kb) / small.dump.peak_kb, double(large.load.peak_kb) / small.load.peak_kb,
                double(large.sqlite_dump.peak_kb) / small.sqlite_dump.peak_kb,
                double(large.sqlite_load.peak_kb) / small.sqlite_load.peak_kb);
    return 0;
}
