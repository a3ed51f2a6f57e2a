#include "lib/client/rclient_set_configspec.h"

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Set_ConfigSpec";
const char* const RPC_ID = "Ostrel_Norvane::setconfigspec_rpc";
const char* const VIEW_UUID = "ViewUuid";
const char* const NUM_ELEM_RULES = "NumElemRules";
const char* const ELEM_RULE = "ElemRule";
const char* const NUM_LOAD_RULES = "NumLoadRules";
const char* const LOAD_RULE = "LoadRule";
const char* const FORCE_UPDATE = "ForceUpdate";
const char* const LOAD_RULE_VOB_TAG = "LoadRuleVobTag";
const char* const VOB_TAG = "VobTag";
const char* const VIEW_INFO = "ViewInfo";
const char* const CURRENT_OPERATION_GN = "CurrentOperationGN";
const char* const VIEW_GN = "ViewGN";
} // namespace

Set_ConfigSpec::Set_ConfigSpec(qel_uuid_s view, const std::vector<std::string>& element_rules,
                               const std::vector<std::string>& load_rules, int force)
    : RClient_Abstract_Cmd(RPC_ID, true),
      m_view(view),
      m_element_rules(element_rules),
      m_load_rules(load_rules),
      m_force(force) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "force update = %d", m_force);
}

int Set_ConfigSpec::marshal_request(RClient_Request_Args* /*args*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "marshal_request");
    if (refuse_null_view(m_view)) return OstrelAgent_Status::RC_MARSHAL_FAILED;
    const bool traced = trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4);
    if (traced) trace.writeTrace("Calling Set_ConfigSpec with force= %d", m_force);
    marshal_arg(VIEW_UUID, m_view);
    marshal_arg(NUM_ELEM_RULES, static_cast<unsigned int>(m_element_rules.size()));
    for (size_t i = 0; i < m_element_rules.size(); ++i) {
        if (traced) trace.writeTrace("Elem rule[%d] = %s", static_cast<int>(i), m_element_rules[i].c_str());
        marshal_arg(ELEM_RULE, m_element_rules[i].c_str());
    }
    marshal_arg(NUM_LOAD_RULES, static_cast<unsigned int>(m_load_rules.size()));
    for (size_t i = 0; i < m_load_rules.size(); ++i) {
        if (traced) trace.writeTrace("Load rule[%d] = %s", static_cast<int>(i), m_load_rules[i].c_str());
        marshal_arg(LOAD_RULE, m_load_rules[i].c_str());
    }
    marshal_arg(FORCE_UPDATE, m_force);
    return 0;
}

int Set_ConfigSpec::read_part(const std::string& id) {
    if (id == LOAD_RULE_VOB_TAG) {
        std::string tag = parser()->get_part_item(VOB_TAG);
        if (!tag.empty() && tag[0] == '\\') tag[0] = '/';
        m_vob_tags.push_back(tag);
    } else if (id == VIEW_INFO) {
        // A part without both numbers leaves the flag as it was; the
        // caller tells by the flag, so the reading goes on.
        try {
            unmarshal_item(CURRENT_OPERATION_GN, m_current_operation_gn);
            unmarshal_item(VIEW_GN, m_view_gn);
            m_view_info_received = 1;
        } catch (const RClient_Malformed_Response_Exception& e) {
            OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Exception %d", e.get_code());
        }
    }
    return 0;
}

int Set_ConfigSpec::unmarshal_response() {
    return read_parts([this](const std::string& id) { return read_part(id); });
}
