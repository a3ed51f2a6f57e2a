#include "lib/requests/ostrelagent_abstractop.h"

#include <cxxabi.h>

#include <cstdio>
#include <exception>
#include <cstdlib>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_AbstractOp";

// Catalog positions used here.

// The number a version text stands for, read as decimal strtol reads it
// ("1.0" is 1, text without digits is 0).
long version_number(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

} // namespace

OstrelAgent_AbstractOp::OstrelAgent_AbstractOp(const std::string& request_text,
                                               NorvaneAutoPtr<NorvaneXmlDoc> document)
    : m_request_text(request_text), m_request_doc(document.release()) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "OstrelAgent_AbstractOp");
    if (!m_request_doc) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "No parsed document");
    } else if (m_request_doc->get_root() == nullptr) {
        m_request_name.clear();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Could not get root element");
    } else {
        m_request_name = m_request_doc->get_root()->get_tag();
    }
}

OstrelAgent_AbstractOp::OstrelAgent_AbstractOp() = default;

OstrelAgent_AbstractOp::~OstrelAgent_AbstractOp() = default;

NorvaneXmlElem* OstrelAgent_AbstractOp::parse_validate_request(const int& txid_required) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_validate_request");
    if (!m_request_doc) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Did not get request_doc");
        return nullptr;
    }
    NorvaneXmlElem* root = m_request_doc->get_root();
    if (root == nullptr) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Could not get root element");
        return nullptr;
    }

    const std::string version = root->get_attr(OstrelAgent_Tag::VERSION);
    if (version.empty()) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        m_message = parse_error_message();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Version not specified");
        return nullptr;
    }
    m_requested_version = version;
    if (version_number(version) > version_number(m_supported_version)) {
        m_status = OstrelAgent_Status::UNSUPPORTED_VERSION;
        m_message = parse_error_message();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Version %s not supported",
                         version.c_str());
        return nullptr;
    }

    if (txid_required != 0) {
        m_txid = root->get_attr(OstrelAgent_Tag::TRANS_ID);
        if (m_txid.empty()) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Transaction id not specified");
            m_status = OstrelAgent_Status::MALFORMED_REQUEST;
            m_message = parse_error_message();
            return nullptr;
        }
    }
    return root;
}

void OstrelAgent_AbstractOp::get_txid(const std::string& request_text, std::string& txid) {
    const std::string::size_type word = request_text.find(OstrelAgent_Tag::TRANS_ID);
    if (word == std::string::npos) return;
    const std::string::size_type open = request_text.find('"', word);
    if (open == std::string::npos) return;
    const std::string::size_type close = request_text.find('"', open + 1);
    if (close == std::string::npos) return;
    txid = request_text.substr(open + 1, close - open - 1);
}

int OstrelAgent_AbstractOp::get_view() {
    if (m_view == nullptr) m_view = OstrelAgent_View_Base::get_view();
    if (m_view != nullptr) return 0;
    m_message +=
        OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::NO_VIEW_INFO);
    return OstrelAgent_Status::NO_VIEW;
}

int OstrelAgent_AbstractOp::get_ioctl() {
    if (m_ioctl) return 0;
    const int status = get_view();
    if (status != 0) return status;
    m_ioctl.reset(new OstrelAgent_KORVA_Ioctl(m_view));
    return 0;
}

std::string OstrelAgent_AbstractOp::parse_error_message() const {
    return OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::PARSE_ERROR,
                                    OstrelAgent_Util::mask_passwords(m_request_text).c_str());
}

std::string OstrelAgent_AbstractOp::status_text(int status) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d", status);
    return buffer;
}

int OstrelAgent_AbstractOp::start_reply(NorvaneXmlDoc& doc, const std::string& tag,
                                        int status_code, bool with_txid) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "start_reply");
    const int root_status = doc.create_root_elem(tag);
    if (root_status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "create_root_elem(%s) failed: %d",
                         tag.c_str(), root_status);
        return root_status;
    }
    int status = 0;
    if (with_txid && (status = doc.add_attr(OstrelAgent_Tag::TRANS_ID, m_txid)) != 0)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "adding tx-id failed: %d", status);
    if ((status = doc.add_attr(OstrelAgent_Tag::STATUS_CODE, status_text(status_code))) != 0)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "adding status-code failed: %d", status);
    if (!m_message.empty() &&
        (status = doc.add_elem(OstrelAgent_Tag::STATUS_MESSAGE, m_message)) != 0)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "adding status-message failed: %d",
                         status);
    return 0;
}

std::string OstrelAgent_AbstractOp::finish_reply(NorvaneXmlDoc& doc, int trace_level) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "finish_reply");
    std::string reply;
    doc.get_string(reply);
    trace.writeMasked(trace_level, "Returning response [%s]", reply);
    return reply;
}

std::string OstrelAgent_AbstractOp::envelope_reply(const std::string& tag, int status_code,
                                                   bool with_txid) {
    NorvaneXmlDoc doc;
    if (start_reply(doc, tag, status_code, with_txid) != 0) return std::string();
    return finish_reply(doc);
}

std::string OstrelAgent_AbstractOp::get_error_response(int status, const std::string& message) {
    return error_reply(OstrelAgent_Tag::UNKNOWN, status, message);
}

std::string OstrelAgent_AbstractOp::error_reply(const std::string& root, int status,
                                                const std::string& message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_error_response");
    NorvaneXmlDoc doc;
    if (doc.create_root_elem(root) != 0) return std::string();
    int step = doc.add_attr(OstrelAgent_Tag::STATUS_CODE, status_text(status));
    if (step == 0 && !message.empty()) step = doc.add_elem(OstrelAgent_Tag::STATUS_MESSAGE, message);
    if (step != 0) trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "building reply: %d", step);
    std::string reply;
    doc.get_string(reply);
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Returning response [%s]", reply);
    return reply;
}

namespace {

// Runs `body`. An exception fails the request being served, not the
// process: it is traced (`what` says which step threw) and false comes
// back. A thread's forced end is let through.
template <typename Body>
bool contained(const OstrelAgent_Trace& trace, const char* what, Body body) {
    try {
        body();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "exception while %s: %s", what, e.what());
    } catch (...) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "exception while %s", what);
    }
    return false;
}

} // namespace

OstrelAgent_AbstractOp* OstrelAgent_AbstractOp::create_operation(std::string& request_text,
                                                                 std::string& storage,
                                                                 int& status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "create_operation");
    OstrelAgent_AbstractOp* op = nullptr;
    if (contained(trace, "parsing the request",
                  [&] { op = create_xml_request_handler(request_text, storage, status); }))
        return op;
    status = OstrelAgent_Status::INTERNAL_ERROR;
    return nullptr;
}

std::string OstrelAgent_AbstractOp::run_and_reply(int& status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "run_and_reply");
    std::string reply;
    if (contained(trace, "serving the request", [&] {
            process_request();
            reply = get_response();
        })) {
        status = m_status;
        return reply;
    }
    status = OstrelAgent_Status::GENERAL_FAILURE;
    return get_error_response(status, std::string());
}
