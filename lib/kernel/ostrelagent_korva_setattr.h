#pragma once
// Setattr (109): the attributes the request's mask selects.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Setattr : public OstrelAgent_KORVA_Op<view_setattr_req_t, view_dir_reply_t> {
public:
    static const int CALL = 109;

    OstrelAgent_KORVA_Setattr(XDR* in, XDR* out);

    void do_request() override;
};
