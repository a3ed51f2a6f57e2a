#include "lib/view/ostrelagent_view_handler.h"

#include <curl/curl.h>

#include <iostream>
#include <memory>

#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_ns_fetch.h"
#include "lib/kernel/ostrelagent_korva_request_handler.h"
#include "lib/ns/ns_cache.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_conn_handler_base.h"
#include "lib/requests/ostrelagent_mountvob.h"
#include "lib/requests/ostrelagent_request_handler_base.h"
#include "lib/view/ostrelagent_view.h"
#include "platform/pfm/pfm.h"
#include "platform/rt/rt.h"

namespace {
const char* const kClass = "OstrelAgent_View_Handler";
} // namespace

OstrelAgent_View_Handler* OstrelAgent_View_Handler::g_instance = nullptr;
norvanethread_mutex_t OstrelAgent_View_Handler::g_request_lock = NORVANETHREAD_MUTEX_INITIALIZER;
norvanethread_t OstrelAgent_View_Handler::g_main_thread{};

OstrelAgent_View_Handler::OstrelAgent_View_Handler(const std::string& storage)
    : m_storage(storage) {
    g_instance = this;
    wire_floors();
    OstrelAgent_View_Factory::set_factory(this);
}

OstrelAgent_View_Handler::~OstrelAgent_View_Handler() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "~OstrelAgent_View_Handler");
    OstrelAgent_View_Factory::set_factory(nullptr);
    delete OstrelAgent_View_Base::exchange_view(nullptr);
    g_instance = nullptr;
}

void OstrelAgent_View_Handler::wire_floors() {
    OstrelAgent_Ns_Fetch::install();
    ns_cache_install_db_flush();
    OstrelAgent_Config::set_vob_mounter(OstrelAgent_Mountvob::mounter());
    OstrelAgent_Element_Ops::install();
}

OstrelAgent_View_Base* OstrelAgent_View_Handler::get_view_from_stg(const std::string& storage) {
    return OstrelAgent_View::get_view_from_stg(storage);
}

OstrelAgent_View_Base* OstrelAgent_View_Handler::get_view_from_list(
    const std::string& storage, const std::string& cltxt_cache_dir, const std::string& view_uuid,
    const std::string& server_tag, const std::string& text_mode, const std::string& view_type, int preserve) {
    return OstrelAgent_View::get_view_from_list(storage, cltxt_cache_dir, view_uuid, server_tag, text_mode, view_type,
                                                preserve);
}

void OstrelAgent_View_Handler::install_view(OstrelAgent_View_Base* view) {
    // This factory makes no other kind of view.
    set_view(static_cast<OstrelAgent_View*>(view));
}

OstrelAgent_View_Handler* OstrelAgent_View_Handler::get_instance(const std::string& storage) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_instance");
    if (g_instance == nullptr) {
        g_main_thread = norvanethread_self();
        return new OstrelAgent_View_Handler(storage);
    }
    if (g_instance->m_storage != storage) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                         "Someone requested instance at wrong location %s, should be %s!",
                         storage.c_str(), g_instance->m_storage.c_str());
        return nullptr;
    }
    return g_instance;
}

void OstrelAgent_View_Handler::set_view(OstrelAgent_View* view) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "set_view");
    if (!pthread_equal(norvanethread_self(), g_main_thread)) {
        pfm_assert_fail("set_view on the main thread", __FILE__, __LINE__);
        return;
    }
    if (OstrelAgent_View_Base::get_view() != nullptr) {
        pfm_assert_fail("no view set yet", __FILE__, __LINE__);
        return;
    }
    OstrelAgent_View_Base::exchange_view(view);
}

OstrelAgent_View* OstrelAgent_View_Handler::get_view() {
    // Every view installed is one of these (set_view takes no other).
    return static_cast<OstrelAgent_View*>(OstrelAgent_View_Base::get_view());
}

void OstrelAgent_View_Handler::lock_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "lock_request %p",
                     static_cast<void*>(&g_request_lock));
    norvanethread_mutex_lock(&g_request_lock);
}

void OstrelAgent_View_Handler::clean_up() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "clean_up");
    RClient_Session* session = RClient_Session::get_session();
    if (session != nullptr) session->flush_curl_handles();
    curl_global_cleanup();
}

int OstrelAgent_View_Handler::prepare_view(const std::function<void()>& request_read) {
    return prepare_view(std::cin, std::cout, request_read);
}

int OstrelAgent_View_Handler::prepare_view(std::istream& in, std::ostream& out,
                                           const std::function<void()>& request_read) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "prepare_view");
    std::string request;
    int status = OstrelAgent_Request_Handler_Base::read_request(in, request);
    if (request_read) request_read();

    std::unique_ptr<OstrelAgent_AbstractOp> op;
    std::string reply;
    if (status != 0) {
        // A line that did not fit: what was read is not what was sent.
        reply = OstrelAgent_AbstractOp::get_error_response(
            status, OstrelAgent_Util::format(
                        &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::REQUEST_LINE_TOO_LONG,
                        static_cast<int>(OstrelAgent_Request_Handler_Base::MAX_LINE - 1)));
    } else {
        op.reset(OstrelAgent_AbstractOp::create_operation(request, m_storage, status));
        if (!op) {
            reply = OstrelAgent_AbstractOp::get_error_response(
                status, OstrelAgent_Util::mask_passwords(request));
        } else {
            std::string name;
            op->get_request_name(name);
            // A StartView's own records belong in the log.
            if (name == OstrelAgent_Tag::STARTVIEW) OstrelAgent_Log::g_enabled = 1;
            reply = op->run_and_reply(status);
        }
    }

    OstrelAgent_Request_Handler_Base::send_response(out, reply);

    if (status == 0) {
        OstrelAgent_View* view = get_view();
        // Only StartView and MkView install a view.
        status = view != nullptr ? view->get_view_info() : OstrelAgent_Status::NO_VIEW;
    }
    return status;
}

int OstrelAgent_View_Handler::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "run");
    int status = 0;
    bool loop_ran = false;
    OstrelAgent_KORVA_Request_Handler* korva = OstrelAgent_KORVA_Request_Handler::get_instance();
    std::unique_ptr<OstrelAgent_Conn_Handler_Base> conn(
        OstrelAgent_Conn_Handler_Base::get_conn_handler(get_view()));
    OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();

    if (korva == nullptr || !conn || manager == nullptr) {
        status = OstrelAgent_Status::OUT_OF_MEMORY;
    } else if ((status = manager->initialize()) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "thread manager failed: %d", status);
    } else {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Starting KORVA listening");
        status = korva->start_listening();
        if (status == 0 && (status = conn->start_listener()) != 0) {
            // Without the listener nobody would end the thread manager, and
            // a forced EndView would wait for that for ever: the failure
            // path below stops what was started, as for the steps before.
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                             "Unable to start connection handler thread: error %d", status);
        }
        if (status == 0) {
            loop_ran = true;
            if (rt_run() != 0) {
                // The loop could not run: stop the listener so that it can be
                // joined, and report the main loop as failed.
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "the event loop failed");
                manager->set_should_exit();
                status = OstrelAgent_Status::GENERAL_FAILURE;
            }
        }
    }

    if (status != 0 && !loop_ran) {
        // A forced EndView may be ending the view at the same time: the view
        // is unregistered once, and terminate wakes that EndView's wait.
        OstrelAgent_View* view = get_view();
        if (view != nullptr) view->unregister_once();
        if (korva != nullptr) korva->stop_listening();
        if (manager != nullptr) {
            manager->set_should_exit();
            manager->terminate();
        }
    }

    if (korva != nullptr) korva->stop_listening();
    if (loop_ran) conn->join();
    return status;
}
