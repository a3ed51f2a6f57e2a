#pragma once
// Mkdir (112): a new view-private directory.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Mkdir : public OstrelAgent_KORVA_Op<view_mkdir_req_t, view_symlink_reply_t> {
public:
    static const int CALL = 112;

    OstrelAgent_KORVA_Mkdir(XDR* in, XDR* out);

    void do_request() override;
};
