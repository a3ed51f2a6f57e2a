#pragma once
// GetAggregatedState: what the view as a whole holds of one state: whether
// it has checked-out elements or hijacked files, or the full paths of all
// of them, or of its view-private files (of every VOB or of one).
//
// Request: root "GetAggregatedState" ("version", "tx-id" required), "state"
// one of "CHECKOUTS", "HIJACKS", "OTHERS" (whole, case-sensitive), and
// "get-paths": exactly "true" asks for the paths, any other text for a
// yes/no answer, which "OTHERS" does not give. "OTHERS" may name a VOB root
// in "path" to list that VOB's files alone. Reply: the envelope, then one
// "path" per path found (also those found before a failure), or
// "has-state" "true"/"false" (also after a refused request).
//
// The answer comes from the view database through the namespace's
// view-wide queries; nothing is asked of the server but what walking the
// "OTHERS" path needs.

#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_GetAggregatedState : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* TAG_STATE = "state";
    static constexpr const char* TAG_GET_PATHS = "get-paths";
    static constexpr const char* TAG_HAS_STATE = "has-state";
    static constexpr const char* VALUE_CHECKOUTS = "CHECKOUTS";
    static constexpr const char* VALUE_HIJACKS = "HIJACKS";
    static constexpr const char* VALUE_OTHERS = "OTHERS";

    OstrelAgent_GetAggregatedState(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_GetAggregatedState() override;

    void process_request() override;
    std::string get_response() override;

    bool get_has_state() const { return m_has_state; }
    const std::vector<std::string>& get_paths() const { return m_paths; }

private:
    void parse_request();
    // The text of the request's child `tag` into `text`; false, with the
    // request refused as lacking it, when it is missing or empty.
    bool required_text(NorvaneXmlElem* root, const char* tag, std::string& text);
    // "OTHERS": the view-private files of the VOB whose root the path
    // names, or of every VOB.
    void find_privates();
    // A failed view query's status `status` (a base status), its message
    // at catalogue position `position`.
    void query_failed(int status, int position);

    bool m_hijacks = false;
    bool m_checkouts = false;
    bool m_others = false;
    int m_get_paths = 0;
    bool m_has_state = false;
    std::vector<std::string> m_paths;
};
