#include "lib/kernel/ostrelagent_korva_unsupported.h"

#include "lib/core/ostrelagent_status.h"
#include "platform/qel/qel.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Unsupported";
} // namespace

OstrelAgent_KORVA_Unsupported::OstrelAgent_KORVA_Unsupported(int call, XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(call, CLASS_NAME, in, out, xdr_view_hdr_req_t, xdr_view_null_reply_t) {}

void OstrelAgent_KORVA_Unsupported::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = OstrelAgent_Status::GENERAL_FAILURE;
    m_reply.hdr.status = QEL_ST_NOT_SUPPORTED;
}

void OstrelAgent_KORVA_Unsupported::send_reply() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "send_reply");
    // The kernel learns from the message header alone; the body stays empty.
    m_rpc_status = RPC_UNSUPPORTED;
}
