#pragma once
// Sends a view's new config spec to the server: its element rules, its load
// rules and a force flag. The server answers with the view's current
// operation generation number and view generation number ("ViewInfo"; the
// numbers mean something only when m_view_info_received is set) and the
// tag of the VOB that each load rule names, in order. Read the members
// after run() and check_rpc_status().

#include <string>
#include <vector>

#include "lib/client/rclient_abstract_cmd.h"

class Set_ConfigSpec : public RClient_Abstract_Cmd {
public:
    Set_ConfigSpec(qel_uuid_s view, const std::vector<std::string>& element_rules,
                   const std::vector<std::string>& load_rules, int force);

    // "ViewUuid", "NumElemRules", one "ElemRule" per element rule,
    // "NumLoadRules", one "LoadRule" per load rule, "ForceUpdate". A null
    // view uuid is refused: 30010, nothing sent.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

    qel_uuid_s m_view;
    std::vector<std::string> m_element_rules;
    std::vector<std::string> m_load_rules;
    std::vector<std::string> m_vob_tags; // one per "LoadRuleVobTag" part
    int m_force;
    unsigned int m_current_operation_gn = 0;
    unsigned int m_view_gn = 0;
    int m_view_info_received = 0;

private:
    int read_part(const std::string& id);
};
