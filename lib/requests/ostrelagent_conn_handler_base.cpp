#include "lib/requests/ostrelagent_conn_handler_base.h"

#include <new>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/requests/ostrelagent_conn_handler_unix.h"
#include "platform/hooks/test_hooks.h"

OstrelAgent_Conn_Handler_Base::OstrelAgent_Conn_Handler_Base(OstrelAgent_View_Base* view)
    : m_view(view) {}

OstrelAgent_Conn_Handler_Base::~OstrelAgent_Conn_Handler_Base() = default;

OstrelAgent_Conn_Handler_Base* OstrelAgent_Conn_Handler_Base::get_conn_handler(
    OstrelAgent_View_Base* view) {
    if (view == nullptr) return nullptr;
    return new (std::nothrow) OstrelAgent_Conn_Handler_Unix(view);
}

int OstrelAgent_Conn_Handler_Base::start_listener() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Conn_Handler_Base",
                            "start_listener");
    const int error = test_hooks::listener_start_error();
    if (error != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "start forced to fail: %d", error);
        return error;
    }
    return start();
}

int OstrelAgent_Conn_Handler_Base::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Conn_Handler_Base", "run");
    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
    for (;;) {
        int status = setup_listener();
        if (status != 0) {
            manager->set_should_exit();
            if (status == OstrelAgent_Status::EXIT_REQUESTED) break;
        } else {
            status = handle_connection();
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from handle_connection = %d",
                             status);
            if (status == OstrelAgent_Status::EXIT_REQUESTED) break;
        }
        if (manager->should_exit()) break;
    }
    manager->terminate();
    return 0;
}
