#pragma once
// SetConfigSpec: replaces the view's config spec. The new load rules are
// checked and normalised first; then, holding the view's update slot so that
// no update runs meanwhile (a busy slot fails at once with 20044), the
// element rules and the load rules go to the server, the kernel's copy of
// the whole view is flushed, the element rules are cached in ".config_spec",
// the scopes of dropped load rules are marked for deletion by the next
// update, scopes for the new ones are added, the VOBs that the server names
// for the load rules are mounted and each new load rule is resolved once.
// Load rules present before and after are left alone.
//
// The Restore operation uses restore_config_spec instead: it sets the view,
// the element rules and the server's load scopes, holds the slot itself,
// and has the view's rules file and scopes brought to that state without
// anything being sent to the server.
//
// Request: root "SetConfigSpec" ("version", "tx-id"), children
// "element-rules", "tessel-element-rules" (at least one of them not empty)
// and "load-rules" (optional attribute "force-update"), one rule a line. A
// load rule is "load <view-relative path>"; it is stored as "load " and the
// path with repeated separators and "." components gone. Reply: the
// envelope alone.
//
// Nothing is rolled back: once the server took the new rules, a local
// failure leaves the local caches partly updated, and the reply says so.

#include <memory>
#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_ConfigSpec;

class OstrelAgent_SetConfigSpec : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_ELEMENT_RULES = "element-rules";
    static constexpr const char* TAG_TESSEL_ELEMENT_RULES = "tessel-element-rules";
    static constexpr const char* TAG_LOAD_RULES = "load-rules";
    static constexpr const char* FORCE_UPDATE = "force-update";
    static constexpr const char* LF = "\n";
    static constexpr const char* LOADSTR = "load";
    static constexpr const char* COMMENTSTR = "#";

    OstrelAgent_SetConfigSpec(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // Without a request: the restore path.
    OstrelAgent_SetConfigSpec();
    ~OstrelAgent_SetConfigSpec() override;

    void process_request() override;
    std::string get_response() override;

    // The client's request once it is parsed and the view is known; the
    // argument is not consulted.
    void set_config_spec(int);
    // The restore path (the argument is not consulted): caches the element
    // rules, then deletes the scopes that the restore scopes lack (their
    // roots flushed from the kernel), adds those it lacks, mounts the VOB
    // tags given and resolves each added scope, and re-creates the scopes
    // whose id changed. The caller holds the update slot.
    void restore_config_spec(int);

    // What the restore path works from.
    void set_view(OstrelAgent_View_Base* view) { m_view = view; }
    void set_element_rules(const std::string& rules) { m_element_rules = rules; }
    void set_restore_scopes(const std::vector<ostrel_scope>& scopes) { m_restore_scopes = scopes; }
    void set_vob_tags(const std::vector<std::string>& tags) { m_vob_tags = tags; }

    // The load rules a request's text gives: one "load <path>" per line that
    // holds one, in order, its path normalised. 0, or the refusal (20054 a
    // comment; 20055 "..", identical or nested rules; 20021 a line that is
    // not a load rule) with its text appended to `message`; `out` then holds
    // the rules accepted before.
    static int format_load_rules(const std::string& text, std::vector<std::string>& out, std::string& message);
    // The path of a load rule: the text after its first "load", trimmed
    // (empty when there is none).
    static std::string get_one_scope(const std::string& rule);

    int get_force_update() const { return m_force_update; }
    const std::vector<std::string>& get_added_load_rules() const { return m_added_load_rules; }
    const std::vector<std::string>& get_dropped_load_rules() const { return m_dropped_load_rules; }

private:
    void parse_request();
    void format_element_rules(std::vector<std::string>& out) const;
    static void sanitize_load_rule(std::string& scope);
    static std::vector<std::string> get_scopes(const std::vector<std::string>& rules);
    // The difference between `new_scopes` and the view database's active
    // scopes, into the added and dropped lists. False, with the status and
    // message 48 set, when the scopes cannot be read.
    bool sort_load_rules(const std::vector<std::string>& new_scopes);
    void handle_load_rules();
    void handle_load_scopes();
    static bool found_scope_by_pn(const ostrel_scope& scope, const std::vector<ostrel_scope>& scopes,
                                  ostrel_scope& match);
    void mount_vobs();
    // Walks each path name (each scope's, when `scopes`) to fetch what it names.
    void get_metadata(const std::vector<std::string>& pathnames, bool scopes = false);
    void get_metadata(const std::vector<ostrel_scope>& scopes);
    // Sends the rules to the server; the status is check_rpc_status's.
    void send_to_server(const std::vector<std::string>& element_rules, const std::vector<std::string>& load_rules);
    // The store of the view's storage, made on first use.
    OstrelAgent_ConfigSpec& store();
    // A failed step of the store: status 1 and the store's text appended.
    void store_failed();

    std::string m_element_rules;
    std::string m_tessel_element_rules;
    std::string m_load_rules;
    int m_force_update = 0;
    std::vector<ostrel_scope> m_restore_scopes;
    std::vector<std::string> m_vob_tags;
    std::vector<std::string> m_added_load_rules;
    std::vector<std::string> m_dropped_load_rules;
    std::unique_ptr<OstrelAgent_ConfigSpec> m_store;
    size_t m_store_reported = 0; // how much of the store's text is in the message
};
