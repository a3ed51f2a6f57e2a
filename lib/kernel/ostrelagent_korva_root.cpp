#include "lib/kernel/ostrelagent_korva_root.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Root";
} // namespace

OstrelAgent_KORVA_Root::OstrelAgent_KORVA_Root(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_replica_root_req_t, xdr_view_getattr_reply_t) {}

void OstrelAgent_KORVA_Root::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    const char* name = m_request.name != nullptr ? m_request.name : "";
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char family[QEL_OID_STR_SIZE];
        char replica[QEL_UUID_STR_SIZE];
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "root request for VOB OID = %s, replica UUID = %s, pathname = %s",
                         qel_oid_to_str(&m_request.family_oid, family),
                         qel_uuid_to_str(&m_request.replica_uuid, replica), name);
    }
    m_reply.hdr.status = ns_root(&m_request.family_oid, &m_request.replica_uuid, name, m_request.warp, &m_reply.fh,
                                 &m_reply.attr, &m_reply.name_state, &m_reply.name_flag, &m_reply.lvut, nullptr,
                                 nullptr);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from view_replica_root = %d", m_reply.hdr.status);
}
