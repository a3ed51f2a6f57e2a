#include "lib/kernel/ostrelagent_korva_readdir.h"

#include "lib/ns/ns_readdir.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Readdir";
} // namespace

OstrelAgent_KORVA_Readdir::OstrelAgent_KORVA_Readdir(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_readdir_req_t, xdr_view_readdir_reply_t) {}

void OstrelAgent_KORVA_Readdir::do_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "do_request");
    m_status = 0;
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char uuid[QEL_UUID_STR_SIZE];
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Readdir uuid %s, dbid = %d max size = %ld",
                         qel_uuid_to_str(&m_request.dir.vob_uuid, uuid), static_cast<int>(m_request.dir.dbid),
                         static_cast<long>(m_request.max_size));
    }
    m_reply.next_offset = 0;
    m_reply.nbytes = 0;
    unsigned size = 0;
    char* entries = directory_buffer(trace, m_request.max_size, &size);
    if (entries == nullptr) return;
    unsigned next = 0, bytes = 0;
    int end = 0;
    m_reply.hdr.status = ns_readdir(&m_request.dir, m_request.offset, size, &next, &bytes, &end,
                                    reinterpret_cast<view_dirent*>(entries));
    m_reply.next_offset = next;
    m_reply.nbytes = bytes;
    m_reply.eof = end;
    m_reply.room = size + 1;
    m_reply.entries = entries;
}
