#include "lib/fetch/ostrelagent_update_cltxt_listener.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/fetch/ostrelagent_fetch_owner.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Update_Cltxt_listener";
} // namespace

OstrelAgent_Update_Cltxt_listener::OstrelAgent_Update_Cltxt_listener(OstrelAgent_Fetch_Owner* update)
    : m_update(update) {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Fetch_Owner::g_blocking_lock);
    ++OstrelAgent_Fetch_Owner::g_blocking;
}

OstrelAgent_Update_Cltxt_listener::~OstrelAgent_Update_Cltxt_listener() {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Fetch_Owner::g_blocking_lock);
    --OstrelAgent_Fetch_Owner::g_blocking;
    if (OstrelAgent_Fetch_Owner::g_rpc_complete != 0 && OstrelAgent_Fetch_Owner::g_blocking == 0)
        norvanethread_cond_signal(&OstrelAgent_Fetch_Owner::g_update_done);
}

void OstrelAgent_Update_Cltxt_listener::failed(int status, const std::string& message) const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "failed");
    if (m_update != nullptr) m_update->bg_error(status, message);
}

int OstrelAgent_Update_Cltxt_listener::queue_cleartext_fetch(const qel_uuid_s& vob, const ostrel_vstat& object,
                                                              OstrelAgent_View_Base* view, OstrelAgent_Fetch_Owner* update,
                                                              const std::string& path, std::string& msg) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "queue_cleartext_fetch");
    const qel_oid_s& version = object.vstat.obj_oid;
    int status = OstrelAgent_Status::NO_VIEW;
    if (view != nullptr) {
        // The fetch owns the listener from here; it goes with the stack
        // object when the fetch was not queued (cached, or queued before).
        OstrelAgent_Cleartext cltxt(vob, 0, version, view->get_cltxt_cache_dir(),
                                    new OstrelAgent_Update_Cltxt_listener(update));
        int in_cache = 0;
        status = cltxt.getcleartext(in_cache);
    }
    if (status != 0)
        msg += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::CLTXT_NOT_QUEUED,
                                        path.c_str(), OstrelAgent_Util::id_text(version).c_str(),
                                        OstrelAgent_Util::id_text(vob).c_str(), status);
    return status;
}
