#include "lib/kernel/ostrelagent_korva_readdir.h"

#include "lib/ns/ns_readdir.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Readdir";
} // namespace

OstrelAgent_KORVA_Readdir::OstrelAgent_KORVA_Readdir(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_readdir_req_t, xdr_view_readdir_reply_t) {}

void OstrelAgent_KORVA_Readdir::do_request() {
    read_directory("Readdir uuid %s, dbid = %d max size = %ld", m_request.dir, m_request.max_size, m_reply,
                   [&](unsigned size, unsigned* next, unsigned* bytes, int* end, char* entries) {
                       return ns_readdir(&m_request.dir, m_request.offset, size, next, bytes, end,
                                         reinterpret_cast<view_dirent*>(entries));
                   });
}
