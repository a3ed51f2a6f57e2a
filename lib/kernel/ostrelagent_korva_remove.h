#pragma once
// Remove (111): a name that is not a directory.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Remove : public OstrelAgent_KORVA_Op<view_dir_req_t, view_dir_mod_reply_t> {
public:
    static const int CALL = 111;

    OstrelAgent_KORVA_Remove(XDR* in, XDR* out);

    void do_request() override;
};
