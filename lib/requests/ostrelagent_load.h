#pragma once
// Load: checks a load request and reports the outcome of the check. It
// keeps the path, the hijack treatment and the ptime flag of a well-formed
// request and changes nothing in the view.
//
// Request: root "Load" ("version", "tx-id" required) with a child "path"
// (required; below the view root) and a child "load-flags" whose attribute
// "hijack-treatment" is "keep", "overwrite" or "rename" (required) and whose
// attribute "ptime" is "true" to preserve times. Reply: the envelope alone.

#include "lib/core/ostrelagent_util.h"
#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Load : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* LOAD_FLAGS = "load-flags";
    static constexpr const char* HIJACK_TREATMENT = "hijack-treatment";
    static constexpr const char* PTIME = "ptime";

    OstrelAgent_Load(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Load() override;

    void process_request() override;
    std::string get_response() override;

    int get_ptime() const { return m_ptime; }
    OstrelAgent_Util::HijackTreatment get_hijack_treatment() const { return m_hijack_treatment; }

private:
    void parse_request();

    int m_ptime = 0;
    OstrelAgent_Util::HijackTreatment m_hijack_treatment = OstrelAgent_Util::HIJACK_KEEP;
};
