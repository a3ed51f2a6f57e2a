#include "lib/fetch/ostrelagent_update_cltxt_listener.h"

#include <memory>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/fetch/ostrelagent_update.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Update_Cltxt_listener";
using Listener = std::unique_ptr<OstrelAgent_BG_Cleartext_listener>;

// ---- stand-in: the background fetch -----------------------------------------------------
//
// Until the cleartext cache queues background fetches of its own, the
// version is looked for in the cache here and, when absent, fetched by a
// low-priority request of the pool that runs the cache's fetch and then
// calls the listener. A fetch that starts while the agent stops is
// cancelled: no fetch, no call.

class Background_Fetch final : public OstrelAgent_Request {
public:
    Background_Fetch(const qel_uuid_s& vob, const qel_oid_s& version, const std::string& cache_root, Listener listener)
        : OstrelAgent_Request(0), m_vob(vob), m_version(version), m_cache_root(cache_root),
          m_listener(std::move(listener)) {}

    int handle_request() override {
        if (OstrelAgent_View::should_stop_update()) return 0;
        OstrelAgent_Cleartext cltxt(m_vob, 0, m_version, m_cache_root);
        int in_cache = 0;
        const int status = cltxt.getcleartext(in_cache);
        if (status != 0)
            m_listener->failed(status, cltxt.get_error_message());
        else
            m_listener->completed();
        return status;
    }
    int cancel_request() override { return 0; }
    bool is_equivalent(const OstrelAgent_Request*) const override { return false; }
    const char* toString() override { return "background cleartext"; }

private:
    qel_uuid_s m_vob;
    qel_oid_s m_version;
    std::string m_cache_root;
    Listener m_listener;
};

int start_background_fetch(const qel_uuid_s& vob, const qel_oid_s& version, const std::string& cache_root,
                           Listener listener) {
    OstrelAgent_Cleartext cltxt(vob, 0, version, cache_root);
    int in_cache = 0;
    const int status = cltxt.check_cache(in_cache);
    if (status != 0 || in_cache != 0) return status;
    OstrelAgent_Thread_Manager_Base::get_instance()->process_request(
        new Background_Fetch(vob, version, cache_root, std::move(listener)));
    return 0;
}

// ---- end of the stand-in -------------------------------------------------------------------

} // namespace

OstrelAgent_Update_Cltxt_listener::OstrelAgent_Update_Cltxt_listener(OstrelAgent_Update* update)
    : m_update(update) {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Update::g_blocking_lock);
    ++OstrelAgent_Update::g_blocking;
}

OstrelAgent_Update_Cltxt_listener::~OstrelAgent_Update_Cltxt_listener() {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Update::g_blocking_lock);
    --OstrelAgent_Update::g_blocking;
    if (OstrelAgent_Update::g_rpc_complete != 0 && OstrelAgent_Update::g_blocking == 0)
        norvanethread_cond_signal(&OstrelAgent_Update::g_update_done);
}

void OstrelAgent_Update_Cltxt_listener::failed(int status, const std::string& message) const {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "failed");
    if (m_update != nullptr) m_update->bg_error(status, message);
}

int OstrelAgent_Update_Cltxt_listener::queue_cleartext_fetch(const qel_uuid_s& vob, const ostrel_vstat& object,
                                                              OstrelAgent_View* view, OstrelAgent_Update* update,
                                                              const std::string& path, std::string& msg) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "queue_cleartext_fetch");
    const qel_oid_s& version = object.vstat.obj_oid;
    Listener listener(new OstrelAgent_Update_Cltxt_listener(update));
    const int status = view == nullptr ? OstrelAgent_Status::NO_VIEW
                                       : start_background_fetch(vob, version, view->get_cltxt_cache_dir(),
                                                                std::move(listener));
    if (status != 0)
        msg += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::CLTXT_NOT_QUEUED,
                                        path.c_str(), OstrelAgent_Util::id_text(version).c_str(),
                                        OstrelAgent_Util::id_text(vob).c_str(), status);
    return status;
}
