#pragma once
// The typed half of a kernel call handler: the request and reply records of
// one call and the XDR routines that decode the one and encode the other.
// Every handler but the null one derives from it and writes do_request.

#include "lib/kernel/ostrelagent_korva_abstractop.h"
#include "xdr/ostrelxdr_codec.h"

template <typename Request, typename Reply>
class OstrelAgent_KORVA_Op : public OstrelAgent_KORVA_AbstractOp {
protected:
    OstrelAgent_KORVA_Op(int call, const char* class_name, XDR* in, XDR* out, ostrelxdr_proc<Request> decoder,
                         ostrelxdr_proc<Reply> encoder)
        : OstrelAgent_KORVA_AbstractOp(call, class_name, in, out),
          m_decoder(decoder),
          m_encoder(encoder),
          m_request(),
          m_reply() {}

    // Releases what decoding allocated in the request (names, path names),
    // also after a decoding that failed half-way.
    ~OstrelAgent_KORVA_Op() override {
        if (m_decoder != nullptr) ostrelxdr_free(m_decoder, &m_request);
    }

    bool decode_request() override {
        m_request = Request();
        return m_decoder != nullptr && m_decoder(m_in, &m_request);
    }
    bool encode_reply() override { return m_encoder != nullptr && m_encoder(m_out, &m_reply); }
    void clear_reply() override { m_reply = Reply(); }
    view_hdr_req_t& request_header() override { return korva_header_of(m_request); }
    view_hdr_reply_t& reply_header() override { return korva_header_of(m_reply); }

    const ostrelxdr_proc<Request> m_decoder;
    const ostrelxdr_proc<Reply> m_encoder;
    Request m_request;
    Reply m_reply;
};
