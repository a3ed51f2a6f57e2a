#include "lib/kernel/ostrelagent_korva_lookup.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Lookup";
} // namespace

OstrelAgent_KORVA_Lookup::OstrelAgent_KORVA_Lookup(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_lookup_req_t, xdr_view_lookup_reply_t) {}

void OstrelAgent_KORVA_Lookup::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    const char* name = m_request.name != nullptr ? m_request.name : "";
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char uuid[QEL_UUID_STR_SIZE];
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "lookup request for uuid = %s, dbid = %d, name = %s",
                         qel_uuid_to_str(&m_request.dir.vob_uuid, uuid), static_cast<int>(m_request.dir.dbid), name);
    }
    view_fhandle scratch_dir;
    unsigned consumed = 0;
    m_reply.hdr.status = ns_lookup(&m_request.dir, name, m_request.warp, m_request.residual, &m_reply.fh,
                                   &scratch_dir, &m_reply.attr, &consumed, &m_reply.name_flag, &m_reply.name_state,
                                   &m_reply.lvut);
    m_reply.consumed = consumed;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from view_lookup = %d", m_reply.hdr.status);
}
