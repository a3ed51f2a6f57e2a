#pragma once
// Lookup (107): a name in a directory and the residual path after it. The
// reply carries the name state also when the look-up failed.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Lookup : public OstrelAgent_KORVA_Op<view_lookup_req_t, view_lookup_reply_t> {
public:
    static const int CALL = 107;

    OstrelAgent_KORVA_Lookup(XDR* in, XDR* out);

    void do_request() override;
};
