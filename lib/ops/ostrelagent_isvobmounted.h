#pragma once
// IsVobMounted: whether the view has the VOB of a tag mounted, from the
// mounted-VOB registry. The tag is compared byte for byte with the
// registered ones; a tag that is not registered is simply not mounted.
//
// Request: root "IsVobMounted" ("version", "tx-id" required) with a child
// "vob-tag". Reply: the envelope, then "mount-state", "true" or "false"
// (also "false" after a refused request).

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Isvobmounted : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Isvobmounted(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Isvobmounted() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();

    std::string m_vob_tag;
    int m_mounted = 0;
};
