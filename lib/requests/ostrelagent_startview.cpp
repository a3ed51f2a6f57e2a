#include "lib/requests/ostrelagent_startview.h"

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/requests/ostrelagent_connect.h"
#include "lib/requests/ostrelagent_view_factory.h"
#include "platform/utl/fileutl.h"

namespace {
const char* const kClass = "OstrelAgent_Startview";
} // namespace

OstrelAgent_Startview::OstrelAgent_Startview(const std::string& request_text,
                                             NorvaneAutoPtr<NorvaneXmlDoc> document,
                                             const std::string& storage)
    : OstrelAgent_AbstractOp(request_text, document), m_storage(storage) {}

OstrelAgent_Startview::~OstrelAgent_Startview() = default;

void OstrelAgent_Startview::parse_request() {
    NorvaneXmlElem* root = parse_validate_request(0);
    if (root == nullptr) return;
    m_status = OstrelAgent_Server::parse_server_info(root, 1, 1, &m_message);
}

void OstrelAgent_Startview::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    if (!fileutl_exists(m_storage.c_str(), 1)) {
        m_status = OstrelAgent_Status::NO_VIEW_STORAGE;
        return;
    }
    if (OstrelAgent_View_Base::get_view() != nullptr) {
        // A view runs already: it stays as it is, and so do its server
        // settings, which the parse would overwrite.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "a view is served already");
        m_status = OstrelAgent_Status::GENERAL_FAILURE;
        return;
    }
    parse_request();
    if (m_status != 0) {
        m_message = parse_error_message();
        return;
    }
    OstrelAgent_View_Factory* factory = OstrelAgent_View_Factory::get_factory();
    OstrelAgent_View_Base* view = factory != nullptr ? factory->get_view_from_stg(m_storage) : nullptr;
    if (view == nullptr) {
        m_status = OstrelAgent_Status::OUT_OF_MEMORY;
        return;
    }
    factory->install_view(view);
    if (OstrelAgent_View_Base::get_view() != view) {
        // Not installed (set_view reported why): nobody else owns it.
        delete view;
        m_status = OstrelAgent_Status::INTERNAL_ERROR;
        return;
    }
    m_view = view;
    m_status = view->start();
    if (m_status != 0) {
        m_message = view->get_status_msg();
        return;
    }
    // The VOBs of the last run come back; one that does not is reported in
    // the log, and the view starts all the same.
    OstrelAgent_Log* log = OstrelAgent_Log::get_instance(m_storage);
    const int remounted = OstrelAgent_Config::get_instance()->remount_vobs();
    if (remounted != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "remount_vobs: %d", remounted);
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::REMOUNT_FAILED);
    }
    if (OstrelAgent_Server::g_online == 0) return; // starts offline
    m_status = OstrelAgent_Connect::connect_to_server(m_message);
    if (m_status != 0) {
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::CONNECT_FAILED,
                       m_message.c_str());
    }
}

std::string OstrelAgent_Startview::get_response() {
    return envelope_reply(OstrelAgent_Tag::STARTVIEW, m_status, false);
}
