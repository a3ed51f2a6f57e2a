#pragma once
// Root (105): the root directory of a VOB replica.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Root : public OstrelAgent_KORVA_Op<view_replica_root_req_t, view_getattr_reply_t> {
public:
    static const int CALL = 105;

    OstrelAgent_KORVA_Root(XDR* in, XDR* out);

    void do_request() override;
};
