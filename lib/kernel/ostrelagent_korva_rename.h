#pragma once
// Rename (114): a name moved, within a directory or to another one.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Rename : public OstrelAgent_KORVA_Op<view_rename_req_t, view_dir_mod_reply_t> {
public:
    static const int CALL = 114;

    OstrelAgent_KORVA_Rename(XDR* in, XDR* out);

    void do_request() override;
};
