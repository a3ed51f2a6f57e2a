#pragma once
// Readdir (10): a page of a directory's entries from a cookie on.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Readdir : public OstrelAgent_KORVA_Op<view_readdir_req_t, view_readdir_reply_t> {
public:
    static const int CALL = 10;

    OstrelAgent_KORVA_Readdir(XDR* in, XDR* out);

    void do_request() override;
};
