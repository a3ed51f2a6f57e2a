#include "lib/requests/ostrelagent_mkview.h"

#include "lib/client/rclient_logout.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/requests/ostrelagent_connect.h"
#include "lib/requests/ostrelagent_getconfigspec.h"
#include "lib/requests/ostrelagent_view_factory.h"
#include "platform/qel/qel.h"
#include "platform/utl/fileutl.h"
#include "xml/norvane_xml_elem.h"

namespace {

const char* const kClass = "OstrelAgent_Mkview";

// Request elements.
const char* const VIEW_UUID = "view-uuid";
const char* const VIEW_TYPE = "view-type";
const char* const CLTXT_CACHE_DIR = "cltxt-cache-dir";
const char* const PRESERVE_TIMES = "preserve-vob-modified-time";
const char* const SERVER_TAG = "server-tag";
const char* const TEXT_MODE = "text-mode";

namespace Msg = OstrelAgent_Lib_Msg;

const int QEL_NO_DOM = 1062; // the base status whose text a failed factory reports

} // namespace

OstrelAgent_Mkview::OstrelAgent_Mkview(const std::string& request_text,
                                       NorvaneAutoPtr<NorvaneXmlDoc> document,
                                       const std::string& storage)
    : OstrelAgent_AbstractOp(request_text, document), m_storage(storage) {}

OstrelAgent_Mkview::~OstrelAgent_Mkview() = default;

std::string OstrelAgent_Mkview::child_text(NorvaneXmlElem* root, const char* tag) {
    NorvaneXmlElem* child = root->extract_child(tag);
    return child != nullptr ? child->get_value() : std::string();
}

void OstrelAgent_Mkview::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_validate_request(0);
    if (root == nullptr) return;

    const auto refuse = [this](int message) {
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        m_message = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, message,
                                             m_storage.c_str());
    };
    if ((m_view_uuid = child_text(root, VIEW_UUID)).empty()) return refuse(Msg::NO_VIEW_UUID);
    if ((m_view_type = child_text(root, VIEW_TYPE)).empty()) return refuse(Msg::NO_VIEW_TYPE);
    if ((m_cltxt_cache_dir = child_text(root, CLTXT_CACHE_DIR)).empty())
        return refuse(Msg::NO_CLTXT_CACHE_DIR);
    m_preserve = child_text(root, PRESERVE_TIMES) == "true" ? 1 : 0;
    if ((m_server_tag = child_text(root, SERVER_TAG)).empty()) return refuse(Msg::NO_SERVER_TAG);
    if ((m_text_mode = child_text(root, TEXT_MODE)).empty()) return refuse(Msg::NO_TEXT_MODE);
    m_status = check_values();
    if (m_status != 0) return;

    m_status = OstrelAgent_Server::parse_server_info(root, 1, 0, &m_message);
    if (m_status != 0) return;
    if (!OstrelAgent_Server::is_valid()) {
        m_status = OstrelAgent_Status::BAD_SERVER_INFO;
        m_message = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::BAD_SERVER_INFO,
                                             m_storage.c_str());
        return;
    }
    OstrelAgent_Server::g_online = 1; // a new view always starts online
}

int OstrelAgent_Mkview::check_values() {
    using Util = OstrelAgent_Util;
    // The server tag names the view's directory of the kernel's registry;
    // the text mode is a name of the cache's files and a step of the
    // cleartext URL; every value is a line of the view's metadata file.
    if (!Util::fits_one_line(m_server_tag) || !Util::is_safe_name(m_server_tag.data(), m_server_tag.size()))
        return OstrelAgent_Server::refuse_value(SERVER_TAG, m_server_tag, &m_message);
    const bool url_safe = m_text_mode.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                        "0123456789-._~") == std::string::npos;
    if (!url_safe || !Util::is_safe_name(m_text_mode.data(), m_text_mode.size()))
        return OstrelAgent_Server::refuse_value(TEXT_MODE, m_text_mode, &m_message);
    if (!Util::fits_one_line(m_view_type)) return OstrelAgent_Server::refuse_value(VIEW_TYPE, m_view_type, &m_message);
    if (!Util::fits_one_line(m_cltxt_cache_dir))
        return OstrelAgent_Server::refuse_value(CLTXT_CACHE_DIR, m_cltxt_cache_dir, &m_message);
    return 0;
}

void OstrelAgent_Mkview::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    if (fileutl_exists(m_storage.c_str(), 0)) {
        m_status = OstrelAgent_Status::VIEW_EXISTS;
        m_message = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, Msg::VIEW_EXISTS,
                                             m_storage.c_str());
        return;
    }
    parse_request();
    if (m_status != 0) return;
    if (OstrelAgent_View_Base::get_view() != nullptr) {
        // A view runs already: it stays as it is.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "a view is served already");
        m_status = OstrelAgent_Status::GENERAL_FAILURE;
        return;
    }

    OstrelAgent_View_Factory* factory = OstrelAgent_View_Factory::get_factory();
    OstrelAgent_View_Base* view =
        factory != nullptr ? factory->get_view_from_list(m_storage, m_cltxt_cache_dir, m_view_uuid, m_server_tag,
                                                         m_text_mode, m_view_type, m_preserve)
                           : nullptr;
    if (view == nullptr) {
        m_status = OstrelAgent_Status::OUT_OF_MEMORY;
        m_message = qel_strerror(QEL_NO_DOM);
        return;
    }
    m_status = view->create();
    if (m_status != 0) {
        m_message = view->get_status_msg();
        view->cleanup_storage();
        delete view;
        return;
    }
    factory->install_view(view);
    if (OstrelAgent_View_Base::get_view() != view) {
        // Not installed (set_view reported why): undo the new view.
        view->cleanup();
        view->cleanup_storage();
        delete view;
        m_status = OstrelAgent_Status::INTERNAL_ERROR;
        return;
    }
    m_view = view;
    m_status = OstrelAgent_Connect::connect_to_server(m_message);
    const bool logged_in = m_status == 0;
    if (logged_in) {
        // The new view's rules files, from the server.
        OstrelAgent_GetConfigSpec fetch;
        OstrelAgent_ConfigSpec store(view->get_storage_path());
        fetch.get_server_cspec(store);
        m_status = fetch.get_status();
        if (m_status != 0) m_message += fetch.get_message();
    }
    if (m_status != 0) {
        // The daemon ends with this reply: nothing of the new view stays,
        // nor its session on the server.
        if (logged_in) {
            Logout logout;
            logout.run(); // whatever the server says
        }
        view->cleanup();
        view->cleanup_storage();
    }
}

std::string OstrelAgent_Mkview::get_response() {
    return envelope_reply(OstrelAgent_Tag::MKVIEW, m_status, false);
}
