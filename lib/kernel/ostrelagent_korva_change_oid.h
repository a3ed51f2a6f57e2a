#pragma once
// Change_oid (118): a new object id for a view-private object.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Change_oid : public OstrelAgent_KORVA_Op<view_change_oid_req_t, view_dir_reply_t> {
public:
    static const int CALL = 118;

    OstrelAgent_KORVA_Change_oid(XDR* in, XDR* out);

    void do_request() override;
};
