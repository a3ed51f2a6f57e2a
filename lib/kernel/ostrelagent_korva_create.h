#pragma once
// Create (110): a new view-private file and, when asked, its container's
// path relative to the view storage.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Create : public OstrelAgent_KORVA_Op<view_create_req_t, view_create_reply_t> {
public:
    static const int CALL = 110;

    OstrelAgent_KORVA_Create(XDR* in, XDR* out);

    void do_request() override;
};
