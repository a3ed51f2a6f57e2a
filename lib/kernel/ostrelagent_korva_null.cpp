#include "lib/kernel/ostrelagent_korva_null.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_NULL";
} // namespace

OstrelAgent_KORVA_NULL::OstrelAgent_KORVA_NULL(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, nullptr, nullptr) {}

void OstrelAgent_KORVA_NULL::get_request() {}

void OstrelAgent_KORVA_NULL::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "process_request");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Responding to NULL RPC");
    send_reply();
}

void OstrelAgent_KORVA_NULL::send_reply() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "send_reply");
}

void OstrelAgent_KORVA_NULL::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
}
