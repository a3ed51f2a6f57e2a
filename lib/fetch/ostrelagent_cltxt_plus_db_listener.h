#pragma once
// The listener of a full update's stream (and a restore's): the view
// database listener, plus two things. begin_operation publishes the view's
// new generation number first (the update now runs, which releases the
// request that started it), and every loaded file version gets a background
// cleartext fetch queued as its database entry is committed, so the stream
// never waits for a download.

#include <string>

#include "lib/fetch/ostrelagent_view_db_listener.h"

class OstrelAgent_Fetch_Owner;
class OstrelAgent_View_Base;

class OstrelAgent_Cltxt_Plus_DB_Listener : public OstrelAgent_View_db_listener {
public:
    // `view` and `update` are not owned; the update receives the failures
    // of the fetches.
    OstrelAgent_Cltxt_Plus_DB_Listener(OstrelAgent_Log_Update* log, OstrelAgent_Util::HijackTreatment treatment,
                                       OstrelAgent_View_Base* view, OstrelAgent_Fetch_Owner* update);
    ~OstrelAgent_Cltxt_Plus_DB_Listener() override;

    // The generation number is published also when the agent must stop
    // (the exception follows).
    bool begin_operation(unsigned int gn) override;

    // Kinds of versions whose content goes to the cleartext cache.
    static bool has_cleartext(vob_mtype_t mtype) { return mtype == 6 || mtype == 8; }

protected:
    // Queues the fetch of a loaded file version's cleartext once its entry
    // is committed.
    void object_loaded(const qel_uuid_s& vob, const std::string& path, const ostrel_vstat& object) override;

private:
    OstrelAgent_View_Base* m_view;
    OstrelAgent_Fetch_Owner* m_update;
};
