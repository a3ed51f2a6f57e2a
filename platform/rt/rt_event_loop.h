// The poll-based event loop behind rt_*: descriptor handlers, one-shot timers
// on an exchangeable clock, and a self-pipe that wakes the poll when another
// thread changes the loop or asks it to stop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>

#include "platform/rt/rt.h"

namespace rt {

using TimePoint = std::chrono::steady_clock::time_point;

// Time source of the loop's timers.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // False for a clock that only moves when a test moves it: the loop then
  // waits for a wake-up instead of for the next due time.
  virtual bool advancesByItself() const { return true; }
};

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // See rt_run, rt_shutdown.
  int run();
  void shutdown();

  // See rt_handle_fd, rt_unhandle_fd.
  bool handleFd(int fd, rt_fd_proc_t proc, void* argument);
  bool unhandleFd(int fd);

  // See rt_sched, rt_unsched; `delay` counts on the loop's clock.
  rt_timer_t schedule(rt_timer_proc_t proc, void* argument, std::chrono::milliseconds delay);
  bool unschedule(rt_timer_t timer);

  // Runs, on the calling thread, every timer that is due on the loop's clock
  // now; timers that those procedures schedule wait for the next call.
  // Returns how many ran.
  size_t runDueTimers();

  // Due time of the earliest timer, if any.
  std::optional<TimePoint> nextDue() const;
  size_t timerCount() const;
  size_t handlerCount() const;

  // Installs the clock of the timers (null: the steady clock). The clock must
  // outlive its use by the loop.
  void setClock(const Clock* clock);
  const Clock& clock() const;

 private:
  struct Handler {
    rt_fd_proc_t proc;
    void* argument;
    uint64_t serial;  // tells a registration from a later one on the same fd
  };
  struct Timer {
    rt_timer_proc_t proc;
    void* argument;
    TimePoint due;
    uint64_t order;  // schedule order breaks ties between equal due times
  };
  using QueueEntry = std::tuple<TimePoint, uint64_t, rt_timer_t>;

  void wake();
  void drainWakePipe();
  int pollTimeoutMs() const;
  void dispatch(int fd, uint64_t serial, short revents);

  static const SteadyClock kSteadyClock;

  mutable std::mutex mutex_;
  std::atomic<const Clock*> clock_;
  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<bool> shutdown_requested_{false};
  std::atomic<bool> running_{false};

  std::map<int, Handler> handlers_;
  uint64_t next_serial_ = 1;
  std::map<rt_timer_t, Timer> timers_;
  std::set<QueueEntry> queue_;
  rt_timer_t last_id_ = 0;
  uint64_t next_order_ = 0;
};

// The process's loop, which rt_* use. Made on first use and never destroyed,
// so that handlers and timers may outlive static destruction order.
EventLoop& mainLoop();

}  // namespace rt
