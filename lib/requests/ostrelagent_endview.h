#pragma once
// EndView: shuts the view down. A client sends it (forced flag off); the
// forced-shutdown thread of the process entry builds it without a request
// (forced flag on) and calls perform_endview when a termination signal
// arrives.
//
// Steps: the forced form first stops a running view update (the stop flag,
// and every transfer of the remote client under way is cut) and waits until
// it has ended. Then the VOBs of the mounted-VOB registry are unmounted
// (one that reports busy is tried once more after 2 seconds; one that is
// not mounted counts as unmounted); when one cannot be unmounted, the ones
// already unmounted are mounted again, and a client's EndView gives up
// there (the view goes on being served) while the forced form goes on. The
// view is unregistered from the kernel file system (failing that, the VOBs
// are mounted again and a client's EndView gives up; the forced form goes
// on with that failure as its outcome, so that a signal always ends the
// daemon), the thread manager is told to exit (which ends the main thread's
// event loop), transfers still under way are cut, the queues are drained,
// the session logs out when online (a logout that the server does not
// answer is given up after a few seconds) and the operation waits until the
// thread manager's termination has begun. A completed EndView ends with
// status 20026, which the reply shows as 0.
//
// The registry and the mounted-VOB file are left as they are: the next start
// of the view mounts the same VOBs again.

#include <vector>

#include "lib/core/ostrelagent_vob_mount_info.h"
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

    // The VOBs this operation unmounted, in that order.
    std::vector<VOB_mount_info> m_unmounted;
    bool m_forced = false;
};
