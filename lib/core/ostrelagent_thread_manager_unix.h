#pragma once
// The request thread manager's platform steps on POSIX systems: the shutdown
// notice is one byte written into the shutdown pipe, and a thread waits for
// input on a descriptor together with the pipe's read end, so that shutdown
// ends every such wait at once.

#include "lib/core/ostrelagent_thread_manager_base.h"

class OstrelAgent_Thread_Manager_Unix : public OstrelAgent_Thread_Manager_Base {
public:
    // The process uses the one made by get_instance(); a separate manager
    // (tests) behaves the same but is not reached by wait_for_input.
    OstrelAgent_Thread_Manager_Unix();
    ~OstrelAgent_Thread_Manager_Unix() override;

    // Writes one zero byte into the shutdown pipe when it exists. The byte is
    // never read: the pipe stays readable for the rest of the process.
    void post_shutdown_notice() override;

    // Waits, without time-out, until `fd` is readable or the agent exits, on
    // the singleton (which it does not create). 0 when `fd` is readable (or
    // at its end of file); 20038 once the exit flag is set or the shutdown
    // pipe is readable (tested first); 20040 when waiting fails (also for a
    // descriptor that is not open); 20001 when there is no shutdown pipe yet.
    // A signal that interrupts the wait does not end it. Descriptors of any
    // number may be waited for.
    static int wait_for_input(int fd);

    // The same on this manager.
    int wait_for_input_method(int fd);

    // Waits until a write to `fd` would not block, the agent exits, or
    // `timeout_ms` milliseconds pass (a negative time-out: no limit), on the
    // singleton. 0 when writable; 20038 once the agent exits (tested first);
    // 20039 on the time-out; 20040 when waiting fails; 20001 without a
    // shutdown pipe.
    static int wait_for_output(int fd, int timeout_ms);
    // The same on this manager.
    int wait_for_output_method(int fd, int timeout_ms);

private:
    // The process's manager; null (reported) when there is none yet.
    static OstrelAgent_Thread_Manager_Unix* process_instance();
    // Polls `fd` for `events` together with the shutdown pipe.
    int wait_on(int fd, short events, short ready_events, int timeout_ms, const char* ready_text);
};
