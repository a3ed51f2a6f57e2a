#pragma once
// Getattr (108): an object's status and its VOB's last view update time.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Getattr : public OstrelAgent_KORVA_Op<view_getattr_req_t, view_getattr_reply_t> {
public:
    static const int CALL = 108;

    OstrelAgent_KORVA_Getattr(XDR* in, XDR* out);

    void do_request() override;
};
