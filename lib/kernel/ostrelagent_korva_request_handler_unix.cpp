#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"

#include <cstdlib>
#include <new>

#include "lib/core/ostrelagent_config.h"
#include "lib/kernel/ostrelagent_korva_thread_unix.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "OstrelAgent_KORVA_Request_Handler_Unix";
} // namespace

OstrelAgent_KORVA_Request_Handler_Unix::OstrelAgent_KORVA_Request_Handler_Unix() = default;

OstrelAgent_KORVA_Request_Handler_Unix::~OstrelAgent_KORVA_Request_Handler_Unix() = default;

int OstrelAgent_KORVA_Request_Handler_Unix::start_listening() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, kClass, "start_listening");
    const std::string setting =
        OstrelAgent_Config::get_instance()->find(OstrelAgent_Config::NUM_KORVA_THREADS);
    const int count = static_cast<int>(std::strtol(setting.c_str(), nullptr, 10));
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Starting %d KORVA request handler threads.",
                     count);
    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
    for (int i = 0; i < count; ++i) {
        OstrelAgent_KORVA_Thread_Unix* thread = new (std::nothrow) OstrelAgent_KORVA_Thread_Unix();
        if (thread == nullptr) break;
        manager->start_op(thread);
    }
    return 0;
}

void OstrelAgent_KORVA_Request_Handler_Unix::stop_listening() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, kClass, "stop_listening");
}
