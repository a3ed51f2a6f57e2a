// The request scoreboard with requests of the test's own: eight concurrent
// askers of one piece of work share one run; and a table of sequences on one
// key (work of another id, the skip flag, a finished entry not yet released,
// a queued entry run by its joiner, cancellation, failure).

#include "lib/fetch/ostrelagent_scoreboard.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/thread_test_support.h"

namespace {

using Request = OstrelAgent_Scoreboard_Request;

// Work named by a key and an id (equivalent when both are equal). It counts
// its runs and the requests alive, may fail, and may block on a gate until
// the test opens it.
class Fake_Request final : public OstrelAgent_Scoreboard_Request {
public:
    static std::atomic<int> runs;
    static std::atomic<int> alive;

    Fake_Request(unsigned key, int id, bool fail = false, thread_test::Gate* gate = nullptr)
        : m_key(key), m_id(id), m_fail(fail), m_gate(gate) {
        ++alive;
    }
    ~Fake_Request() { --alive; }

    int execute(int& status, std::string& msg) override {
        ++runs;
        if (m_gate != nullptr) m_gate_opened = m_gate->wait();
        m_status = m_fail ? OstrelAgent_Status::GENERAL_FAILURE : 0;
        m_message = expected_message(m_id, m_fail);
        status = m_status;
        msg += m_message;
        return m_fail ? Request::FAILED : Request::DONE;
    }
    unsigned int hash() const override { return m_key; }
    int get_status() const override { return m_status; }
    std::string get_message() const override { return m_message; }
    bool equivalent(const OstrelAgent_Scoreboard_Request* other) const override {
        const auto* fake = static_cast<const Fake_Request*>(other);
        return fake->m_key == m_key && fake->m_id == m_id;
    }

    int id() const { return m_id; }
    bool gate_opened() const { return m_gate_opened; }

    static std::string expected_message(int id, bool fail) {
        return (fail ? "failed run of " : "ran ") + std::to_string(id) + "\n";
    }

private:
    unsigned m_key;
    int m_id;
    bool m_fail;
    thread_test::Gate* m_gate;
    bool m_gate_opened = true;
    int m_status = 0;
    std::string m_message;
};

std::atomic<int> Fake_Request::runs{0};
std::atomic<int> Fake_Request::alive{0};

using Board = OstrelAgent_Scoreboard<Fake_Request>;

constexpr unsigned kKey = 0x5eed;

class ScoreboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        Fake_Request::runs = 0;
        ASSERT_EQ(Fake_Request::alive, 0);
    }
    void TearDown() override {
        // Every entry released: its request is gone and nothing is registered.
        EXPECT_EQ(Fake_Request::alive, 0);
        for (int id = 0; id < 4; ++id) {
            EXPECT_EQ(Board::refcnt_for_test(Fake_Request(kKey, id)), 0u) << "id " << id;
        }
    }
};

TEST_F(ScoreboardTest, EightAskersShareOneRun) {
    constexpr int kAskers = 8;
    thread_test::Gate gate;
    struct Outcome {
        int result = -1;
        int status = -1;
        std::string msg;
        int req_id = -1;
    };
    std::vector<Outcome> outcomes(kAskers);
    std::vector<std::thread> askers;
    for (int i = 0; i < kAskers; ++i) {
        askers.emplace_back([&gate, &outcomes, i] {
            Board* entry = Board::create(new Fake_Request(kKey, 1, false, &gate), false);
            Outcome& out = outcomes[static_cast<size_t>(i)];
            out.result = entry->execute(out.status, out.msg);
            out.req_id = entry->get_req()->id();
            EXPECT_TRUE(entry->get_req()->gate_opened());
            entry->release();
        });
    }
    // The run blocks until every asker holds its entry: all eight meet on
    // the scoreboard whatever the order in which they arrive.
    const Fake_Request probe(kKey, 1);
    const bool all_met =
        thread_test::eventually([&probe] { return Board::refcnt_for_test(probe) == kAskers; });
    gate.open();
    for (std::thread& asker : askers) asker.join();
    ASSERT_TRUE(all_met);

    EXPECT_EQ(Fake_Request::runs, 1);
    for (const Outcome& out : outcomes) {
        EXPECT_EQ(out.result, Request::DONE);
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.msg, Fake_Request::expected_message(1, false));
        EXPECT_EQ(out.req_id, 1);
    }

    // The last release took the entry off the scoreboard: the same work
    // asked again runs again.
    EXPECT_EQ(Board::refcnt_for_test(probe), 0u);
    Board* again = Board::create(new Fake_Request(kKey, 1), false);
    int status = -1;
    std::string msg;
    EXPECT_EQ(again->execute(status, msg), Request::DONE);
    again->release();
    EXPECT_EQ(Fake_Request::runs, 2);
}

// One step on entry slot `slot` of a row.
struct Step {
    enum Op {
        CREATE,      // an entry for (kKey, id); `want` 1 when one is made, 0 for null
        CREATE_SKIP, // the same with the skip-if-duplicate flag
        EXECUTE,     // `want` is the result
        CANCEL,
        RELEASE,
        REFCNT,      // `want` is the registered refcnt of work `id`
    } op;
    int slot;
    int id;
    int want;
};

struct Row {
    const char* name;
    bool fail; // every request of the row fails
    std::vector<Step> steps;
    int runs;
};

const Row kRows[] = {
    {"same key, other work: both run",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE, 1, 2, 1}, {Step::REFCNT, 0, 1, 1},
      {Step::REFCNT, 0, 2, 1}, {Step::EXECUTE, 0, 1, Request::DONE},
      {Step::EXECUTE, 1, 2, Request::DONE}, {Step::RELEASE, 0, 1, 0}, {Step::RELEASE, 1, 2, 0}},
     2},
    {"skip flag: refused while equal work is registered, which stays",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE_SKIP, 1, 1, 0}, {Step::REFCNT, 0, 1, 1},
      {Step::CREATE_SKIP, 1, 2, 1}, {Step::CREATE, 2, 1, 1}, {Step::REFCNT, 0, 1, 2},
      {Step::EXECUTE, 0, 1, Request::DONE}, {Step::EXECUTE, 2, 1, Request::DONE},
      {Step::EXECUTE, 1, 2, Request::DONE}, {Step::RELEASE, 0, 1, 0}, {Step::RELEASE, 1, 2, 0},
      {Step::RELEASE, 2, 1, 0}},
     2},
    {"finished, not yet released: a joiner takes the result over",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::EXECUTE, 0, 1, Request::DONE}, {Step::CREATE, 1, 1, 1},
      {Step::EXECUTE, 1, 1, Request::DONE}, {Step::RELEASE, 0, 1, 0}, {Step::REFCNT, 0, 1, 1},
      {Step::CREATE, 2, 1, 1}, {Step::EXECUTE, 2, 1, Request::DONE}, {Step::RELEASE, 1, 1, 0},
      {Step::RELEASE, 2, 1, 0}},
     1},
    {"queued leader not started: its joiner runs it, the pool's run and cancel find it done",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE, 1, 1, 1}, {Step::EXECUTE, 1, 1, Request::DONE},
      {Step::RELEASE, 1, 1, 0}, {Step::CANCEL, 0, 1, 0}, {Step::EXECUTE, 0, 1, Request::DONE},
      {Step::RELEASE, 0, 1, 0}},
     1},
    {"cancelled before it ran: joiners get cancelled and the shutdown status",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE, 1, 1, 1}, {Step::CANCEL, 0, 1, 0},
      {Step::EXECUTE, 1, 1, Request::CANCELLED}, {Step::CREATE, 2, 1, 1},
      {Step::RELEASE, 0, 1, 0}, {Step::EXECUTE, 2, 1, Request::CANCELLED},
      {Step::RELEASE, 1, 1, 0}, {Step::RELEASE, 2, 1, 0}},
     0},
    {"a cancelled joiner leaves the work to run for others",
     false,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE, 1, 1, 1}, {Step::CANCEL, 1, 1, 0},
      {Step::RELEASE, 1, 1, 0}, {Step::REFCNT, 0, 1, 1}, {Step::EXECUTE, 0, 1, Request::DONE},
      {Step::RELEASE, 0, 1, 0}},
     1},
    {"failure: failed for the runner and every joiner",
     true,
     {{Step::CREATE, 0, 1, 1}, {Step::CREATE, 1, 1, 1}, {Step::EXECUTE, 0, 1, Request::FAILED},
      {Step::EXECUTE, 1, 1, Request::FAILED}, {Step::RELEASE, 0, 1, 0},
      {Step::RELEASE, 1, 1, 0}},
     1},
};

TEST_F(ScoreboardTest, Sequences) {
    const std::string shutting_down = OstrelAgent_Util::format(
        &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::SHUTTING_DOWN);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        Fake_Request::runs = 0;
        Board* slots[3] = {nullptr, nullptr, nullptr};
        for (size_t n = 0; n < row.steps.size(); ++n) {
            const Step& step = row.steps[n];
            SCOPED_TRACE("step " + std::to_string(n));
            Board*& entry = slots[step.slot];
            switch (step.op) {
            case Step::CREATE:
            case Step::CREATE_SKIP:
                entry = Board::create(new Fake_Request(kKey, step.id, row.fail),
                                      step.op == Step::CREATE_SKIP);
                EXPECT_EQ(entry != nullptr, step.want == 1);
                break;
            case Step::EXECUTE: {
                ASSERT_NE(entry, nullptr);
                int status = -1;
                std::string msg = "before:";
                // Run on another thread, so that a wait that never ends fails
                // the test instead of hanging it.
                int result = -1;
                thread_test::Background run([&] { result = entry->execute(status, msg); });
                ASSERT_TRUE(run.finished());
                EXPECT_EQ(result, step.want);
                if (step.want == Request::CANCELLED) {
                    EXPECT_EQ(status, OstrelAgent_Status::EXIT_REQUESTED);
                    EXPECT_EQ(msg, "before:" + shutting_down);
                } else {
                    EXPECT_EQ(status, row.fail ? OstrelAgent_Status::GENERAL_FAILURE : 0);
                    EXPECT_EQ(msg, "before:" + Fake_Request::expected_message(step.id, row.fail));
                    EXPECT_EQ(entry->get_req()->get_status(), status);
                }
                EXPECT_EQ(entry->get_req()->id(), step.id);
                break;
            }
            case Step::CANCEL:
                ASSERT_NE(entry, nullptr);
                entry->cancel();
                break;
            case Step::RELEASE:
                ASSERT_NE(entry, nullptr);
                entry->release();
                entry = nullptr;
                break;
            case Step::REFCNT:
                EXPECT_EQ(Board::refcnt_for_test(Fake_Request(kKey, step.id)),
                          static_cast<unsigned>(step.want));
                break;
            }
        }
        EXPECT_EQ(Fake_Request::runs, row.runs);
        for (Board* left : slots) EXPECT_EQ(left, nullptr) << "a row releases its entries";
        EXPECT_EQ(Fake_Request::alive, 0);
    }
}

// The two request types of a program never meet, even under one key.
class Other_Request final : public OstrelAgent_Scoreboard_Request {
public:
    int execute(int& status, std::string&) override {
        status = 0;
        ++runs;
        return Request::DONE;
    }
    unsigned int hash() const override { return kKey; }
    int get_status() const override { return 0; }
    std::string get_message() const override { return std::string(); }
    bool equivalent(const OstrelAgent_Scoreboard_Request*) const override { return true; }
    static int runs;
};
int Other_Request::runs = 0;

TEST_F(ScoreboardTest, EachRequestTypeHasItsOwnBoard) {
    Board* fake = Board::create(new Fake_Request(kKey, 1), false);
    auto* other = OstrelAgent_Scoreboard<Other_Request>::create(new Other_Request, true);
    ASSERT_NE(other, nullptr);
    int status = -1;
    std::string msg;
    EXPECT_EQ(other->execute(status, msg), Request::DONE);
    EXPECT_EQ(Other_Request::runs, 1);
    EXPECT_EQ(Fake_Request::runs, 0);
    other->release();
    fake->release();
}

} // namespace
