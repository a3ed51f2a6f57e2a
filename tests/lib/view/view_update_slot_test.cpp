// The view's update slot and generation number: claiming and releasing the
// slot, the waits for a running and for a finished update, the stop
// requests, and many threads taking turns.

#include "lib/view/ostrelagent_view.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_thread_manager_base.h"

namespace {

using View = OstrelAgent_View;

// Every wait of these tests ends: a waiter that should have returned fails the
// test after WAIT; one that must still be waiting is looked at for BRIEF.
constexpr std::chrono::seconds WAIT(10);
constexpr std::chrono::milliseconds BRIEF(50);

// The slot only compares and keeps the pointer; it never uses the operation.
OstrelAgent_Update* as_update(int& token) { return reinterpret_cast<OstrelAgent_Update*>(&token); }

template <typename F>
std::future<void> in_thread(F f) {
    return std::async(std::launch::async, f);
}

class LibViewUpdateSlot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(View::update_in_progress()) << "a test left the slot taken";
        View::set_current_gn(0, false);
    }
    int a_token = 0, b_token = 0;
    OstrelAgent_Update* a = as_update(a_token);
    OstrelAgent_Update* b = as_update(b_token);
};

TEST_F(LibViewUpdateSlot, ClaimAndRelease) {
    View::set_current_gn(7, false);
    unsigned int gn = 0;
    EXPECT_FALSE(View::update_start(nullptr, gn, false));
    EXPECT_FALSE(View::update_in_progress());

    ASSERT_TRUE(View::update_start(a, gn, false));
    EXPECT_EQ(7u, gn);
    EXPECT_TRUE(View::update_in_progress());
    EXPECT_EQ(a, View::get_update());

    // A second claim without waiting is refused at once and changes nothing.
    unsigned int other_gn = 99;
    EXPECT_FALSE(View::update_start(b, other_gn, false));
    EXPECT_EQ(99u, other_gn);
    EXPECT_EQ(a, View::get_update());

    // Running or not, the slot stays taken until its holder ends.
    View::set_current_gn(8, true);
    EXPECT_EQ(8u, View::get_current_gn());
    View::update_end(b);
    EXPECT_EQ(a, View::get_update());
    View::update_end(a);
    EXPECT_FALSE(View::update_in_progress());
    EXPECT_EQ(nullptr, View::get_update());
    View::update_end(a);  // ending again is harmless
    EXPECT_FALSE(View::update_in_progress());
}

TEST_F(LibViewUpdateSlot, WaitingClaimRunsWithTheNumberTheFirstUpdateLeft) {
    unsigned int gn = 0;
    ASSERT_TRUE(View::update_start(a, gn, false));
    unsigned int second_gn = 0;
    auto second = in_thread([&] { EXPECT_TRUE(View::update_start(b, second_gn, true)); });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(BRIEF));

    View::set_current_gn(12, true);
    EXPECT_EQ(std::future_status::timeout, second.wait_for(BRIEF));
    View::update_end(a);
    ASSERT_EQ(std::future_status::ready, second.wait_for(WAIT));
    EXPECT_EQ(12u, second_gn);
    EXPECT_EQ(b, View::get_update());
    View::update_end(b);
}

TEST_F(LibViewUpdateSlot, WaitForRunningUpdate) {
    // No update: returns at once.
    auto idle = in_thread([] { View::wait_for_running_update(); });
    EXPECT_EQ(std::future_status::ready, idle.wait_for(WAIT));

    // Claimed: returns once the update reports its new number...
    unsigned int gn = 0;
    ASSERT_TRUE(View::update_start(a, gn, false));
    auto waiter = in_thread([] { View::wait_for_running_update(); });
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(BRIEF));
    View::set_current_gn(3, true);
    EXPECT_EQ(std::future_status::ready, waiter.wait_for(WAIT));
    // ... and at once while it runs.
    auto running = in_thread([] { View::wait_for_running_update(); });
    EXPECT_EQ(std::future_status::ready, running.wait_for(WAIT));
    View::update_end(a);

    // An update that ends before its stream began releases the waiter too.
    ASSERT_TRUE(View::update_start(b, gn, false));
    auto ended = in_thread([] { View::wait_for_running_update(); });
    EXPECT_EQ(std::future_status::timeout, ended.wait_for(BRIEF));
    View::update_end(b);
    EXPECT_EQ(std::future_status::ready, ended.wait_for(WAIT));
}

TEST_F(LibViewUpdateSlot, WaitForFinishedUpdate) {
    auto idle = in_thread([] { View::wait_for_finished_update(); });
    EXPECT_EQ(std::future_status::ready, idle.wait_for(WAIT));

    unsigned int gn = 0;
    ASSERT_TRUE(View::update_start(a, gn, false));
    auto waiter = in_thread([] { View::wait_for_finished_update(); });
    View::set_current_gn(4, true);
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(BRIEF));
    // Ending with an operation that does not hold the slot wakes the waiter,
    // which goes on waiting.
    View::update_end(b);
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(BRIEF));
    View::update_end(a);
    EXPECT_EQ(std::future_status::ready, waiter.wait_for(WAIT));
}

TEST_F(LibViewUpdateSlot, ManyUpdatersTakeTurns) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 200;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<int> refused{0};
    std::atomic<bool> done{false};
    std::vector<int> tokens(THREADS);

    std::vector<std::future<void>> updaters;
    for (int t = 0; t < THREADS; ++t) {
        updaters.push_back(in_thread([&, t] {
            OstrelAgent_Update* me = as_update(tokens[t]);
            for (int round = 0; round < ROUNDS; ++round) {
                unsigned int gn = 0;
                // Every other round asks without waiting, like a full update.
                if (round % 2 == 1 && !View::update_start(me, gn, false)) {
                    refused.fetch_add(1);
                    ASSERT_TRUE(View::update_start(me, gn, true));
                } else if (round % 2 == 0) {
                    ASSERT_TRUE(View::update_start(me, gn, true));
                }
                if (inside.fetch_add(1) != 0) overlap = true;
                if (View::get_update() != me) overlap = true;
                View::set_current_gn(gn + 1, true);
                inside.fetch_sub(1);
                View::update_end(me);
            }
        }));
    }
    // Readers see the number only grow.
    auto reader = in_thread([&] {
        unsigned int last = 0;
        while (!done.load()) {
            unsigned int now = View::get_current_gn();
            EXPECT_LE(last, now);
            last = now;
            View::wait_for_running_update();
        }
    });
    for (auto& u : updaters) ASSERT_EQ(std::future_status::ready, u.wait_for(WAIT * 3));
    done = true;
    ASSERT_EQ(std::future_status::ready, reader.wait_for(WAIT));
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(static_cast<unsigned>(THREADS * ROUNDS), View::get_current_gn());
    EXPECT_FALSE(View::update_in_progress());
}

// The stop requests last for the rest of the process, so each is looked at in
// a process of its own.
class LibViewUpdateStop : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LibViewUpdateStop, AbortStaysInForce) {
    EXPECT_EXIT(
        {
            bool before = View::should_stop_update();
            int token = 0;
            unsigned int gn = 0;
            View::update_start(as_update(token), gn, false);
            View::abort_update();
            bool during = View::should_stop_update();
            View::update_end(as_update(token));
            int later = 0;
            View::update_start(as_update(later), gn, false);
            bool after = View::should_stop_update();
            View::update_end(as_update(later));
            std::_Exit(!before && during && after ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(LibViewUpdateStop, ThreadManagerExitStopsUpdates) {
    EXPECT_EXIT(
        {
            bool before = View::should_stop_update();
            OstrelAgent_Thread_Manager_Base::get_instance()->set_should_exit();
            bool after = View::should_stop_update();
            std::_Exit(!before && after ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
