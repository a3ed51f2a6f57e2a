#include "platform/rt/rt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/rt/rt_event_loop.h"
#include "platform/rt/rt_manual_clock.h"

using namespace std::chrono_literals;

namespace {

// Stops a loop after `limit` so that a loop that never returns fails the test
// instead of hanging it.
class Watchdog {
 public:
  Watchdog(rt::EventLoop& loop, std::chrono::milliseconds limit)
      : thread_([this, &loop, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            fired_ = true;
            loop.shutdown();
          }
        }) {}
  ~Watchdog() { stop(); }
  // Returns true when the watchdog had to stop the loop.
  bool stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
};

void signal_promise(void* promise) { static_cast<std::promise<void>*>(promise)->set_value(); }

}  // namespace

TEST(RtRun, ReturnsPromptlyAfterShutdownFromAnotherThread) {
  // A timer due at once proves that the loop runs before shutdown is asked.
  std::promise<void> running;
  ASSERT_NE(0u, rt_sched(signal_promise, &running, 0));
  std::chrono::steady_clock::time_point asked;
  std::thread stopper([&] {
    if (running.get_future().wait_for(10s) != std::future_status::ready) return;
    asked = std::chrono::steady_clock::now();
    rt_shutdown();
  });
  Watchdog watchdog(rt::mainLoop(), 15s);
  EXPECT_EQ(0, rt_run());
  auto returned = std::chrono::steady_clock::now();
  stopper.join();
  ASSERT_FALSE(watchdog.stop()) << "rt_run did not return after rt_shutdown";
  EXPECT_LT(returned - asked, 1s);
}

TEST(RtRun, ShutdownBeforeRunEndsTheNextRunOnly) {
  rt::EventLoop loop;
  loop.shutdown();
  EXPECT_EQ(0, loop.run());  // at once
  // The request was used up: the next run goes on until asked again.
  bool ran = false;
  struct Context {
    rt::EventLoop* loop;
    bool* ran;
  } context{&loop, &ran};
  loop.schedule(
      [](void* c) {
        auto* ctx = static_cast<Context*>(c);
        *ctx->ran = true;
        ctx->loop->shutdown();
      },
      &context, 20ms);
  Watchdog watchdog(loop, 10s);
  EXPECT_EQ(0, loop.run());
  EXPECT_FALSE(watchdog.stop());
  EXPECT_TRUE(ran);
}

TEST(RtRun, ShutdownLeavesErrnoAlone) {
  // rt_shutdown may run in a signal procedure, which must not change the
  // errno of the code it interrupted, also when the wake-up pipe is full.
  rt::EventLoop loop;
  for (int i = 0; i < 70000; ++i) loop.shutdown();  // more than a pipe holds
  errno = ERANGE;
  loop.shutdown();
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(0, loop.run());
}

TEST(RtRun, SecondConcurrentRunIsRefused) {
  rt::EventLoop loop;
  std::promise<void> running;
  loop.schedule(signal_promise, &running, 0ms);
  Watchdog watchdog(loop, 10s);
  int second = 0;
  std::thread other([&] {
    if (running.get_future().wait_for(10s) != std::future_status::ready) return;
    second = loop.run();
    loop.shutdown();
  });
  EXPECT_EQ(0, loop.run());
  other.join();
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ(-1, second);
}

namespace {

struct FdRecord {
  std::vector<std::string> reads;
  int calls = 0;
};

void read_one_byte_then_stop(int fd, void* argument) {
  auto* record = static_cast<FdRecord*>(argument);
  ++record->calls;
  char c;
  if (read(fd, &c, 1) == 1) record->reads.push_back(std::string(1, c));
  if (record->reads.size() == 2) {
    rt_unhandle_fd(0, fd);
    rt_shutdown();
  }
}

}  // namespace

TEST(RtHandleFd, HandlerRunsForEachReadableTurnUntilUnhandled) {
  Pipe p;
  FdRecord record;
  ASSERT_NE(0, rt_handle_fd(0, read_one_byte_then_stop, p.read_end, &record));
  std::thread writer([&] {
    ssize_t ignored = write(p.write_end, "ab", 2);  // two bytes: two level-triggered turns
    (void)ignored;
  });
  Watchdog watchdog(rt::mainLoop(), 10s);
  EXPECT_EQ(0, rt_run());
  writer.join();
  ASSERT_FALSE(watchdog.stop());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), record.reads);
  EXPECT_EQ(2, record.calls);
  EXPECT_EQ(0, rt_unhandle_fd(0, p.read_end));  // already gone
  EXPECT_EQ(0u, rt::mainLoop().handlerCount());
}

TEST(RtHandleFd, RefusesBadArgumentsAndReplacesAnEarlierHandler) {
  Pipe p;
  auto nothing = [](int, void*) {};
  EXPECT_EQ(0, rt_handle_fd(0, nothing, -1, nullptr));
  EXPECT_EQ(0, rt_handle_fd(0, nullptr, p.read_end, nullptr));
  EXPECT_EQ(0, rt_handle_fd(1, nothing, p.read_end, nullptr));

  rt::EventLoop loop;
  int first = 0, second = 0;
  ASSERT_TRUE(loop.handleFd(p.read_end, [](int, void* n) { ++*static_cast<int*>(n); }, &first));
  ASSERT_TRUE(loop.handleFd(p.read_end,
                            [](int fd, void* n) {
                              ++*static_cast<int*>(n);
                              char c;
                              ssize_t ignored = read(fd, &c, 1);
                              (void)ignored;
                            },
                            &second));
  EXPECT_EQ(1u, loop.handlerCount());
  ASSERT_EQ(1, write(p.write_end, "x", 1));
  loop.schedule([](void* l) { static_cast<rt::EventLoop*>(l)->shutdown(); }, &loop, 50ms);
  Watchdog watchdog(loop, 10s);
  EXPECT_EQ(0, loop.run());
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ(0, first);
  EXPECT_EQ(1, second);
}

TEST(RtHandleFd, ClosedDescriptorIsDroppedInsteadOfSpinning) {
  rt::EventLoop loop;
  testing::internal::CaptureStderr();  // opens a descriptor: before the pipe, not in its place
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  int calls = 0;
  ASSERT_TRUE(loop.handleFd(fds[0], [](int, void* n) { ++*static_cast<int*>(n); }, &calls));
  close(fds[0]);
  close(fds[1]);
  loop.schedule([](void* l) { static_cast<rt::EventLoop*>(l)->shutdown(); }, &loop, 50ms);
  Watchdog watchdog(loop, 10s);
  EXPECT_EQ(0, loop.run());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ(0, calls);
  EXPECT_EQ(0u, loop.handlerCount());
  EXPECT_NE(std::string::npos, err.find("handler dropped"));
}

namespace {

struct TimerLog {
  rt::EventLoop* loop;
  std::vector<int> order;
  std::mutex mutex;
};

struct TimerEntry {
  TimerLog* log;
  int tag;
  bool last;
};

void log_timer(void* argument) {
  auto* entry = static_cast<TimerEntry*>(argument);
  {
    std::lock_guard<std::mutex> lock(entry->log->mutex);
    entry->log->order.push_back(entry->tag);
  }
  if (entry->last) entry->log->loop->shutdown();
}

}  // namespace

TEST(RtTimers, FireInDueOrderAndCancelledOnesDoNot) {
  rt::EventLoop loop;
  TimerLog log{&loop, {}, {}};
  TimerEntry late{&log, 3, true}, early{&log, 1, false}, middle{&log, 2, false},
      cancelled{&log, 99, false};
  ASSERT_NE(0u, loop.schedule(log_timer, &late, 60ms));
  ASSERT_NE(0u, loop.schedule(log_timer, &early, 10ms));
  rt_timer_t doomed = loop.schedule(log_timer, &cancelled, 20ms);
  ASSERT_NE(0u, loop.schedule(log_timer, &middle, 30ms));
  EXPECT_TRUE(loop.unschedule(doomed));
  EXPECT_FALSE(loop.unschedule(doomed));
  EXPECT_EQ(0u, loop.schedule(nullptr, nullptr, 0ms));
  EXPECT_EQ(0u, loop.schedule(log_timer, &early, -1ms));

  Watchdog watchdog(loop, 10s);
  EXPECT_EQ(0, loop.run());
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ((std::vector<int>{1, 2, 3}), log.order);
  EXPECT_EQ(0u, loop.timerCount());
}

TEST(RtTimers, TimerScheduledFromAnotherThreadWakesAnIdleLoop) {
  rt::EventLoop loop;  // no timer and no handler: the poll has no time-out
  TimerLog log{&loop, {}, {}};
  TimerEntry entry{&log, 7, true};
  std::promise<void> running;
  loop.schedule(signal_promise, &running, 0ms);
  std::thread scheduler([&] {
    if (running.get_future().wait_for(10s) != std::future_status::ready) return;
    loop.schedule(log_timer, &entry, 0ms);
  });
  Watchdog watchdog(loop, 10s);
  EXPECT_EQ(0, loop.run());
  scheduler.join();
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ((std::vector<int>{7}), log.order);
}

TEST(RtTimers, OneSecondTimerOfTheMainLoopFires) {
  TimerLog log{&rt::mainLoop(), {}, {}};
  TimerEntry entry{&log, 1, true};
  auto start = std::chrono::steady_clock::now();
  ASSERT_NE(0u, rt_sched(log_timer, &entry, 1));
  EXPECT_EQ(0u, rt_sched(log_timer, &entry, -1));
  Watchdog watchdog(rt::mainLoop(), 10s);
  EXPECT_EQ(0, rt_run());
  EXPECT_FALSE(watchdog.stop());
  EXPECT_EQ((std::vector<int>{1}), log.order);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
}

namespace {

// The shape of a periodic callback: runs, then schedules itself again.
struct Periodic {
  int runs = 0;
  int stop_after = 1000;
  rt_timer_t handle = 0;
};

void periodic_tick(void* argument) {
  auto* p = static_cast<Periodic*>(argument);
  p->handle = 0;
  if (++p->runs < p->stop_after) p->handle = rt_sched(periodic_tick, p, 10);
}

}  // namespace

TEST(RtManualTimers, AdvanceRunsDueTimersDeterministically) {
  rt::ManualTimers timers;
  Periodic p;
  p.handle = rt_sched(periodic_tick, &p, 10);
  ASSERT_NE(0u, p.handle);

  EXPECT_EQ(0u, timers.advance(9s));
  EXPECT_EQ(0, p.runs);
  EXPECT_EQ(1u, timers.advance(1s));
  EXPECT_EQ(1, p.runs);
  EXPECT_EQ(3u, timers.advance(30s));  // ticks at 20, 30 and 40 s
  EXPECT_EQ(4, p.runs);
  EXPECT_EQ(1u, timers.pending());

  EXPECT_EQ(1, rt_unsched(p.handle));
  EXPECT_EQ(0, rt_unsched(p.handle));
  EXPECT_EQ(0u, timers.advance(100s));
  EXPECT_EQ(4, p.runs);
  EXPECT_EQ(0u, timers.pending());
}

namespace {

struct Chain {
  rt::EventLoop* loop;
  int runs;
};

void chain_step(void* argument) {
  auto* chain = static_cast<Chain*>(argument);
  if (++chain->runs < 3) chain->loop->schedule(chain_step, chain, 0ms);
}

}  // namespace

TEST(RtManualTimers, TimersScheduledWithoutDelayByATimerWaitForTheNextPass) {
  rt::EventLoop loop;
  rt::ManualTimers timers(loop);
  Chain chain{&loop, 0};
  loop.schedule(chain_step, &chain, 5s);
  timers.clock().set(timers.clock().now() + 5s);
  // One pass runs only what was due when it began, so a procedure that
  // reschedules itself without delay cannot hold the loop.
  EXPECT_EQ(1u, loop.runDueTimers());
  EXPECT_EQ(1, chain.runs);
  // advance() goes on until nothing within the interval is due.
  EXPECT_EQ(2u, timers.advance(0s));
  EXPECT_EQ(3, chain.runs);
  EXPECT_EQ(0u, timers.pending());
}
