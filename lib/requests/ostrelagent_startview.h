#pragma once
// StartView: opens the existing view in the storage handed over by the
// dispatcher (the daemon's first request). It reads the request's server
// settings, makes the view object, installs it in the view handler and
// starts it (metadata file, host check, storage lock, namespace cache, view
// database, generation number, kernel registration). The reply carries the
// status and the view's own message; no tx-id.
//
// Not served yet: remounting the VOBs of the mounted-VOB file (MountVob and
// its registry come later) and the login to the remote server (the remote
// client comes later), which the full operation does once the view runs.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Startview : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Startview(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document,
                          const std::string& storage);
    ~OstrelAgent_Startview() override;

    void process_request() override;
    std::string get_response() override;

    const std::string& get_storage() const { return m_storage; }

private:
    void parse_request();

    std::string m_storage;
};
