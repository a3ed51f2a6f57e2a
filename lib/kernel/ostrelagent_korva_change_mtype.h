#pragma once
// Change_Mtype (117): a view-private object's kind.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Change_Mtype : public OstrelAgent_KORVA_Op<view_change_mtype_req_t, view_dir_reply_t> {
public:
    static const int CALL = 117;

    OstrelAgent_KORVA_Change_Mtype(XDR* in, XDR* out);

    void do_request() override;
};
