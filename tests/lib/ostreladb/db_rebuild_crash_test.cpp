// A rebuild at start killed at each of its steps, and at a sample of the
// engine's writes and synchronisations while it loads and checks the new
// database: the next start always ends with the database holding what it
// held before, and with no dump and no old database left behind.

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_populate.h"
#include "lib/ostreladb/ostrel_db_dump.h"
#include "runtime/kesto_crash_io.h"

namespace db_test {
namespace {

namespace fs = std::filesystem;
using kesto_test::CrashIo;

// The step the child ends at.
const char* crash_step = nullptr;

void end_at_step(const char* step) {
    if (crash_step != nullptr && std::strcmp(step, crash_step) == 0) _exit(CrashIo::kCrashExit);
}

class DbRebuildCrash : public NewDbTest {
protected:
    void SetUp() override {
        NewDbTest::SetUp();
        Populator().run(8);
        expected = Listing::of_current_db();
        ASSERT_EQ(0, ostrel_db_close());
        lib_test::write_file(OSTREL_DB_STATE_FILE, "m\n");
        pristine = home.path() + "/pristine";
        fs::copy(storage, pristine, fs::copy_options::recursive);
    }

    // The storage as the process that did not close it left it.
    void restore() {
        ASSERT_EQ(0, ::chdir(home.path().c_str()));
        fs::remove_all(storage);
        fs::copy(pristine, storage, fs::copy_options::recursive);
        ASSERT_EQ(0, ::chdir(storage.c_str()));
    }

    // Runs the start-up in a child; `prepare` arms the crash. The child's
    // wait status.
    template <typename Prepare>
    int start_in_child(Prepare prepare) {
        return kesto_test::run_in_child(
            [&] {
                prepare();
                int created = 0;
                return ostrel_db_init(&created);
            },
            60, home.path() + "/child.err");
    }

    // The next start: everything is there, and nothing is left behind but,
    // when the process ended between the letter that says the load is done
    // and their removal, dump files (which a later rebuild replaces).
    void expect_recovered(const std::string& what, bool dump_may_stay = false) {
        SCOPED_TRACE(what);
        int created = 0;
        ASSERT_EQ(0, ostrel_db_init(&created)) << messages.text();
        EXPECT_EQ(expected, Listing::of_current_db());
        if (!dump_may_stay) {
            EXPECT_FALSE(lib_test::exists(OSTREL_DB_DUMP_FILE));
        }
        for (const std::string& name : lib_test::list_dir("."))
            EXPECT_NE(0u, name.rfind("db.dumped", 0)) << name << " left behind";
        EXPECT_EQ(0, ostrel_db_close());
    }

    std::string expected;
    std::string pristine;
};

TEST_F(DbRebuildCrash, EveryStepOfARebuild) {
    for (const char* step : {"dump-written", "db-renamed", "loaded", "state-i", "dump-removed", "checked",
                             "kept-removed"}) {
        restore();
        int status = start_in_child([step] {
            crash_step = step;
            ostrela_db_set_step_hook(end_at_step);
        });
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == CrashIo::kCrashExit)
            << step << ": " << kesto_test::describe_status(status);
        expect_recovered(std::string("killed after ") + step, std::strcmp(step, "state-i") == 0);
    }
}

TEST_F(DbRebuildCrash, TheEnginesWritesWhileTheDumpIsLoadedAndChecked) {
    // How many writes, synchronisations and renames the rebuild makes.
    restore();
    const std::string count_file = home.path() + "/events";
    int status = start_in_child([&] {
        static CrashIo* io = new CrashIo(CrashIo::PROCESS);
        ostrela_db_set_step_hook([](const char* step) {
            if (std::strcmp(step, "kept-removed") == 0) {
                lib_test::write_file(std::string(std::getenv("HOME")) + "/events", std::to_string(io->event_count()));
            }
        });
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << kesto_test::describe_status(status);
    const int events = std::stoi(lib_test::read_file(count_file));
    ASSERT_GT(events, 20);
    constexpr int SAMPLES = 8;
    for (int i = 1; i <= SAMPLES; ++i) {
        int nth = events * i / (SAMPLES + 1);
        restore();
        status = start_in_child([nth] {
            static CrashIo* io = new CrashIo(CrashIo::PROCESS);
            io->crash_before(nth);
        });
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == CrashIo::kCrashExit)
            << "event " << nth << ": " << kesto_test::describe_status(status);
        expect_recovered("killed before write " + std::to_string(nth) + " of " + std::to_string(events));
    }
}

} // namespace
} // namespace db_test
