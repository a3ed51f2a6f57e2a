#include "lib/kernel/ostrelagent_korva_mkdir.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Mkdir";
} // namespace

OstrelAgent_KORVA_Mkdir::OstrelAgent_KORVA_Mkdir(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_mkdir_req_t, xdr_view_symlink_reply_t) {}

void OstrelAgent_KORVA_Mkdir::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_mkdir");
    m_status = 0;
    m_reply.hdr.status = ns_mkdir(&m_request.where.dir, m_request.where.name, &m_request.attr, &m_reply.fh,
                                  &m_reply.attr, &m_reply.dir_mod.dir_attr, &m_request.stamp,
                                  &m_reply.dir_mod.unchanged);
}
