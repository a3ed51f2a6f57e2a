#pragma once
// StartView: opens the existing view in the storage handed over by the
// dispatcher (the daemon's first request). It reads the request's server
// settings, makes the view object, installs it in the view handler and
// starts it (metadata file, host check, storage lock, namespace cache, view
// database, generation number, kernel registration). Then it mounts again
// the VOBs of the view's mounted-VOB file (a failure is only logged) and,
// when the view is online, logs in. The reply carries the status and the
// message; no tx-id.

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
