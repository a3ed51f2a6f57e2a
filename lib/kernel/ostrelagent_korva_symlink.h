#pragma once
// Symlink (116): a new view-private symbolic link.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Symlink : public OstrelAgent_KORVA_Op<view_symlink_req_t, view_symlink_reply_t> {
public:
    static const int CALL = 116;

    OstrelAgent_KORVA_Symlink(XDR* in, XDR* out);

    void do_request() override;
};
