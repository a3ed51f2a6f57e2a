// The database's life cycle on real engine files and the real dump program:
// a database left modified, dumped, or of another schema version is rebuilt
// at start and holds what it held; a dump program that fails or a load that
// fails loses nothing and the next start tries again; the check makes the
// database and the container pool agree; the scrubber removes stranded
// containers in batches.

#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>

#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_populate.h"
#include "lib/ostreladb/db_server_dir.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "platform/rt/rt_manual_clock.h"

namespace db_test {
namespace {

class DbRebuild : public NewDbTest {
protected:
    // The populated database, closed and left as a process that ended
    // without closing it leaves it.
    std::string populate_and_leave_modified() {
        Populator().run();
        std::string before = Listing::of_current_db();
        EXPECT_EQ(0, ostrel_db_close());
        lib_test::write_file(OSTREL_DB_STATE_FILE, "m\n");
        messages.clear();
        return before;
    }
};

TEST_F(DbRebuild, AModifiedDatabaseIsRebuiltAtStartAndHoldsWhatItHeld) {
    const std::string before = populate_and_leave_modified();
    ASSERT_EQ(0, reopen()) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
    const std::string text = messages.text();
    EXPECT_TRUE(messages.has("Recovery needed for DB " + storage + ", auto recovery in progress\n")) << text;
    EXPECT_TRUE(messages.has("Recovery succeeded for DB " + storage + "\n")) << text;
    EXPECT_TRUE(messages.has("Db initialized\n")) << text;
    EXPECT_FALSE(lib_test::exists(OSTREL_DB_DUMP_FILE));
    EXPECT_TRUE(kept_dbs().empty());
}

// A dump that cannot be loaded keeps the letter, the dump and the old
// database; every start tries again, and once the dump loads the old
// database goes.
TEST_F(DbRebuild, ADumpedDatabaseIsLoadedAtEveryStartUntilTheLoadSucceeds) {
    Populator().run();
    const std::string before = Listing::of_current_db();
    ASSERT_EQ(QEL_ST_NOTHING_TO_DO, ostrel_db_dump(nullptr, 0)) << "of the current schema version";
    ASSERT_EQ(0, ostrel_db_dump(nullptr, 1)) << messages.text();
    EXPECT_TRUE(messages.has("Dump succeeded for DB " + storage + ", DB renamed to db.dumped\n")) << messages.text();
    EXPECT_EQ("d\n", state_file());
    EXPECT_EQ(QEL_ST_NEEDS_REFORMAT, read_tx([] { return 0; })) << "dumped and closed";
    EXPECT_EQ(QEL_ST_EXISTS, ostrel_db_dump(nullptr, 1));
    EXPECT_EQ(std::vector<std::string>{"db.dumped"}, kept_dbs());

    const std::string dump = lib_test::read_file(OSTREL_DB_DUMP_FILE);
    const std::string cut = dump.substr(0, dump.size() / 2);
    lib_test::write_file(OSTREL_DB_DUMP_FILE, cut);
    for (int start = 0; start < 2; ++start) {
        messages.clear();
        EXPECT_EQ(0, reopen()) << "the agent runs on";
        EXPECT_TRUE(messages.has("Recovery failed for DB " + storage + "\n")) << messages.text();
        EXPECT_EQ("d\n", state_file());
        EXPECT_EQ(cut, lib_test::read_file(OSTREL_DB_DUMP_FILE));
        EXPECT_EQ(std::vector<std::string>{"db.dumped"}, kept_dbs());
        EXPECT_EQ(QEL_ST_NEEDS_REFORMAT, read_tx([] { return 0; }));
    }
    lib_test::write_file(OSTREL_DB_DUMP_FILE, dump);
    messages.clear();
    ASSERT_EQ(0, reopen()) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
    EXPECT_TRUE(kept_dbs().empty());
    EXPECT_FALSE(lib_test::exists(OSTREL_DB_DUMP_FILE));
}

TEST_F(DbRebuild, ADumpProgramThatFailsLeavesTheDatabaseAsItWas) {
    Populator().run();
    const std::string before = Listing::of_current_db();
    ServerDir server(home.path() + "/server", "1\n");
    setenv("NORVANE_SERVER_DIR", server.path().c_str(), 1);
    const struct {
        const char* what;
        const char* script;  // null: there is no dump program
        int status;
        const char* message;
    } rows[] = {
        {"none installed", nullptr, QEL_ST_NO_MEMORY, "ostrel_dumper_1"},
        {"exits with 3", "exit 3", QEL_ST_INTERNAL, "ostrel_dumper_1 exited with status 3\n"},
        {"killed half-way", "echo 'Ver 1 0 1' > ostrel_db.dump_file.tmp; kill -9 $$", QEL_ST_INTERNAL,
         "exited with status 137"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.script != nullptr) server.dumper("ostrel_dumper_1", row.script);
        messages.clear();
        EXPECT_EQ(row.status, ostrel_db_recover_db(1));
        EXPECT_TRUE(messages.has(row.message)) << messages.text();
        EXPECT_EQ(before, Listing::of_current_db()) << "still open and whole";
        EXPECT_TRUE(kept_dbs().empty());
        EXPECT_FALSE(lib_test::exists(OSTREL_DB_DUMP_FILE));
        EXPECT_NE("d\n", state_file());
    }
    // At start: the recovery fails, the database stays closed and the agent
    // runs on; the next start with a dump program that works rebuilds it.
    ASSERT_EQ(0, ostrel_db_close());
    lib_test::write_file(OSTREL_DB_STATE_FILE, "m\n");
    messages.clear();
    EXPECT_EQ(0, reopen());
    EXPECT_TRUE(messages.has("Recovery failed for DB " + storage + "\n")) << messages.text();
    EXPECT_EQ("r\n", state_file());
    server.dumper("ostrel_dumper_1", "exec " + ServerDir::real_dumper() + " \"$1\"");
    ASSERT_EQ(0, reopen()) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
}

TEST_F(DbRebuild, ADatabaseOfAnotherSchemaVersionIsReformattedOnce) {
    const std::string before = populate_and_leave_modified();
    ASSERT_EQ(0, reopen());
    ASSERT_EQ(0, ostrel_db_close());
    // The database of version 2 is dumped by version 2's dump program.
    lib_test::write_file("db/ostrel_db_schema_version", "2\n");
    ServerDir server(home.path() + "/server", "1\n");
    server.older_dumper(2);
    setenv("NORVANE_SERVER_DIR", server.path().c_str(), 1);
    messages.clear();
    ASSERT_EQ(0, reopen()) << messages.text();
    EXPECT_EQ(before, Listing::of_current_db());
    EXPECT_EQ(1u, count_of(messages.text(), "Reformatting view DB " + storage + " to current version\n"))
        << messages.text();
    EXPECT_TRUE(messages.has("Wrong DB schema version 2, should be 1\n"));
    EXPECT_EQ("1\n", lib_test::read_file("db/ostrel_db_schema_version"));
    EXPECT_TRUE(kept_dbs().empty());

    // An installed schema of another version: the rebuilt database is of
    // that version too, and it is not rebuilt once more.
    ASSERT_EQ(0, ostrel_db_close());
    lib_test::write_file("db/ostrel_db_schema_version", "2\n");
    ServerDir other(home.path() + "/server2", "2\n");
    other.older_dumper(2);
    setenv("NORVANE_SERVER_DIR", other.path().c_str(), 1);
    messages.clear();
    int created = 0;
    EXPECT_EQ(QEL_ST_NEEDS_REFORMAT, ostrel_db_init(&created));
    EXPECT_EQ(1u, count_of(messages.text(), "Reformatting view DB")) << messages.text();
    EXPECT_TRUE(messages.has("Reformat failed for view DB " + storage + "\n"));
    EXPECT_EQ("d\n", state_file());
    EXPECT_TRUE(lib_test::exists(OSTREL_DB_DUMP_FILE)) << "the dump stays for a later load";
    EXPECT_EQ(std::vector<std::string>{"db.dumped"}, kept_dbs());
}

// ---- the check ----------------------------------------------------------------------

class DbCheck : public NewDbTest {
protected:
    void SetUp() override {
        NewDbTest::SetUp();
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(1)), "h:/v", &vob); }));
        root = make_inode(vob, oid_of(1), QEL_FTYPE_DIR, 2);
    }
    // A view-private file named `name` in the root, its inode's text
    // `container`; the container is made when `content` is given.
    uint32_t file(unsigned n, const std::string& name, const std::string& container, const char* content) {
        uint32_t dbid = make_inode(vob, oid_of(n), QEL_FTYPE_REG, 0x13);
        EXPECT_EQ(0, write_tx([&] { return ostrela_db_inode_write_text(dbid, container.c_str()); }));
        if (content != nullptr) lib_test::write_file(std::string(OSTREL_STORAGE_POOL) + "/" + container, content);
        EXPECT_EQ(0, link_name(root, name, dbid));
        return dbid;
    }
    int named(const std::string& name, uint32_t* object = nullptr) {
        uint32_t found = 0, state = 0;
        int st = read_tx([&] { return ostrela_db_dir_entry_lookup(root, name.c_str(), &found, &state); });
        if (object != nullptr) *object = found;
        return st;
    }
    qel_fstat_db_s status_of(uint32_t dbid) {
        qel_fstat_db_s f{};
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_read(dbid, nullptr, nullptr, &f, nullptr, nullptr); }));
        return f;
    }

    uint32_t vob = 0, root = 0;
};

TEST_F(DbCheck, TheDatabaseAndTheContainerPoolAreMadeToAgree) {
    file(10, "kept.txt", "00001/kept", "k");
    file(11, "lost.txt", "00001/lost", nullptr);
    file(12, "outside.txt", "../outside", nullptr);
    lib_test::write_file(home.path() + "/outside", "not the view's");
    uint32_t one = file(13, "one", "00002/shared", "s");
    uint32_t two = file(14, "two", "00003/x", nullptr);
    ASSERT_EQ(0, write_tx([&] { return ostrela_db_inode_write_text(two, "00002/shared"); }));
    // Files no inode names, two of one leaf name.
    lib_test::write_file(".s/00005/orphan", "o1");
    lib_test::write_file(".s/00006/orphan", "o2");
    // Names: a white-out that is neither kept nor detached, and one kept.
    ASSERT_EQ(0, link_name(root, "dangling", 0, 0));
    ASSERT_EQ(0, link_name(root, "whited", 0, DIR_ENT_STATE_KEEP));
    // Inodes no name holds: a file, a link, a view-private directory, an
    // empty cover directory.
    uint32_t loose = make_inode(vob, oid_of(20), QEL_FTYPE_REG, 0x13);
    uint32_t link = make_inode(vob, oid_of(21), QEL_FTYPE_LNK, 0x13);
    uint32_t dir = make_inode(vob, oid_of(22), QEL_FTYPE_DIR, 0x13);
    uint32_t cover = make_inode(vob, oid_of(23), QEL_FTYPE_DIR, 2);
    const uint64_t root_size = status_of(root).size;

    messages.clear();
    ASSERT_EQ(0, fsck_db()) << messages.text();
    const std::string text = messages.text();
    uint32_t object = 0;
    EXPECT_EQ(0, named("kept.txt", &object));
    EXPECT_NE(0u, object);
    EXPECT_TRUE(messages.has("Missing cltxt '00001/lost' for " + db_test::text(oid_of(11)))) << text;
    EXPECT_TRUE(messages.has("Inode " + db_test::text(oid_of(11)) + " removed")) << text;
    EXPECT_TRUE(messages.has("Missing cltxt '../outside' for " + db_test::text(oid_of(12)))) << text;
    EXPECT_EQ("not the view's", lib_test::read_file(home.path() + "/outside")) << "never followed out of the pool";
    for (const char* gone : {"lost.txt", "dangling"}) EXPECT_EQ(QEL_ST_NOT_FOUND, named(gone)) << gone;
    // Its inode waits stranded: a name outside the pool is never removed.
    uint32_t outside = 0, outside_vob = 1;
    EXPECT_EQ(0, named("outside.txt", &outside));
    EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_read(outside, nullptr, nullptr, nullptr, nullptr, &outside_vob); }));
    EXPECT_EQ(0u, outside_vob);
    EXPECT_EQ(0, named("whited"));
    EXPECT_TRUE(messages.has("CLTXT 00002/shared used in multiple inodes")) << text;
    EXPECT_EQ(0, named("one"));
    EXPECT_EQ(0, named("two"));
    (void)one;
    // The second one found goes under a new name.
    std::set<std::string> contents, names;
    for (const std::string& name : lib_test::list_dir(".s/lost+found")) {
        names.insert(name.size() == QEL_UUID_STR_SIZE - 1 ? "uuid" : name);
        contents.insert(lib_test::read_file(".s/lost+found/" + name));
    }
    EXPECT_EQ((std::set<std::string>{"orphan", "uuid"}), names);
    EXPECT_EQ((std::set<std::string>{"o1", "o2"}), contents);
    EXPECT_FALSE(lib_test::exists(".s/00005/orphan"));
    EXPECT_FALSE(lib_test::exists(".s/00006/orphan"));
    EXPECT_TRUE(messages.has(".s/00005/orphan moved to .s/lost+found/")) << text;
    for (uint32_t inode : {loose, link, dir, cover})
        EXPECT_EQ(QEL_ST_STALE, read_tx([&] { return ostrela_db_inode_read(inode, nullptr, nullptr, nullptr, nullptr, nullptr); }));
    // Two names went from the root: each took its length and 43 bytes.
    EXPECT_EQ(root_size - (8 + 43) - (8 + 43), status_of(root).size);
    EXPECT_EQ(QEL_ST_NO_ENTRY, [] {
        char out[1024];
        return move_to_lost_and_found(".s/00001/none", sizeof out, out);
    }());
}

// ---- the scrubber ---------------------------------------------------------------------

class DbScrubber : public ViewDbTest {
protected:
    // `n` stranded inodes whose containers are gone, given up at `deadline`.
    void strand(unsigned from, unsigned n, const std::string& text, long deadline) {
        uint32_t vob = 0;
        ASSERT_EQ(0, write_tx([&] {
            int st = ostrela_db_vob_lookup(at(uuid_of(1)), &vob);
            if (st == QEL_ST_NOT_FOUND) st = ostrela_db_vob_create(at(uuid_of(1)), "h:/v", &vob);
            struct timeval when = {deadline, 0};
            for (unsigned i = from; st == 0 && i < from + n; ++i) {
                qel_fstat_db_s f{};
                f.type = QEL_FTYPE_REG;
                uint32_t dbid = 0;
                st = ostrela_db_inode_create(vob, at(oid_of(i)), &f, 0x13, &dbid, nullptr);
                if (st == 0) st = ostrela_db_inode_write_text(dbid, text.c_str());
                if (st == 0) st = ostrela_db_mark_inode_stranded(dbid, &when);
            }
            return st;
        }));
    }
    int stranded() {
        int count = 0;
        uint32_t dbids[3000];
        EXPECT_EQ(0, read_tx([&] { return ostrela_db_inode_inventory(0, &QEL_OID_NULL, dbids, 3000, &count, 1); }));
        return count;
    }
    static void minute(rt::ManualTimers& timers) { timers.advance(std::chrono::seconds(60)); }
};

TEST_F(DbScrubber, StrandedContainersGoAThousandAtATimeUntilAScanFromTheStartFindsNone) {
    rt::ManualTimers timers;
    open_new();
    struct timeval now;
    gettimeofday(&now, nullptr);
    strand(1, 2500, "00001/gone", now.tv_sec + 86400);
    ASSERT_EQ(2500, stranded());
    for (int left : {1500, 500, 0}) {
        minute(timers);
        EXPECT_EQ(left, stranded());
    }
    // The last scan began part-way: one more from the start finds none and
    // does not come back.
    minute(timers);
    minute(timers);
    EXPECT_EQ(0u, timers.pending()) << "neither the scrubber nor the idle timer is due";
}

TEST_F(DbScrubber, AContainerThatCannotGoIsGivenUpAtItsDeadline) {
    rt::ManualTimers timers;
    open_new();
    struct timeval now;
    gettimeofday(&now, nullptr);
    // A name outside the pool can never be removed.
    strand(1, 1, "../elsewhere", now.tv_sec + 86400);
    strand(2, 1, "../elsewhere", now.tv_sec - 1);
    messages.clear();
    minute(timers);
    EXPECT_EQ(1, stranded()) << "the one past its deadline went";
    EXPECT_TRUE(messages.has("../elsewhere")) << messages.text();
    minute(timers);
    EXPECT_EQ(1, stranded()) << "the other waits, and is looked at again";
    EXPECT_NE(0u, timers.pending());
}

} // namespace
} // namespace db_test
