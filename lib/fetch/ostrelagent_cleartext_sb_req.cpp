#include "lib/fetch/ostrelagent_cleartext_sb_req.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/fetch/ostrelagent_cleartext.h"

OstrelAgent_Cleartext_SB_req::OstrelAgent_Cleartext_SB_req(bool background, OstrelAgent_Cleartext* cleartext)
    : m_background(background),
      m_vob(cleartext->get_vob_uuid()),
      m_ver_oid(cleartext->get_ver_oid()),
      m_cleartext(cleartext) {
    m_key = qel_uuid_to_hash32(&m_vob) + qel_oid_to_hash32(&m_ver_oid);
}

OstrelAgent_Cleartext_SB_req::~OstrelAgent_Cleartext_SB_req() {
    if (m_background) delete m_cleartext;
}

int OstrelAgent_Cleartext_SB_req::execute(int& status, std::string& msg) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Cleartext_SB_req", "execute");
    const size_t before = m_cleartext->get_error_message().size();
    m_status = m_cleartext->wan_fetch_cleartext();
    status = m_status;
    if (m_status == 0) return DONE;
    m_message = m_cleartext->get_error_message().substr(before);
    msg += m_message;
    return FAILED;
}

bool OstrelAgent_Cleartext_SB_req::equivalent(const OstrelAgent_Scoreboard_Request* other) const {
    const auto* o = static_cast<const OstrelAgent_Cleartext_SB_req*>(other);
    return qel_uuid_eq(&m_vob, &o->m_vob) && qel_oid_eq(&m_ver_oid, &o->m_ver_oid);
}
