#pragma once
// Revalidate (106): a handle made current: a stale one falls back to its
// element, one without the extended-name bit takes what its name selects.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Revalidate : public OstrelAgent_KORVA_Op<view_getattr_req_t, view_root_reply_t> {
public:
    static const int CALL = 106;

    OstrelAgent_KORVA_Revalidate(XDR* in, XDR* out);

    void do_request() override;
};
