#include "lib/kernel/ostrelagent_korva_readlink.h"

#include "lib/ns/ns_rpc.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Readlink";
} // namespace

OstrelAgent_KORVA_Readlink::OstrelAgent_KORVA_Readlink(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_readlink_req_t, xdr_view_readlink_reply_t) {}

void OstrelAgent_KORVA_Readlink::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    // A length of 0 has no room for a text; the operation refuses it.
    unsigned size = 0;
    char* text = nullptr;
    if (!text_buffer(m_request.buf_len, &size, &text)) return;
    unsigned length = 0;
    m_reply.hdr.status = ns_readlink(&m_request.fh, size, &length, text);
    m_reply.text_len = length;
    m_reply.text = text;
}
