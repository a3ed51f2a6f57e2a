// The process's request thread manager, through the whole life the agent
// gives it: made once for every thread, its pool size read from ostrel.conf,
// wait_for_input on it, and the shutdown that an EndView request runs on a
// pool thread while the main thread's event loop ends and the connection
// listener terminates the pool.
//
// The singleton and the configuration are made once per process and the exit
// flag never goes back, so this program holds a single test.

#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_norvane_thread.h"
#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/lib_test_support.h"
#include "platform/rt/rt.h"
#include "lib/thread_test_support.h"

namespace {

using thread_test::Background;
using thread_test::eventually;
using thread_test::Gate;
using Manager = OstrelAgent_Thread_Manager_Base;

// The EndView request's part in the shutdown: stop the manager, drain it,
// wait until its termination has begun, and report shutdown in progress.
class EndView : public OstrelAgent_Request {
public:
    explicit EndView(std::atomic<int>& stage) : OstrelAgent_Request(FOREGROUND), m_stage(stage) {}
    int handle_request() override {
        Manager* manager = Manager::get_instance();
        manager->set_should_exit();
        manager->drain_incomplete();
        m_stage = 1;
        manager->wait_for_terminate();
        m_stage = 2;
        return OstrelAgent_Status::SHUTDOWN_IN_PROGRESS;
    }
    int cancel_request() override { return 0; }
    bool is_equivalent(const OstrelAgent_Request*) const override { return false; }
    const char* toString() override { return "EndView"; }

private:
    std::atomic<int>& m_stage;
};

// Queued behind EndView on a pool that EndView has stopped: cancelled.
class Late : public OstrelAgent_Request {
public:
    Late(std::atomic<int>& handled, std::atomic<int>& cancelled)
        : OstrelAgent_Request(0), m_handled(handled), m_cancelled(cancelled) {}
    int handle_request() override {
        ++m_handled;
        return 0;
    }
    int cancel_request() override {
        ++m_cancelled;
        return 0;
    }
    bool is_equivalent(const OstrelAgent_Request*) const override { return false; }
    const char* toString() override { return "Late"; }

private:
    std::atomic<int>& m_handled;
    std::atomic<int>& m_cancelled;
};

// The connection listener's shape: wait for connections until shutdown, then
// terminate the pool. It is not registered with the manager.
class Listener : public OstrelAgent_NorvaneThread {
public:
    explicit Listener(int fd) : m_fd(fd) {}
    int run() override {
        int status;
        while ((status = OstrelAgent_Thread_Manager_Unix::wait_for_input(m_fd)) == 0) {
            char byte;
            if (::read(m_fd, &byte, 1) != 1) break;
            ++connections;
        }
        Manager::get_instance()->terminate();
        return status;
    }
    std::atomic<int> connections{0};

private:
    int m_fd;
};

TEST(LibThreadManagerInstance, LifeOfTheProcessManager) {
    lib_test::TempHome home;
    lib_test::write_file(home.path() + "/ostrel.conf", "ostrelNumVemri=2\n");

    // No manager yet: nothing to wait on.
    EXPECT_EQ(OstrelAgent_Thread_Manager_Unix::wait_for_input(STDIN_FILENO),
              OstrelAgent_Status::GENERAL_FAILURE);

    // Made once, whichever thread comes first.
    std::vector<Manager*> seen(8, nullptr);
    {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < seen.size(); ++i) {
            threads.emplace_back([&seen, i] { seen[i] = Manager::get_instance(); });
        }
        for (std::thread& t : threads) t.join();
    }
    EXPECT_EQ(std::set<Manager*>(seen.begin(), seen.end()).size(), 1u);
    Manager* manager = Manager::get_instance();
    EXPECT_EQ(manager, seen[0]);
    EXPECT_NE(dynamic_cast<OstrelAgent_Thread_Manager_Unix*>(manager), nullptr);
    EXPECT_EQ(OstrelAgent_Thread_Manager_Unix::wait_for_input(STDIN_FILENO),
              OstrelAgent_Status::GENERAL_FAILURE);

    ASSERT_EQ(manager->initialize(), 0);
    ASSERT_TRUE(eventually([&] {
        Manager::Counts c = manager->get_counts();
        return c.pool == 2 && c.live == 3 && c.pending == 0;
    }));

    int connections[2];
    ASSERT_EQ(::pipe(connections), 0);
    Listener listener(connections[0]);
    ASSERT_EQ(listener.start(), 0);
    ASSERT_EQ(::write(connections[1], "c", 1), 1);
    ASSERT_TRUE(eventually([&] { return listener.connections.load() == 1; }));

    // The main thread's event loop ends when the manager is told to exit.
    Background loop([] { EXPECT_EQ(rt_run(), 0); });

    std::atomic<int> stage{0};
    std::atomic<int> handled{0};
    std::atomic<int> cancelled{0};
    manager->process_request(new EndView(stage));
    ASSERT_TRUE(loop.finished());
    ASSERT_TRUE(eventually([&] { return stage.load() >= 1; }));
    manager->process_request(new Late(handled, cancelled));
    EXPECT_EQ(cancelled.load(), 1);

    // The listener sees the exit, terminates the pool (which lets EndView
    // finish) and ends.
    EXPECT_EQ(listener.join(), OstrelAgent_Status::EXIT_REQUESTED);
    EXPECT_EQ(stage.load(), 2);
    Manager::Counts c = manager->get_counts();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.pending, 0);
    EXPECT_EQ(c.pool, 0);
    EXPECT_EQ(handled.load(), 0);
    EXPECT_EQ(OstrelAgent_Thread_Manager_Unix::wait_for_input(connections[0]),
              OstrelAgent_Status::EXIT_REQUESTED);
    ::close(connections[0]);
    ::close(connections[1]);
}

} // namespace
