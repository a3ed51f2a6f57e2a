#include "lib/kernel/ostrelagent_korva_thread_unix.h"

#include <fcntl.h>
#include <unistd.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/core/ostrelagent_trace.h"

OstrelAgent_KORVA_Thread_Unix::OstrelAgent_KORVA_Thread_Unix() = default;

OstrelAgent_KORVA_Thread_Unix::~OstrelAgent_KORVA_Thread_Unix() = default;

int OstrelAgent_KORVA_Thread_Unix::execute() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, "OstrelAgent_KORVA_Thread_Unix",
                            "execute");
    // A pipe that nobody writes: the wait ends only when the agent exits.
    int idle[2];
    if (pipe2(idle, O_CLOEXEC) != 0) return OstrelAgent_Status::PIPE_FAILED;
    while (!get_manager()->should_exit()) {
        const int status = OstrelAgent_Thread_Manager_Unix::wait_for_input(idle[0]);
        if (status == OstrelAgent_Status::EXIT_REQUESTED) break;
        if (status != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "waiting failed: %d", status);
            break;
        }
    }
    close(idle[0]);
    close(idle[1]);
    return 0;
}
