// Event loop of the process: descriptor handlers and timers, run by rt_run on
// the thread that calls it (the main thread), until rt_shutdown.
//
// Handlers and timer procedures run on the loop's thread, one at a time, with
// no lock of the loop held: they may register, cancel and schedule, and other
// threads may do so at any time.
#pragma once

// Descriptor handler: called with the descriptor and the handler's argument
// whenever the descriptor is readable (or at end of file, or in error). The
// loop polls level-triggered: a handler that leaves data unread is called
// again.
typedef void (*rt_fd_proc_t)(int fd, void* argument);

// Timer procedure: called once with the timer's argument when it is due.
typedef void (*rt_timer_proc_t)(void* argument);

// Id of a scheduled timer; 0 is no timer.
typedef unsigned int rt_timer_t;

// Runs the loop on the calling thread until rt_shutdown. 0 when shut down; -1
// when the loop is already running on another thread or polling failed.
int rt_run();

// Makes the running rt_run return promptly, or the next one return at once
// when none runs. Callable from any thread, also from a signal procedure.
void rt_shutdown();

// Calls `proc(fd, argument)` from the loop whenever `fd` is readable, until
// rt_unhandle_fd. A descriptor has one handler: a second registration replaces
// the first. `flags` must be 0. Nonzero on success, 0 for a negative
// descriptor, a null procedure, nonzero flags or exhausted memory.
int rt_handle_fd(int flags, rt_fd_proc_t proc, int fd, void* argument);

// Ends the handling of `fd`. Nonzero when a handler was registered.
// Unregister a descriptor before closing it: the loop drops (and reports on
// standard error) a handler whose descriptor turns out to be closed.
int rt_unhandle_fd(int flags, int fd);

// Schedules `proc(argument)` once, `seconds` seconds from now (0: at the next
// turn of the loop). A procedure that wants to run periodically schedules
// itself again. Returns the timer's id, or 0 for a null procedure, a negative
// interval or exhausted memory.
rt_timer_t rt_sched(rt_timer_proc_t proc, void* argument, int seconds);

// Cancels a timer that has not run yet. Nonzero when it was still scheduled;
// 0 when it is unknown, ran already, or is running right now.
int rt_unsched(rt_timer_t timer);
