#include "lib/requests/ostrelagent_endview.h"

#include "lib/client/rclient_logout.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view.h"
#include "platform/qel/qel.h"

namespace {
const char* const kClass = "OstrelAgent_Endview";
} // namespace

OstrelAgent_Endview::OstrelAgent_Endview(const std::string& request_text,
                                         NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_Endview::OstrelAgent_Endview(bool forced) : m_forced(forced) {}

OstrelAgent_Endview::~OstrelAgent_Endview() = default;

void OstrelAgent_Endview::parse_request() { parse_validate_request(1); }

void OstrelAgent_Endview::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status == 0) perform_endview();
}

void OstrelAgent_Endview::perform_endview() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "perform_endview");
    m_status = get_view();
    if (m_status != 0) return;

    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
    if (manager == nullptr) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "Cannot find thread manager to shut down?");
        m_status = OstrelAgent_Status::INTERNAL_ERROR;
        return;
    }

    if (m_forced) {
        OstrelAgent_View::abort_update();
        OstrelAgent_View::wait_for_finished_update();
    }

    unmount_vobs();
    if (!m_forced && m_status != 0) return;

    // A client's EndView and a signal at the same time: the view is
    // unregistered once.
    const int unregistered = m_view->unregister_once();
    if (unregistered != 0) {
        m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table,
                                              OstrelAgent_Lib_Msg::UNREGISTER_FAILED,
                                              qel_strerror(unregistered));
        m_status = OstrelAgent_Util::qel_to_ostrel_status(unregistered);
        // A client may try again while the view goes on being served; a
        // termination signal must end the daemon all the same, with this
        // failure as its outcome.
        if (!m_forced) {
            remount_vobs();
            return;
        }
    }

    manager->set_should_exit();
    manager->drain_incomplete();
    if (OstrelAgent_Server::g_online != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Logout from server.");
        Logout logout;
        logout.run(); // the view ends whatever the server says
    }
    manager->wait_for_terminate();
    if (unregistered == 0) m_status = OstrelAgent_Status::SHUTDOWN_IN_PROGRESS;
}

void OstrelAgent_Endview::unmount_vobs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "unmount_vobs");
    m_status = get_ioctl();
    // No VOB is mounted until MountVob exists.
}

void OstrelAgent_Endview::remount_vobs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "remount_vobs");
}

std::string OstrelAgent_Endview::get_response() {
    const int shown = m_status == OstrelAgent_Status::SHUTDOWN_IN_PROGRESS ? 0 : m_status;
    return envelope_reply(OstrelAgent_Tag::ENDVIEW, shown);
}
