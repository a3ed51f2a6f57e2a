#include "lib/kernel/ostrelagent_korva_request_handler.h"

#include <new>

#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_trace.h"

OstrelAgent_KORVA_Request_Handler* OstrelAgent_KORVA_Request_Handler::g_instance = nullptr;
norvanethread_mutex_t OstrelAgent_KORVA_Request_Handler::g_instance_lock =
    NORVANETHREAD_MUTEX_INITIALIZER;

OstrelAgent_KORVA_Request_Handler::~OstrelAgent_KORVA_Request_Handler() = default;

OstrelAgent_KORVA_Request_Handler* OstrelAgent_KORVA_Request_Handler::get_instance() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA,
                            "OstrelAgent_KORVA_Request_Handler", "get_instance");
    OstrelAgent_KORVA_Request_Handler* instance;
    {
        OstrelAgent_Mutex_Guard guard(g_instance_lock);
        if (g_instance == nullptr)
            g_instance = new (std::nothrow) OstrelAgent_KORVA_Request_Handler_Unix();
        instance = g_instance;
    }
    // The caller fails the start-up (exit status 4) rather than ending the
    // process as if all were well.
    if (instance == nullptr) trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "get_instance returning NULL!");
    return instance;
}
