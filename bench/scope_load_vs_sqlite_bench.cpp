// A load scope of the view database and SQLite doing the same work, in one
// run.
//
//   scope_load_vs_sqlite_bench [DIR] [COUNT]
//
// COUNT file versions (default 100000, a multiple of 1000) in a 3-level tree
// under a VOB's root directory: 10 directories of 100 directories of
// COUNT / 1000 files, each file an element and its version, loaded into one
// load-rule scope; files under DIR (default $TMPDIR or /tmp):
//   1. the load: every directory and file created with its element, one
//      transaction per top-level directory (a tenth of the tree);
//   2. the end of the load, in one transaction;
//   3. the scope marked stale for an update: its update begun and every
//      directory's names made not valid, in one transaction;
//   4. the update: every version delivered again (confirmed at the new
//      generation number, valid again), a hundredth of the files marked
//      removed, one transaction per top-level directory, then the end of the
//      update, which removes the marked ones.
// Each phase runs on both stores one after the other. Prints each time and
// the ratio view database / SQLite.
//
// The view database runs as the daemon runs it: its session, its engine
// cache of 512 pages, the two-phase commit and nothing forced to disk at
// commit (the idle purify forces the files). SQLite runs with the same
// durability (WAL, synchronous=NORMAL: a commit survives a crash of the
// process) and keeps the same records (VOB, objects, elements, versions, directory
// versions, entries, scopes) with the same indexes: the engine's keys, and
// for each of its sets an index that finds a set's members in order. Each
// step reads and writes what the engine's step does, with statements
// prepared once; 4096-byte pages, a cache of 512 pages,
// locking_mode=EXCLUSIVE.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/sqlite_support.h"
#include "bench/view_tree_support.h"
#include "lib/ostreladb/ostrel_db.h"
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
using bench::seconds_of;
using bench::Shape;
using bench::status_of;
using bench::ver_of;

constexpr int kPageSize = 4096;
constexpr int kCachePages = 512;
constexpr int kRemoveEvery = 100;
const qel_oid_s kScope = {{0x5c, 0x09, 0xe0, 0x01}};

// ---- the view database ----

class ViewDb {
public:
    explicit ViewDb(const std::string& storage) {
        if (chdir(storage.c_str()) != 0) fail("chdir " + storage);
        view_home = storage;
        if (ostrel_storage_init() != 0) fail("ostrel_storage_init");
        int created = 0;
        if (ostrel_db_init(&created) != 0 || !created) fail("ostrel_db_init");
        check(ostrel_db_create_def_scope(), "default scope");
        check(ostrel_db_create_lr_scope(&kScope, 1, "/vobs/bench"), "scope");
        uuid_.bytes[0] = 1;
        check(write([&] { return ostrela_db_vob_create(&uuid_, "host:/vobs/bench", &vob_); }), "VOB");
    }
    ~ViewDb() { ostrel_db_close(); }

    template <typename Step>
    int write(Step step) {
        return ostrel_db_in_transaction(1, step);
    }
    // Begins the load: the scope and the root.
    int begin_load() {
        return write([&] {
            int status = ostrela_db_begin_lr_scope_update(&kScope, 1);
            qel_fstat_db_s f = status_of(true, 0);
            uint32_t e = 0;
            if (status == 0)
                status = ostrela_db_create_vns_elem(vob_, at(elem_of(0)), &kWhen, &f, VNS_MTYPE_DIR_ELEM, 0, &e);
            if (status == 0)
                status = ostrela_db_create_root_dir(vob_, at(ver_of(0)), at(elem_of(0)), &kWhen, &f, &kScope, 1, 1, &root_);
            return status;
        });
    }
    // Loads (or delivers again) object `n` as `name` in `parent`.
    int version(uint32_t parent, uint32_t n, const std::string& name, bool dir, uint32_t gn, uint32_t* dbid) {
        qel_fstat_db_s f = status_of(dir, n);
        uint32_t e = 0;
        int status = ostrela_db_create_vns_elem(vob_, at(elem_of(n)), &kWhen, &f,
                                                dir ? VNS_MTYPE_DIR_ELEM : VNS_MTYPE_ELEM, 0, &e);
        if (status == 0)
            status = ostrela_db_create_vns_ver(vob_, parent, at(ver_of(n)), at(elem_of(n)),
                                               dir ? VNS_MTYPE_DIR_VER : VNS_MTYPE_VER, &kWhen, name.c_str(), &f,
                                               &kScope, gn, 1, dbid, nullptr, nullptr);
        return status;
    }
    int end_load() {
        return write([] { return ostrela_db_end_lr_scope_load(&kScope, 1, true, true); });
    }
    int mark_stale(const std::vector<uint32_t>& dirs) {
        return write([&] {
            int status = ostrela_db_begin_lr_scope_update(&kScope, 2);
            for (size_t i = 0; status == 0 && i < dirs.size(); ++i)
                status = ostrela_db_mark_sub_ver_stale(ostrela_db_dbid2dba(vob_), dirs[i], 1);
            return status;
        });
    }
    int mark_removed(uint32_t parent_n, uint32_t n, const std::string& name) {
        return ostrela_db_mark_dir_ent_remove(&uuid_, at(elem_of(parent_n)), at(ver_of(n)), name.c_str());
    }
    int end_update() {
        return write([] { return ostrela_db_end_lr_scope_update(&kScope, 2); });
    }
    uint32_t root() const { return root_; }
    static void check(int status, const char* what) {
        if (status != 0) fail(std::string(what) + " failed: " + std::to_string(status));
    }
    int versions() {
        int n = 0;
        ostrel_db_in_transaction(0, [&] {
            int st = dt_recfrst(VNS_DB_VER, &view_db_task, VDB);
            for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) ++n;
            return 0;
        });
        return n;
    }

private:
    template <typename T>
    static const T* at(const T& value) {
        return &value;
    }
    qel_uuid_s uuid_{};
    uint32_t vob_ = 0, root_ = 0;
};

// ---- SQLite ----

class Sqlite {
public:
    explicit Sqlite(const std::string& dir)
        : sql_(dir + "/view.sqlite", kPageSize, kCachePages, bench::SqliteDb::CACHED), db_(sql_.handle()) {
        exec("CREATE TABLE vob(id INTEGER PRIMARY KEY, uuid BLOB, next_dbid INTEGER, root INTEGER)");
        exec("CREATE UNIQUE INDEX vob_uuid ON vob(uuid)");
        exec("CREATE TABLE obj(id INTEGER PRIMARY KEY, vob INTEGER, oid BLOB, mtype INTEGER, dbid INTEGER,"
             " node INTEGER, fstat BLOB)");
        exec("CREATE UNIQUE INDEX obj_dbid ON obj(vob, dbid)");
        exec("CREATE UNIQUE INDEX obj_oid ON obj(vob, oid)");
        exec("CREATE TABLE elem(id INTEGER PRIMARY KEY, vob INTEGER, dbid INTEGER, co_oid BLOB, time INTEGER,"
             " co INTEGER)");
        exec("CREATE UNIQUE INDEX elem_key ON elem(vob, dbid)");
        exec("CREATE TABLE ver(id INTEGER PRIMARY KEY, vob INTEGER, dbid INTEGER, time INTEGER, size INTEGER,"
             " aux INTEGER, mtype INTEGER, stale INTEGER, elem INTEGER)");
        exec("CREATE UNIQUE INDEX ver_key ON ver(vob, dbid)");
        exec("CREATE INDEX ver_elem ON ver(elem, id)");
        exec("CREATE TABLE dir_ver(id INTEGER PRIMARY KEY, vob INTEGER, dbid INTEGER, parent INTEGER, done INTEGER,"
             " saved INTEGER)");
        exec("CREATE UNIQUE INDEX dir_ver_key ON dir_ver(vob, dbid)");
        exec("CREATE TABLE scope(id INTEGER PRIMARY KEY, oid BLOB, gn INTEGER, completed INTEGER, state INTEGER)");
        exec("CREATE INDEX scope_oid ON scope(oid)");
        exec("CREATE TABLE ent(id INTEGER PRIMARY KEY, vob INTEGER, ver INTEGER, parent INTEGER, scope_oid BLOB,"
             " hash INTEGER, mtype INTEGER, valid INTEGER, gn INTEGER, remove INTEGER, name TEXT, dir INTEGER,"
             " named INTEGER, scope INTEGER)");
        exec("CREATE INDEX ent_key ON ent(vob, ver)");
        exec("CREATE INDEX ent_name ON ent(vob, parent, hash)");
        exec("CREATE INDEX ent_dir ON ent(dir, id)");
        exec("CREATE INDEX ent_named ON ent(named, id)");
        exec("CREATE INDEX ent_scope ON ent(scope, id)");
        exec("INSERT INTO vob VALUES(1, x'01', 1, 0)");
        exec("INSERT INTO scope VALUES(1, x'00', 1, 0, 0)");
        scope_blob_.assign(reinterpret_cast<const char*>(kScope.bytes), sizeof kScope.bytes);
        exec("INSERT INTO scope VALUES(2, x'" + hex(scope_blob_) + "', 1, 0, 0)");
        next_dbid_ = prepare("UPDATE vob SET next_dbid = next_dbid + 1 WHERE id = 1 RETURNING next_dbid");
        obj_by_oid_ = prepare("SELECT dbid, mtype FROM obj WHERE vob = 1 AND oid = ?1");
        obj_by_dbid_ = prepare("SELECT oid FROM obj WHERE vob = 1 AND dbid = ?1");
        insert_obj_ = prepare("INSERT INTO obj(vob, oid, mtype, dbid, node, fstat) VALUES(1, ?1, ?2, ?3, ?4, ?5)");
        set_node_ = prepare("UPDATE obj SET node = ?2 WHERE vob = 1 AND dbid = ?1");
        elem_by_dbid_ = prepare("SELECT id, co FROM elem WHERE vob = 1 AND dbid = ?1");
        insert_elem_ = prepare("INSERT INTO elem(vob, dbid, co_oid, time, co) VALUES(1, ?1, x'00', ?2, 0)");
        insert_ver_ = prepare("INSERT INTO ver(vob, dbid, time, size, aux, mtype, stale, elem)"
                              " VALUES(1, ?1, ?2, ?3, 0, ?4, 0, ?5)");
        ver_by_dbid_ = prepare("SELECT id, stale, elem FROM ver WHERE vob = 1 AND dbid = ?1");
        first_ver_ = prepare("SELECT dbid FROM ver WHERE elem = ?1 ORDER BY id LIMIT 1");
        elem_dbid_ = prepare("SELECT dbid FROM elem WHERE id = ?1");
        unstale_ = prepare("UPDATE ver SET stale = 0 WHERE id = ?1");
        insert_dir_ = prepare("INSERT INTO dir_ver(vob, dbid, parent, done, saved) VALUES(1, ?1, ?2, 0, ?3)");
        dir_by_dbid_ = prepare("SELECT id, done, saved FROM dir_ver WHERE vob = 1 AND dbid = ?1");
        write_dir_ = prepare("UPDATE dir_ver SET done = ?2, saved = ?3 WHERE id = ?1");
        scope_by_oid_ = prepare("SELECT id, gn FROM scope WHERE oid = ?1");
        write_scope_ = prepare("UPDATE scope SET gn = ?2, completed = ?3, state = ?4 WHERE id = ?1");
        name_ = prepare("SELECT id, name, ver, mtype, scope_oid, gn, valid FROM ent WHERE vob = 1 AND parent = ?1"
                        " AND hash = ?2");
        insert_ent_ = prepare("INSERT INTO ent(vob, ver, parent, scope_oid, hash, mtype, valid, gn, remove, name, dir,"
                              " named, scope) VALUES(1, ?1, ?2, ?3, ?4, ?5, 1, ?6, 0, ?7, ?8, ?9, ?10)");
        write_ent_ = prepare("UPDATE ent SET gn = ?2, valid = ?3, remove = ?4 WHERE id = ?1");
        dir_entries_ = prepare("SELECT id, valid FROM ent WHERE dir = ?1 ORDER BY id");
        scope_entries_ = prepare("SELECT id, ver, mtype, gn, remove, named FROM ent WHERE scope = ?1 ORDER BY id");
        count_named_ = prepare("SELECT count(*) FROM ent WHERE named = ?1");
        delete_ent_ = prepare("DELETE FROM ent WHERE id = ?1");
        delete_ver_ = prepare("DELETE FROM ver WHERE id = ?1");
        delete_obj_ = prepare("DELETE FROM obj WHERE vob = 1 AND dbid = ?1");
    }

    template <typename Step>
    int write(Step step) {
        exec("BEGIN");
        int st = step();
        exec("COMMIT");
        return st;
    }
    int begin_load() {
        return write([&] {
            set_scope(2, 1, 0, 2);
            int64_t e = element(0, true);
            root_ = create_version(0, 0, "", true, 1, e);
            exec("UPDATE vob SET root = " + std::to_string(root_) + " WHERE id = 1");
            return 0;
        });
    }
    int version(uint32_t parent, uint32_t n, const std::string& name, bool dir, uint32_t gn, uint32_t* dbid) {
        int64_t e = element(n, dir);
        uint32_t hash = ostrela_db_hash_name(name.c_str());
        // The name: the same version again is confirmed.
        int64_t ent = 0, ver = 0, ent_gn = 0, valid = 0;
        bind(name_, parent, hash);
        while (ent == 0 && row(name_)) {
            if (name != reinterpret_cast<const char*>(sqlite3_column_text(name_, 1))) continue;
            ent = sqlite3_column_int64(name_, 0);
            ver = sqlite3_column_int64(name_, 2);
            ent_gn = sqlite3_column_int64(name_, 5);
            valid = sqlite3_column_int64(name_, 6);
        }
        sqlite3_reset(name_);
        if (ent == 0) {
            *dbid = static_cast<uint32_t>(create_version(parent, n, name, dir, gn, e));
            return 0;
        }
        // The held version's element and both oids compared.
        bind(ver_by_dbid_, ver);
        if (!row(ver_by_dbid_)) fail("version");
        int64_t ver_row = sqlite3_column_int64(ver_by_dbid_, 0), stale = sqlite3_column_int64(ver_by_dbid_, 1);
        int64_t elem_row = sqlite3_column_int64(ver_by_dbid_, 2);
        sqlite3_reset(ver_by_dbid_);
        bind(elem_dbid_, elem_row);
        int64_t elem_dbid = row(elem_dbid_) ? sqlite3_column_int64(elem_dbid_, 0) : 0;
        sqlite3_reset(elem_dbid_);
        if (oid(elem_dbid) != blob(elem_of(n)) || oid(ver) != blob(ver_of(n))) fail("not the same version");
        if (ent_gn != gn || !valid) {
            bind(write_ent_, ent, gn, 1, 0);
            done(write_ent_);
        }
        if (stale) {
            bind(unstale_, ver_row);
            done(unstale_);
        }
        if (dir) {
            // Not listed until the update lists it again.
            bind(dir_by_dbid_, ver);
            if (!row(dir_by_dbid_)) fail("directory");
            int64_t dir_row = sqlite3_column_int64(dir_by_dbid_, 0), done_flag = sqlite3_column_int64(dir_by_dbid_, 1);
            int64_t saved = sqlite3_column_int64(dir_by_dbid_, 2);
            sqlite3_reset(dir_by_dbid_);
            if (done_flag) {
                bind(write_dir_, dir_row, 0, saved);
                done(write_dir_);
            }
        }
        *dbid = static_cast<uint32_t>(ver);
        return 0;
    }
    int end_load() {
        return write([&] {
            std::vector<Entry> entries = scope_entries();
            for (const Entry& e : entries) {
                if (e.gn != 1) fail("an entry of another generation");
                if (e.mtype == VNS_MTYPE_DIR_VER) restore_dir(e.ver, true);
            }
            set_scope(2, 1, 1, 0);
            return 0;
        });
    }
    int mark_stale(const std::vector<uint32_t>& dirs) {
        return write([&] {
            set_scope(2, 2, 1, 2);
            for (uint32_t d : dirs) {
                int64_t dir_row = dir_row_of(d);
                std::vector<int64_t> valid;
                bind(dir_entries_, dir_row);
                while (row(dir_entries_))
                    if (sqlite3_column_int64(dir_entries_, 1)) valid.push_back(sqlite3_column_int64(dir_entries_, 0));
                sqlite3_reset(dir_entries_);
                for (int64_t id : valid) {
                    exec_ent_valid(id, 0);
                }
                bind(write_dir_, dir_row, 0, 0);
                done(write_dir_);
            }
            return 0;
        });
    }
    int mark_removed(uint32_t parent_n, uint32_t n, const std::string& name) {
        uint32_t parent_elem = 0, kind = 0;
        if (!object(blob(elem_of(parent_n)), &parent_elem, &kind) || kind != VNS_MTYPE_DIR_ELEM) fail("parent");
        bind(elem_by_dbid_, parent_elem);
        if (!row(elem_by_dbid_)) fail("parent element");
        int64_t elem_row = sqlite3_column_int64(elem_by_dbid_, 0);
        sqlite3_reset(elem_by_dbid_);
        bind(first_ver_, elem_row);
        if (!row(first_ver_)) fail("parent version");
        int64_t dir = sqlite3_column_int64(first_ver_, 0);
        sqlite3_reset(first_ver_);
        uint32_t named = 0;
        if (!object(blob(ver_of(n)), &named, &kind)) fail("named object");
        bind(name_, dir, ostrela_db_hash_name(name.c_str()));
        int64_t ent = 0, gn = 0, valid = 0;
        while (ent == 0 && row(name_)) {
            if (name != reinterpret_cast<const char*>(sqlite3_column_text(name_, 1))) continue;
            ent = sqlite3_column_int64(name_, 0);
            gn = sqlite3_column_int64(name_, 5);
            valid = sqlite3_column_int64(name_, 6);
        }
        sqlite3_reset(name_);
        if (ent == 0) fail("name to remove");
        bind(write_ent_, ent, gn, valid, 1);
        done(write_ent_);
        return 0;
    }
    int end_update() {
        return write([&] {
            std::vector<Entry> removals;
            for (const Entry& e : scope_entries()) {
                if (e.remove) {
                    removals.push_back(e);
                    continue;
                }
                if (e.gn != 2) {
                    if (set_gn_ == nullptr) set_gn_ = prepare("UPDATE ent SET gn = ?2 WHERE id = ?1");
                    bind(set_gn_, e.id, 2);
                    done(set_gn_);
                }
                if (e.mtype == VNS_MTYPE_DIR_VER) restore_dir(e.ver, false);
            }
            for (const Entry& e : removals) {
                bind(delete_ent_, e.id);
                done(delete_ent_);
                bind(count_named_, e.named);
                int64_t names = row(count_named_) ? sqlite3_column_int64(count_named_, 0) : 0;
                sqlite3_reset(count_named_);
                if (names > 0) continue;
                bind(delete_ver_, e.named);
                done(delete_ver_);
                bind(delete_obj_, e.ver);
                done(delete_obj_);
            }
            set_scope(2, 2, 2, 0);
            return 0;
        });
    }
    uint32_t root() const { return static_cast<uint32_t>(root_); }
    int versions() {
        sqlite3_stmt* s = prepare("SELECT count(*) FROM ver");
        int n = row(s) ? sqlite3_column_int(s, 0) : -1;
        sqlite3_reset(s);
        return n;
    }

private:
    struct Entry {
        int64_t id, ver, mtype, gn, remove, named;
    };
    static std::string blob(const qel_oid_s& oid) { return std::string(reinterpret_cast<const char*>(oid.bytes), 16); }
    static std::string hex(const std::string& bytes) {
        std::string out;
        char b[3];
        for (unsigned char c : bytes) {
            std::snprintf(b, sizeof b, "%02x", c);
            out += b;
        }
        return out;
    }
    int64_t element(uint32_t n, bool dir) {
        uint32_t dbid = 0, kind = 0;
        if (object(blob(elem_of(n)), &dbid, &kind)) {
            bind(elem_by_dbid_, dbid);
            int64_t id = row(elem_by_dbid_) ? sqlite3_column_int64(elem_by_dbid_, 0) : 0;
            sqlite3_reset(elem_by_dbid_);
            return id;
        }
        int64_t made = new_object(blob(elem_of(n)), dir ? VNS_MTYPE_DIR_ELEM : VNS_MTYPE_ELEM, true);
        bind(insert_elem_, made, kWhen.tv_sec);
        done(insert_elem_);
        return sqlite3_last_insert_rowid(db_);
    }
    int64_t create_version(uint32_t parent, uint32_t n, const std::string& name, bool dir, uint32_t gn, int64_t elem) {
        uint32_t elem_dbid = 0, ver_dbid = 0, kind = 0;
        if (!object(blob(elem_of(n)), &elem_dbid, &kind)) fail("element");
        if (object(blob(ver_of(n)), &ver_dbid, &kind)) fail("version exists");
        uint32_t mtype = dir ? VNS_MTYPE_DIR_VER : VNS_MTYPE_VER;
        int64_t made = new_object(blob(ver_of(n)), mtype, false);
        bind(insert_ver_, made, kWhen.tv_sec, n, mtype, elem);
        done(insert_ver_);
        int64_t ver_row = sqlite3_last_insert_rowid(db_);
        bind(set_node_, made, elem_dbid);
        done(set_node_);
        if (dir) {
            bind(insert_dir_, made, parent, 3);
            done(insert_dir_);
        }
        // The entry, with its directory, its version and its scope.
        int64_t dir_row = parent != 0 ? dir_row_of(parent) : 0;

        sqlite3_bind_blob(scope_by_oid_, 1, scope_blob_.data(), 16, SQLITE_TRANSIENT);
        if (!row(scope_by_oid_)) fail("scope");
        int64_t scope = sqlite3_column_int64(scope_by_oid_, 0);
        sqlite3_reset(scope_by_oid_);
        bind(insert_ent_, made, parent);
        sqlite3_bind_blob(insert_ent_, 3, scope_blob_.data(), 16, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert_ent_, 4, name.empty() ? 0 : ostrela_db_hash_name(name.c_str()));
        sqlite3_bind_int64(insert_ent_, 5, mtype);
        sqlite3_bind_int64(insert_ent_, 6, gn);
        sqlite3_bind_text(insert_ent_, 7, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert_ent_, 8, dir_row);
        sqlite3_bind_int64(insert_ent_, 9, ver_row);
        sqlite3_bind_int64(insert_ent_, 10, scope);
        done(insert_ent_);
        return made;
    }
    int64_t new_object(const std::string& oid, uint32_t mtype, bool own_node) {
        if (!row(next_dbid_)) fail("counter");
        int64_t dbid = sqlite3_column_int64(next_dbid_, 0);
        sqlite3_reset(next_dbid_);
        qel_fstat_db_s f = status_of(mtype == VNS_MTYPE_DIR_VER, 0);
        sqlite3_bind_blob(insert_obj_, 1, oid.data(), 16, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert_obj_, 2, mtype);
        sqlite3_bind_int64(insert_obj_, 3, dbid);
        sqlite3_bind_int64(insert_obj_, 4, own_node ? dbid : 0);
        sqlite3_bind_blob(insert_obj_, 5, &f, 44, SQLITE_TRANSIENT);
        done(insert_obj_);
        return dbid;
    }
    bool object(const std::string& oid, uint32_t* dbid, uint32_t* mtype) {
        sqlite3_bind_blob(obj_by_oid_, 1, oid.data(), 16, SQLITE_TRANSIENT);
        bool found = row(obj_by_oid_);
        if (found) {
            *dbid = static_cast<uint32_t>(sqlite3_column_int64(obj_by_oid_, 0));
            *mtype = static_cast<uint32_t>(sqlite3_column_int64(obj_by_oid_, 1));
        }
        sqlite3_reset(obj_by_oid_);
        return found;
    }
    std::string oid(int64_t dbid) {
        bind(obj_by_dbid_, dbid);
        std::string out = row(obj_by_dbid_) ? std::string(static_cast<const char*>(sqlite3_column_blob(obj_by_dbid_, 0)), 16) : "";
        sqlite3_reset(obj_by_dbid_);
        return out;
    }
    int64_t dir_row_of(int64_t dbid) {
        bind(dir_by_dbid_, dbid);
        if (!row(dir_by_dbid_)) fail("directory");
        int64_t id = sqlite3_column_int64(dir_by_dbid_, 0);
        sqlite3_reset(dir_by_dbid_);
        return id;
    }
    void restore_dir(int64_t dbid, bool load) {
        bind(dir_by_dbid_, dbid);
        if (!row(dir_by_dbid_)) fail("directory");
        int64_t id = sqlite3_column_int64(dir_by_dbid_, 0), done_flag = sqlite3_column_int64(dir_by_dbid_, 1);
        int64_t saved = sqlite3_column_int64(dir_by_dbid_, 2);
        sqlite3_reset(dir_by_dbid_);
        if (!load && saved == 0) return;
        int64_t now = load ? (saved == 3 ? 1 : done_flag) : (saved >= 2 ? 1 : 0);
        if (now != done_flag || saved != 0) {
            bind(write_dir_, id, now, 0);
            done(write_dir_);
        }
    }
    void exec_ent_valid(int64_t id, int valid) {
        sqlite3_stmt* s = valid_stmt();
        bind(s, id, valid);
        done(s);
    }
    sqlite3_stmt* valid_stmt() {
        if (set_valid_ == nullptr) set_valid_ = prepare("UPDATE ent SET valid = ?2 WHERE id = ?1");
        return set_valid_;
    }
    std::vector<Entry> scope_entries() {
        std::vector<Entry> out;
        bind(scope_entries_, 2);
        while (row(scope_entries_))
            out.push_back({sqlite3_column_int64(scope_entries_, 0), sqlite3_column_int64(scope_entries_, 1),
                           sqlite3_column_int64(scope_entries_, 2), sqlite3_column_int64(scope_entries_, 3),
                           sqlite3_column_int64(scope_entries_, 4), sqlite3_column_int64(scope_entries_, 5)});
        sqlite3_reset(scope_entries_);
        return out;
    }
    void set_scope(int64_t id, int64_t gn, int64_t completed, int64_t state) {
        bind(write_scope_, id, gn, completed, state);
        done(write_scope_);
    }
    template <typename... V>
    void bind(sqlite3_stmt* s, V... values) {
        int at = 1;
        (sqlite3_bind_int64(s, at++, static_cast<int64_t>(values)), ...);
    }
    bool row(sqlite3_stmt* s) { return sql_.row(s); }
    void done(sqlite3_stmt* s) { sql_.done(s); }
    void exec(const std::string& sql) { sql_.exec(sql); }
    sqlite3_stmt* prepare(const char* sql) { return sql_.prepare(sql); }

    bench::SqliteDb sql_;
    sqlite3* db_;
    sqlite3_stmt *next_dbid_, *obj_by_oid_, *obj_by_dbid_, *insert_obj_, *set_node_, *elem_by_dbid_, *insert_elem_,
        *insert_ver_, *ver_by_dbid_, *first_ver_, *elem_dbid_, *unstale_, *insert_dir_, *dir_by_dbid_, *write_dir_,
        *scope_by_oid_, *write_scope_, *name_, *insert_ent_, *write_ent_, *dir_entries_, *scope_entries_,
        *count_named_, *delete_ent_, *delete_ver_, *delete_obj_;
    sqlite3_stmt *set_valid_ = nullptr, *set_gn_ = nullptr;
    std::string scope_blob_;
    int64_t root_ = 0;
};

struct Figures {
    double load = 0, end_load = 0, mark_stale = 0, update = 0;
    int versions = 0;
};

// Loads the tree (gn 1) or delivers it again (gn 2, marking every
// kRemoveEvery-th file removed); one transaction per top-level directory.
// Gives the directories' dbids.
template <typename Store>
std::vector<uint32_t> deliver(Store& store, const Shape& shape, uint32_t gn) {
    std::vector<uint32_t> dirs{store.root()};
    for (int t = 0; t < kTop; ++t) {
        int status = store.write([&] {
            uint32_t top = 0;
            int st = store.version(store.root(), shape.top(t), dir_name(t), true, gn, &top);
            dirs.push_back(top);
            for (int s = 0; st == 0 && s < kSub; ++s) {
                uint32_t sub = 0;
                st = store.version(top, shape.sub(t, s), dir_name(s), true, gn, &sub);
                dirs.push_back(sub);
                for (int f = 0; st == 0 && f < shape.files_per_dir; ++f) {
                    uint32_t dbid = 0;
                    st = store.version(sub, shape.file(t, s, f), file_name(f), false, gn, &dbid);
                    if (st == 0 && gn == 2 && f % kRemoveEvery == 0)
                        st = store.mark_removed(shape.sub(t, s), shape.file(t, s, f), file_name(f));
                }
            }
            return st;
        });
        if (status != 0) fail("delivering failed: " + std::to_string(status));
    }
    return dirs;
}

template <typename Store>
void run(Store& store, const Shape& shape, Figures* f) {
    auto check = [](int status, const char* what) {
        if (status != 0) fail(std::string(what) + " failed: " + std::to_string(status));
    };
    std::vector<uint32_t> dirs;
    f->load = seconds_of([&] {
        check(store.begin_load(), "the load's begin");
        dirs = deliver(store, shape, 1);
    });
    f->end_load = seconds_of([&] { check(store.end_load(), "the load's end"); });
    f->mark_stale = seconds_of([&] { check(store.mark_stale(dirs), "marking stale"); });
    f->update = seconds_of([&] {
        deliver(store, shape, 2);
        check(store.end_update(), "the update's end");
    });
    f->versions = store.versions();
}

// The view database's messages go to standard error, away from the table.
void to_stderr(void*, const char* text) { std::fputs(text, stderr); }

} // namespace

int main(int argc, char** argv) {
    std::string base = bench::base_dir(argc, argv);
    int count = argc > 2 ? std::atoi(argv[2]) : 100000;
    if (count < 1000 || count % 1000 != 0) fail("COUNT must be a positive multiple of 1000");
    setenv("NORVANE_SERVER_DIR", OSTREL_BENCH_SERVER_DIR, 0);
    imsg_proc_t procs[IMSG_NUM_KINDS];
    for (imsg_proc_t& p : procs) p = to_stderr;
    imsg_set_redirect_procs(procs, IMSG_NUM_KINDS, nullptr);
    Shape shape{count / 1000};

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) fail("getcwd");
    std::string view_dir = bench::make_dir(base, "scope-viewdb-bench");
    std::string sqlite_dir = bench::make_dir(base, "scope-sqlite-bench");
    Figures v, s;
    {
        ViewDb view_db(view_dir);
        run(view_db, shape, &v);
    }
    {
        Sqlite sqlite(sqlite_dir);
        run(sqlite, shape, &s);
    }
    if (chdir(cwd) != 0) fail("chdir back");
    bench::remove_dir(view_dir);
    bench::remove_dir(sqlite_dir);
    if (v.versions != s.versions) fail("the two stores kept different numbers of versions");

    std::printf("%d file versions in %d directories of %d directories under a VOB root, one load-rule scope; a "
                "cache of %d pages; files under %s (SQLite %s)\n",
                count, kTop, kSub, kCachePages, base.c_str(), sqlite3_libversion());
    std::printf("durability: view db: two-phase commit, nothing forced at commit (the idle purify forces the "
                "files)\ndurability: SQLite: %s\n\n",
                bench::SqliteDb::describe(bench::SqliteDb::CACHED));
    std::printf("%-52s %12s %12s %8s\n", "work", "view db (s)", "SQLite (s)", "ratio");
    auto line = [](const std::string& what, double a, double b) {
        std::printf("%-52s %12.3f %12.3f %8.2f\n", what.c_str(), a, b, a / b);
    };
    line("1. the scope loaded (" + std::to_string(kTop) + " transactions)", v.load, s.load);
    line("2. the load ended", v.end_load, s.end_load);
    line("3. the scope marked stale for an update", v.mark_stale, s.mark_stale);
    line("4. the update delivered, 1% removed, and ended", v.update, s.update);
    line("   all", v.load + v.end_load + v.mark_stale + v.update, s.load + s.end_load + s.mark_stale + s.update);
    return 0;
}
