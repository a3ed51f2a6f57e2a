#include "platform/rt/rt.h"

#include <chrono>

#include "platform/rt/rt_event_loop.h"

int rt_run() { return rt::mainLoop().run(); }

void rt_shutdown() { rt::mainLoop().shutdown(); }

int rt_handle_fd(int flags, rt_fd_proc_t proc, int fd, void* argument) {
  if (flags != 0) return 0;
  return rt::mainLoop().handleFd(fd, proc, argument) ? 1 : 0;
}

int rt_unhandle_fd(int flags, int fd) {
  if (flags != 0) return 0;
  return rt::mainLoop().unhandleFd(fd) ? 1 : 0;
}

rt_timer_t rt_sched(rt_timer_proc_t proc, void* argument, int seconds) {
  if (seconds < 0) return 0;
  return rt::mainLoop().schedule(proc, argument, std::chrono::seconds(seconds));
}

int rt_unsched(rt_timer_t timer) { return rt::mainLoop().unschedule(timer) ? 1 : 0; }
