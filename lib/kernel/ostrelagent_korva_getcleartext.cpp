#include "lib/kernel/ostrelagent_korva_getcleartext.h"

#include "lib/ns/ns_rpc.h"
#include "platform/qel/qel.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Getcleartext";
} // namespace

OstrelAgent_KORVA_Getcleartext::OstrelAgent_KORVA_Getcleartext(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_readlink_req_t, xdr_view_cltxt_reply_t) {}

void OstrelAgent_KORVA_Getcleartext::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    const unsigned size = capped_text(m_request.buf_len);
    char* path = reply_buffer(size + 1);
    if (path == nullptr) {
        out_of_memory(QEL_ST_NO_MEMORY);
        return;
    }
    unsigned length = 0;
    int fetched = 0;
    m_reply.hdr.status = ns_get_cltxt(&m_request.fh, size, &length, path, &m_reply.cache_path, &fetched);
    m_reply.path_len = length;
    m_reply.path = path;
}
