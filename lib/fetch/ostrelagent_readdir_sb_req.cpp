#include "lib/fetch/ostrelagent_readdir_sb_req.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Readdir_SB_req";
} // namespace

OstrelAgent_Readdir_SB_req::OstrelAgent_Readdir_SB_req(const qel_uuid_s& vob, unsigned dbid, bool background)
    : m_key(qel_uuid_to_hash32(&vob) + dbid), m_vob(vob), m_dbid(dbid), m_background(background) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "ctor");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "returning %p", static_cast<void*>(this));
}

OstrelAgent_Readdir_SB_req::~OstrelAgent_Readdir_SB_req() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "dtor");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "destroying %p", static_cast<void*>(this));
}

int OstrelAgent_Readdir_SB_req::execute(int& status, std::string& msg) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "execute");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "%s listing of dbid %u",
                     m_background ? "background" : "foreground", m_dbid);
    m_status = OstrelAgent_Metadata::do_readdir_obj(m_vob, m_dbid, m_entries);
    status = m_status;
    if (m_status == 0) return DONE;
    m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::BACKGROUND_READDIR_FAILED,
                                          OstrelAgent_Util::id_text(m_vob).c_str(), static_cast<int>(m_dbid));
    msg += m_message;
    return FAILED;
}

bool OstrelAgent_Readdir_SB_req::equivalent(const OstrelAgent_Scoreboard_Request* other) const {
    const auto* readdir = static_cast<const OstrelAgent_Readdir_SB_req*>(other);
    return readdir->m_dbid == m_dbid && qel_uuid_eq(&readdir->m_vob, &m_vob);
}
