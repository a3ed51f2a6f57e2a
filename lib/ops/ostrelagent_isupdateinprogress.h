#pragma once
// IsUpdateInProgress: whether an operation holds the view's update slot (an
// update, a restore, a change of the config spec, the surgical update after
// a namespace change), read when the reply is built.
//
// Request: root "IsUpdateInProgress" ("version", "tx-id" required). Reply:
// the envelope, then "is-update-in-progress", "true" or "false" (present
// after a refused request too).

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_IsUpdateInProgress : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_IsUpdateInProgress(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_IsUpdateInProgress() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
};
