#include "lib/kernel/ostrelagent_korva_create.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Create";
} // namespace

OstrelAgent_KORVA_Create::OstrelAgent_KORVA_Create(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_create_req_t, xdr_view_create_reply_t) {}

void OstrelAgent_KORVA_Create::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    // No room asked for: no container path.
    unsigned size = 0;
    char* path = nullptr;
    if (!text_buffer(m_request.cont_path_len, &size, &path)) return;
    unsigned length = 0;
    m_reply.hdr.status = ns_create(&m_request.where.dir, m_request.where.name, &m_request.attr, size, &m_reply.fh,
                                   &m_reply.attr, path, &length, &m_reply.dir_mod.dir_attr, &m_request.stamp,
                                   &m_reply.dir_mod.unchanged);
    m_reply.cont_path_len = length;
    m_reply.cont_path = path;
}
