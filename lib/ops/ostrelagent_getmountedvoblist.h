#pragma once
// GetMountedVobList: the tags of the VOBs that the view has mounted, from
// the mounted-VOB registry as it is when the reply is built.
//
// Request: root "GetMountedVobList" ("version", "tx-id" required). Reply:
// the envelope, then "mounted-vob-list" with one "vob-tag" per mounted VOB,
// in ascending byte order of the tags (present after a refused request
// too, empty when no VOB is mounted).

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Getmountedvoblist : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Getmountedvoblist(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Getmountedvoblist() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
};
