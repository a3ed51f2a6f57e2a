#include "lib/kernel/ostrelagent_korva_remove.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Remove";
} // namespace

OstrelAgent_KORVA_Remove::OstrelAgent_KORVA_Remove(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_dir_req_t, xdr_view_dir_mod_reply_t) {}

void OstrelAgent_KORVA_Remove::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    m_reply.hdr.status = ns_remove(&m_request.where.dir, m_request.where.name, &m_reply.dir_mod.dir_attr,
                                   &m_request.stamp, &m_reply.dir_mod.unchanged);
}
