#include "lib/fetch/ostrelagent_bg_readdir.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_BG_Readdir";
} // namespace

OstrelAgent_BG_Readdir::OstrelAgent_BG_Readdir(const qel_uuid_s& vob, unsigned dbid,
                                               OstrelAgent_Readdir_Scoreboard* entry)
    : OstrelAgent_Request(0), m_vob(vob), m_dbid(dbid), m_entry(entry) {}

OstrelAgent_BG_Readdir::~OstrelAgent_BG_Readdir() {
    OstrelAgent_Readdir_Scoreboard* entry = m_entry;
    m_entry = nullptr;
    entry->release();
}

int OstrelAgent_BG_Readdir::handle_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "handle_request");
    int status = 0;
    std::string msg;
    const int result = m_entry->execute(status, msg);
    if (result != OstrelAgent_Scoreboard_Request::DONE)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "background readdir(%s:%d) failed (%d): %s",
                         OstrelAgent_Util::id_text(m_vob).c_str(), static_cast<int>(m_dbid), status, msg.c_str());
    return status;
}

int OstrelAgent_BG_Readdir::cancel_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cancel_request");
    m_entry->cancel();
    return 0;
}

bool OstrelAgent_BG_Readdir::is_equivalent(const OstrelAgent_Request*) const { return false; }
