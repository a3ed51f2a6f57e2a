#pragma once
// IsProjectVob: whether a VOB that the view has mounted is a project VOB,
// from the mounted-VOB registry; a VOB that is not mounted is not one.
//
// Request: root "IsProjectVob" ("version", "tx-id" required) with a child
// "vob-tag". Reply: the envelope, then "is-project-vob", "true" or "false" (also
// "false" after a refused request).

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_IsProjectVob : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_IsProjectVob(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_IsProjectVob() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();

    std::string m_vob_tag;
    int m_answer = 0;
};
