#include "lib/kernel/ostrelagent_korva_getattr.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Getattr";
} // namespace

OstrelAgent_KORVA_Getattr::OstrelAgent_KORVA_Getattr(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_getattr_req_t, xdr_view_getattr_reply_t) {}

void OstrelAgent_KORVA_Getattr::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    trace_handle(trace, "Getattr request for UUID = %s, DBID = %d", m_request.fh);
    m_reply.hdr.status = ns_getattr(&m_request.fh, &m_reply.fh, &m_reply.attr, &m_reply.lvut);
}
