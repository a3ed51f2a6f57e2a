#include "lib/core/ostrelagent_request_handler_thread.h"

#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"

OstrelAgent_Request_Handler_Thread::OstrelAgent_Request_Handler_Thread(
    OstrelAgent_Thread_Manager_Base& manager)
    : m_manager(manager) {}

OstrelAgent_Request_Handler_Thread::~OstrelAgent_Request_Handler_Thread() = default;

int OstrelAgent_Request_Handler_Thread::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Request_Handler_Thread",
                            "run");
    return m_manager.pool_thread(this);
}
