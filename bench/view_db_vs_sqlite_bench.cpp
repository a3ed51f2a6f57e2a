// The view database and SQLite on the same view-private files, in one run.
//
//   view_db_vs_sqlite_bench [DIR] [COUNT]
//
// COUNT view-private files (default 100000) in one directory of a fresh view
// storage under DIR (default $TMPDIR or /tmp):
//   1. COUNT files created in one transaction (each an inode with its file
//      status, its container name as its text, and a name in the directory
//      that raises the directory's size and times and the file's link count);
//   2. COUNT lookups of a name, in random order, one read transaction each;
//   3. the whole directory listed page by page (8744-byte pages, the
//      kernel's largest), one read transaction a page;
//   4. 1000 files created one transaction each.
// Each phase runs on the stores side by side, so that all meet the same
// load of the machine; lookups and listings run three rounds and the best
// counts, single creates alternate in blocks of 100. Prints each time for
// each store, the times it forced a file to disk (fsync and fdatasync
// calls on its files, counted by this program), and the ratio view
// database / SQLite for each of SQLite's two settings below.
//
// The view database runs as the daemon runs it: on a thread that blocks the
// process's signals as the daemon's workers do, its session (the transaction
// mutex, the state file), its engine cache of 512 pages, the two-phase
// commit and nothing forced to disk at commit (the idle purify forces the
// files; a run this short never waits for it). SQLite runs twice over: as
// its users run a store of the same durability, WAL with synchronous=NORMAL
// (a commit surviving a crash of the process, a power failure possibly
// taking it back to an earlier commit; it forces the log at checkpoints),
// and with synchronous=OFF, forcing nothing, as the view database forces
// nothing in a run this short. It keeps the same rows (a VOB, inodes
// with a 128-byte status, directories, names) with the same indexes: the
// engine's keys, (VOB, oid) of inodes and (directory, name hash) of names,
// and for each of its sets an index that finds a set's members in order
// (the names of a directory by offset, the names of an inode). Each step
// reads and writes what the engine's step does, with statements prepared
// once; 4096-byte pages, a cache of 512 pages, locking_mode=EXCLUSIVE. Its
// rows have their integer ids as INTEGER PRIMARY KEY.
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sqlite_support.h"
#include "lib/ostreladb/ostrel_db.h"
#include "platform/imsg/imsg.h"
#include "platform/pfm/pfm.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_session.h"

// ---- files forced to disk ----

// The calls of this program that force a file to disk, counted by the
// directory the file is in: the view database's engine and SQLite make
// them through these two functions, which this program defines in front
// of the C library's.
namespace sync_count {

std::mutex mutex;
std::vector<std::string> watched;
std::map<std::string, long> counts;

void watch(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex);
    watched.push_back(dir);
}

long of(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex);
    return counts[dir];
}

void note(int fd) {
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0) return;
    const std::string file(path, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::string& dir : watched)
        if (file == dir || file.compare(0, dir.size() + 1, dir + "/") == 0) ++counts[dir];
}

template <typename Function>
Function real(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) bench::fail(std::string("no ") + name + " in the C library");
    return reinterpret_cast<Function>(found);
}

}  // namespace sync_count

extern "C" int fdatasync(int fd) {
    static const auto next = sync_count::real<int (*)(int)>("fdatasync");
    sync_count::note(fd);
    return next(fd);
}

extern "C" int fsync(int fd) {
    static const auto next = sync_count::real<int (*)(int)>("fsync");
    sync_count::note(fd);
    return next(fd);
}

namespace {

using bench::fail;
using bench::seconds_of;

constexpr int kPageSize = 4096;
constexpr int kCachePages = 512;
constexpr int kSingleCreates = 1000;
constexpr int kRounds = 3;
constexpr size_t kListingPage = 8744;
constexpr uint32_t kPrivate = 0x13;

std::string name_of(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "source_file_%06d.cpp", i);
    return name;
}

qel_oid_s oid_of(int i) {
    qel_oid_s oid{};
    uint64_t h = static_cast<uint64_t>(i + 1) * 0x9E3779B97F4A7C15ull;
    std::memcpy(oid.bytes, &h, sizeof h);
    oid.bytes[15] = 0x42;
    return oid;
}

qel_fstat_db_s status_of(uint32_t type) {
    qel_fstat_db_s fstat{};
    fstat.type = type;
    fstat.mode = type == QEL_FTYPE_DIR ? 0755 : 0644;
    fstat.nlink = type == QEL_FTYPE_DIR ? 1 : 0;
    fstat.size = type == QEL_FTYPE_DIR ? 89 : 0;
    credutl_uid_to_sid(1000, &fstat.usid);
    credutl_gid_to_sid(1000, &fstat.gsid);
    fstat.atime = fstat.mtime = fstat.ctime = ostrela_db_view_time();
    return fstat;
}

// A container name as the pool forms them, without asking the file system.
std::string container_of(const qel_oid_s& oid, uint32_t dbid, uint32_t sequence, const std::string& leaf) {
    char text[300];
    std::snprintf(text, sizeof text, "%05u/%08x%06x%s", qel_oid_to_hash32(&oid) % 57, dbid, sequence, leaf.c_str());
    return text;
}

// ---- the view database ----

class ViewDb {
public:
    explicit ViewDb(const std::string& storage) {
        if (chdir(storage.c_str()) != 0) fail("chdir " + storage);
        view_home = storage;
        if (ostrel_storage_init() != 0) fail("ostrel_storage_init");
        int created = 0;
        if (ostrel_db_init(&created) != 0 || !created) fail("ostrel_db_init");
        qel_uuid_s uuid{};
        uuid.bytes[0] = 1;
        check(write([&] {
            qel_oid_s root_oid{};
            root_oid.bytes[0] = 7;
            qel_fstat_db_s fstat = status_of(QEL_FTYPE_DIR);
            int st = ostrela_db_vob_create(&uuid, "host:/vobs/bench", &vob_);
            if (st == 0) st = ostrela_db_inode_create(vob_, &root_oid, &fstat, 2, &dir_, nullptr);
            return st != 0 ? st : ostrela_db_dir_create(dir_);
        }), "the directory");
    }
    ~ViewDb() { ostrel_db_close(); }

    template <typename Step>
    int write(Step step) { return ostrel_db_in_transaction(1, step); }

    int create(int i) {
        qel_oid_s oid = oid_of(i);
        qel_fstat_db_s fstat = status_of(QEL_FTYPE_REG);
        std::string name = name_of(i);
        uint32_t dbid = 0, cookie = 0;
        int st = ostrela_db_inode_create(vob_, &oid, &fstat, kPrivate, &dbid, nullptr);
        if (st == 0) st = ostrela_db_inode_write_text(dbid, container_of(oid, dbid, ++sequence_, name).c_str());
        if (st == 0) st = ostrela_db_link(dir_, name.c_str(), dbid, 0, nullptr, nullptr, 0, nullptr, &cookie);
        return st;
    }
    int64_t lookup(const std::string& name) {
        uint32_t object = 0, state = 0;
        check(ostrel_db_in_transaction(0, [&] { return ostrela_db_dir_entry_lookup(dir_, name.c_str(), &object, &state); }),
              "lookup");
        return object & 0xFFFF;
    }
    // The whole directory; the number of names.
    int list(int64_t* sum) {
        std::vector<char> buf(kListingPage);
        uint32_t cookie = 0;
        int names = 0;
        for (int end = 0; !end;) {
            size_t bytes = 0;
            check(ostrel_db_in_transaction(0, [&] {
                return ostrela_db_readdir(dir_, cookie, buf.data(), buf.size(), &bytes, &end);
            }), "readdir");
            for (size_t at = 0; at < bytes;) {
                view_db_readdir_entry e;
                std::memcpy(&e, buf.data() + at, VIEW_DB_READDIR_HEAD);
                *sum += e.name_len + (e.inode & 0xFFFF);
                cookie = e.cookie;
                ++names;
                at += view_db_readdir_entry_size(e.name_len);
            }
        }
        return names;
    }
    static void check(int status, const char* what) {
        if (status != 0) fail(std::string(what) + " failed: " + std::to_string(status));
    }

private:
    uint32_t vob_ = 0;
    uint32_t dir_ = 0;
    uint32_t sequence_ = 0x5f000000;
};

// ---- SQLite ----

class Sqlite {
public:
    Sqlite(const std::string& dir, bench::SqliteDb::Durability durability)
        : sql_(dir + "/view.sqlite", kPageSize, kCachePages, durability), db_(sql_.handle()) {
        exec("CREATE TABLE vob(id INTEGER PRIMARY KEY, uuid BLOB NOT NULL, ref_cnt INTEGER, next_dbid INTEGER,"
             " gen_num INTEGER, root_dir INTEGER, flags INTEGER, text TEXT)");
        exec("CREATE UNIQUE INDEX vob_uuid ON vob(uuid)");
        exec("CREATE TABLE inode(id INTEGER PRIMARY KEY, vob INTEGER, oid BLOB, fstat BLOB, mtype INTEGER,"
             " gen INTEGER, text TEXT)");
        exec("CREATE UNIQUE INDEX inode_key ON inode(vob, oid)");
        exec("CREATE TABLE dir(id INTEGER PRIMARY KEY, inode INTEGER)");
        exec("CREATE INDEX dir_inode ON dir(inode)");
        exec("CREATE TABLE dirent(id INTEGER PRIMARY KEY, dir INTEGER, vob INTEGER, hash INTEGER, off INTEGER,"
             " state INTEGER, name TEXT, object INTEGER)");
        exec("CREATE INDEX dirent_key ON dirent(dir, hash)");
        exec("CREATE INDEX dirent_order ON dirent(dir, off)");
        exec("CREATE INDEX dirent_object ON dirent(object)");
        exec("INSERT INTO vob VALUES(1, x'01', 0, 1, 0, 0, 0, 'host:/vobs/bench')");
        fstat_blob_ = status_of(QEL_FTYPE_DIR);
        exec("BEGIN");
        add_vob_ref_ = prepare("UPDATE vob SET ref_cnt = ref_cnt + 1, gen_num = gen_num + 1 WHERE id = ?1"
                               " RETURNING gen_num");
        insert_inode_ = prepare("INSERT INTO inode(vob, oid, fstat, mtype, gen, text) VALUES(?1, ?2, ?3, ?4, ?5, '')");
        set_text_ = prepare("UPDATE inode SET text = ?2 WHERE id = ?1");
        read_inode_ = prepare("SELECT fstat, vob FROM inode WHERE id = ?1");
        write_fstat_ = prepare("UPDATE inode SET fstat = ?2 WHERE id = ?1");
        find_name_ = prepare("SELECT name, object, state FROM dirent WHERE dir = ?1 AND hash = ?2");
        last_offset_ = prepare("SELECT max(off) FROM dirent WHERE dir = ?1");
        insert_name_ = prepare("INSERT INTO dirent(dir, vob, hash, off, state, name, object)"
                               " VALUES(?1, ?2, ?3, ?4, 0, ?5, ?6)");
        list_ = prepare("SELECT d.off, d.state, d.name, d.object, i.mtype FROM dirent d LEFT JOIN inode i"
                        " ON i.id = d.object WHERE d.dir = ?1 AND d.off > ?2 ORDER BY d.off");
        qel_oid_s root_oid{};
        root_oid.bytes[0] = 7;
        dir_ = insert_inode(root_oid, fstat_blob_, 2);
        exec("INSERT INTO dir(inode) VALUES(" + std::to_string(dir_) + ")");
        exec("COMMIT");
    }

    template <typename Step>
    int write(Step step) {
        exec("BEGIN");
        int st = step();
        exec("COMMIT");
        return st;
    }

    int create(int i) {
        qel_oid_s oid = oid_of(i);
        std::string name = name_of(i);
        int64_t inode = insert_inode(oid, status_of(QEL_FTYPE_REG), kPrivate);
        bind_int(set_text_, 1, inode);
        std::string text = container_of(oid, static_cast<uint32_t>(inode), ++sequence_, name);
        sqlite3_bind_text(set_text_, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        done(set_text_);
        // The link: the directory read, the name looked up, placed last,
        // the directory's size and times and the file's link count rewritten.
        qel_fstat_db_s dir_status = read_fstat(dir_);
        uint32_t hash = ostrela_db_hash_name(name.c_str());
        if (find(name, hash, nullptr)) fail("a name exists");
        bind_int(last_offset_, 1, dir_);
        int64_t offset = step_row(last_offset_) && sqlite3_column_type(last_offset_, 0) != SQLITE_NULL
                             ? sqlite3_column_int64(last_offset_, 0) + 1
                             : 2;
        sqlite3_reset(last_offset_);
        bind_int(insert_name_, 1, dir_);
        bind_int(insert_name_, 2, 1);
        bind_int(insert_name_, 3, hash);
        bind_int(insert_name_, 4, offset);
        sqlite3_bind_text(insert_name_, 5, name.c_str(), -1, SQLITE_TRANSIENT);
        bind_int(insert_name_, 6, inode);
        done(insert_name_);
        dir_status.size += name.size() + 43;
        dir_status.mtime = dir_status.ctime = ostrela_db_view_time();
        qel_fstat_db_s file_status = read_fstat(inode);
        ++file_status.nlink;
        file_status.ctime = ostrela_db_view_time();
        write_fstat(inode, file_status);
        write_fstat(dir_, dir_status);
        return 0;
    }
    int64_t lookup(const std::string& name) {
        int64_t object = 0;
        if (!find(name, ostrela_db_hash_name(name.c_str()), &object)) fail("lookup");
        return object & 0xFFFF;
    }
    int list(int64_t* sum) {
        int64_t after = 0;
        int names = 0;
        for (bool end = false; !end;) {
            bind_int(list_, 1, dir_);
            bind_int(list_, 2, after);
            size_t used = 0;
            end = true;
            while (step_row(list_)) {
                size_t len = static_cast<size_t>(sqlite3_column_bytes(list_, 2));
                size_t need = view_db_readdir_entry_size(len);
                if (need >= kListingPage - used) {
                    end = false;
                    break;
                }
                used += need;
                after = sqlite3_column_int64(list_, 0);
                *sum += static_cast<int64_t>(len) + (sqlite3_column_int64(list_, 3) & 0xFFFF);
                ++names;
            }
            sqlite3_reset(list_);
        }
        return names;
    }

private:
    int64_t insert_inode(const qel_oid_s& oid, const qel_fstat_db_s& fstat, uint32_t mtype) {
        bind_int(add_vob_ref_, 1, 1);
        if (!step_row(add_vob_ref_)) fail("vob reference");
        int64_t gen = sqlite3_column_int64(add_vob_ref_, 0);
        sqlite3_reset(add_vob_ref_);
        bind_int(insert_inode_, 1, 1);
        sqlite3_bind_blob(insert_inode_, 2, oid.bytes, sizeof oid.bytes, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert_inode_, 3, &fstat, sizeof fstat, SQLITE_TRANSIENT);
        bind_int(insert_inode_, 4, mtype);
        bind_int(insert_inode_, 5, gen);
        done(insert_inode_);
        return sqlite3_last_insert_rowid(db_);
    }
    qel_fstat_db_s read_fstat(int64_t inode) {
        bind_int(read_inode_, 1, inode);
        if (!step_row(read_inode_)) fail("inode read");
        qel_fstat_db_s fstat;
        std::memcpy(&fstat, sqlite3_column_blob(read_inode_, 0), sizeof fstat);
        sqlite3_reset(read_inode_);
        return fstat;
    }
    void write_fstat(int64_t inode, const qel_fstat_db_s& fstat) {
        bind_int(write_fstat_, 1, inode);
        sqlite3_bind_blob(write_fstat_, 2, &fstat, sizeof fstat, SQLITE_TRANSIENT);
        done(write_fstat_);
    }
    bool find(const std::string& name, uint32_t hash, int64_t* object) {
        bind_int(find_name_, 1, dir_);
        bind_int(find_name_, 2, hash);
        bool found = false;
        while (!found && step_row(find_name_)) {
            found = name == reinterpret_cast<const char*>(sqlite3_column_text(find_name_, 0));
            if (found && object != nullptr) *object = sqlite3_column_int64(find_name_, 1);
        }
        sqlite3_reset(find_name_);
        return found;
    }
    void bind_int(sqlite3_stmt* s, int at, int64_t value) { sqlite3_bind_int64(s, at, value); }
    bool step_row(sqlite3_stmt* s) { return sql_.row(s); }
    void done(sqlite3_stmt* s) { sql_.done(s); }
    void exec(const std::string& sql) { sql_.exec(sql); }
    sqlite3_stmt* prepare(const char* sql) { return sql_.prepare(sql); }

    bench::SqliteDb sql_;
    sqlite3* db_;
    sqlite3_stmt *add_vob_ref_ = nullptr, *insert_inode_ = nullptr, *set_text_ = nullptr, *read_inode_ = nullptr,
                 *write_fstat_ = nullptr, *find_name_ = nullptr, *last_offset_ = nullptr, *insert_name_ = nullptr,
                 *list_ = nullptr;
    qel_fstat_db_s fstat_blob_{};
    int64_t dir_ = 0;
    uint32_t sequence_ = 0x5f000000;
};

struct Figures {
    double create = 0, lookup = 0, list = 0, single = 0;
    long create_syncs = 0, lookup_syncs = 0, list_syncs = 0, single_syncs = 0;
    int64_t checksum = 0;
};

// A store's work and its figures, with the directory its files are in.
template <typename Store>
struct Side {
    Store& store;
    Figures& figures;
    std::string dir;
};

// Runs `work` on the side's store, adding its seconds to `seconds` (or
// keeping the best, `best`) and the files it forced to disk to `syncs`.
template <typename Store, typename Work>
void timed(Side<Store>& side, double& seconds, long& syncs, bool best, Work work) {
    const long before = sync_count::of(side.dir);
    const double t = seconds_of([&] { work(side.store, side.figures); });
    syncs += sync_count::of(side.dir) - before;
    seconds = best ? (seconds == 0 ? t : std::min(seconds, t)) : seconds + t;
}

// The work on the three stores, phase by phase and side by side, so that
// all meet the same load of the machine. Lookups and listings are repeated
// and the best round counts (their syncs are all counted); the single
// creates alternate in blocks.
template <typename A, typename B>
void run(Side<A> a, Side<B> b, Side<B> c, int count, const std::vector<int>& lookup_order) {
    const auto each = [&](const auto& step) {
        step(a);
        step(b);
        step(c);
    };
    each([&](auto& side) {
        timed(side, side.figures.create, side.figures.create_syncs, false, [&](auto& store, Figures&) {
            int st = store.write([&] {
                int status = 0;
                for (int i = 0; status == 0 && i < count; ++i) status = store.create(i);
                return status;
            });
            if (st != 0) fail("creating failed: " + std::to_string(st));
        });
    });

    std::vector<std::string> names;
    names.reserve(lookup_order.size());
    for (int i : lookup_order) names.push_back(name_of(i));
    for (int round = 0; round < kRounds; ++round) {
        each([&](auto& side) {
            timed(side, side.figures.lookup, side.figures.lookup_syncs, true, [&](auto& store, Figures& f) {
                int64_t sum = 0;
                for (const std::string& name : names) sum += store.lookup(name);
                f.checksum += sum;
            });
        });
    }
    for (int round = 0; round < kRounds; ++round) {
        each([&](auto& side) {
            timed(side, side.figures.list, side.figures.list_syncs, true, [&](auto& store, Figures& f) {
                int64_t sum = 0;
                const int listed = store.list(&sum);
                if (listed != count) fail("the listing met " + std::to_string(listed) + " names");
                f.checksum += sum;
            });
        });
    }
    constexpr int block = kSingleCreates / 10;
    for (int first = 0; first < kSingleCreates; first += block) {
        each([&](auto& side) {
            timed(side, side.figures.single, side.figures.single_syncs, false, [&](auto& store, Figures&) {
                for (int i = first; i < first + block; ++i)
                    if (store.write([&] { return store.create(count + i); }) != 0) fail("a single create failed");
            });
        });
    }
}

// The view database's messages go to standard error, away from the table.
void to_stderr(void*, const char* text) { std::fputs(text, stderr); }

} // namespace

int main(int argc, char** argv) {
    std::string base = bench::base_dir(argc, argv);
    int count = argc > 2 ? std::atoi(argv[2]) : 100000;
    if (count < 1) fail("COUNT must be positive");
    if (pfm_block_signals() != 0) fail("cannot block the signals");
    // The dictionary this build made, unless the caller names another.
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 0);
    imsg_proc_t procs[IMSG_NUM_KINDS];
    for (imsg_proc_t& p : procs) p = to_stderr;
    imsg_set_redirect_procs(procs, IMSG_NUM_KINDS, nullptr);

    std::mt19937 rng(20241003u);
    std::vector<int> lookup_order(static_cast<size_t>(count));
    std::iota(lookup_order.begin(), lookup_order.end(), 0);
    std::shuffle(lookup_order.begin(), lookup_order.end(), rng);

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) fail("getcwd");
    const std::string view_dir = bench::make_dir(base, "viewdb-bench");
    const std::string sqlite_dir = bench::make_dir(base, "sqlite-view-bench");
    const std::string unforced_dir = bench::make_dir(base, "sqlite-off-view-bench");
    for (const std::string& dir : {view_dir, sqlite_dir, unforced_dir}) sync_count::watch(dir);
    Figures v, s, o;
    {
        ViewDb view_db(view_dir);
        Sqlite sqlite(sqlite_dir, bench::SqliteDb::CACHED);
        Sqlite unforced(unforced_dir, bench::SqliteDb::UNFORCED);
        run(Side<ViewDb>{view_db, v, view_dir}, Side<Sqlite>{sqlite, s, sqlite_dir},
            Side<Sqlite>{unforced, o, unforced_dir}, count, lookup_order);
    }
    if (chdir(cwd) != 0) fail("chdir back");
    bench::remove_dir(view_dir);
    bench::remove_dir(sqlite_dir);
    bench::remove_dir(unforced_dir);
    if (v.checksum != s.checksum || v.checksum != o.checksum) fail("the stores read different names");

    std::printf("%d view-private files in one directory: an inode with its status and container name, a name "
                "in the directory; a cache of %d pages; files under %s (SQLite %s)\n",
                count, kCachePages, base.c_str(), sqlite3_libversion());
    std::printf("durability: view db: two-phase commit, nothing forced at commit (the idle purify forces the files): "
                "a commit survives a crash of the process; a power failure may lose the commits since the last "
                "purify, and the next start rebuilds the database\n");
    std::printf("durability: SQLite NORMAL: %s\n", bench::SqliteDb::describe(bench::SqliteDb::CACHED));
    std::printf("durability: SQLite OFF: %s\n", bench::SqliteDb::describe(bench::SqliteDb::UNFORCED));
    std::printf("(syncs: the fsync and fdatasync calls on the store's files during the work)\n\n");
    std::printf("%-44s %18s %18s %18s %8s %8s\n", "work", "view db s (syncs)", "SQLite NORMAL", "SQLite OFF",
                "/NORMAL", "/OFF");
    auto line = [](const std::string& what, double a, long as, double b, long bs, double c, long cs) {
        std::printf("%-44s %10.3f (%5ld) %10.3f (%5ld) %10.3f (%5ld) %8.2f %8.2f\n", what.c_str(), a, as, b, bs, c,
                    cs, a / b, a / c);
    };
    line("1. " + std::to_string(count) + " files created in one transaction", v.create, v.create_syncs, s.create,
         s.create_syncs, o.create, o.create_syncs);
    line("2. " + std::to_string(count) + " lookups by name", v.lookup, v.lookup_syncs, s.lookup, s.lookup_syncs,
         o.lookup, o.lookup_syncs);
    line("3. the directory listed in 8744-byte pages", v.list, v.list_syncs, s.list, s.list_syncs, o.list,
         o.list_syncs);
    line("4. " + std::to_string(kSingleCreates) + " files created one transaction each", v.single, v.single_syncs,
         s.single, s.single_syncs, o.single, o.single_syncs);
    std::printf("\n");
    bench::print_goal("view db / SQLite NORMAL, files created", v.create / s.create, "<=", 1.0);
    bench::print_goal("view db / SQLite OFF, files created", v.create / o.create, "<=", 1.0);
    bench::print_goal("view db / SQLite NORMAL, lookups by name", v.lookup / s.lookup, "<=", 1.0);
    bench::print_goal("view db / SQLite OFF, lookups by name", v.lookup / o.lookup, "<=", 1.0);
    bench::print_goal("view db / SQLite NORMAL, one-file transactions", v.single / s.single, "<=", 1.0);
    bench::print_goal("view db / SQLite OFF, one-file transactions", v.single / o.single, "<=", 1.0);
    return 0;
}
