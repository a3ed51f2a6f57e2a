// The view database's session and life cycle: opening with the cache the
// environment asks for, the state letters and what they allow, the idle
// synchronisation, failed commits, the transaction mutex, and what start-up
// does with the database it finds.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "lib/ostreladb/db_test_support.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ns/ns_cache.h"
#include "platform/pfm/pfm.h"
#include "platform/rt/rt_manual_clock.h"
#include "runtime/kesto_internal.h"
#include "runtime/kesto_test_support.h"

namespace {

using db_test::read_tx;
using db_test::uuid_of;
using db_test::write_tx;
using lib_test::read_file;
using lib_test::write_file;

// What another thread finds when it tries the database's mutex.
int other_thread_tries() {
    int result = -1;
    std::thread other([&] {
        result = norvanethread_mutex_trylock(&ostrelagent_kesto_mutex);
        if (result == 0) norvanethread_mutex_unlock(&ostrelagent_kesto_mutex);
    });
    other.join();
    return result;
}

// Assertions of the session (pfm_assert_fail) caught while it lives.
class Assertions {
public:
    Assertions() { pfm_set_report_sink(&Assertions::keep, this); }
    ~Assertions() { pfm_set_report_sink(nullptr, nullptr); }
    std::string text() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return text_;
    }

private:
    static void keep(const char* text, void* context) {
        auto* self = static_cast<Assertions*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->text_ += std::string(text) + "\n";
    }
    mutable std::mutex mutex_;
    std::string text_;
};

// A VOB record of the replica `n`, in a write transaction of its own.
int add_vob(unsigned n) {
    uint32_t dbid = 0;
    qel_uuid_s uuid = uuid_of(n);
    return write_tx([&] { return ostrela_db_vob_create(&uuid, "host:/vobs/x", &dbid); });
}

int find_vob(unsigned n) {
    uint32_t dbid = 0;
    qel_uuid_s uuid = uuid_of(n);
    return read_tx([&] { return ostrela_db_vob_lookup(&uuid, &dbid); });
}

class DbSession : public db_test::ViewDbTest {
protected:
    void TearDown() override {
        unsetenv("NORVANE_VIEW_CACHE_SIZE_EV");
        db_test::ViewDbTest::TearDown();
    }

    // Replaces the state file's content while the database stays open.
    void set_state_file(const std::string& content) {
        ASSERT_EQ(0, ostrela_db_state_file_close());
        write_file(state_file_path(), content);
        ASSERT_EQ(0, ostrela_db_state_file_open());
    }
    std::string state_file_path() const { return storage + "/" + OSTREL_DB_STATE_FILE; }
};

TEST_F(DbSession, TheCacheIsSizedFromTheEnvironment) {
    open_new();
    const struct {
        const char* value;  // null: unset
        int pages;
    } rows[] = {{nullptr, 512}, {"10", 64}, {"99999", 32766}, {"abc", 512}, {"1000", 1000}, {"2000x", 2000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value != nullptr ? row.value : "unset");
        if (row.value != nullptr) {
            setenv("NORVANE_VIEW_CACHE_SIZE_EV", row.value, 1);
        } else {
            unsetenv("NORVANE_VIEW_CACHE_SIZE_EV");
        }
        ASSERT_EQ(0, reopen());
        EXPECT_EQ(row.pages, dio_data_pages() + dio_index_pages());
        EXPECT_EQ(32, dio_index_pages());
    }
}

TEST_F(DbSession, TheStateLetterDecidesWhatTransactionsMayDo) {
    open_new();
    const struct {
        const char* content;
        int read, write;
        const char* after_write;  // the state file after the write
    } rows[] = {
        {"i\n", 0, 0, "m\n"},
        {"m\n", 0, 0, "m\n"},
        {"", 0, QEL_ST_READ_ONLY_STATE, ""},
        {"d\n", 0, QEL_ST_READ_ONLY_STATE, "d\n"},
        {"r\n", 0, QEL_ST_READ_ONLY_STATE, "r\n"},
        {"n\n", QEL_ST_INTERNAL, QEL_ST_INTERNAL, "n\n"},
        {"x\n", QEL_ST_INTERNAL, QEL_ST_INTERNAL, "x\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("state file \"") + row.content + "\"");
        set_state_file(row.content);
        int calls = 0;
        EXPECT_EQ(row.read, read_tx([&] { return ++calls, 0; }));
        EXPECT_EQ(row.content, read_file(state_file_path())) << "a read changes no letter";
        EXPECT_EQ(row.write, write_tx([&] {
            // A write after 'i' is marked before the engine transaction begins.
            EXPECT_EQ("m\n", read_file(state_file_path()));
            return ++calls, 0;
        }));
        EXPECT_EQ(row.after_write, read_file(state_file_path()));
        EXPECT_EQ((row.read == 0) + (row.write == 0), calls) << "a refused start runs nothing";
    }
}

TEST_F(DbSession, TheIdleTimerSynchronisesOnceAWholeIntervalPassedWithoutWrites) {
    rt::ManualTimers timers;
    open_new();
    ostrel_db_unsched_scrubber();  // only the idle timer counts here
    EXPECT_EQ("m\n", state_file());
    ASSERT_EQ(0, add_vob(1));
    // A write began during the interval: the callback looks again later.
    EXPECT_EQ(1u, timers.advance(std::chrono::seconds(OSTREL_DB_IDLE_INTERVAL)));
    EXPECT_EQ("m\n", state_file());
    ASSERT_EQ(0, add_vob(2));
    EXPECT_EQ(1u, timers.advance(std::chrono::seconds(OSTREL_DB_IDLE_INTERVAL)));
    EXPECT_EQ("m\n", state_file());
    // A quiet interval: synchronised, marked idle, nothing scheduled.
    EXPECT_EQ(1u, timers.advance(std::chrono::seconds(OSTREL_DB_IDLE_INTERVAL)));
    EXPECT_EQ("i\n", state_file());
    EXPECT_EQ(0u, timers.pending());
    EXPECT_EQ(0, find_vob(2));
    EXPECT_EQ("i\n", state_file());
    EXPECT_EQ(0u, timers.pending());
    // The next write marks it again and the timer comes back.
    ASSERT_EQ(0, add_vob(3));
    EXPECT_EQ("m\n", state_file());
    EXPECT_EQ(1u, timers.pending());
    // Closing synchronises at once and leaves no timer behind.
    EXPECT_EQ(0, ostrel_db_close());
    EXPECT_EQ("i\n", state_file());
    EXPECT_EQ(0u, timers.pending());
    EXPECT_TRUE(messages.has("Db closed\n"));
}

// Commits force nothing to disk: the purify (idle, close) and a write abort
// force every file; NORVANE_ZFS_OPTIMIZATION forces each commit too. The
// two-phase commit is on in both.
TEST_F(DbSession, OnlyThePurifyAnAbortOrTheOptimisationSwitchForceFilesToDisk) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    ASSERT_EQ(0, ostrela_db_state_purify());
    ASSERT_EQ("i\n", state_file());
    const int files = view_db_task.block->size_ft;
    for (bool forced : {false, true}) {
        SCOPED_TRACE(forced ? "NORVANE_ZFS_OPTIMIZATION set" : "unset");
        if (forced) setenv("NORVANE_ZFS_OPTIMIZATION", "", 1);
        ASSERT_EQ(0, reopen());
        unsetenv("NORVANE_ZFS_OPTIMIZATION");
        EXPECT_NE(0u, view_db_task.block->options & OPT_TWOPHASE);
        EXPECT_EQ(forced, (view_db_task.block->options & OPT_SYNCFILES) != 0);
        kesto_test::FaultyIo io;
        ASSERT_EQ(0, add_vob(forced ? 12 : 2));  // the letter becomes 'm' (not an engine file)
        ASSERT_EQ(0, add_vob(forced ? 13 : 3));
        if (forced)
            EXPECT_LT(0, io.calls(kesto_test::FaultyIo::FSYNC));
        else
            EXPECT_EQ(0, io.calls(kesto_test::FaultyIo::FSYNC)) << "one-record transactions";
        io.reset_counts();
        EXPECT_EQ(QEL_ST_EXISTS, add_vob(forced ? 13 : 3));
        EXPECT_LE(files, io.calls(kesto_test::FaultyIo::FSYNC)) << "an aborted write";
        io.reset_counts();
        ASSERT_EQ(0, add_vob(forced ? 14 : 4));
        ASSERT_EQ(0, ostrela_db_state_purify());
        EXPECT_EQ("i\n", state_file());
        // Every engine file and the config-record file.
        EXPECT_LE(files + 1, io.calls(kesto_test::FaultyIo::FSYNC));
    }
}

TEST_F(DbSession, AFailedCommitIsReportedRolledBackAndReleasesTheMutex) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    {
        kesto_test::FaultyIo io;
        io.fail(kesto_test::FaultyIo::PWRITE, 1, EIO);
        EXPECT_EQ(QEL_ST_INTERNAL, add_vob(2));
    }
    EXPECT_TRUE(messages.has("operation 'D_TREND' on object '' failed")) << messages.text();
    // Nothing of the failed transaction is there, and another thread can
    // start a transaction at once.
    EXPECT_EQ(0, find_vob(1));
    int found = -1;
    std::thread other([&] { found = find_vob(2); });
    other.join();
    EXPECT_EQ(QEL_ST_NOT_FOUND, found);
    EXPECT_EQ(0, add_vob(2));
    ASSERT_EQ(0, reopen());
    EXPECT_EQ(0, find_vob(2));
}

TEST_F(DbSession, AFailingStepAbortsAndLeavesTheDatabaseAsItWas) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    qel_uuid_s second = uuid_of(2), first = uuid_of(1);
    uint32_t dbid = 0;
    // The second VOB is made, then the transaction fails on the first again.
    EXPECT_EQ(QEL_ST_EXISTS, write_tx([&] {
                  int status = ostrela_db_vob_create(&second, "a:b", &dbid);
                  return status != 0 ? status : ostrela_db_vob_create(&first, "a:b", &dbid);
              }));
    EXPECT_EQ(QEL_ST_NOT_FOUND, find_vob(2));
}

TEST_F(DbSession, EveryTransactionHoldsTheMutexUntilItEnds) {
    open_new();
    for (int write : {0, 1}) {
        SCOPED_TRACE(write ? "write" : "read");
        int inside = -1;
        EXPECT_EQ(0, ostrel_db_in_transaction(write, [&] { return inside = other_thread_tries(), 0; }));
        EXPECT_EQ(EBUSY, inside);
        EXPECT_EQ(0, other_thread_tries());
        // Also after a transaction that failed.
        EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_in_transaction(write, [] { return QEL_ST_NOT_FOUND; }));
        EXPECT_EQ(0, other_thread_tries());
    }
}

// A batch: the operations of the thread make one transaction, committed
// at its end, or lost as a whole (by an abort, a failing operation inside,
// or a crash anywhere in its commit).
TEST_F(DbSession, ABatchIsOneTransactionKeptOrLostAsAWhole) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    auto vobs_found = [] {
        int found = 0;
        for (unsigned n = 2; n <= 4; ++n) found += find_vob(n) == 0 ? 1 : 0;
        return found;
    };
    auto remove_batch_vobs = [] {
        for (unsigned n = 2; n <= 4; ++n) {
            const qel_uuid_s uuid = uuid_of(n);
            write_tx([&] { return ostrela_db_vob_delete(&uuid), 0; });
        }
    };
    struct Case {
        const char* what;
        bool fail_inside;  // the second VOB is made twice
        bool commit;
        int end_status;
        int found;
    };
    for (const Case& c : {Case{"committed", false, true, 0, 3}, Case{"aborted", false, false, 0, 0},
                          Case{"broken", true, true, QEL_ST_INTERNAL, 0}}) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, ostrel_db_batch_begin());
        EXPECT_TRUE(ostrel_db_in_batch());
        EXPECT_EQ(0, add_vob(2));
        // Reads inside see the batch's writes; other threads wait for it.
        EXPECT_EQ(0, find_vob(2));
        EXPECT_EQ(EBUSY, other_thread_tries());
        if (c.fail_inside) {
            EXPECT_EQ(QEL_ST_EXISTS, add_vob(2));
            EXPECT_TRUE(ostrel_db_batch_broken());
        }
        for (unsigned n : {3u, 4u}) EXPECT_EQ(c.fail_inside ? QEL_ST_INTERNAL : 0, add_vob(n));
        EXPECT_EQ(c.end_status, ostrel_db_batch_end(c.commit));
        EXPECT_FALSE(ostrel_db_in_batch());
        EXPECT_EQ(0, other_thread_tries());
        EXPECT_EQ(c.found, vobs_found());
        EXPECT_EQ(0, find_vob(1));
        remove_batch_vobs();
    }

    // A crash at any write of the batch's commit: after the next open, all
    // of the batch or nothing, and what was committed before it.
    int writes = 0;
    {
        kesto_test::FaultyIo io;
        ASSERT_EQ(0, ostrel_db_batch_begin());
        for (unsigned n = 2; n <= 4; ++n) ASSERT_EQ(0, add_vob(n));
        io.reset_counts();
        ASSERT_EQ(0, ostrel_db_batch_end(true));
        writes = io.calls(kesto_test::FaultyIo::PWRITE);
    }
    ASSERT_GT(writes, 0);
    for (int crash = 1; crash <= writes + 1; ++crash) {
        SCOPED_TRACE("crash at write " + std::to_string(crash));
        remove_batch_vobs();
        {
            kesto_test::FaultyIo io;
            ASSERT_EQ(0, ostrel_db_batch_begin());
            for (unsigned n = 2; n <= 4; ++n) ASSERT_EQ(0, add_vob(n));
            io.crash_after_writes(crash);
            ostrel_db_batch_end(true);
            ostrel_db_close();
        }
        ASSERT_EQ(0, reopen());
        const int found = vobs_found();
        EXPECT_TRUE(found == 0 || found == 3) << found;
        EXPECT_EQ(0, find_vob(1));
    }
}

TEST_F(DbSession, ARecordStepOutsideATransactionIsReported) {
    open_new();
    Assertions asserts;
    uint32_t dbid = 0;
    qel_uuid_s uuid = uuid_of(1);
    ostrela_db_vob_lookup(&uuid, &dbid);
    EXPECT_NE(std::string::npos, asserts.text().find("tls->tls_db_trans_state != DB_TRANS_NULL")) << asserts.text();
}

TEST_F(DbSession, FileStatusesHandedOutCarryTheAgentsOwnIdentities) {
    open_new();
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    credutl_sid_t stranger;
    credutl_uid_to_sid(4242, &stranger);
    qel_fstat_db_s fstat{};
    fstat.nlink = 9;
    auto fill = [&] {
        fstat.usid = fstat.gsid = stranger;
        fstat.size = 77;
        return 0;
    };
    ASSERT_EQ(0, ostrel_db_read_fstat_in_transaction(&fstat, true, fill));
    EXPECT_EQ(0u, fstat.nlink) << "zeroed first";
    EXPECT_EQ(77u, uint64_t{fstat.size});
    EXPECT_TRUE(credutl_sid_eq(&mine->user_sid, &fstat.usid));
    EXPECT_TRUE(credutl_sid_eq(&mine->group_sid, &fstat.gsid));
    // A failed read hands out nothing changed.
    EXPECT_EQ(QEL_ST_NOT_FOUND, ostrel_db_read_fstat_in_transaction(&fstat, false, [&] {
                  fill();
                  return QEL_ST_NOT_FOUND;
              }));
    EXPECT_TRUE(credutl_sid_eq(&stranger, &fstat.usid));
}

TEST_F(DbSession, AConfigRecordIsFreedWithItsData) {
    // The sanitizer build finds a leak or a double free here.
    for (size_t length : {size_t{0}, size_t{100}}) {
        _qel_cr_compressed_t* cr = nullptr;
        ASSERT_EQ(0, qel_cr_vx_to_cr_compressed(1, std::string(length, 'c').c_str(), length, &cr));
        ostrela_db_cr_free(cr);
    }
    ostrela_db_cr_free(nullptr);
}

// ---------------------------------------------------------------------------
// start-up

class DbStartup : public db_test::ViewDbTest {};

TEST_F(DbStartup, ANewViewGetsANewDatabase) {
    int created = 0;
    ASSERT_EQ(0, ostrel_db_init(&created));
    EXPECT_EQ(1, created);
    EXPECT_EQ("m\n", state_file());
    EXPECT_EQ("1\n", read_file(storage + "/db/ostrel_db_schema_version"));
    EXPECT_TRUE(messages.has("Db initialized\n"));
    ASSERT_EQ(0, ostrel_db_create_def_scope());
    // The dictionary belongs to the database now: the installed one can go.
    ASSERT_EQ(0, ostrel_db_close());
    EXPECT_EQ("i\n", state_file()) << "closing synchronised it";
    setenv("NORVANE_SERVER_DIR", (home.path() + "/nowhere").c_str(), 1);
    ASSERT_EQ(0, reopen());
    uint32_t found = 0;
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_lookup_lr_scope_oid(&AUTOMATIC_LOAD_SCOPE_OID, &found); }));
}

TEST_F(DbStartup, WhatStartUpDoesWithEachStateLetter) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    ASSERT_EQ(0, ostrel_db_close());
    const struct {
        const char* content;
        bool marker;         // ".new_db" present
        int status;
        int created;
        int transaction;     // a read transaction afterwards
        const char* letter;  // the state file afterwards
    } rows[] = {
        // Every open releases what build sessions held, a write.
        {"i\n", false, 0, 0, 0, "m\n"},
        // Rebuilt from a dump; no dump to load: closed.
        {"m\n", false, 0, 0, 0, "m\n"},
        {"r\n", false, 0, 0, 0, "m\n"},
        {"d\n", false, 0, 0, QEL_ST_NEEDS_REFORMAT, "d\n"},
        {"", false, 0, 0, QEL_ST_INTERNAL, ""},
        {"q\n", false, QEL_ST_INTERNAL, 0, QEL_ST_INTERNAL, "q\n"},
        // Asked for anew: the database there is goes.
        {"", true, 0, 1, 0, "m\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("state file \"") + row.content + "\"" + (row.marker ? " with .new_db" : ""));
        write_file(storage + "/" + OSTREL_DB_STATE_FILE, row.content);
        if (row.marker) write_file(storage + "/.new_db", "");
        int created = 0;
        EXPECT_EQ(row.status, ostrel_db_init(&created));
        EXPECT_EQ(row.created, created);
        // The database made at first, a new one, or none.
        EXPECT_EQ(row.transaction != 0 ? row.transaction : row.marker ? QEL_ST_NOT_FOUND : 0, find_vob(1));
        EXPECT_EQ(row.letter, state_file());
        EXPECT_FALSE(lib_test::exists(storage + "/.new_db"));
        ostrela_db_close_db();
    }
    EXPECT_TRUE(messages.has("Unexpected DB state 'q'\n"));
}

TEST_F(DbStartup, ADictionaryThatIsMissingDamagedOrOfAnotherVersionIsRefusedAndKept) {
    open_new();
    ASSERT_EQ(0, add_vob(1));
    ASSERT_EQ(0, ostrel_db_close());
    const std::string dbd = storage + "/db/ostrel_db.dbd";
    const std::string version = storage + "/db/ostrel_db_schema_version";
    const std::string good_dbd = read_file(dbd);
    const std::string data_file = storage + "/db/ostrel_db.d00";
    const std::string data = read_file(data_file);
    const struct {
        const char* what;
        std::function<void()> damage;
        int status;
        const char* message;
    } rows[] = {
        {"no dictionary", [&] { ::unlink(dbd.c_str()); }, QEL_ST_INTERNAL,
         "could not locate view database component (op 'D_OPEN')"},
        {"cut dictionary", [&] { write_file(dbd, good_dbd.substr(0, 100)); }, QEL_ST_INTERNAL, "'D_OPEN'"},
        {"schema version 2", [&] { write_file(version, "2\n"); }, QEL_ST_NEEDS_REFORMAT,
         "Wrong DB schema version 2, should be 1\n"},
        {"no schema version", [&] { ::unlink(version.c_str()); }, qel_errno2status(ENOENT),
         "ostrel_db_schema_version"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.damage();
        messages.clear();
        int created = 0;
        EXPECT_EQ(row.status, ostrel_db_init(&created));
        EXPECT_EQ(0, created);
        EXPECT_TRUE(messages.has(row.message)) << messages.text();
        if (row.status == QEL_ST_NEEDS_REFORMAT) {
            EXPECT_TRUE(messages.has("Reformat failed for view DB " + storage + "\n")) << messages.text();
        }
        EXPECT_EQ(row.status == QEL_ST_NEEDS_REFORMAT ? QEL_ST_NEEDS_REFORMAT : QEL_ST_INTERNAL, find_vob(1));
        EXPECT_EQ(data, read_file(data_file)) << "nothing is lost";
        ostrela_db_close_db();
        write_file(dbd, good_dbd);
        write_file(version, "1\n");
    }
    // The quiet open of the dump loader says nothing of the version.
    write_file(version, "2\n");
    messages.clear();
    EXPECT_EQ(QEL_ST_NEEDS_REFORMAT, ostrela_db_open_db(1, OSTREL_DB_DEFAULT_PAGES));
    EXPECT_FALSE(messages.has("Wrong DB schema version"));
    ostrela_db_close_db();
    write_file(version, "1\n");
    ASSERT_EQ(0, reopen());
    EXPECT_EQ(0, find_vob(1));
}

} // namespace
