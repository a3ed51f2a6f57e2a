#pragma once
// EndView: shuts the view down. A client sends it (forced flag off); the
// forced-shutdown thread of the process entry builds it without a request
// (forced flag on) and calls perform_endview when a termination signal
// arrives. The forced form first stops a running view update and waits for
// it; then both unregister the view from the kernel file system, tell the
// thread manager to exit (which ends the main thread's event loop), drain
// its queues and wait until its termination has begun. A completed EndView
// ends with status 20026, which the reply shows as 0. When the view cannot
// be unregistered, a client's EndView gives up (the view goes on being
// served), while the forced form still stops the thread manager and ends
// with the mapped failure status, so that a signal always ends the daemon.
//
// Not served yet: the VOBs mounted in the view (the mounted-VOB registry
// comes with MountVob; until then there are none to unmount or remount) and
// the logout from the remote server (the remote client comes later).

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Endview : public OstrelAgent_AbstractOp {
public:
    // From a client request: forced flag off.
    OstrelAgent_Endview(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // Without a request, for the forced shutdown.
    explicit OstrelAgent_Endview(bool forced);
    ~OstrelAgent_Endview() override;

    // The envelope check (version and tx-id required), then perform_endview.
    void process_request() override;
    std::string get_response() override;

    // The shutdown; the outcome is in the status and message.
    void perform_endview();

    bool is_forced() const { return m_forced; }

private:
    void parse_request();
    void unmount_vobs();
    void remount_vobs();

    bool m_forced = false;
};
