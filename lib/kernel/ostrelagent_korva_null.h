#pragma once
// The null call (0): no request body to read, no work, an empty reply body
// with rpc_status 0. The kernel uses it to see that the view is served.

#include "lib/kernel/ostrelagent_korva_op.h"

class OstrelAgent_KORVA_NULL : public OstrelAgent_KORVA_Op<view_hdr_req_t, view_null_reply_t> {
public:
    static const int CALL = 0;

    OstrelAgent_KORVA_NULL(XDR* in, XDR* out);

    void get_request() override;
    void process_request() override;
    void send_reply() override;
    void do_request() override;
};
