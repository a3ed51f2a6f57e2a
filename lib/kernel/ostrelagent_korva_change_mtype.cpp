#include "lib/kernel/ostrelagent_korva_change_mtype.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Change_Mtype";
} // namespace

OstrelAgent_KORVA_Change_Mtype::OstrelAgent_KORVA_Change_Mtype(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_change_mtype_req_t, xdr_view_dir_reply_t) {}

void OstrelAgent_KORVA_Change_Mtype::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    trace_handle(trace, "Change_Mtype request for UUID = %s, DBID = %d", m_request.fh);
    m_reply.hdr.status = ns_change_mtype(&m_request.fh, m_request.mtype, &m_reply.attr);
}
