#include "lib/ops/ostrelagent_mkelem_bg_cleartext.h"

#include "lib/core/ostrelagent_trace.h"

OstrelAgent_Mkelem_BG_Cleartext::~OstrelAgent_Mkelem_BG_Cleartext() {
    // Marks the end of the fetch in the trace.
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Mkelem_BG_Cleartext", "dtor");
}
