#include "lib/client/rclient_get_configspec.h"

#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const kClass = "Get_ConfigSpec";
const char* const RPC_ID = "Ostrel_Norvane::getconfigspec_rpc";
const char* const VIEW_UUID = "ViewUuid";
const char* const FRZ_LOAD_SCOPES = "FreezeLoadScopes";
const char* const ELEM_RULES_CONTENT_ID = "CspecElementRules";
const char* const TESSEL_ELEM_RULES_CONTENT_ID = "CspecTesselElementRules";
const char* const LOAD_RULES_CONTENT_ID = "CspecLoadRules";
const char* const FRZ_LOAD_SCOPES_CONTENT_ID = "CspecFrzLoadScopes";
// A config spec's rules are texts a user wrote: far longer than a record,
// still bounded.
const uint64_t RULES_PART_LIMIT = 16 << 20;
} // namespace

Get_ConfigSpec::Get_ConfigSpec(const qel_uuid_s& view) : Get_ConfigSpec(view, false) {}

Get_ConfigSpec::Get_ConfigSpec(const qel_uuid_s& view, bool freeze_load_scopes)
    : RClient_Abstract_Cmd(RPC_ID, true), m_view(view), m_freeze_load_scopes(freeze_load_scopes) {
    set_part_limit(RULES_PART_LIMIT);
}

int Get_ConfigSpec::marshal_request(RClient_Request_Args* /*args*/) {
    if (refuse_null_view(m_view)) return OstrelAgent_Status::RC_MARSHAL_FAILED;
    marshal_arg(VIEW_UUID, m_view);
    marshal_arg(FRZ_LOAD_SCOPES, m_freeze_load_scopes ? 1 : 0);
    return 0;
}

int Get_ConfigSpec::prepend_body(std::string& text) {
    return decode_part_body([&text](unsigned int len, const char* data) {
        text.insert(0, data != nullptr ? data : "", len);
        return 0;
    });
}

int Get_ConfigSpec::read_part(const std::string& id) {
    if (id == ELEM_RULES_CONTENT_ID) return prepend_body(m_element_rules);
    if (id == TESSEL_ELEM_RULES_CONTENT_ID) return prepend_body(m_tessel_element_rules);
    if (id == LOAD_RULES_CONTENT_ID) return prepend_body(m_load_rules);
    if (id == FRZ_LOAD_SCOPES_CONTENT_ID) {
        ostrel_scope scope;
        std::memset(&scope, 0, sizeof scope);
        int status = decode_part_body(
            [&scope](unsigned int len, const char* data) { return ostrel_scope_decode(len, data, &scope); });
        // A scope that does not decode is no scope at all.
        if (status == 0) m_frozen_load_scopes.push_back(scope);
        return status;
    }
    return 0;
}

int Get_ConfigSpec::unmarshal_response() {
    int result = read_parts([this](const std::string& id) { return read_part(id); });
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_5)) {
        trace.writeTrace("Element rules = %s", m_element_rules.c_str());
        trace.writeTrace("Tessel element rules = %s", m_tessel_element_rules.c_str());
    }
    return result;
}
