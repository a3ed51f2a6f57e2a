#pragma once
// Every call code without a handler of its own: the request's header is
// decoded, the reply body stays empty and its rpc_status is 3.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_Unsupported : public OstrelAgent_KORVA_Op<view_hdr_req_t, view_null_reply_t> {
public:
    OstrelAgent_KORVA_Unsupported(int call, XDR* in, XDR* out);

    void do_request() override;
    void send_reply() override;
};
