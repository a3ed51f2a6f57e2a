#include "lib/kernel/ostrelagent_korva_abstractop.h"

#include <algorithm>
#include <new>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/kernel/ostrelagent_korva_change_mtype.h"
#include "lib/kernel/ostrelagent_korva_change_oid.h"
#include "lib/kernel/ostrelagent_korva_create.h"
#include "lib/kernel/ostrelagent_korva_getattr.h"
#include "lib/kernel/ostrelagent_korva_getcleartext.h"
#include "lib/kernel/ostrelagent_korva_gpath.h"
#include "lib/kernel/ostrelagent_korva_invalidate.h"
#include "lib/kernel/ostrelagent_korva_link.h"
#include "lib/kernel/ostrelagent_korva_lookup.h"
#include "lib/kernel/ostrelagent_korva_mkdir.h"
#include "lib/kernel/ostrelagent_korva_null.h"
#include "lib/kernel/ostrelagent_korva_readdir.h"
#include "lib/kernel/ostrelagent_korva_readdir_ext.h"
#include "lib/kernel/ostrelagent_korva_readlink.h"
#include "lib/kernel/ostrelagent_korva_remove.h"
#include "lib/kernel/ostrelagent_korva_rename.h"
#include "lib/kernel/ostrelagent_korva_revalidate.h"
#include "lib/kernel/ostrelagent_korva_rmdir.h"
#include "lib/kernel/ostrelagent_korva_root.h"
#include "lib/kernel/ostrelagent_korva_setattr.h"
#include "lib/kernel/ostrelagent_korva_symlink.h"
#include "lib/kernel/ostrelagent_korva_unsupported.h"
#include "platform/qel/qel.h"
#include "platform/stg/stg.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_KORVA_AbstractOp";

// The reply's status when a request did not decode.
constexpr int REQUEST_NOT_DECODED = QEL_ST_NO_MEMORY;

template <typename Handler>
OstrelAgent_KORVA_AbstractOp* make(XDR* in, XDR* out) {
    return new (std::nothrow) Handler(in, out);
}

} // namespace

OstrelAgent_KORVA_AbstractOp* OstrelAgent_KORVA_AbstractOp::create_korva_request_handler(int call, XDR* in,
                                                                                        XDR* out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, CLASS_NAME, "create_korva_request_handler");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Rpc  = %d", call);
    OstrelAgent_KORVA_AbstractOp* handler = nullptr;
    switch (call) {
    case OstrelAgent_KORVA_NULL::CALL: handler = make<OstrelAgent_KORVA_NULL>(in, out); break;
    case OstrelAgent_KORVA_Readdir::CALL: handler = make<OstrelAgent_KORVA_Readdir>(in, out); break;
    case OstrelAgent_KORVA_Getcleartext::CALL: handler = make<OstrelAgent_KORVA_Getcleartext>(in, out); break;
    case OstrelAgent_KORVA_Readdir_Ext::CALL: handler = make<OstrelAgent_KORVA_Readdir_Ext>(in, out); break;
    case OstrelAgent_KORVA_Gpath::CALL: handler = make<OstrelAgent_KORVA_Gpath>(in, out); break;
    case OstrelAgent_KORVA_Invalidate::CALL: handler = make<OstrelAgent_KORVA_Invalidate>(in, out); break;
    case OstrelAgent_KORVA_Readlink::CALL: handler = make<OstrelAgent_KORVA_Readlink>(in, out); break;
    case OstrelAgent_KORVA_Root::CALL: handler = make<OstrelAgent_KORVA_Root>(in, out); break;
    case OstrelAgent_KORVA_Revalidate::CALL: handler = make<OstrelAgent_KORVA_Revalidate>(in, out); break;
    case OstrelAgent_KORVA_Lookup::CALL: handler = make<OstrelAgent_KORVA_Lookup>(in, out); break;
    case OstrelAgent_KORVA_Getattr::CALL: handler = make<OstrelAgent_KORVA_Getattr>(in, out); break;
    case OstrelAgent_KORVA_Setattr::CALL: handler = make<OstrelAgent_KORVA_Setattr>(in, out); break;
    case OstrelAgent_KORVA_Create::CALL: handler = make<OstrelAgent_KORVA_Create>(in, out); break;
    case OstrelAgent_KORVA_Remove::CALL: handler = make<OstrelAgent_KORVA_Remove>(in, out); break;
    case OstrelAgent_KORVA_Mkdir::CALL: handler = make<OstrelAgent_KORVA_Mkdir>(in, out); break;
    case OstrelAgent_KORVA_Rmdir::CALL: handler = make<OstrelAgent_KORVA_Rmdir>(in, out); break;
    case OstrelAgent_KORVA_Rename::CALL: handler = make<OstrelAgent_KORVA_Rename>(in, out); break;
    case OstrelAgent_KORVA_Link::CALL: handler = make<OstrelAgent_KORVA_Link>(in, out); break;
    case OstrelAgent_KORVA_Symlink::CALL: handler = make<OstrelAgent_KORVA_Symlink>(in, out); break;
    case OstrelAgent_KORVA_Change_Mtype::CALL: handler = make<OstrelAgent_KORVA_Change_Mtype>(in, out); break;
    case OstrelAgent_KORVA_Change_oid::CALL: handler = make<OstrelAgent_KORVA_Change_oid>(in, out); break;
    default:
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Unknown or NYI request %d", call);
        handler = new (std::nothrow) OstrelAgent_KORVA_Unsupported(call, in, out);
        break;
    }
    if (handler == nullptr) trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "Request handler could not be created");
    return handler;
}

OstrelAgent_KORVA_AbstractOp::OstrelAgent_KORVA_AbstractOp(int call, const char* class_name, XDR* in, XDR* out)
    : m_class(class_name),
      m_in(in),
      m_out(out),
      m_call(call),
      m_status(0),
      m_rpc_status(RPC_DONE),
      m_buffers(),
      m_buffer_count(0) {}

OstrelAgent_KORVA_AbstractOp::~OstrelAgent_KORVA_AbstractOp() {
    for (size_t i = 0; i < m_buffer_count; ++i) stg_free(m_buffers[i]);
}

void OstrelAgent_KORVA_AbstractOp::get_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, m_class, "get_request");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling vek_svc_getargs");
    const bool decoded = decode_request();
    if (!decoded) {
        m_status = OstrelAgent_Status::KORVA_REQUEST_FAILED;
        m_rpc_status = RPC_NOT_DECODABLE;
        m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::KORVA_PARSE_ERROR,
                                              m_call);
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Return from unmarshal = %d (rpc status %d)", decoded ? 1 : 0,
                     m_rpc_status);
}

void OstrelAgent_KORVA_AbstractOp::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, m_class, "process_request");
    m_status = 0;
    get_request();
    clear_reply();
    if (m_status != 0) {
        reply_header().status = REQUEST_NOT_DECODED;
    } else {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling do_request");
        do_request();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status in header after do_request = %d",
                         reply_header().status);
    }
    send_reply();
}

void OstrelAgent_KORVA_AbstractOp::send_reply() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, m_class, "send_reply");
    reply_header().xid = request_header().xid;
    if (!encode_reply()) {
        m_status = OstrelAgent_Status::KORVA_REPLY_FAILED;
        m_rpc_status = RPC_NOT_ENCODABLE;
        m_message += OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::KORVA_REPLY_ERROR,
                                              m_call);
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Returning status %d rpc_status %d", m_status, m_rpc_status);
}

char* OstrelAgent_KORVA_AbstractOp::reply_buffer(size_t size) {
    if (m_buffer_count == MAX_BUFFERS) return nullptr;
    char* buffer = static_cast<char*>(stg_malloc(size));
    if (buffer == nullptr) return nullptr;
    // An operation that fails leaves the text empty, never undefined.
    buffer[0] = '\0';
    m_buffers[m_buffer_count++] = buffer;
    return buffer;
}

unsigned OstrelAgent_KORVA_AbstractOp::capped_text(size_t length) {
    return static_cast<unsigned>(std::min<size_t>(length, REPLY_TEXT_MAX));
}

bool OstrelAgent_KORVA_AbstractOp::text_buffer(size_t asked, unsigned* size, char** buffer) {
    *size = capped_text(asked);
    *buffer = nullptr;
    if (*size == 0 || (*buffer = reply_buffer(*size)) != nullptr) return true;
    reply_header().status = QEL_ST_NO_RESOURCES;
    m_status = OstrelAgent_Util::qel_to_ostrel_status(QEL_ST_NO_RESOURCES);
    return false;
}

char* OstrelAgent_KORVA_AbstractOp::directory_buffer(const OstrelAgent_Trace& trace, size_t asked, unsigned* size) {
    // A reply never carries more entries than this, whatever was asked.
    *size = static_cast<unsigned>(std::min<size_t>(asked, VIEW_READDIR_MAX));
    char* buffer = reply_buffer(*size + 1);
    if (buffer == nullptr) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "malloc failed");
        m_status = OstrelAgent_Status::OUT_OF_MEMORY;
        reply_header().status = QEL_ST_NO_RESOURCES;
    }
    return buffer;
}

void OstrelAgent_KORVA_AbstractOp::out_of_memory(int reply_status) {
    m_status = OstrelAgent_Status::OUT_OF_MEMORY;
    m_message = OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::OUT_OF_MEMORY);
    reply_header().status = reply_status;
}

void OstrelAgent_KORVA_AbstractOp::trace_handle(const OstrelAgent_Trace& trace, const char* format,
                                                const view_fhandle_t& fh) {
    if (!trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) return;
    char uuid[QEL_UUID_STR_SIZE];
    qel_uuid_to_str(&fh.vob_uuid, uuid);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, format, uuid, static_cast<int>(fh.dbid));
}
