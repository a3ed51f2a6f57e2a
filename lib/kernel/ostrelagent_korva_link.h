#pragma once
// Link (115): a further name of an object.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Link : public OstrelAgent_KORVA_Op<view_link_req_t, view_dir_mod_reply_t> {
public:
    static const int CALL = 115;

    OstrelAgent_KORVA_Link(XDR* in, XDR* out);

    void do_request() override;
};
