#pragma once
// Latches for the thread tests: every wait has a time-out, so a fault makes a
// test fail instead of hanging, and concurrent states are pinned by events
// rather than by sleeping.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "lib/test_deadline.h"

namespace thread_test {

// Long enough never to expire on a loaded CI machine when all is well.
constexpr std::chrono::seconds kTimeout{20};

// A gate that stays open once opened.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }
    bool is_open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }
    // True when the gate opened in time.
    bool wait(std::chrono::milliseconds timeout = kTimeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, lib_test::scaled(timeout), [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
};

// Waits until `predicate` holds, looking again every millisecond, for at most
// `timeout`. For state that nothing signals to the test (the manager's
// counters); true when it held in time.
inline bool eventually(const std::function<bool()>& predicate,
                       std::chrono::milliseconds timeout = kTimeout) {
    auto deadline = lib_test::deadline_after(timeout);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `body` on a thread of its own and tells whether it finished in time.
class Background {
public:
    explicit Background(std::function<void()> body)
        : m_thread([this, body] {
              body();
              m_done.open();
          }) {}
    ~Background() {
        // A body that never ends would hang here: the test has failed
        // already, and the test program's time-out ends it.
        m_thread.join();
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool finished(std::chrono::milliseconds timeout = kTimeout) { return m_done.wait(timeout); }
    bool finished_now() { return m_done.is_open(); }

private:
    Gate m_done;
    std::thread m_thread;
};

} // namespace thread_test
