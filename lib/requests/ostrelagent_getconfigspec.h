#pragma once
// GetConfigSpec: the view's config spec. Element rules and tessel element
// rules come from the server while the agent is online (and are then cached
// in the view's rules files), from the rules files while it is offline (the
// tessel rules only for a view of type "tessel"); load rules always come
// from the view database's load-rule scopes. MkView also runs the server
// fetch (get_server_cspec) on an operation of its own, made without a
// request, to fill a new view's rules files.
//
// Request: root "GetConfigSpec" ("version", "tx-id" required; "refresh" is
// accepted and changes nothing). Reply: the envelope, then "element-rules",
// "tessel-element-rules" and "load-rules" ("load <path>\n" per scope), all
// three always present.

#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_ConfigSpec;

class OstrelAgent_GetConfigSpec : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_ELEMENT_RULES = "element-rules";
    static constexpr const char* TAG_TESSEL_ELEMENT_RULES = "tessel-element-rules";
    static constexpr const char* TAG_LOAD_RULES = "load-rules";
    static constexpr const char* LOADSTR = "load ";
    static constexpr const char* LF = "\n";
    static constexpr const char* TESSEL_VIEW_TYPE = "tessel";

    OstrelAgent_GetConfigSpec(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // Without a request: the fetch of a view that MkView has just made.
    OstrelAgent_GetConfigSpec();
    ~OstrelAgent_GetConfigSpec() override;

    void process_request() override;
    std::string get_response() override;

    // Fetches the rules from the server into the operation and caches both
    // rules texts through `store`; the outcome in the status and message.
    void get_server_cspec(OstrelAgent_ConfigSpec& store);

    const std::string& get_element_rules() const { return m_element_rules; }
    const std::string& get_tessel_element_rules() const { return m_tessel_element_rules; }
    const std::vector<ostrel_scope>& get_load_scopes() const { return m_load_scopes; }

private:
    void parse_request();

    std::string m_element_rules;
    std::string m_tessel_element_rules;
    std::vector<ostrel_scope> m_load_scopes;
};
