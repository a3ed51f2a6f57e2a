#include "platform/rt/rt_manual_clock.h"

namespace rt {

ManualClock::ManualClock() : now_(std::chrono::steady_clock::now()) {}

ManualTimers::ManualTimers() : ManualTimers(mainLoop()) {}

ManualTimers::ManualTimers(EventLoop& loop) : loop_(loop) { loop_.setClock(&clock_); }

ManualTimers::~ManualTimers() { loop_.setClock(nullptr); }

size_t ManualTimers::advance(std::chrono::milliseconds by) {
  const TimePoint target = clock_.now() + by;
  size_t ran = 0;
  // A procedure that keeps scheduling itself with no delay would hold the
  // clock still for ever; such a test fails on its own assertions instead of
  // hanging here.
  constexpr int kMaxPasses = 100000;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    std::optional<TimePoint> due = loop_.nextDue();
    if (!due || *due > target) break;
    if (*due > clock_.now()) clock_.set(*due);
    ran += loop_.runDueTimers();
  }
  clock_.set(target);
  return ran;
}

}  // namespace rt
