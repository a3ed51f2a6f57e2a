#pragma once
// Rmname: a client tool has removed one name from a directory on the
// server. The view follows: the name is dropped from the directory (its
// entry in the view database marked not validated, the namespace cache and
// the kernel told), the directory element is dropped from every cache, the
// load rules that the removal took away go with what they loaded, and the
// directory's listing is read again (no surgical update). What lay below
// the removed name is not visited: its records stay as they are.
//
// Request: root "Rmname" ("version", "tx-id"), child "namespace-modified"
// (required) whose "path" names the directory (view-relative, a final
// symbolic link followed), whose "removed-leaves" (required) holds exactly
// the one removed name and whose "new-leaves", if present, holds none.
// Refused offline. Reply: the envelope alone.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Rmname : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Rmname(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Rmname() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // The directory resolved, the name checked against the view database
    // and dropped, then the directory element; the first failing status.
    int flush_removed_name();
};
