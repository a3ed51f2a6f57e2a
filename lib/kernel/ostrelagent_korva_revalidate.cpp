#include "lib/kernel/ostrelagent_korva_revalidate.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Revalidate";
} // namespace

OstrelAgent_KORVA_Revalidate::OstrelAgent_KORVA_Revalidate(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_getattr_req_t, xdr_view_root_reply_t) {}

void OstrelAgent_KORVA_Revalidate::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    trace_handle(trace, "UUID is %s, DBID is %d", m_request.fh);
    m_reply.hdr.status = ns_revalidate(&m_request.fh, &m_reply.fh, &m_reply.attr);
}
