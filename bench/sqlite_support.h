#pragma once
// The SQLite side of the benchmarks against the view database: a database
// file opened as the view database's peer (its page size and cache, one
// exclusive user, the durability the peer compares with), its statements
// prepared once and finalized with it, and steps that fail the benchmark
// loudly.

#include <sqlite3.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace bench {

class SqliteDb {
public:
    // FORCED: a rollback journal and every commit forced to disk
    // (journal_mode=DELETE, synchronous=FULL), as a commit of the engine on
    // its own (option 0x10). CACHED: what SQLite's users run for a store
    // that a crash of the process must not damage but a power failure may
    // take back to an earlier commit (journal_mode=WAL, synchronous=NORMAL:
    // commits reach the system's cache, the disk at checkpoints), as the
    // view database's commits, forced only by its idle purify. UNFORCED:
    // the same journal with nothing ever forced to disk (journal_mode=WAL,
    // synchronous=OFF), as the view database between two purifies.
    enum Durability { FORCED, CACHED, UNFORCED };

    static const char* describe(Durability d) {
        switch (d) {
        case FORCED: return "journal_mode=DELETE, synchronous=FULL: every commit forced to disk";
        case CACHED:
            return "journal_mode=WAL, synchronous=NORMAL: a commit survives a crash of the process; "
                   "a power failure may lose the commits since the last checkpoint";
        case UNFORCED:
            return "journal_mode=WAL, synchronous=OFF: a commit survives a crash of the process; "
                   "nothing is forced to disk, a power failure may lose or damage the database";
        }
        return "";
    }

    SqliteDb(const std::string& path, int page_size, int cache_pages, Durability durability = FORCED) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("sqlite3_open " + path);
        exec("PRAGMA page_size=" + std::to_string(page_size));
        exec("PRAGMA cache_size=" + std::to_string(cache_pages));
        // Exclusive first: a WAL database then needs no shared-memory index.
        exec("PRAGMA locking_mode=EXCLUSIVE");
        if (durability == FORCED) {
            exec("PRAGMA journal_mode=DELETE");
            exec("PRAGMA synchronous=FULL");
        } else {
            exec("PRAGMA journal_mode=WAL");
            exec(durability == CACHED ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=OFF");
        }
    }
    ~SqliteDb() {
        for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
        sqlite3_close(db_);
    }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    sqlite3* handle() const { return db_; }
    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string text = error != nullptr ? error : "?";
            sqlite3_free(error);
            fail(sql + ": " + text);
        }
    }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) fail(std::string(sql) + ": " + sqlite3_errmsg(db_));
        statements_.push_back(s);
        return s;
    }
    // One step: true for a row, false when the statement is done.
    bool row(sqlite3_stmt* s) {
        int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(std::string("step: ") + sqlite3_errmsg(db_));
        return rc == SQLITE_ROW;
    }
    // Runs a statement that returns no row, and resets it.
    void done(sqlite3_stmt* s) {
        row(s);
        sqlite3_reset(s);
    }

private:
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> statements_;
};

}  // namespace bench
