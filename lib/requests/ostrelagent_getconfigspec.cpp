#include "lib/requests/ostrelagent_getconfigspec.h"

#include "lib/client/rclient_get_configspec.h"
#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_configspec.h"

namespace {
const char* const kClass = "OstrelAgent_GetConfigSpec";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
} // namespace

OstrelAgent_GetConfigSpec::OstrelAgent_GetConfigSpec(const std::string& request_text,
                                                     NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_GetConfigSpec::OstrelAgent_GetConfigSpec() = default;

OstrelAgent_GetConfigSpec::~OstrelAgent_GetConfigSpec() = default;

void OstrelAgent_GetConfigSpec::parse_request() {
    m_status = 0;
    parse_validate_request(1);
}

void OstrelAgent_GetConfigSpec::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "parse_request error");
        return;
    }
    m_status = get_view();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_2, "get_view error");
        return;
    }
    OstrelAgent_ConfigSpec store(m_view->get_storage_path());
    if (OstrelAgent_Server::g_online != 0) {
        get_server_cspec(store);
    } else {
        if (m_view->get_view_type() == TESSEL_VIEW_TYPE)
            m_status = store.get_cached_tessel_elem_rules(m_tessel_element_rules);
        if (m_status == 0) m_status = store.get_cached_elem_rules(m_element_rules);
        if (m_status != 0) {
            // What the rules files lack only the server has.
            trace.writeTrace(LEVEL_4, "Need to ask the server");
            m_status = 0;
        }
        if (OstrelAgent_Server::g_online != 0) get_server_cspec(store);
    }
    if (m_status != 0) return;
    m_status = store.get_cached_load_scopes(m_load_scopes);
    if (m_status != 0)
        m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::LOAD_RULES_UNREAD);
}

void OstrelAgent_GetConfigSpec::get_server_cspec(OstrelAgent_ConfigSpec& store) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "get_server_cspec");
    m_status = get_view();
    if (m_status != 0) return;
    trace.writeTrace(LEVEL_4, "Calling Get_ConfigSpec");
    Get_ConfigSpec command(m_view->get_view_uuid());
    command.run();
    int server_status = 0;
    m_status = command.check_rpc_status(*OstrelAgent_Log::get_instance(m_view->get_storage_path()), m_message,
                                        server_status);
    trace.writeTrace(LEVEL_4, "Returning from wan request %d", m_status);
    if (m_status != 0) return;
    m_tessel_element_rules = command.m_tessel_element_rules;
    m_element_rules = command.m_element_rules;
    m_status = store.save_elem_rules(m_element_rules);
    if (m_status == 0) m_status = store.save_tessel_elem_rules(m_tessel_element_rules);
    if (m_status != 0) m_message += store.get_error_text();
}

std::string OstrelAgent_GetConfigSpec::get_response() {
    NorvaneXmlDoc doc;
    if (start_reply(doc, OstrelAgent_Tag::GETCONFIGSPEC, m_status) != 0) return std::string();
    std::string load_rules;
    for (const ostrel_scope& scope : m_load_scopes) load_rules += std::string(LOADSTR) + scope.pname + LF;
    doc.add_elem(TAG_ELEMENT_RULES, m_element_rules);
    doc.add_elem(TAG_TESSEL_ELEMENT_RULES, m_tessel_element_rules);
    doc.add_elem(TAG_LOAD_RULES, load_rules);
    return finish_reply(doc);
}
