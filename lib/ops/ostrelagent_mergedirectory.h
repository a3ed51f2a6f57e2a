#pragma once
// MergeDirectory: a client tool has merged into a directory on the server
// (its element got a new version whose names differ from the loaded one).
// The view follows: the directory element is dropped from every cache, the
// load rules that the merge removed go with what they loaded, and the
// directory is read again; when an explicit load rule holds it, it is then
// updated surgically (waiting for a running update).
//
// Request: root "MergeDirectory" ("version", "tx-id"), child
// "namespace-modified" (required) with its "path" (the merged directory,
// view-relative; a final symbolic link is not followed) and optional lists;
// their leaves are checked and otherwise unused. Refused offline. Reply:
// the envelope alone.

#include <string>

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_MergeDirectory : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_MergeDirectory(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_MergeDirectory() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
    // Drops the merged directory's element (a VOB root's when `vob_root`,
    // found by the VOB-root test); its status.
    int flush_directory(bool vob_root);
};
