#pragma once
// IsVobPublic: whether a VOB that the view has mounted is public, from the
// mounted-VOB registry; a VOB that is not mounted is not public.
//
// Request: root "IsVobPublic" ("version", "tx-id" required) with a child
// "vob-tag". Reply: the envelope, then "is-public", "true" or "false" (also
// "false" after a refused request).

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_IsVobPublic : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_IsVobPublic(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_IsVobPublic() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();

    std::string m_vob_tag;
    int m_answer = 0;
};
