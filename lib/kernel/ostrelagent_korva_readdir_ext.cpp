#include "lib/kernel/ostrelagent_korva_readdir_ext.h"

#include "lib/ns/ns_readdir.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_KORVA_Readdir_Ext";
} // namespace

OstrelAgent_KORVA_Readdir_Ext::OstrelAgent_KORVA_Readdir_Ext(XDR* in, XDR* out)
    : OstrelAgent_KORVA_Op(CALL, CLASS_NAME, in, out, xdr_view_readdir_ext_req_t, xdr_view_readdir_ext_reply_t) {}

void OstrelAgent_KORVA_Readdir_Ext::do_request() {
    // An empty name lists them all.
    const char* name = m_request.name != nullptr ? m_request.name : "";
    read_directory("Readdir_Ext uuid %s, dbid = %d max size = %ld", m_request.dir, m_request.max_size, m_reply,
                   [&](unsigned size, unsigned* next, unsigned* bytes, int* end, char* entries) {
                       return ns_readdir_ext(&m_request.dir, m_request.offset, name, m_request.options, size, next,
                                             bytes, end, reinterpret_cast<view_dirent_ext*>(entries));
                   });
}
