#include "lib/requests/ostrelagent_vemri_request.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_request_handler_base.h"

namespace {
const char* const kClass = "OstrelAgent_VEMRI_Request";
} // namespace

OstrelAgent_VEMRI_Request::OstrelAgent_VEMRI_Request(OstrelAgent_Request_Handler_Base* handler,
                                                     const std::string& request_text)
    : OstrelAgent_Request(FOREGROUND), m_handler(handler), m_request_text(request_text) {
    if (m_handler != nullptr) m_handler->add_outstanding();
}

OstrelAgent_VEMRI_Request::~OstrelAgent_VEMRI_Request() {
    m_op.reset();
    // Last: the handler may be deleted as soon as its count drops to 0.
    if (m_handler != nullptr) m_handler->release_outstanding();
}

int OstrelAgent_VEMRI_Request::begin_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "begin_request");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling get_parent_request_handler()");
    if (m_handler == nullptr) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Null get_parent_request_handler, giving up");
        return OstrelAgent_Status::INTERNAL_ERROR;
    }
    int status = 0;
    const OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    std::string storage = view != nullptr ? view->get_storage_path() : std::string();
    std::string text = m_request_text;
    m_op.reset();
    m_op.reset(OstrelAgent_AbstractOp::create_operation(text, storage, status));
    return status;
}

int OstrelAgent_VEMRI_Request::handle_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "handle_request");
    int status = begin_request();
    if (m_handler == nullptr) return status;
    std::string reply;
    if (!m_op) {
        // Answered as on standard input, so that the client does not wait
        // for a reply that would never come.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "No XML request handler available");
        if (status == 0) status = OstrelAgent_Status::INTERNAL_ERROR;
        reply = OstrelAgent_AbstractOp::get_error_response(
            status, OstrelAgent_Util::mask_passwords(m_request_text));
    } else {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling request's process request");
        reply = m_op->run_and_reply(status);
    }
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Response string is %s", reply);
    m_handler->send_response(reply);
    return status;
}

int OstrelAgent_VEMRI_Request::cancel_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "cancel_request");
    begin_request();
    if (m_handler == nullptr) return 0;
    // The operation is built only to learn the request's name.
    std::string name;
    if (m_op) m_op->get_request_name(name);
    const std::string reply = cancellation_reply(name);
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Response string is %s", reply);
    m_handler->send_response(reply);
    return 0;
}

std::string OstrelAgent_VEMRI_Request::cancellation_reply(const std::string& request_name) {
    return OstrelAgent_AbstractOp::error_reply(
        request_name.empty() ? OstrelAgent_Tag::SHUTDOWN_IN_PROGRESS : request_name,
        OstrelAgent_Status::SHUTDOWN_IN_PROGRESS,
        OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::SHUTTING_DOWN));
}

bool OstrelAgent_VEMRI_Request::is_equivalent(const OstrelAgent_Request* /*other*/) const {
    return false;
}

const char* OstrelAgent_VEMRI_Request::toString() {
    if (m_description.empty()) m_description = OstrelAgent_Util::mask_passwords(m_request_text);
    return m_description.c_str();
}
