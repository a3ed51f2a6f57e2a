#pragma once
// A background listing of one directory version, queued on the request
// pool at low priority. It owns one reference of its scoreboard entry, so a
// foreground listing of the same directory that arrives meanwhile joins it
// (and, when the pool has not started it yet, runs it itself).

#include "lib/core/ostrelagent_request.h"
#include "lib/fetch/ostrelagent_readdir_sb_req.h"
#include "platform/qel/qel.h"

class OstrelAgent_BG_Readdir final : public OstrelAgent_Request {
public:
    // Takes over one reference of `entry`.
    OstrelAgent_BG_Readdir(const qel_uuid_s& vob, unsigned dbid, OstrelAgent_Readdir_Scoreboard* entry);
    ~OstrelAgent_BG_Readdir() override;

    // Runs the entry (or takes over the result of the joiner that ran it);
    // the listing's status.
    int handle_request() override;
    // Cancels the entry: its askers learn that the agent shuts down.
    int cancel_request() override;
    // Never: the pool does not merge listings, the scoreboard does.
    bool is_equivalent(const OstrelAgent_Request* other) const override;
    const char* toString() override { return "background readdir"; }

private:
    qel_uuid_s m_vob;
    unsigned m_dbid;
    OstrelAgent_Readdir_Scoreboard* m_entry;
};
