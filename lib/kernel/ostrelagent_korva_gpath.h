#pragma once
// Gpath (15): an object's path within its VOB and its extended path.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Gpath : public OstrelAgent_KORVA_Op<view_gpath_req_t, view_gpath_reply_t> {
public:
    static const int CALL = 15;

    OstrelAgent_KORVA_Gpath(XDR* in, XDR* out);

    void do_request() override;
};
