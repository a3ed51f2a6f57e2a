#pragma once
// Invalidate (19): the kernel drops what the namespace caches of the whole
// view, a VOB, an object or a name, metadata included.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Invalidate : public OstrelAgent_KORVA_Op<view_invalidate_req_t, view_null_reply_t> {
public:
    static const int CALL = 19;

    OstrelAgent_KORVA_Invalidate(XDR* in, XDR* out);

    void do_request() override;
};
