#include "lib/kernel/ostrelagent_korva_setattr.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Setattr";
} // namespace

OstrelAgent_KORVA_Setattr::OstrelAgent_KORVA_Setattr(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_setattr_req_t, xdr_view_dir_reply_t) {}

void OstrelAgent_KORVA_Setattr::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    trace_handle(trace, "Setattr request for UUID = %s, DBID = %d", m_request.fh);
    m_reply.hdr.status = ns_setattr(&m_request.fh, &m_request.attr, &m_reply.attr);
}
