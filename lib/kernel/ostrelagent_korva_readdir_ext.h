#pragma once
// Readdir_Ext (14): a page of a directory's entries with their name states,
// objects and selected versions, or one name's entry.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Readdir_Ext : public OstrelAgent_KORVA_Op<view_readdir_ext_req_t, view_readdir_ext_reply_t> {
public:
    static const int CALL = 14;

    OstrelAgent_KORVA_Readdir_Ext(XDR* in, XDR* out);

    void do_request() override;
};
