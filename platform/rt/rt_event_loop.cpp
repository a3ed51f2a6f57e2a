#include "platform/rt/rt_event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace rt {

const SteadyClock EventLoop::kSteadyClock;

EventLoop::EventLoop() : clock_(&kSteadyClock) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read_ = fds[0];
    wake_write_ = fds[1];
  }
}

EventLoop::~EventLoop() {
  if (wake_read_ >= 0) close(wake_read_);
  if (wake_write_ >= 0) close(wake_write_);
}

void EventLoop::wake() {
  if (wake_write_ < 0) return;
  char byte = 0;
  // A full pipe already holds a wake-up; nothing else can go wrong that the
  // loop could act on. errno is kept: this runs in signal procedures too.
  const int saved_errno = errno;
  ssize_t ignored = write(wake_write_, &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

void EventLoop::drainWakePipe() {
  char buffer[64];
  while (read(wake_read_, buffer, sizeof buffer) > 0) {
  }
}

void EventLoop::shutdown() {
  shutdown_requested_.store(true);
  wake();
}

bool EventLoop::handleFd(int fd, rt_fd_proc_t proc, void* argument) {
  if (fd < 0 || proc == nullptr) return false;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[fd] = Handler{proc, argument, next_serial_++};
  } catch (const std::bad_alloc&) {
    return false;
  }
  wake();
  return true;
}

bool EventLoop::unhandleFd(int fd) {
  bool removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removed = handlers_.erase(fd) > 0;
  }
  if (removed) wake();
  return removed;
}

rt_timer_t EventLoop::schedule(rt_timer_proc_t proc, void* argument, std::chrono::milliseconds delay) {
  if (proc == nullptr || delay.count() < 0) return 0;
  TimePoint due = clock().now() + delay;
  rt_timer_t id;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    do {
      id = ++last_id_;
    } while (id == 0 || timers_.count(id) != 0);
    uint64_t order = next_order_++;
    queue_.insert(QueueEntry{due, order, id});
    try {
      timers_.emplace(id, Timer{proc, argument, due, order});
    } catch (...) {
      queue_.erase(QueueEntry{due, order, id});
      throw;
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  wake();
  return id;
}

bool EventLoop::unschedule(rt_timer_t timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = timers_.find(timer);
  if (it == timers_.end()) return false;
  queue_.erase(QueueEntry{it->second.due, it->second.order, timer});
  timers_.erase(it);
  return true;
}

size_t EventLoop::runDueTimers() {
  TimePoint now = clock().now();
  std::vector<rt_timer_t> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const QueueEntry& entry : queue_) {
      if (std::get<0>(entry) > now) break;
      due.push_back(std::get<2>(entry));
    }
  }
  size_t ran = 0;
  for (rt_timer_t id : due) {
    Timer timer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = timers_.find(id);
      if (it == timers_.end()) continue;  // cancelled by an earlier procedure
      timer = it->second;
      queue_.erase(QueueEntry{timer.due, timer.order, id});
      timers_.erase(it);
    }
    timer.proc(timer.argument);
    ++ran;
  }
  return ran;
}

std::optional<TimePoint> EventLoop::nextDue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  return std::get<0>(*queue_.begin());
}

size_t EventLoop::timerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.size();
}

size_t EventLoop::handlerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handlers_.size();
}

void EventLoop::setClock(const Clock* clock) {
  clock_.store(clock != nullptr ? clock : &kSteadyClock);
  wake();
}

const Clock& EventLoop::clock() const { return *clock_.load(); }

int EventLoop::pollTimeoutMs() const {
  std::optional<TimePoint> due = nextDue();
  if (!due) return -1;
  const Clock& c = clock();
  TimePoint now = c.now();
  if (*due <= now) return 0;
  if (!c.advancesByItself()) return -1;  // only a wake-up can make it due
  // Round up, so that the loop does not spin on a timer that is almost due.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

void EventLoop::dispatch(int fd, uint64_t serial, short revents) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handlers_.find(fd);
    if (it == handlers_.end() || it->second.serial != serial) return;  // gone meanwhile
    if (revents & POLLNVAL) {
      handlers_.erase(it);
      std::fprintf(stderr, "rt: descriptor %d was closed while handled; handler dropped\n", fd);
      return;
    }
    handler = it->second;
  }
  handler.proc(fd, handler.argument);
}

int EventLoop::run() {
  if (wake_read_ < 0) return -1;
  if (running_.exchange(true)) return -1;
  int result = 0;
  std::vector<pollfd> fds;
  std::vector<uint64_t> serials;
  while (!shutdown_requested_.exchange(false)) {
    fds.clear();
    serials.clear();
    fds.push_back(pollfd{wake_read_, POLLIN, 0});
    serials.push_back(0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [fd, handler] : handlers_) {
        fds.push_back(pollfd{fd, POLLIN, 0});
        serials.push_back(handler.serial);
      }
    }
    int n = poll(fds.data(), fds.size(), pollTimeoutMs());
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "rt: poll failed: %s\n", std::strerror(errno));
      result = -1;
      break;
    }
    if (fds[0].revents != 0) drainWakePipe();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) dispatch(fds[i].fd, serials[i], fds[i].revents);
    }
    runDueTimers();
  }
  running_.store(false);
  return result;
}

EventLoop& mainLoop() {
  static EventLoop* loop = new EventLoop;
  return *loop;
}

}  // namespace rt
