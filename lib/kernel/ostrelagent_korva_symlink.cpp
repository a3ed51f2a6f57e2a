#include "lib/kernel/ostrelagent_korva_symlink.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Symlink";
} // namespace

OstrelAgent_KORVA_Symlink::OstrelAgent_KORVA_Symlink(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_symlink_req_t, xdr_view_symlink_reply_t) {}

void OstrelAgent_KORVA_Symlink::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    const char* text = m_request.text != nullptr ? m_request.text : "";
    m_reply.hdr.status = ns_symlink(&m_request.where.dir, m_request.where.name, &m_request.attr, text,
                                    &m_reply.fh, &m_reply.attr, &m_reply.dir_mod.dir_attr, &m_request.stamp,
                                    &m_reply.dir_mod.unchanged);
}
