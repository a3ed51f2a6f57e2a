#include "lib/kernel/ostrelagent_korva_gpath.h"

#include <cstring>

#include "lib/ns/ns_rpc.h"
#include "platform/qel/qel.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Gpath";
} // namespace

OstrelAgent_KORVA_Gpath::OstrelAgent_KORVA_Gpath(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_gpath_req_t, xdr_view_gpath_reply_t) {}

void OstrelAgent_KORVA_Gpath::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    trace_handle(trace, "Gpath request for UUID = %s, DBID = %d", m_request.fh);
    m_reply.hdr.status = 0;
    const unsigned path_size = capped_text(m_request.path_len);
    const unsigned ext_size = capped_text(m_request.ext_path_len);
    char* path = reply_buffer(path_size + 1);
    char* ext_path = path != nullptr ? reply_buffer(ext_size + 1) : nullptr;
    if (ext_path == nullptr) {
        out_of_memory(QEL_ST_NO_RESOURCES);
        return;
    }
    const int status = ns_gpath(&m_request.fh, m_request.flag, path_size, path, ext_size, ext_path);
    if (status != 0) {
        m_reply.hdr.status = status;
        return;
    }
    m_reply.path = path;
    m_reply.path_len = std::strlen(path);
    m_reply.ext_path = ext_path;
    m_reply.ext_path_len = std::strlen(ext_path);
}
