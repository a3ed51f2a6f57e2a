#include "lib/fetch/ostrelagent_metadata_bg_flush.h"

#include <mutex>
#include <set>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_cache.h"
#include "lib/ns/ostrelagent_korva_ioctl.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Metadata_BG_Flush";

// The flushes queued and not yet started, one of each kind.
std::mutex g_pending_mutex;
} // namespace

bool OstrelAgent_Metadata_BG_Flush::key_less::operator()(const OstrelAgent_Metadata_BG_Flush* a,
                                                         const OstrelAgent_Metadata_BG_Flush* b) const {
    if (a->m_whole_view != b->m_whole_view) return a->m_whole_view < b->m_whole_view;
    if (const int c = qel_uuid_cmp(&a->m_vob, &b->m_vob)) return c < 0;
    if (const int c = qel_oid_cmp(&a->m_oid, &b->m_oid)) return c < 0;
    return a->m_op < b->m_op;
}

namespace {
using Pending_Set = std::set<const OstrelAgent_Metadata_BG_Flush*, OstrelAgent_Metadata_BG_Flush::key_less>;
Pending_Set& pending_flushes() {
    static Pending_Set* const pending = new Pending_Set;
    return *pending;
}
} // namespace

void OstrelAgent_Metadata_BG_Flush::queue(std::unique_ptr<OstrelAgent_Metadata_BG_Flush> flush) {
    {
        std::lock_guard<std::mutex> guard(g_pending_mutex);
        if (!pending_flushes().insert(flush.get()).second) return;
        flush->m_pending = true;
    }
    OstrelAgent_Thread_Manager_Base::get_instance()->process_request(flush.release());
}

void OstrelAgent_Metadata_BG_Flush::leave_pending() {
    std::lock_guard<std::mutex> guard(g_pending_mutex);
    if (!m_pending) return;
    pending_flushes().erase(this);
    m_pending = false;
}

OstrelAgent_Metadata_BG_Flush::OstrelAgent_Metadata_BG_Flush(const qel_uuid_s& vob, const qel_oid_s& oid,
                                                             vob_op_t op)
    : OstrelAgent_Request(FOREGROUND), m_vob(vob), m_oid(oid), m_op(op), m_whole_view(false) {}

OstrelAgent_Metadata_BG_Flush::OstrelAgent_Metadata_BG_Flush()
    : OstrelAgent_Request(FOREGROUND), m_vob(QEL_UUID_NULL), m_oid(QEL_OID_NULL), m_op(0), m_whole_view(true) {}

OstrelAgent_Metadata_BG_Flush::~OstrelAgent_Metadata_BG_Flush() { leave_pending(); }

int OstrelAgent_Metadata_BG_Flush::handle_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "handle_request");
    // Before anything is read: a change made from now on asks for a flush of its own.
    leave_pending();
    OstrelAgent_View_Base* view = OstrelAgent_View_Base::get_view();
    OstrelAgent_KORVA_Ioctl ioctl(view);
    int status;
    if (m_whole_view) {
        status = OstrelAgent_Metadata::view_inval_view(&ioctl, true, true, false);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "view_inval_view result=%d", status);
    } else {
        ns_fstat_flush(m_vob, m_oid);
        status = OstrelAgent_Metadata::view_inval_obj(&ioctl, m_vob, m_oid, m_op, true, true, false);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "view_inval_obj result=%d", status);
    }
    if (status == 0) return 0;
    OstrelAgent_Log* log = OstrelAgent_Log::get_instance(view != nullptr ? view->get_storage_path() : "");
    if (m_whole_view)
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::VIEW_FLUSH_FAILED,
                       qel_strerror(status));
    else
        log->write_log(OSTRELAGENT_LOG_ERROR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::OID_FLUSH_FAILED,
                       OstrelAgent_Util::id_text(m_oid).c_str(), OstrelAgent_Util::id_text(m_vob).c_str(),
                       qel_strerror(status));
    return OstrelAgent_Util::qel_to_ostrel_status(status);
}

int OstrelAgent_Metadata_BG_Flush::cancel_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cancel_request");
    leave_pending();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "flush not run");
    return 0;
}

bool OstrelAgent_Metadata_BG_Flush::is_equivalent(const OstrelAgent_Request*) const { return false; }
