#pragma once
// The callback of one background cleartext fetch that an update queued. It
// counts as one outstanding fetch of the running update from its making to
// its end (the fetch deletes it when it ends, also when it is dropped or
// cancelled without a call), so that the end of the update can wait for
// every fetch it queued; a failed fetch is reported to the update.

#include <string>

#include "lib/fetch/ostrelagent_bg_cleartext_listener.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

class OstrelAgent_Fetch_Owner;
class OstrelAgent_View_Base;

class OstrelAgent_Update_Cltxt_listener : public OstrelAgent_BG_Cleartext_listener {
public:
    // One more outstanding fetch of the running update.
    explicit OstrelAgent_Update_Cltxt_listener(OstrelAgent_Fetch_Owner* update);
    // One fewer; the last one after the remote call returned wakes the end
    // of the update.
    ~OstrelAgent_Update_Cltxt_listener() override;

    // The update's background status becomes `status`, and `message` an
    // error record of its log.
    void failed(int status, const std::string& message) const override;

    // Queues the background fetch of the version that `object` names (the
    // view's cleartext cache directory as cache root), unless it is cached
    // or being fetched already. The status of starting it; a failure
    // appends a text naming `path` to `msg`.
    static int queue_cleartext_fetch(const qel_uuid_s& vob, const ostrel_vstat& object, OstrelAgent_View_Base* view,
                                     OstrelAgent_Fetch_Owner* update, const std::string& path, std::string& msg);

private:
    OstrelAgent_Fetch_Owner* m_update;
};
