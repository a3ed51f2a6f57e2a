// Commits of the view database force nothing to disk. A process killed at
// any point of its transactions loses none that was committed; a machine
// that loses power (every write not yet forced to disk dropped) loses at
// most what was committed after the last purify, and the next start, which
// finds the letter 'm', rebuilds the database: it then holds what it held
// at a commit, never a damaged database.
//
// Each case runs transactions in a child process on a copy of a populated
// storage, ends it at a chosen point (CrashIo) and starts up again in the
// test process.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lib/ostreladb/db_content.h"
#include "lib/ostreladb/db_populate.h"
#include "runtime/kesto_crash_io.h"

namespace db_test {
namespace {

namespace fs = std::filesystem;
using kesto_test::CrashIo;

// Transactions a child may run: one view-private file made in a directory
// each.
constexpr unsigned TRANSACTIONS = 2;

class DbCrash : public NewDbTest {
protected:
    void SetUp() override {
        NewDbTest::SetUp();
        Populator().run();
        ASSERT_EQ(0, write_tx([&] { return ostrela_db_vob_create(at(uuid_of(0xC0)), "host-c:/vobs/c", &vob_dbid); }));
        // A covering directory, which a rebuild's check keeps while it
        // names something.
        dir = make_inode(vob_dbid, oid_of(0xC000), QEL_FTYPE_DIR, 2);
        ASSERT_EQ(0, write_tx([&] { return make_file(0); }));
        ASSERT_EQ(0, ostrel_db_close());
        ASSERT_EQ("i\n", state_file());
        pristine = home.path() + "/pristine";
        fs::copy(storage, pristine, fs::copy_options::recursive);
        progress = home.path() + "/progress";
        // What the database holds after each number of transactions, as it
        // is and as a rebuild gives it (which counts links and sizes anew).
        for (unsigned done = 0; done <= TRANSACTIONS; ++done) {
            restore();
            ASSERT_EQ(0, reopen());
            for (unsigned k = 1; k <= done; ++k) ASSERT_EQ(0, write_tx([&] { return make_file(k); }));
            as_is.push_back(Listing::of_current_db());
            ASSERT_EQ(0, ostrel_db_close());
            lib_test::write_file(OSTREL_DB_STATE_FILE, "m\n");
            ASSERT_EQ(0, reopen());
            rebuilt.push_back(Listing::of_current_db());
            ASSERT_EQ(0, ostrel_db_close());
        }
        for (unsigned k = 1; k <= TRANSACTIONS; ++k) ASSERT_NE(rebuilt[k - 1], rebuilt[k]);
    }

    // A view-private file, number `k`, named in the directory: an inode and
    // a name, in the transaction open.
    int make_file(unsigned k) {
        qel_fstat_db_s f{};
        f.type = QEL_FTYPE_REG;
        f.mode = 0644;
        f.nlink = 1;
        f.usid = f.gsid = CREDUTL_SID_DONTCARE;
        f.atime = f.mtime = f.ctime = {1700000000u + k, 0};
        uint32_t dbid = 0, cookie = 0;
        int st = ostrela_db_inode_create(vob_dbid, at(oid_of(0xC100 + k)), &f, 0x13, &dbid, nullptr);
        const std::string name = "file" + std::to_string(k);
        if (st == 0) st = ostrela_db_link(dir, name.c_str(), dbid, DIR_ENT_STATE_VIEW, nullptr, nullptr, 1, nullptr, &cookie);
        return st;
    }

    // The storage as it was before any child ran.
    void restore() {
        ASSERT_EQ(0, ::chdir(home.path().c_str()));
        fs::remove_all(storage);
        fs::copy(pristine, storage, fs::copy_options::recursive);
        ASSERT_EQ(0, ::chdir(storage.c_str()));
        ::unlink(progress.c_str());
    }

    // Commits transaction `k` in the child and records that it did.
    bool commit(unsigned k) {
        if (write_tx([&] { return make_file(k); }) != 0) return false;
        const std::string count = std::to_string(k);
        int fd = ::open(progress.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        bool ok = fd >= 0 && ::write(fd, count.data(), count.size()) == static_cast<ssize_t>(count.size());
        if (fd >= 0) ::close(fd);
        return ok;
    }

    // Transactions the child saw committed.
    unsigned committed() const {
        const std::string text = lib_test::read_file(progress);
        return text.empty() ? 0u : static_cast<unsigned>(std::stoul(text));
    }

    // Restores the storage and runs `script` in a child that has opened the
    // database and installed an I/O table of `mode`, which `arm` may set to
    // crash; the child closes the database after the script. Whether the
    // child crashed (or ended well: false).
    bool crashed_child(CrashIo::Mode mode, const std::function<void(CrashIo&)>& arm,
                       const std::function<bool(CrashIo&)>& script, const std::string& what) {
        restore();
        const int status = kesto_test::run_in_child(
            [&] {
                int created = 0;
                if (ostrel_db_init(&created) != 0) return 3;
                static CrashIo* io = nullptr;
                io = new CrashIo(mode);
                arm(*io);
                if (!script(*io)) return 4;
                return ostrel_db_close() == 0 ? 0 : 5;
            },
            60, home.path() + "/child.err");
        const bool crashed = WIFEXITED(status) && WEXITSTATUS(status) == CrashIo::kCrashExit;
        EXPECT_TRUE(crashed || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << what << ": " << kesto_test::describe_status(status) << "\n"
            << lib_test::read_file(home.path() + "/child.err");
        return crashed;
    }

    // How many events `script` makes in a child, after it opened the
    // database.
    int events_of(const std::function<bool(CrashIo&)>& script) {
        const std::string count = progress + ".events";
        const bool crashed = crashed_child(
            CrashIo::LOSE_ALL, [](CrashIo&) {},
            [&](CrashIo& io) {
                if (!script(io)) return false;
                lib_test::write_file(count, std::to_string(io.event_count()));
                return true;
            },
            "counting the events");
        EXPECT_FALSE(crashed);
        return std::stoi(lib_test::read_file(count));
    }

    // Commits the transactions in a child.
    bool transactions(CrashIo&) {
        for (unsigned k = 1; k <= TRANSACTIONS; ++k)
            if (!commit(k)) return false;
        return true;
    }

    // The next start opens the database, rebuilt when the letter 'm' says
    // so, and finds it holding what one of the numbers of transactions in
    // `allowed` left. Which one (-1: none).
    int start_and_match(const std::string& what, const std::vector<unsigned>& allowed) {
        SCOPED_TRACE(what);
        messages.clear();
        const bool rebuild = state_file() != "i\n";
        int created = 0;
        EXPECT_EQ(0, ostrel_db_init(&created)) << messages.text();
        EXPECT_TRUE(ostrela_db_is_open()) << messages.text();
        EXPECT_EQ(rebuild, messages.has("Recovery succeeded for DB")) << messages.text();
        const std::string found = Listing::of_current_db();
        int match = -1;
        for (unsigned k : allowed)
            if (found == (rebuild ? rebuilt : as_is)[k]) match = static_cast<int>(k);
        EXPECT_NE(-1, match) << "with " << committed() << " committed the database holds:\n" << found;
        EXPECT_TRUE(kept_dbs().empty());
        EXPECT_EQ(0, ostrel_db_close());
        return match;
    }

    uint32_t vob_dbid = 0, dir = 0;
    std::string pristine, progress;
    // What the database holds after 0 .. TRANSACTIONS transactions.
    std::vector<std::string> as_is, rebuilt;
};

// The events of the transactions, one by one: a kill before each, and a
// power failure (every unforced write lost) before every third (they all
// end alike); then a run that ends well.
TEST_F(DbCrash, AKillLosesNoCommittedTransactionAPowerFailureWhatFollowedThePurify) {
    auto script = [this](CrashIo& io) { return transactions(io); };
    const int events = events_of(script);
    EXPECT_GT(events, 5 * static_cast<int>(TRANSACTIONS)) << "a few events a transaction";
    for (CrashIo::Mode mode : {CrashIo::PROCESS, CrashIo::LOSE_ALL}) {
        const std::string kind = mode == CrashIo::PROCESS ? "a kill" : "a power failure";
        for (int nth = 1; nth <= events; nth += mode == CrashIo::PROCESS ? 1 : 3) {
            const std::string what = kind + " before event " + std::to_string(nth);
            ASSERT_TRUE(crashed_child(mode, [nth](CrashIo& io) { io.crash_before(nth); }, script, what));
            const unsigned done = committed();
            if (mode == CrashIo::LOSE_ALL) {
                // Nothing was forced since the last purify.
                start_and_match(what, {0});
            } else if (done < TRANSACTIONS) {
                // The one under way is kept whole or lost whole.
                start_and_match(what, {done, done + 1});
            } else {
                start_and_match(what, {done});
            }
        }
    }
    ASSERT_FALSE(crashed_child(CrashIo::PROCESS, [](CrashIo&) {}, script, "no crash"));
    EXPECT_EQ("i\n", state_file()) << "closing purifies";
    EXPECT_EQ(static_cast<int>(TRANSACTIONS), start_and_match("the run that ended well", {TRANSACTIONS}));
}

// Power failures at points between the calls: what the purify forced
// stays, what followed it goes.
TEST_F(DbCrash, APowerFailureKeepsWhatThePurifyForced) {
    const struct {
        const char* what;
        unsigned before, after;  // transactions before and after a purify (none: 0, 0)
        bool purify;
        unsigned kept;
    } rows[] = {
        {"with nothing written", 0, 0, false, 0},
        {"after one commit", 1, 0, false, 0},
        {"after two commits", 2, 0, false, 0},
        {"after one commit and a purify", 1, 0, true, 1},
        {"after a purify and one more commit", 1, 1, true, 1},
        {"after two commits and a purify", 2, 0, true, 2},
    };
    for (const auto& row : rows) {
        const bool crashed = crashed_child(
            CrashIo::LOSE_ALL, [](CrashIo&) {},
            [&](CrashIo& io) {
                unsigned k = 0;
                while (k < row.before)
                    if (!commit(++k)) return false;
                if (row.purify && ostrela_db_state_purify() != 0) return false;
                while (k < row.before + row.after)
                    if (!commit(++k)) return false;
                io.crash_now();
            },
            row.what);
        ASSERT_TRUE(crashed) << row.what;
        start_and_match(std::string("a power failure ") + row.what, {row.kept});
    }
}

// A power failure while the purify forces the files one after the other
// leaves some forced and others not, a database no commit ever left: the
// letter is still 'm', and the rebuild leaves out what cannot be read whole
// (a name whose inode is not there), so the database opens as it was
// before the purify's commits or as it was at its end, never torn.
TEST_F(DbCrash, APowerFailureDuringThePurify) {
    auto script = [this](CrashIo& io) { return transactions(io) && ostrela_db_state_purify() == 0; };
    const int before = events_of([this](CrashIo& io) { return transactions(io); });
    const int events = events_of(script);
    EXPECT_GT(events - before, 10) << "every file forced";
    for (int nth = before + 1; nth <= events; ++nth) {
        const std::string what = "a power failure before event " + std::to_string(nth) + " of the purify";
        ASSERT_TRUE(crashed_child(CrashIo::LOSE_ALL, [nth](CrashIo& io) { io.crash_before(nth); }, script, what));
        start_and_match(what, {0, TRANSACTIONS});
    }
}

}  // namespace
}  // namespace db_test
