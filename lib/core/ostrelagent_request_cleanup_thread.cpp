#include "lib/core/ostrelagent_request_cleanup_thread.h"

#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"

OstrelAgent_Request_Cleanup_Thread::OstrelAgent_Request_Cleanup_Thread(
    OstrelAgent_Thread_Manager_Base& manager)
    : m_manager(manager) {}

OstrelAgent_Request_Cleanup_Thread::~OstrelAgent_Request_Cleanup_Thread() = default;

int OstrelAgent_Request_Cleanup_Thread::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Request_Cleanup_Thread",
                            "run");
    m_manager.register_thread(this);
    m_manager.do_cleanup(1);
    // From here on the object belongs to the cleanup queue.
    m_manager.push_into_cleanup_queue(this);
    return 0;
}
