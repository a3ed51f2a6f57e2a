#pragma once
// The shutdown latch between the termination signals (TERM, INT, HUP) and
// the forced-shutdown thread. No procedure runs in signal context: the
// signals are blocked in every thread from the start (the mask is inherited
// by the forked daemon and by every thread it makes), so they stay pending
// until the forced-shutdown thread takes the first one with sigwait and
// records it under the latch's mutex. Later signals stay pending with
// nobody to take them, and so have no effect; the watcher, which never
// takes them, is not stopped by them either.

// Blocks TERM, INT and HUP in the calling thread. 0, or an errno value.
int ostrel_agent_block_termination_signals();

// Blocks until the first termination signal (also one that arrived before
// the call), records it and returns its number; 0 when waiting failed.
int ostrel_agent_wait_for_shutdown_signal();

// The number of the signal recorded, 0 while none was.
int ostrel_agent_shutdown_signal();
