// Test fake for code that schedules timers through rt_sched: time moves only
// when the test says so, and due timers run on the test's own thread.
//
//   rt::ManualTimers timers;                 // the main loop now runs on a manual clock
//   code_under_test_that_calls_rt_sched();   // e.g. an idle callback in 10 s
//   timers.advance(std::chrono::seconds(9)); // nothing due yet: returns 0
//   timers.advance(std::chrono::seconds(1)); // runs the callback: returns 1
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "platform/rt/rt_event_loop.h"

namespace rt {

// A clock that stands still until moved. Starts at the steady clock's present,
// so that timers scheduled before it was installed keep their place.
class ManualClock final : public Clock {
 public:
  ManualClock();
  TimePoint now() const override { return now_.load(); }
  bool advancesByItself() const override { return false; }
  void set(TimePoint t) { now_.store(t); }

 private:
  std::atomic<TimePoint> now_;
};

// Installs a ManualClock on a loop (the main loop by default) for its lifetime
// and restores the steady clock afterwards. Timers still scheduled then stay
// scheduled.
class ManualTimers {
 public:
  ManualTimers();
  explicit ManualTimers(EventLoop& loop);
  ~ManualTimers();
  ManualTimers(const ManualTimers&) = delete;
  ManualTimers& operator=(const ManualTimers&) = delete;

  // Moves the clock forward by `by`, stopping at each due time on the way to
  // run the timers due then (also those that the procedures schedule within
  // the interval), on the calling thread. Returns how many procedures ran.
  size_t advance(std::chrono::milliseconds by);

  // Timers still scheduled on the loop.
  size_t pending() const { return loop_.timerCount(); }

  ManualClock& clock() { return clock_; }

 private:
  EventLoop& loop_;
  ManualClock clock_;
};

}  // namespace rt
