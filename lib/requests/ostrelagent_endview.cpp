#include "lib/requests/ostrelagent_endview.h"

#include <poll.h>

#include <map>

#include "lib/client/http_client_base.h"
#include "lib/client/rclient_logout.h"
#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

namespace {
const char* const kClass = "OstrelAgent_Endview";
// The kernel's answer for a VOB in use, and the pause before the one retry.
const int KORVA_BUSY = 1088;
const int BUSY_RETRY_MS = 2000;

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
        // The update stops at its next check; a remote call it is waiting
        // for (a stream or a download) is cut, so that it ends at once.
        OstrelAgent_View_Base::abort_update();
        Http_Client_Base::cancel_transfers();
        OstrelAgent_View_Base::wait_for_finished_update();
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
    // The requests still running end without waiting for the server, and so
    // does the logout below.
    Http_Client_Base::cancel_transfers();
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
    if (m_status != 0) return;
    std::map<std::string, VOB_mount_info> vobs;
    {
        OstrelAgent_Mutex_Guard guard(OstrelAgent_Config::g_config_lock);
        vobs = OstrelAgent_Config::g_mounted_vobs;
    }
    for (const auto& entry : vobs) {
        const VOB_mount_info& vob = entry.second;
        if (vob.mounted == 0) continue;
        int raw_status = 0;
        int status = ioctl()->umount_vob(vob.vob_tag.c_str(), vob.family_oid, raw_status);
        if (status != 0 && raw_status == KORVA_BUSY) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "EBUSY, sleeping");
            ::poll(nullptr, 0, BUSY_RETRY_MS);
            status = ioctl()->umount_vob(vob.vob_tag.c_str(), vob.family_oid, raw_status);
        }
        if (status == 0 || status == OstrelAgent_Status::VOB_NOT_MOUNTED) {
            m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::UNMOUNTED, vob.vob_tag.c_str());
            m_unmounted.push_back(vob);
            continue;
        }
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::UNMOUNT_FAILED, vob.vob_tag.c_str(), qel_strerror(raw_status));
        m_status = status;
        imsg_print(IMSG_KIND_WARN, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::UNMOUNT_FAILED,
                   vob.vob_tag.c_str(), qel_strerror(raw_status));
    }
    if (m_status != 0) {
        m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::SOME_NOT_UNMOUNTED);
        remount_vobs();
    }
}

void OstrelAgent_Endview::remount_vobs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "remount_vobs");
    if (get_ioctl() != 0) return;
    for (const VOB_mount_info& vob : m_unmounted) {
        int status = ioctl()->mount_vob(vob.vob_tag.c_str(), vob.storage.c_str(), vob.replica_oid, vob.family_oid);
        if (status == OstrelAgent_Status::VOB_ALREADY_MOUNTED) status = 0;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Remount %s: %d", vob.vob_tag.c_str(), status);
        if (status == 0) {
            m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::REMOUNTED, vob.vob_tag.c_str());
        } else {
            m_message += OstrelAgent_Lib_Msg::text(OstrelAgent_Lib_Msg::REMOUNT_VOB_FAILED, vob.vob_tag.c_str(), status);
            m_status = status;
        }
    }
    m_unmounted.clear();
}

std::string OstrelAgent_Endview::get_response() {
    const int shown = m_status == OstrelAgent_Status::SHUTDOWN_IN_PROGRESS ? 0 : m_status;
    return envelope_reply(OstrelAgent_Tag::ENDVIEW, shown);
}
