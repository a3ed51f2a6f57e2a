#include "bin/ostrel_agent_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/norvanethread/norvanethread.h"

namespace {

norvanethread_mutex_t ostrelagent_shutdown_mutex = NORVANETHREAD_MUTEX_INITIALIZER;
int ostrelagent_shutdown_signal = 0; // guarded by ostrelagent_shutdown_mutex

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

int ostrel_agent_block_termination_signals() {
    const sigset_t set = termination_signals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int ostrel_agent_wait_for_shutdown_signal() {
    const sigset_t set = termination_signals();
    int signal_number = 0;
    for (;;) {
        const int result = sigwait(&set, &signal_number);
        if (result == 0) break;
        if (result != EINTR) return 0;
    }
    norvanethread_mutex_lock(&ostrelagent_shutdown_mutex);
    ostrelagent_shutdown_signal = signal_number;
    norvanethread_mutex_unlock(&ostrelagent_shutdown_mutex);
    return signal_number;
}

int ostrel_agent_shutdown_signal() {
    norvanethread_mutex_lock(&ostrelagent_shutdown_mutex);
    const int value = ostrelagent_shutdown_signal;
    norvanethread_mutex_unlock(&ostrelagent_shutdown_mutex);
    return value;
}

int ostrel_agent_watch_child(pid_t child, int* wait_status) {
    // The child's end is a signal like the others, so one wait takes both.
    // TERM, INT and HUP are blocked already.
    sigset_t set = termination_signals();
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        const pid_t waited = waitpid(child, wait_status, WNOHANG);
        if (waited == child) return 0;
        if (waited == -1 && errno != EINTR) return errno;
        // A starter that ignores SIGCHLD makes the child's end send none:
        // look again every second all the same.
        struct timespec tick = {1, 0};
        const int signal_number = sigtimedwait(&set, nullptr, &tick);
        if (signal_number == SIGTERM || signal_number == SIGINT || signal_number == SIGHUP)
            kill(child, signal_number);
    }
}
