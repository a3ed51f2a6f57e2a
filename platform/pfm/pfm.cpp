#include "platform/pfm/pfm.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// ---- exit hooks ------------------------------------------------------------

constexpr int kMaxExitHooks = 32;

pthread_mutex_t g_hooks_mutex = PTHREAD_MUTEX_INITIALIZER;
pfm_exit_hook_t g_hooks[kMaxExitHooks];
int g_hook_count = 0;

// The thread that runs the exit hooks. Written once, by the compare-exchange
// that elects it.
std::atomic<bool> g_exiting{false};
pthread_t g_exiting_thread;
std::atomic<bool> g_exiting_thread_known{false};

[[noreturn]] void finish_process(int status) {
  // Only the two output streams: a thread blocked reading standard input
  // holds that stream for as long as the read lasts. A thread that holds
  // one of these is writing to it; the flush waits for that write, so that
  // nothing written or buffered before the exit is lost.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

// ---- report sink -----------------------------------------------------------

pthread_mutex_t g_sink_mutex = PTHREAD_MUTEX_INITIALIZER;
pfm_report_sink_t g_sink = nullptr;
void* g_sink_context = nullptr;

void report(const char* text) {
  // One write so that concurrent reports do not interleave within a line.
  char line[1200];
  int n = std::snprintf(line, sizeof line, "%s\n", text);
  if (n > 0) {
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
  }
  pthread_mutex_lock(&g_sink_mutex);
  pfm_report_sink_t sink = g_sink;
  void* context = g_sink_context;
  pthread_mutex_unlock(&g_sink_mutex);
  if (sink != nullptr) sink(text, context);
}

const char* or_unknown(const char* text) { return text != nullptr ? text : "(unknown)"; }

// ---- signal inhibition -----------------------------------------------------

thread_local int t_inhibit_depth = 0;
thread_local sigset_t t_saved_mask;
// Whether the outermost pfm_inhibit changed the mask (and pfm_enable must
// restore it).
thread_local bool t_mask_changed = false;

// Signal sets as bits (bit n - 1 for signal n), for tests without a call.
using signal_bits = uint64_t;
constexpr int kMaxSignal = 64;

signal_bits bit_of(int sig) { return signal_bits{1} << (sig - 1); }

// The wake-up signals (pfm_wake_signal).
std::atomic<signal_bits> g_wake_signals{0};

// The asynchronous signals a thread of pfm_block_signals lets in; unknown on
// the others.
thread_local bool t_blocked_by_pfm = false;
thread_local signal_bits t_let_in = 0;

void wake_up(int) {}

int failed(int error) {
  errno = error;
  return -1;
}

sigset_t asynchronous_signals() {
  sigset_t set;
  sigfillset(&set);
  // Raised by the thread's own instructions (or its own write to a closed
  // pipe): blocking them would only turn a fault into a hang or a kill.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS, SIGPIPE}) {
    sigdelset(&set, sig);
  }
  return set;
}

}  // namespace

int pfm_signal(int signal_number, pfm_signal_proc_t proc) {
  if (signal_number >= 1 && signal_number <= kMaxSignal) g_wake_signals.fetch_and(~bit_of(signal_number));
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  if (proc == PFM_SIG_IGNORE) {
    action.sa_handler = SIG_IGN;
  } else if (proc == nullptr) {
    action.sa_handler = SIG_DFL;
  } else {
    action.sa_handler = proc;
    action.sa_flags = SA_RESTART;
  }
  return sigaction(signal_number, &action, nullptr) == 0 ? 0 : -1;
}

int pfm_on_exit(pfm_exit_hook_t hook, int flags) {
  if (hook == nullptr || flags != 0) {
    errno = EINVAL;
    return -1;
  }
  pthread_mutex_lock(&g_hooks_mutex);
  int result = 0;
  if (g_hook_count == kMaxExitHooks) {
    errno = ENOMEM;
    result = -1;
  } else {
    g_hooks[g_hook_count++] = hook;
  }
  pthread_mutex_unlock(&g_hooks_mutex);
  return result;
}

void pfm_exit(int status) {
  bool expected = false;
  if (!g_exiting.compare_exchange_strong(expected, true)) {
    // Someone is already ending the process.
    if (g_exiting_thread_known.load() && pthread_equal(g_exiting_thread, pthread_self())) {
      finish_process(status);  // a hook called pfm_exit: do not run hooks again
    }
    for (;;) pause();  // the first caller's _exit takes this thread with it
  }
  g_exiting_thread = pthread_self();
  g_exiting_thread_known.store(true);

  // Run from a copy: a hook that registers another hook must not deadlock.
  pthread_mutex_lock(&g_hooks_mutex);
  pfm_exit_hook_t hooks[kMaxExitHooks];
  int count = g_hook_count;
  std::memcpy(hooks, g_hooks, sizeof(pfm_exit_hook_t) * static_cast<size_t>(count));
  pthread_mutex_unlock(&g_hooks_mutex);

  for (int i = count - 1; i >= 0; --i) hooks[i](status);
  finish_process(status);
}

void pfm_assert_fail(const char* condition, const char* source, int line) {
  char text[1024];
  std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %d", or_unknown(condition),
                or_unknown(source), line);
  report(text);
}

void pfm_panic(const char* source, int line, const char* reason) {
  char text[1024];
  if (reason != nullptr) {
    std::snprintf(text, sizeof text, "Panic: %s, file %s, line %d", reason, or_unknown(source), line);
  } else {
    std::snprintf(text, sizeof text, "Panic: file %s, line %d", or_unknown(source), line);
  }
  report(text);
  std::abort();
}

void pfm_set_report_sink(pfm_report_sink_t sink, void* context) {
  pthread_mutex_lock(&g_sink_mutex);
  g_sink = sink;
  g_sink_context = context;
  pthread_mutex_unlock(&g_sink_mutex);
}

int pfm_wake_signal(int signal_number) {
  if (pfm_signal(signal_number, wake_up) != 0) return -1;
  g_wake_signals.fetch_or(bit_of(signal_number));
  return 0;
}

int pfm_block_signals() {
  const sigset_t async = asynchronous_signals();
  const signal_bits wake = g_wake_signals.load();
  sigset_t mask;
  if (int error = pthread_sigmask(SIG_SETMASK, nullptr, &mask)) return failed(error);
  for (int sig = 1; sig <= kMaxSignal; ++sig) {
    if (sigismember(&async, sig) != 1) continue;
    if ((wake & bit_of(sig)) != 0) {
      sigdelset(&mask, sig);
    } else {
      sigaddset(&mask, sig);
    }
  }
  if (int error = pthread_sigmask(SIG_SETMASK, &mask, nullptr)) return failed(error);
  // What the thread lets in now, as far as a mask can keep it out (the
  // system keeps a few numbers of its own, which no mask blocks).
  if (int error = pthread_sigmask(SIG_SETMASK, nullptr, &mask)) return failed(error);
  signal_bits let_in = 0;
  for (int sig = 1; sig <= kMaxSignal; ++sig) {
    if ((wake & bit_of(sig)) != 0 && sigismember(&mask, sig) == 0) let_in |= bit_of(sig);
  }
  t_let_in = let_in;
  t_blocked_by_pfm = true;
  return 0;
}

void pfm_inhibit() {
  if (t_inhibit_depth++ == 0) {
    // On a thread that lets in wake-up signals alone there is nothing to defer.
    t_mask_changed = !t_blocked_by_pfm || (t_let_in & ~g_wake_signals.load()) != 0;
    if (t_mask_changed) {
      sigset_t set = asynchronous_signals();
      pthread_sigmask(SIG_BLOCK, &set, &t_saved_mask);
    }
  }
}

void pfm_enable() {
  if (t_inhibit_depth == 0) {
    pfm_assert_fail("pfm_inhibit_depth() > 0", "platform/pfm/pfm", __LINE__);
    return;
  }
  if (--t_inhibit_depth == 0 && t_mask_changed) pthread_sigmask(SIG_SETMASK, &t_saved_mask, nullptr);
}

int pfm_inhibit_depth() { return t_inhibit_depth; }
