// The view database across daemons: what MkView makes, StartView opens
// again, also after a daemon was killed, and what was stored in between
// through the view database's own calls is still there. A database that a
// killed process left in the middle of a transaction, one marked for a
// rebuild, one whose rebuild was killed while it loaded, and one of another
// schema version: each is rebuilt at the next start and holds what it held.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "agent_fixture.h"
#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_populate.h"
#include "lib/ostreladb/db_server_dir.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_record.h"
#include "lib/ostreladb/ostrel_db_scope.h"
#include "lib/ostreladb/ostrel_db_session.h"

namespace e2e {
namespace {

// Opens the view database of `storage` in this process (its working
// directory meanwhile), runs `work` and closes it again.
template <typename Work>
void with_database(const std::string& storage, Work work) {
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(storage.c_str()));
    int created = -1;
    EXPECT_EQ(0, ostrel_db_init(&created));
    EXPECT_EQ(0, created) << "the database the daemon made";
    work();
    EXPECT_EQ(0, ostrel_db_close());
    ASSERT_EQ(0, chdir(cwd));
}

// The number of records of a type.
int count(int type) {
    int n = 0;
    ostrel_db_in_transaction(0, [&] {
        int st = dt_recfrst(type, &view_db_task, VDB);
        for (; st == S_OKAY; st = dt_recnext(&view_db_task, VDB)) ++n;
        return 0;
    });
    return n;
}

class E2eViewDb : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        // This process opens the databases the daemons made, too.
        setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
    }

    // A view made by MkView and ended, then filled with records of every
    // kind by this process; what it holds.
    std::string populated_view(const std::string& name, unsigned loaded = 0) {
        std::unique_ptr<Process> maker = serve_new_view(name);
        EXPECT_TRUE(maker->signal_child(SIGTERM));
        EXPECT_EQ(maker->wait_exit(), std::optional<int>(0));
        std::string listing;
        with_database(storage(name), [&] {
            db_test::Populator().run(loaded);
            listing = db_test::Listing::of_current_db();
        });
        return listing;
    }
    std::string listing_of(const std::string& name) {
        std::string listing;
        with_database(storage(name), [&] { listing = db_test::Listing::of_current_db(); });
        return listing;
    }
    std::string state_of(const std::string& name) { return read_file(storage(name) + "/ostrel_db.state"); }

    // Starts view `name` with StartView, waits until it serves, and ends it
    // with TERM or kills it and its watcher outright.
    void start_view_and(const std::string& name, bool kill) {
        std::unique_ptr<Process> agent = start_with_request(storage(name), startview_request());
        const std::optional<std::string> reply = agent->read_framed_reply();
        ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
        EXPECT_EQ(lib_test::read_reply(*reply).attrs["status-code"], "0") << *reply;
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(name)); }, kStartTimeout));
        if (kill) {
            ASSERT_TRUE(agent->signal_group(SIGKILL));
            EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
        } else {
            ASSERT_TRUE(agent->signal_child(SIGTERM));
            EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
        }
    }
};

TEST_F(E2eViewDb, StartViewOpensTheDatabaseMkViewMade) {
    {
        std::unique_ptr<Process> maker = serve_new_view("keep");
        ASSERT_TRUE(maker->signal_child(SIGTERM));
        ASSERT_EQ(maker->wait_exit(), std::optional<int>(0));
    }
    const std::string view = storage("keep");
    EXPECT_EQ("i\n", read_file(view + "/ostrel_db.state")) << "closed and synchronised";
    EXPECT_TRUE(file_exists(view + "/db/ostrel_db.dbd"));

    // A view-private file made while no daemon runs.
    qel_uuid_s vob_uuid{};
    vob_uuid.bytes[0] = 0x77;
    qel_oid_s dir_oid{}, file_oid{};
    dir_oid.bytes[0] = 1;
    file_oid.bytes[0] = 2;
    with_database(view, [&] {
        unsigned gn = 0;
        EXPECT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
        EXPECT_EQ(1u, gn) << "MkView's generation";
        EXPECT_EQ(0, ostrel_db_in_transaction(1, [&] {
            uint32_t vob = 0, dir = 0, file = 0, cookie = 0;
            qel_fstat_db_s fstat{};
            fstat.type = QEL_FTYPE_DIR;
            int st = ostrela_db_vob_create(&vob_uuid, ":", &vob);
            if (st == 0) st = ostrela_db_inode_create(vob, &dir_oid, &fstat, 2, &dir, nullptr);
            if (st == 0) st = ostrela_db_dir_create(dir);
            fstat.type = QEL_FTYPE_REG;
            if (st == 0) st = ostrela_db_inode_create(vob, &file_oid, &fstat, 0x13, &file, nullptr);
            if (st == 0) st = ostrela_db_link(dir, "kept.txt", file, 0, nullptr, nullptr, 0, nullptr, &cookie);
            return st;
        }));
    });

    // Started again, killed, started again.
    start_view_and("keep", true);
    EXPECT_EQ("m\n", read_file(view + "/ostrel_db.state")) << "never closed";
    start_view_and("keep", false);
    EXPECT_EQ("i\n", read_file(view + "/ostrel_db.state"));

    with_database(view, [&] {
        unsigned gn = 0;
        EXPECT_EQ(0, ostrel_db_get_vns_view_gn(&gn));
        EXPECT_EQ(1u, gn) << "the view record MkView made, not a new one";
        EXPECT_EQ(1, count(VNS_DB_VIEW));
        EXPECT_EQ(1, count(VNS_DB_LR_SCOPE)) << "one default scope";
        uint32_t vob = 0, dir = 0, object = 0, state = 0, file = 0;
        EXPECT_EQ(0, ostrel_db_in_transaction(0, [&] {
            int st = ostrela_db_vob_lookup(&vob_uuid, &vob);
            if (st == 0) st = ostrela_db_inode_lookup(vob, &dir_oid, &dir);
            if (st == 0) st = ostrela_db_inode_lookup(vob, &file_oid, &file);
            if (st == 0) st = ostrela_db_dir_entry_lookup(dir, "kept.txt", &object, &state);
            return st;
        }));
        EXPECT_NE(0u, file);
        EXPECT_EQ(file, object);
    });
}

TEST_F(E2eViewDb, ADatabaseMarkedForRebuildIsDumpedReloadedAndChecked) {
    const std::string before = populated_view("rebuild");
    write_file(storage("rebuild") + "/ostrel_db.state", "r\n");
    start_view_and("rebuild", false);
    const std::string log = log_text("rebuild");
    for (const char* step : {"Recovery needed for DB", "Dumping DB", "Loading DB", "Recovery succeeded for DB"})
        EXPECT_NE(std::string::npos, log.find(step)) << step << "\n" << log;
    EXPECT_EQ(before, listing_of("rebuild"));
    EXPECT_FALSE(file_exists(storage("rebuild") + "/ostrel_db.dump_file"));
    EXPECT_FALSE(file_exists(storage("rebuild") + "/db.dumped"));
}

// A process killed in the middle of a large write transaction: the next
// start holds what was committed and nothing of that transaction.
TEST_F(E2eViewDb, AProcessKilledInALargeTransactionLeavesOnlyWhatWasCommitted) {
    std::unique_ptr<Process> maker = serve_new_view("killed");
    ASSERT_TRUE(maker->signal_child(SIGTERM));
    ASSERT_EQ(maker->wait_exit(), std::optional<int>(0));
    const std::string view = storage("killed");
    const std::string expected_file = tree / "expected", half_file = tree / "half";
    pid_t child = fork();
    if (child == 0) {
        if (chdir(view.c_str()) != 0) _exit(1);
        int created = 0;
        if (ostrel_db_init(&created) != 0) _exit(1);
        db_test::Populator populator;
        populator.run();
        write_file(expected_file, db_test::Listing::of_current_db());
        if (ostrela_db_trans_start(1) != 0) _exit(1);
        for (unsigned i = 0;; ++i) {
            qel_fstat_db_s f{};
            f.type = QEL_FTYPE_REG;
            uint32_t dbid = 0;
            if (ostrela_db_inode_create(populator.vob_a, db_test::at(db_test::oid_of(0x500000 + i)), &f, 0x13, &dbid,
                                        nullptr) != 0)
                _exit(1);
            if (i == 5000) write_file(half_file, "");
            if (i > 5000) pause();
        }
    }
    ASSERT_GT(child, 0);
    bool half = wait_until([&] { return file_exists(half_file); }, kStartTimeout);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(half) << "the transaction never got half-way";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ("m\n", state_of("killed"));

    start_view_and("killed", false);
    EXPECT_NE(std::string::npos, log_text("killed").find("Recovery succeeded for DB")) << log_text("killed");
    EXPECT_EQ(read_file(expected_file), listing_of("killed"));
}

// A daemon killed while it loads a dump: the next daemon loads it again.
TEST_F(E2eViewDb, ARebuildKilledWhileItLoadsLoadsAgainAtTheNextStart) {
    const std::string before = populated_view("reload", 3000);
    write_file(storage("reload") + "/ostrel_db.state", "m\n");
    std::unique_ptr<Process> agent = start_with_request(storage("reload"), startview_request());
    ASSERT_TRUE(wait_until([&] { return log_text("reload").find("Loading DB") != std::string::npos; },
                           kStartTimeout));
    ASSERT_TRUE(agent->signal_group(SIGKILL));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(-SIGKILL));
    EXPECT_EQ("d\n", state_of("reload")) << "killed before the load was done";
    EXPECT_TRUE(file_exists(storage("reload") + "/ostrel_db.dump_file"));
    EXPECT_TRUE(file_exists(storage("reload") + "/db.dumped")) << "the old database is kept meanwhile";

    start_view_and("reload", false);
    EXPECT_EQ(before, listing_of("reload"));
    EXPECT_FALSE(file_exists(storage("reload") + "/db.dumped"));
}

TEST_F(E2eViewDb, AChangedSchemaVersionIsReformattedOnce) {
    const std::string before = populated_view("older");
    write_file(storage("older") + "/db/ostrel_db_schema_version", "2\n");
    // The dump program of version 2.
    db_test::ServerDir server(tree / "server", "1\n");
    server.older_dumper(2);
    extra_env["NORVANE_SERVER_DIR"] = server.path();
    start_view_and("older", false);
    start_view_and("older", false);
    EXPECT_EQ(1u, db_test::count_of(log_text("older"), "Reformatting view DB")) << log_text("older");
    EXPECT_EQ("1\n", read_file(storage("older") + "/db/ostrel_db_schema_version"));
    EXPECT_EQ(before, listing_of("older"));
}

} // namespace
} // namespace e2e
