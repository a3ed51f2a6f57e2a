#include "bin/ostrel_agent_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <initializer_list>

#include "platform/norvanethread/norvanethread.h"
#include "platform/pfm/pfm.h"

namespace {

norvanethread_mutex_t ostrelagent_shutdown_mutex = NORVANETHREAD_MUTEX_INITIALIZER;
int ostrelagent_shutdown_signal = 0; // guarded by ostrelagent_shutdown_mutex

// The watcher's child; set before the forwarding procedure can run.
volatile pid_t forward_to = 0;

void forward_signal(int signal_number) {
    const int saved = errno;
    if (forward_to > 0) kill(forward_to, signal_number);
    errno = saved;
}

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

int ostrel_agent_forward_termination_signals(pid_t child) {
    forward_to = child;
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        if (pfm_signal(signal_number, forward_signal) != 0) return errno;
    }
    const sigset_t set = termination_signals();
    return pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
