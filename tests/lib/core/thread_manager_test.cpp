// The request thread manager on managers of the tests' own (the process's
// singleton is exercised in thread_manager_instance_test.cpp): the class rule
// of the pool, foreground first, promotion, cancellation and draining,
// shutdown with queued requests and threads waiting for input, the cleanup
// of finished threads, failures while starting, and requests that throw.

#include "lib/core/ostrelagent_thread_manager_unix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_request_thread.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/thread_test_support.h"

namespace {

using thread_test::Background;
using thread_test::eventually;
using thread_test::Gate;
using thread_test::kTimeout;
using Manager = OstrelAgent_Thread_Manager_Base;

const int FG = OstrelAgent_Request::FOREGROUND;
const int BG = 0;

// What the requests and threads of one test did, in order, with the most
// foreground and low-priority requests that ever ran at once.
class Journal {
public:
    void started(const std::string& name, bool foreground) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("start " + name);
        int& running = foreground ? m_fg_running : m_bg_running;
        int& most = foreground ? m_max_fg : m_max_bg;
        most = std::max(most, ++running);
        m_cond.notify_all();
    }
    void finished(const std::string& name, bool foreground) {
        std::lock_guard<std::mutex> lock(m_mutex);
        --(foreground ? m_fg_running : m_bg_running);
        add("end " + name);
    }
    void record(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        add(event);
    }

    bool has(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return has_locked(event);
    }
    // Events that begin with `prefix`.
    int count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return count_locked(prefix);
    }
    bool wait_for(const std::string& event) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kTimeout, [&] { return has_locked(event); });
    }
    bool wait_for_count(const std::string& prefix, int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kTimeout, [&] { return count_locked(prefix) >= n; });
    }
    // Position of `event`, -1 when absent.
    int index(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_events.begin(), m_events.end(), event);
        return it == m_events.end() ? -1 : static_cast<int>(it - m_events.begin());
    }
    int max_fg() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_max_fg;
    }
    int max_bg() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_max_bg;
    }

private:
    void add(const std::string& event) {
        m_events.push_back(event);
        m_cond.notify_all();
    }
    bool has_locked(const std::string& event) const {
        return std::find(m_events.begin(), m_events.end(), event) != m_events.end();
    }
    int count_locked(const std::string& prefix) const {
        return static_cast<int>(std::count_if(m_events.begin(), m_events.end(), [&](const std::string& e) {
            return e.compare(0, prefix.size(), prefix) == 0;
        }));
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::string> m_events;
    int m_fg_running = 0;
    int m_bg_running = 0;
    int m_max_fg = 0;
    int m_max_bg = 0;
};

enum class Act { Return, ThrowStd, ThrowOther, AskShutdown };

// A request that records what happens to it; it may hold on a gate while it
// runs, throw, or ask for shutdown. Requests with the same non-empty key are
// equivalent.
class Probe : public OstrelAgent_Request {
public:
    Probe(Journal& journal, std::string name, int priority, Gate* gate = nullptr,
          Act act = Act::Return, std::string key = "")
        : OstrelAgent_Request(priority), m_journal(journal), m_name(std::move(name)), m_gate(gate),
          m_act(act), m_key(std::move(key)) {}
    ~Probe() override { m_journal.record("destroy " + m_name); }

    int handle_request() override {
        m_journal.started(m_name, is_foreground());
        int status = 0;
        if (m_gate != nullptr && !m_gate->wait()) status = -1;
        m_journal.finished(m_name, is_foreground());
        switch (m_act) {
        case Act::ThrowStd:
            throw std::runtime_error("probe failed");
        case Act::ThrowOther:
            throw 42;
        case Act::AskShutdown:
            return OstrelAgent_Status::SHUTDOWN_IN_PROGRESS;
        case Act::Return:
            break;
        }
        return status;
    }
    int cancel_request() override {
        m_journal.record("cancel " + m_name);
        if (m_throw_on_cancel) throw std::runtime_error("cancel failed");
        return 0;
    }
    bool is_equivalent(const OstrelAgent_Request* other) const override {
        const Probe* probe = dynamic_cast<const Probe*>(other);
        return probe != nullptr && !m_key.empty() && probe->m_key == m_key;
    }
    const char* toString() override { return m_name.c_str(); }

    Probe* throwing_on_cancel() {
        m_throw_on_cancel = true;
        return this;
    }

private:
    Journal& m_journal;
    std::string m_name;
    Gate* m_gate;
    Act m_act;
    std::string m_key;
    bool m_throw_on_cancel = false;
};

// A one-off thread: waits for input on a descriptor, or holds on a gate, or
// throws; records its result and its deletion.
class Op : public OstrelAgent_Request_Thread {
public:
    Op(Journal& journal, std::string name, std::function<int()> work)
        : m_journal(journal), m_name(std::move(name)), m_work(std::move(work)) {}
    ~Op() override { m_journal.record("delete " + m_name); }
    int execute() override {
        m_journal.record("run " + m_name);
        int status = m_work();
        m_journal.record(m_name + " -> " + std::to_string(status));
        return status;
    }

private:
    Journal& m_journal;
    std::string m_name;
    std::function<int()> m_work;
};

// A manager with a pool size of the test's choosing; the pool thread object
// number `null_pool_thread_at` (0-based) cannot be made.
class TestManager : public OstrelAgent_Thread_Manager_Unix {
public:
    explicit TestManager(std::string pool_size, int null_pool_thread_at = -1)
        : m_pool_size(std::move(pool_size)), m_null_at(null_pool_thread_at) {}

protected:
    std::string pool_size_setting() const override { return m_pool_size; }
    OstrelAgent_NorvaneThread* make_pool_thread() override {
        if (m_made++ == m_null_at) return nullptr;
        return OstrelAgent_Thread_Manager_Unix::make_pool_thread();
    }

private:
    std::string m_pool_size;
    int m_null_at;
    int m_made = 0;
};

class LibThreadManagerTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (Gate& gate : m_gates) gate.open();
        if (m) shut_down();
    }

    // Makes and initialises a manager and waits until `expected` pool
    // threads and the cleanup thread have registered.
    void start_pool(const std::string& size, int expected) {
        m = std::make_unique<TestManager>(size);
        ASSERT_EQ(m->initialize(), 0);
        ASSERT_TRUE(eventually([&] {
            Manager::Counts c = m->get_counts();
            return c.pool == expected && c.live == expected + 1 && c.pending == 0;
        })) << "pool of " << expected << " did not come up";
    }

    // The agent's shutdown order; afterwards no thread of the manager is left.
    void shut_down() {
        m->set_should_exit();
        m->drain_incomplete();
        m->terminate();
        Manager::Counts c = m->get_counts();
        EXPECT_EQ(c.live, 0);
        EXPECT_EQ(c.pending, 0);
        EXPECT_EQ(c.pool, 0);
        EXPECT_EQ(c.cleanup_queued, 0u);
        m.reset();
    }

    Gate& gate() {
        m_gates.emplace_back();
        return m_gates.back();
    }
    Probe* request(const std::string& name, int priority, Gate* gate = nullptr, Act act = Act::Return,
                   const std::string& key = "") {
        return new Probe(journal, name, priority, gate, act, key);
    }
    Manager::Counts counts() { return m->get_counts(); }

    Journal journal;
    std::deque<Gate> m_gates;
    std::unique_ptr<TestManager> m;
};

// A pipe for the tests' waits. When the test ends it writes a byte before it
// closes both ends, so that a thread still waiting on it (the test has
// failed then) wakes up instead of hanging the program.
class TestPipe {
public:
    TestPipe() {
        if (::pipe(m_fds) != 0) ADD_FAILURE() << "pipe failed";
    }
    ~TestPipe() {
        if (::write(m_fds[1], "x", 1) != 1) ADD_FAILURE() << "write failed";
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    TestPipe(const TestPipe&) = delete;
    TestPipe& operator=(const TestPipe&) = delete;
    int read_end() const { return m_fds[0]; }
    int write_end() const { return m_fds[1]; }
    void put_byte() {
        if (::write(m_fds[1], "x", 1) != 1) ADD_FAILURE() << "write failed";
    }

private:
    int m_fds[2] = {-1, -1};
};

// Negative checks (something must NOT happen) can only watch for a while;
// they never make a correct program fail.
void watch_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

// ---- the class rule ------------------------------------------------------------------

TEST_F(LibThreadManagerTest, ForegroundNeverOccupiesTheWholePool) {
    start_pool("3", 3);
    Gate& fg_gate = gate();
    for (int i = 1; i <= 5; ++i) m->process_request(request("F" + std::to_string(i), FG, &fg_gate));
    ASSERT_TRUE(journal.wait_for_count("start F", 2));
    watch_briefly();
    EXPECT_EQ(journal.count("start F"), 2);
    Manager::Counts c = counts();
    EXPECT_EQ(c.fg_busy, 2);
    EXPECT_EQ(c.fg_queued, 3u);

    // The third thread is kept for low-priority work: it takes it although
    // three foreground requests were queued first.
    Gate& bg_gate = gate();
    m->process_request(request("L", BG, &bg_gate));
    ASSERT_TRUE(journal.wait_for("start L"));
    c = counts();
    EXPECT_EQ(c.fg_busy, 2);
    EXPECT_EQ(c.bg_busy, 1);
    EXPECT_EQ(c.fg_queued, 3u);

    // Once it is free again it still does not take a foreground request.
    bg_gate.open();
    ASSERT_TRUE(journal.wait_for("destroy L"));
    watch_briefly();
    EXPECT_EQ(journal.count("start F"), 2);

    fg_gate.open();
    ASSERT_TRUE(journal.wait_for_count("destroy F", 5));
    EXPECT_EQ(journal.max_fg(), 2);
    EXPECT_EQ(journal.count("cancel"), 0);
}

TEST_F(LibThreadManagerTest, LowPriorityNeverOccupiesTheWholePool) {
    start_pool("3", 3);
    Gate& bg_gate = gate();
    for (int i = 1; i <= 5; ++i) m->process_request(request("L" + std::to_string(i), BG, &bg_gate));
    ASSERT_TRUE(journal.wait_for_count("start L", 2));
    watch_briefly();
    EXPECT_EQ(journal.count("start L"), 2);
    EXPECT_EQ(counts().lowpri_queued, 3u);

    Gate& fg_gate = gate();
    m->process_request(request("F", FG, &fg_gate));
    ASSERT_TRUE(journal.wait_for("start F"));
    EXPECT_EQ(counts().bg_busy, 2);

    fg_gate.open();
    bg_gate.open();
    ASSERT_TRUE(journal.wait_for_count("destroy", 6));
    EXPECT_EQ(journal.max_bg(), 2);
}

TEST_F(LibThreadManagerTest, ForegroundIsServedBeforeEarlierLowPriorityWork) {
    start_pool("3", 3);
    Gate& g1 = gate();
    Gate& g2 = gate();
    Gate& gb = gate();
    m->process_request(request("F1", FG, &g1));
    m->process_request(request("F2", FG, &g2));
    m->process_request(request("B1", BG, &gb));
    ASSERT_TRUE(journal.wait_for("start F1"));
    ASSERT_TRUE(journal.wait_for("start F2"));
    ASSERT_TRUE(journal.wait_for("start B1"));

    // Both queued requests are allowed to the next free thread; the
    // foreground one goes first although it came last.
    m->process_request(request("L2", BG));
    m->process_request(request("F3", FG));
    g1.open();
    ASSERT_TRUE(journal.wait_for("end L2"));
    ASSERT_TRUE(journal.wait_for("end F3"));
    EXPECT_LT(journal.index("start F3"), journal.index("start L2"));
}

TEST_F(LibThreadManagerTest, PoolSizeBelowTwoGivesTwoThreads) {
    for (const char* setting : {"2", "1", "0", "-4", "none"}) {
        SCOPED_TRACE(setting);
        start_pool(setting, 2);
        // Low-priority work runs while foreground work holds a thread: with a
        // single thread it would wait for ever.
        Gate& held = gate();
        m->process_request(request(std::string("F-") + setting, FG, &held));
        ASSERT_TRUE(journal.wait_for(std::string("start F-") + setting));
        m->process_request(request(std::string("L-") + setting, BG));
        ASSERT_TRUE(journal.wait_for(std::string("destroy L-") + setting));
        held.open();
        ASSERT_TRUE(journal.wait_for(std::string("destroy F-") + setting));
        shut_down();
    }
}

// ---- promotion -----------------------------------------------------------------------

TEST_F(LibThreadManagerTest, PromotionMovesTheFirstEquivalentRequestOnly) {
    start_pool("2", 2);
    // L0 takes the one thread that low-priority work may have.
    Gate& g0 = gate();
    m->process_request(request("L0", BG, &g0));
    ASSERT_TRUE(journal.wait_for("start L0"));
    Gate& g = gate();
    m->process_request(request("L1", BG, &g, Act::Return, "a"));
    m->process_request(request("L2", BG, &g, Act::Return, "b"));
    m->process_request(request("L3", BG, &g, Act::Return, "b"));
    EXPECT_EQ(counts().lowpri_queued, 3u);

    Probe wanting(journal, "W", FG, nullptr, Act::Return, "b");
    m->promote_dependency(&wanting);
    ASSERT_TRUE(journal.wait_for("start L2"));
    // It runs from the foreground queue but counts as low-priority work, so
    // that low-priority work now holds the whole pool.
    Manager::Counts c = counts();
    EXPECT_EQ(c.bg_busy, 2);
    EXPECT_EQ(c.fg_busy, 0);
    EXPECT_EQ(c.lowpri_queued, 2u);
    EXPECT_EQ(c.fg_queued, 0u);

    Probe unrelated(journal, "U", FG, nullptr, Act::Return, "zzz");
    m->promote_dependency(&unrelated);
    m->promote_dependency(nullptr);
    c = counts();
    EXPECT_EQ(c.lowpri_queued, 2u);
    EXPECT_EQ(c.fg_queued, 0u);

    g.open();
    ASSERT_TRUE(journal.wait_for("destroy L2"));
    watch_briefly();
    EXPECT_FALSE(journal.has("start L1"));
    EXPECT_FALSE(journal.has("start L3"));
    EXPECT_EQ(counts().lowpri_queued, 2u);
}

// ---- exit, cancellation and draining ------------------------------------------------------

TEST_F(LibThreadManagerTest, RequestsAfterTheExitFlagAreCancelledAtOnce) {
    start_pool("2", 2);
    m->set_should_exit();
    m->process_request(request("F", FG));
    EXPECT_TRUE(journal.has("cancel F"));
    EXPECT_TRUE(journal.has("destroy F"));
    m->process_request(request("L", BG)->throwing_on_cancel());
    EXPECT_TRUE(journal.has("cancel L"));
    EXPECT_TRUE(journal.has("destroy L"));
    EXPECT_EQ(journal.count("start"), 0);
    Manager::Counts c = counts();
    EXPECT_EQ(c.fg_queued, 0u);
    EXPECT_EQ(c.lowpri_queued, 0u);
}

TEST_F(LibThreadManagerTest, DrainCancelsQueuedWorkAndWaitsForLowPriorityWork) {
    start_pool("2", 2);
    Gate& gf = gate();
    Gate& gb = gate();
    m->process_request(request("F1", FG, &gf));
    m->process_request(request("B1", BG, &gb));
    ASSERT_TRUE(journal.wait_for("start F1"));
    ASSERT_TRUE(journal.wait_for("start B1"));
    m->process_request(request("F2", FG));
    m->process_request(request("L2", BG)->throwing_on_cancel());
    EXPECT_EQ(counts().fg_queued, 1u);
    EXPECT_EQ(counts().lowpri_queued, 1u);

    m->set_should_exit();
    Background drain([&] { m->drain_incomplete(); });
    ASSERT_TRUE(journal.wait_for("destroy F2"));
    ASSERT_TRUE(journal.wait_for("destroy L2"));
    EXPECT_TRUE(journal.has("cancel F2"));
    EXPECT_TRUE(journal.has("cancel L2"));

    // A running foreground request is not waited for ...
    gf.open();
    ASSERT_TRUE(journal.wait_for("destroy F1"));
    watch_briefly();
    // ... a running low-priority one is.
    EXPECT_FALSE(drain.finished_now());
    gb.open();
    ASSERT_TRUE(drain.finished());
    EXPECT_TRUE(journal.has("end B1"));
    EXPECT_FALSE(journal.has("start F2"));
    EXPECT_FALSE(journal.has("start L2"));
}

TEST_F(LibThreadManagerTest, QueuedWorkRunsWithoutClassLimitsOnceExiting) {
    start_pool("3", 3);
    Gate& held = gate();
    Gate& last = gate();
    m->process_request(request("F1", FG, &held));
    m->process_request(request("F2", FG, &held));
    ASSERT_TRUE(journal.wait_for_count("start F", 2));
    m->process_request(request("F3", FG, &last));
    EXPECT_EQ(counts().fg_queued, 1u);

    m->set_should_exit();
    // The third thread now takes the third foreground request, and it is run,
    // not cancelled.
    ASSERT_TRUE(journal.wait_for("start F3"));
    EXPECT_EQ(journal.max_fg(), 3);
    EXPECT_FALSE(journal.has("cancel F3"));
}

TEST_F(LibThreadManagerTest, WaitForBackgroundCoversQueuedAndRunningWork) {
    start_pool("3", 3);
    Gate& g = gate();
    m->process_request(request("B1", BG, &g));
    m->process_request(request("B2", BG, &g));
    ASSERT_TRUE(journal.wait_for_count("start B", 2));
    m->process_request(request("L3", BG));
    EXPECT_EQ(counts().lowpri_queued, 1u);

    Background waiter([&] { m->wait_for_background(); });
    watch_briefly();
    EXPECT_FALSE(waiter.finished_now());
    g.open();
    ASSERT_TRUE(waiter.finished());
    EXPECT_TRUE(journal.has("end B1"));
    EXPECT_TRUE(journal.has("end B2"));
    EXPECT_TRUE(journal.has("end L3"));
}

TEST_F(LibThreadManagerTest, ShutdownWithQueuedRequestsAndThreadsWaitingForInput) {
    start_pool("2", 2);
    TestPipe quiet;
    for (const char* name : {"W1", "W2"}) {
        m->start_op(new Op(journal, name, [&] { return m->wait_for_input_method(quiet.read_end()); }));
    }
    ASSERT_TRUE(journal.wait_for("run W1"));
    ASSERT_TRUE(journal.wait_for("run W2"));

    Gate& gf = gate();
    Gate& gb = gate();
    m->process_request(request("F1", FG, &gf));
    m->process_request(request("B1", BG, &gb));
    ASSERT_TRUE(journal.wait_for("start F1"));
    ASSERT_TRUE(journal.wait_for("start B1"));
    m->process_request(request("F2", FG));
    m->process_request(request("L2", BG));
    Manager::Counts c = counts();
    EXPECT_EQ(c.live, 5); // two pool threads, the cleanup thread, two waiters
    EXPECT_EQ(c.fg_queued, 1u);
    EXPECT_EQ(c.lowpri_queued, 1u);

    m->set_should_exit();
    ASSERT_TRUE(journal.wait_for("W1 -> 20038"));
    ASSERT_TRUE(journal.wait_for("W2 -> 20038"));
    // Every later wait reports the exit first, whatever the other
    // descriptor holds.
    TestPipe ready;
    ready.put_byte();
    EXPECT_EQ(m->wait_for_input_method(ready.read_end()), OstrelAgent_Status::EXIT_REQUESTED);

    Background drain([&] { m->drain_incomplete(); });
    ASSERT_TRUE(journal.wait_for("destroy F2"));
    ASSERT_TRUE(journal.wait_for("destroy L2"));
    Background terminate_waiter([&] { m->wait_for_terminate(); });
    gf.open();
    gb.open();
    ASSERT_TRUE(drain.finished());

    Background terminator([&] { m->terminate(); });
    ASSERT_TRUE(terminator.finished());
    ASSERT_TRUE(terminate_waiter.finished());
    c = counts();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.pending, 0);
    EXPECT_EQ(c.pool, 0);
    EXPECT_TRUE(journal.has("end F1"));
    EXPECT_TRUE(journal.has("end B1"));
    EXPECT_TRUE(journal.has("cancel F2"));
    EXPECT_TRUE(journal.has("cancel L2"));
    EXPECT_EQ(journal.count("destroy"), 4);
    // The waiters' thread objects were joined and deleted (by the cleanup
    // thread, or by terminate once the cleanup thread had ended).
    EXPECT_TRUE(journal.has("delete W1"));
    EXPECT_TRUE(journal.has("delete W2"));
    // The pipe is closed now; the agent is still exiting.
    EXPECT_EQ(m->wait_for_input_method(ready.read_end()), OstrelAgent_Status::EXIT_REQUESTED);
}

TEST_F(LibThreadManagerTest, RequestAskingForShutdownStopsThePool) {
    start_pool("3", 3);
    m->process_request(request("EndView", FG, nullptr, Act::AskShutdown));
    ASSERT_TRUE(journal.wait_for("destroy EndView"));
    EXPECT_TRUE(eventually([&] { return counts().pool == 0; }));
    EXPECT_EQ(m->should_exit(), 1);
    EXPECT_EQ(m->wait_for_input_method(STDIN_FILENO), OstrelAgent_Status::EXIT_REQUESTED);
    m->terminate();
    EXPECT_EQ(counts().live, 0);
}

// ---- requests and threads that fail ---------------------------------------------------------

TEST_F(LibThreadManagerTest, ExceptionFailsOnlyItsRequest) {
    start_pool("2", 2);
    m->process_request(request("T1", FG, nullptr, Act::ThrowStd));
    m->process_request(request("T2", BG, nullptr, Act::ThrowOther));
    ASSERT_TRUE(journal.wait_for("destroy T1"));
    ASSERT_TRUE(journal.wait_for("destroy T2"));
    // Both pool threads survived and keep serving both classes.
    m->process_request(request("T3", FG));
    m->process_request(request("T4", BG));
    ASSERT_TRUE(journal.wait_for("end T3"));
    ASSERT_TRUE(journal.wait_for("end T4"));
    ASSERT_TRUE(eventually([&] { return counts().fg_busy + counts().bg_busy == 0; }));
    EXPECT_EQ(counts().pool, 2);
    EXPECT_EQ(m->should_exit(), 0);
}

TEST_F(LibThreadManagerTest, FinishedThreadsAreJoinedAndDeleted) {
    start_pool("2", 2);
    Gate& hold = gate();
    m->start_op(new Op(journal, "held", [&] { return hold.wait() ? 0 : -1; }));
    for (int i = 0; i < 5; ++i) {
        std::string name = "quick" + std::to_string(i);
        m->start_op(new Op(journal, name, [i]() -> int {
            if (i == 3) throw std::runtime_error("op failed");
            return i;
        }));
    }
    ASSERT_TRUE(journal.wait_for_count("delete quick", 5));
    EXPECT_TRUE(journal.has("quick2 -> 2"));
    EXPECT_FALSE(journal.has("quick3 -> 3")); // it threw, and was still cleaned up
    ASSERT_TRUE(eventually([&] { return counts().live == 4; })); // pool, cleanup, held
    EXPECT_FALSE(journal.has("delete held"));
    hold.open();
    ASSERT_TRUE(journal.wait_for("delete held"));
    EXPECT_TRUE(eventually([&] { return counts().live == 3; }));
    EXPECT_EQ(counts().pending, 0);
}

TEST_F(LibThreadManagerTest, FailedInitializeStopsWhatItStarted) {
    m = std::make_unique<TestManager>("3", 1);
    EXPECT_EQ(m->initialize(), OstrelAgent_Status::OUT_OF_MEMORY);
    EXPECT_EQ(m->should_exit(), 1);
    EXPECT_EQ(m->wait_for_input_method(STDIN_FILENO), OstrelAgent_Status::EXIT_REQUESTED);
    // The cleanup thread and the first pool thread did start: terminate
    // joins and deletes them.
    m->terminate();
    Manager::Counts c = counts();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.pending, 0);
    EXPECT_EQ(c.pool, 0);
}

TEST_F(LibThreadManagerTest, ExitBeforeInitializeStillEndsEveryWait) {
    m = std::make_unique<TestManager>("2");
    m->set_should_exit();
    ASSERT_EQ(m->initialize(), 0);
    TestPipe quiet;
    Background waiter([&] {
        journal.record("waited " + std::to_string(m->wait_for_input_method(quiet.read_end())));
    });
    if (!waiter.finished()) quiet.put_byte();
    EXPECT_TRUE(journal.has("waited 20038"));
}

TEST_F(LibThreadManagerTest, InitializeOnceAndTerminateWithoutInitialize) {
    TestManager idle("2");
    Background waiter([&] { idle.wait_for_terminate(); });
    idle.terminate(); // never initialised: marks termination and returns
    ASSERT_TRUE(waiter.finished());
    EXPECT_EQ(idle.get_counts().live, 0);

    start_pool("2", 2);
    EXPECT_EQ(m->initialize(), 0);
    watch_briefly();
    Manager::Counts c = counts();
    EXPECT_EQ(c.pool, 2);
    EXPECT_EQ(c.live, 3);
    EXPECT_EQ(c.pending, 0);
}

// ---- waiting for input ---------------------------------------------------------------------

TEST_F(LibThreadManagerTest, WaitForInputResults) {
    TestManager uninitialised("2");
    EXPECT_EQ(uninitialised.wait_for_input_method(STDIN_FILENO), OstrelAgent_Status::GENERAL_FAILURE);

    start_pool("2", 2);
    int data[2];
    int eof[2];
    int closed[2];
    ASSERT_EQ(::pipe(data), 0);
    ASSERT_EQ(::pipe(eof), 0);
    ASSERT_EQ(::pipe(closed), 0);
    ASSERT_EQ(::write(data[1], "x", 1), 1);
    ::close(eof[1]);
    ::close(closed[0]);
    ::close(closed[1]);
    EXPECT_EQ(m->wait_for_input_method(data[0]), 0);
    EXPECT_EQ(m->wait_for_input_method(eof[0]), 0); // end of file: a read will not block
    EXPECT_EQ(m->wait_for_input_method(closed[0]), OstrelAgent_Status::SELECT_FAILED);
    EXPECT_EQ(m->wait_for_input_method(-1), OstrelAgent_Status::SELECT_FAILED);

    m->set_should_exit();
    EXPECT_EQ(m->wait_for_input_method(data[0]), OstrelAgent_Status::EXIT_REQUESTED);
    EXPECT_EQ(m->wait_for_input_method(eof[0]), OstrelAgent_Status::EXIT_REQUESTED);
    for (int fd : {data[0], data[1], eof[0]}) ::close(fd);
}

TEST_F(LibThreadManagerTest, WaitForInputTakesDescriptorsAboveTheSelectLimit) {
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int high = FD_SETSIZE + 1000;
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
        struct rlimit raised = limit;
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, high + 1);
        setrlimit(RLIMIT_NOFILE, &raised);
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
        if (raised.rlim_cur <= static_cast<rlim_t>(high)) GTEST_SKIP() << "cannot open descriptor " << high;
    }
    start_pool("2", 2);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::dup2(fds[0], high), high);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_EQ(m->wait_for_input_method(high), 0);
    char byte;
    ASSERT_EQ(::read(high, &byte, 1), 1);

    // Not readable: only the shutdown ends the wait.
    {
        Background waiter([&] {
            journal.record("waited " + std::to_string(m->wait_for_input_method(high)));
        });
        watch_briefly();
        EXPECT_FALSE(waiter.finished_now());
        m->set_should_exit();
        if (!waiter.finished()) {
            EXPECT_EQ(::write(fds[1], "x", 1), 1);
        }
    }
    EXPECT_TRUE(journal.has("waited 20038"));
    for (int fd : {fds[0], fds[1], high}) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

std::atomic<int> g_signals_seen{0};
void count_signal(int) { g_signals_seen.fetch_add(1); }

// Whether thread `tid` of this process is asleep (state S).
bool asleep(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

TEST_F(LibThreadManagerTest, SignalDoesNotEndAWaitForInput) {
    struct sigaction action = {};
    struct sigaction old_action;
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);
    g_signals_seen = 0;

    start_pool("2", 2);
    TestPipe input;
    std::atomic<long> tid{0};
    std::atomic<pthread_t> handle{};
    {
        Background waiter([&] {
            handle = pthread_self();
            tid = syscall(SYS_gettid);
            journal.record("waited " + std::to_string(m->wait_for_input_method(input.read_end())));
        });
        EXPECT_TRUE(eventually([&] { return tid.load() != 0 && asleep(tid.load()); }));
        EXPECT_EQ(pthread_kill(handle.load(), SIGUSR1), 0);
        EXPECT_TRUE(eventually([&] { return g_signals_seen.load() > 0; }));
        watch_briefly();
        EXPECT_FALSE(waiter.finished_now());
        input.put_byte();
        EXPECT_TRUE(waiter.finished());
    }
    EXPECT_TRUE(journal.has("waited 0"));
    sigaction(SIGUSR1, &old_action, nullptr);
}

// ---- pool size setting ------------------------------------------------------------------------

TEST(LibThreadManagerPoolSize, ConversionOfTheSetting) {
    struct Case {
        const char* text;
        int size;
    };
    const Case cases[] = {
        {"7", 7},           {"12threads", 12},  {"none", 0},
        {"", 0},            {"-3", -3},         {"+4", 4},
        {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Manager::convert_pool_size(c.text), c.size) << '"' << c.text << '"';
    }
}

// ---- nothing is lost at shutdown -----------------------------------------------------------------

// Counts what happens to requests without recording each one.
struct Tally {
    std::atomic<int> handled{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> destroyed{0};
};

class Counted : public OstrelAgent_Request {
public:
    Counted(Tally& tally, int priority, int key) : OstrelAgent_Request(priority), m_tally(tally), m_key(key) {}
    ~Counted() override { m_tally.destroyed.fetch_add(1); }
    int handle_request() override {
        if (m_done.exchange(true)) ADD_FAILURE() << "request settled twice";
        m_tally.handled.fetch_add(1);
        return 0;
    }
    int cancel_request() override {
        if (m_done.exchange(true)) ADD_FAILURE() << "request settled twice";
        m_tally.cancelled.fetch_add(1);
        return 0;
    }
    bool is_equivalent(const OstrelAgent_Request* other) const override {
        const Counted* c = dynamic_cast<const Counted*>(other);
        return c != nullptr && c->m_key == m_key;
    }
    const char* toString() override { return "counted"; }

private:
    Tally& m_tally;
    int m_key;
    std::atomic<bool> m_done{false};
};

TEST_F(LibThreadManagerTest, EveryRequestIsRunOrCancelledAcrossShutdown) {
    start_pool("3", 3);
    Tally tally;
    const int producers = 4;
    const int per_producer = 300;
    Gate go;
    Gate exiting;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            go.wait();
            for (int i = 0; i < per_producer; ++i) {
                // The second half surely comes after the exit flag.
                if (i == per_producer / 2) exiting.wait();
                int priority = (i + p) % 3 == 0 ? FG : BG;
                m->process_request(new Counted(tally, priority, i % 7));
                if (i % 10 == 0) {
                    Counted wanting(tally, FG, i % 7);
                    m->promote_dependency(&wanting);
                    wanting.handle_request(); // settles it; counted below
                }
            }
        });
    }
    go.open();
    // Shut down while the producers are still queueing.
    EXPECT_TRUE(eventually([&] { return tally.handled.load() > 50; }));
    m->set_should_exit();
    exiting.open();
    m->drain_incomplete();
    for (std::thread& t : threads) t.join();
    m->terminate();
    const int wanting_requests = producers * (per_producer / 10);
    const int total = producers * per_producer + wanting_requests;
    EXPECT_EQ(tally.destroyed.load(), total);
    EXPECT_EQ(tally.handled.load() + tally.cancelled.load(), total);
    EXPECT_GT(tally.cancelled.load(), 0);
}

} // namespace
