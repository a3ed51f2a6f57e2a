// Platform hooks: signal procedures, exit hooks, failed-condition reports and
// deferral of asynchronous signals.
#pragma once

// Signal procedure of pfm_signal.
typedef void (*pfm_signal_proc_t)(int signal_number);

// Passed to pfm_signal in place of a procedure: the signal is ignored.
inline const pfm_signal_proc_t PFM_SIG_IGNORE = reinterpret_cast<pfm_signal_proc_t>(1);

// Installs `proc` for `signal_number` (PFM_SIG_IGNORE ignores the signal, a null
// procedure restores the default action). The procedure runs in signal context
// and must restrict itself to async-signal-safe work. Interrupted system calls
// are restarted. 0 on success, -1 with errno set.
int pfm_signal(int signal_number, pfm_signal_proc_t proc);

// Exit hook: receives the status given to pfm_exit.
typedef void (*pfm_exit_hook_t)(int status);

// Registers `hook` for pfm_exit; `flags` must be 0. Hooks run in the reverse
// order of registration (the last subsystem up is the first one down), each
// once. 0 on success, -1 with errno set (EINVAL for a null hook or nonzero
// flags, ENOMEM when the table is full).
int pfm_on_exit(pfm_exit_hook_t hook, int flags);

// Runs the exit hooks, flushes standard output and standard error (after a
// write that another thread has under way on them) and ends the process with
// `status`. Callable from any thread: the first caller runs the hooks on its
// own thread; a caller on another thread that comes while they run blocks
// until the process is gone; a hook that calls pfm_exit ends the process at
// once with the new status. Static destructors do not run, since other
// threads may still be using those objects.
[[noreturn]] void pfm_exit(int status);

// Reports a failed internal condition on standard error and to the report
// sink, then returns: the caller carries on.
void pfm_assert_fail(const char* condition, const char* source, int line);

// Reports an unrecoverable fault (source, line and an optional reason) like
// pfm_assert_fail, then aborts the process without running exit hooks.
[[noreturn]] void pfm_panic(const char* source, int line, const char* reason = nullptr);

// Where reports of pfm_assert_fail and pfm_panic go besides standard error
// (the agent's trace installs one). The sink gets the report line without a
// trailing newline and the context given here; it may be called from any
// thread. A null sink removes it.
typedef void (*pfm_report_sink_t)(const char* text, void* context);
void pfm_set_report_sink(pfm_report_sink_t sink, void* context);

// Installs a handler that does nothing for `signal_number`, which makes it a
// wake-up signal: sent to a thread to end a wait early (the wait fails with
// EINTR; other calls are restarted). 0 on success, -1 with errno set. A later
// pfm_signal for the same number makes it an ordinary signal again.
int pfm_wake_signal(int signal_number);

// Blocks the asynchronous signals (all but the fault signals raised by the
// thread's own instructions) on the calling thread for good, but for the
// wake-up signals, which it lets in: a thread that takes none of the
// process's signals, such as a worker of a pool. The thread must not unblock
// them again. 0 on success, -1 with errno set.
int pfm_block_signals();

// Defers the asynchronous signals (all but the fault signals raised by the
// thread's own instructions) on the calling thread. Nestable: pfm_enable lets
// them in again when it matches the outermost pfm_inhibit, restoring the mask
// that the thread had before it. An unmatched pfm_enable is reported through
// pfm_assert_fail and changes nothing. On a thread that pfm_block_signals
// made, whose only signals let in are still wake-up signals when the
// outermost pfm_inhibit comes, neither changes the mask: all a wake-up signal
// can do there is end a wait early, which a caller must be ready for anyway.
void pfm_inhibit();
void pfm_enable();

// Nesting depth of pfm_inhibit on the calling thread.
int pfm_inhibit_depth();
