#pragma once
// The shutdown latch between the termination signals (TERM, INT, HUP) and
// the forced-shutdown thread. No procedure of the daemon runs in signal
// context: the signals are blocked in every thread from the start (the
// mask is inherited by the forked daemon and by every thread it makes), so
// they stay pending until the forced-shutdown thread takes the first one
// with sigwait and records it under the latch's mutex. That one ends the
// daemon; later ones stay pending with nobody to take them.
//
// The watcher is the process its starter knows (a service manager, a
// time-out, `kill <pid>`): it passes TERM, INT and HUP on to the daemon and
// is not stopped by them itself.

#include <sys/types.h>

// Blocks TERM, INT and HUP in the calling thread. 0, or an errno value.
int ostrel_agent_block_termination_signals();

// Blocks until the first termination signal (also one that arrived before
// the call), records it and returns its number; 0 when waiting failed.
int ostrel_agent_wait_for_shutdown_signal();

// The number of the signal recorded, 0 while none was.
int ostrel_agent_shutdown_signal();

// In the watcher: waits for `child` to end while sending every TERM, INT
// and HUP (also one that came before) on to it. 0 with the wait status in
// `*wait_status`, or the errno value of a failed wait (ECHILD when the child
// cannot be waited for).
int ostrel_agent_watch_child(pid_t child, int* wait_status);
