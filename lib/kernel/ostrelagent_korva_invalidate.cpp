#include "lib/kernel/ostrelagent_korva_invalidate.h"

#include "lib/ns/ns_locate.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Invalidate";
} // namespace

OstrelAgent_KORVA_Invalidate::OstrelAgent_KORVA_Invalidate(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_invalidate_req_t, xdr_view_null_reply_t) {}

void OstrelAgent_KORVA_Invalidate::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    const char* name = m_request.name != nullptr ? m_request.name : "";
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char vob[QEL_OID_STR_SIZE];
        char oid[QEL_OID_STR_SIZE];
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "inval type %d, VOB OID %s, OBJ OID is %s, name is %s",
                         static_cast<int>(m_request.kind), qel_oid_to_str(&m_request.vob_id, vob),
                         qel_oid_to_str(&m_request.oid, oid), name);
    }
    // The kernel names the VOB by the id it mounted it under, which is its
    // replica's uuid.
    qel_uuid_s vob_uuid;
    qel_oid_to_uuid(&m_request.vob_id, &vob_uuid);
    m_reply.hdr.status = locate_invalidate(m_request.kind, &vob_uuid, &m_request.oid, name, true);
}
