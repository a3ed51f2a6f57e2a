#pragma once
// Rmdir (113): an empty directory's name.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Rmdir : public OstrelAgent_KORVA_Op<view_dir_req_t, view_dir_mod_reply_t> {
public:
    static const int CALL = 113;

    OstrelAgent_KORVA_Rmdir(XDR* in, XDR* out);

    void do_request() override;
};
