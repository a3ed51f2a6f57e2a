#pragma once
// Fetches a view's config spec as the server holds it: the element rules,
// the tessel element rules and the load rules, each one text taken byte for
// byte from its reply part, and, when asked to freeze them, the load scopes
// the server freezes for the view. Read the members after check_rpc_status
// returned 0: a part that cannot be read or decoded fails the call.

#include <string>
#include <vector>

#include "lib/client/rclient_abstract_cmd.h"
#include "xdr/ostrelxdr_blob.h"

class Get_ConfigSpec : public RClient_Abstract_Cmd {
public:
    explicit Get_ConfigSpec(const qel_uuid_s& view);
    Get_ConfigSpec(const qel_uuid_s& view, bool freeze_load_scopes);

    // "ViewUuid", "FreezeLoadScopes" ("1" or "0"). A null view uuid is
    // refused: 30010, nothing sent.
    int marshal_request(RClient_Request_Args* args) override;
    int unmarshal_response() override;

    qel_uuid_s m_view;
    std::string m_element_rules;
    std::string m_tessel_element_rules;
    std::string m_load_rules;
    bool m_freeze_load_scopes;
    std::vector<ostrel_scope> m_frozen_load_scopes; // in reply order

private:
    int read_part(const std::string& id);
    // The body of the current part in front of `text`.
    int prepend_body(std::string& text);
};
