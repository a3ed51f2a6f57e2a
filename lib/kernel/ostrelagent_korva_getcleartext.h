#pragma once
// Getcleartext (12): where a file's contents lie, a view-private container or
// a version's file in the cleartext cache.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Getcleartext : public OstrelAgent_KORVA_Op<view_readlink_req_t, view_cltxt_reply_t> {
public:
    static const int CALL = 12;

    OstrelAgent_KORVA_Getcleartext(XDR* in, XDR* out);

    void do_request() override;
};
