#pragma once
// A cleartext fetch as work for the request pool: low priority, queued by a
// background getcleartext; also the form in which a foreground reader looks
// for a queued fetch of its version to promote. It owns one reference on its
// scoreboard entry, released when it is deleted.
//
// A queued fetch that starts while the view's update is being stopped (or
// the agent exits) does not fetch: it ends as a cancelled one, so that a
// stopping update does not wait for a download per queued version.

#include "lib/core/ostrelagent_request.h"
#include "lib/fetch/ostrelagent_cleartext_sb_req.h"

class OstrelAgent_BG_Cleartext : public OstrelAgent_Request {
public:
    // Takes over one reference on `entry`.
    explicit OstrelAgent_BG_Cleartext(OstrelAgent_Cleartext_SB* entry);
    ~OstrelAgent_BG_Cleartext() override;

    // Runs the fetch (or takes over its result) and tells the listener of
    // the fetched object. The fetch's status.
    int handle_request() override;
    // Cancels the entry: whoever waits for it learns that it will not run.
    // The listener is not called.
    int cancel_request() override;
    // True for a cleartext request whose entry is tied to this one's, or
    // the other way round.
    bool is_equivalent(const OstrelAgent_Request* other) const override;
    const char* toString() override { return "background cleartext"; }

private:
    OstrelAgent_Cleartext_SB* m_entry;
};
