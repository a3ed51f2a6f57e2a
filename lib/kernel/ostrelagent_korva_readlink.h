#pragma once
// Readlink (29): a symbolic link's text.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Readlink : public OstrelAgent_KORVA_Op<view_readlink_req_t, view_readlink_reply_t> {
public:
    static const int CALL = 29;

    OstrelAgent_KORVA_Readlink(XDR* in, XDR* out);

    void do_request() override;
};
