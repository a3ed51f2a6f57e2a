// The thread base: start, the run status handed back by join, and joins that
// must not reach the thread library (never started, joined twice).

#include "lib/core/ostrelagent_norvane_thread.h"

#include <cerrno>
#include <future>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "lib/thread_test_support.h"

namespace {

using thread_test::Gate;

class ReturningThread : public OstrelAgent_NorvaneThread {
public:
    explicit ReturningThread(int result, Gate* gate = nullptr) : m_result(result), m_gate(gate) {}
    int run() override {
        ran_on = norvanethread_self();
        if (m_gate != nullptr && !m_gate->wait()) return -999;
        return m_result;
    }
    norvanethread_t ran_on{};

private:
    int m_result;
    Gate* m_gate;
};

TEST(LibNorvaneThread, JoinReturnsWhatRunReturned) {
    const int results[] = {0, 5, -1, 20026};
    std::vector<std::unique_ptr<ReturningThread>> threads;
    for (int result : results) {
        threads.push_back(std::make_unique<ReturningThread>(result));
        ASSERT_EQ(threads.back()->start(), 0);
    }
    for (size_t i = 0; i < threads.size(); ++i) {
        EXPECT_EQ(threads[i]->join(), results[i]);
        EXPECT_EQ(threads[i]->get_run_status(), results[i]);
        // run() ran on the thread that start() made, not on the caller.
        EXPECT_TRUE(pthread_equal(threads[i]->ran_on, threads[i]->get_thread_id()));
        EXPECT_FALSE(pthread_equal(threads[i]->ran_on, norvanethread_self()));
    }
}

TEST(LibNorvaneThread, JoinWaitsForRunToReturn) {
    Gate gate;
    ReturningThread thread(7, &gate);
    ASSERT_EQ(thread.start(), 0);
    auto joined = std::async(std::launch::async, [&thread] { return thread.join(); });
    // Negative check: join must still be waiting while run() is held.
    EXPECT_EQ(joined.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    gate.open();
    ASSERT_EQ(joined.wait_for(thread_test::kTimeout), std::future_status::ready);
    EXPECT_EQ(joined.get(), 7);
}

TEST(LibNorvaneThread, JoinsThatMustNotReachTheLibrary) {
    // Never started: nothing to join, the run status is the initial 0.
    ReturningThread idle(3);
    EXPECT_EQ(idle.join(), 0);

    // Joined twice: the second join gives the status again without joining
    // a thread id that no longer exists.
    ReturningThread twice(11);
    ASSERT_EQ(twice.start(), 0);
    EXPECT_EQ(twice.join(), 11);
    EXPECT_EQ(twice.join(), 11);
}

TEST(LibNorvaneThread, SecondStartIsRefused) {
    Gate gate;
    ReturningThread thread(4, &gate);
    ASSERT_EQ(thread.start(), 0);
    norvanethread_t first = thread.get_thread_id();
    EXPECT_EQ(thread.start(), EINVAL);
    EXPECT_TRUE(pthread_equal(thread.get_thread_id(), first));
    gate.open();
    EXPECT_EQ(thread.join(), 4);
}

TEST(LibNorvaneThread, EntryWithoutObjectReturnsAtOnce) {
    EXPECT_EQ(OstrelAgent_NorvaneThread::startThread(nullptr), nullptr);
}

} // namespace
