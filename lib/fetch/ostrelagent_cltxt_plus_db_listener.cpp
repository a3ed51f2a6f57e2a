#include "lib/fetch/ostrelagent_cltxt_plus_db_listener.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_update_cltxt_listener.h"

OstrelAgent_Cltxt_Plus_DB_Listener::OstrelAgent_Cltxt_Plus_DB_Listener(OstrelAgent_Log_Update* log,
                                                                       OstrelAgent_Util::HijackTreatment treatment,
                                                                       OstrelAgent_View_Base* view,
                                                                       OstrelAgent_Fetch_Owner* update)
    : OstrelAgent_View_db_listener(log, treatment), m_view(view), m_update(update) {}

OstrelAgent_Cltxt_Plus_DB_Listener::~OstrelAgent_Cltxt_Plus_DB_Listener() = default;

bool OstrelAgent_Cltxt_Plus_DB_Listener::begin_operation(unsigned int gn) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Cltxt_Plus_DB_Listener", "begin_operation");
    OstrelAgent_View_Base::set_current_gn(gn, true);
    return OstrelAgent_View_db_listener::begin_operation(gn);
}

void OstrelAgent_Cltxt_Plus_DB_Listener::object_loaded(const qel_uuid_s& vob, const std::string& path,
                                                       const ostrel_vstat& object) {
    if (!has_cleartext(object.vstat.mtype)) return;
    // Queued when the entry is committed, the namespace mutex still held:
    // a kernel reader that then finds the entry joins this fetch.
    after_commit([this, vob, path, object] {
        const int queued =
            OstrelAgent_Update_Cltxt_listener::queue_cleartext_fetch(vob, object, m_view, m_update, path, m_message);
        // The entry is written all the same; a fetch that could not be
        // queued counts only when nothing else failed.
        if (queued != 0 && m_status == 0) fail(queued);
    });
}
