// The view database across daemons: what MkView makes, StartView opens
// again, also after a daemon was killed, and what was stored in between
// through the view database's own calls is still there.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "agent_fixture.h"
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

} // namespace
} // namespace e2e
