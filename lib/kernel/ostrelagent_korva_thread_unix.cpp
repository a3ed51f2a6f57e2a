#include "lib/kernel/ostrelagent_korva_thread_unix.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/kernel/ostrelagent_korva_abstractop.h"
#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"
#include "lib/ns/ns_cache.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_KORVA_Thread_Unix";

// The message header, in the host's byte order.
constexpr size_t HEADER_SIZE = 32;
constexpr size_t BODY_MAX = OstrelAgent_KORVA_Thread_Unix::BUFFER_SIZE - HEADER_SIZE;  // 8768

// Request words.
constexpr size_t AT_OP = 0;
constexpr size_t AT_REQ_SIZE = 8;
constexpr size_t AT_RES_IN_SIZE = 16;
constexpr size_t AT_REQUEST_ID = 24;
// Reply words: the 64-bit length follows the 32-bit status at once.
constexpr size_t AT_RPC_STATUS = 0;
constexpr size_t AT_RES_OUT_SIZE = 4;
constexpr size_t AT_REPLY_PRESENT = 28;

constexpr uint32_t REPLY_PRESENT = 1;

template <typename Word>
Word load(const unsigned char* buffer, size_t at) {
    Word word;
    std::memcpy(&word, buffer + at, sizeof word);
    return word;
}

template <typename Word>
void store(unsigned char* buffer, size_t at, Word word) {
    std::memcpy(buffer + at, &word, sizeof word);
}

// An XDR memory stream over part of a message buffer, destroyed with it.
class Message_Stream {
public:
    Message_Stream(unsigned char* bytes, size_t size, xdr_op op) {
        xdrmem_create(&m_xdrs, reinterpret_cast<char*>(bytes), static_cast<u_int>(size), op);
    }
    ~Message_Stream() { XDR_DESTROY(&m_xdrs); }
    Message_Stream(const Message_Stream&) = delete;
    Message_Stream& operator=(const Message_Stream&) = delete;

    XDR* get() { return &m_xdrs; }
    uint64_t position() { return XDR_GETPOS(&m_xdrs); }

private:
    XDR m_xdrs;
};

} // namespace

OstrelAgent_KORVA_Thread_Unix::OstrelAgent_KORVA_Thread_Unix(const std::string& view_tag,
                                                             OstrelAgent_Thread_Manager_Base* manager,
                                                             OstrelAgent_KORVA_Request_Handler_Unix* listener)
    : m_view_tag(view_tag), m_thread_manager(manager), m_listener(listener), m_view_root(nullptr) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "ctor");
    int status = 0;
    m_view_root = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
    if (m_view_root == nullptr) {
        imsg_print(IMSG_KIND_ERR, &_qel_cmsg_qel_msg_table, QEL_MSG_CALL_FAILED, "korva_view_root_open_type",
                   qel_strerror(status));
    }
}

OstrelAgent_KORVA_Thread_Unix::~OstrelAgent_KORVA_Thread_Unix() {
    if (m_view_root != nullptr) korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, m_view_root);
}

int OstrelAgent_KORVA_Thread_Unix::execute() {
    // A listener that is stopping starts no loop: a call made now would wait
    // after the listener has interrupted the others.
    if (m_listener != nullptr && !m_listener->thread_started()) return 0;
    const int result = serve();
    if (m_listener != nullptr) m_listener->thread_ended();
    return result;
}

int OstrelAgent_KORVA_Thread_Unix::serve() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "execute");
    std::memset(m_buffer_a, 0, sizeof m_buffer_a);
    std::memset(m_buffer_b, 0, sizeof m_buffer_b);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "Start loop");
    korva_view_tag_record tag{korva_text_of(m_view_tag.c_str()), korva_text_of(m_view_tag.c_str())};
    // The first call carries no reply.
    unsigned char* request = m_buffer_b;
    unsigned char* reply = m_buffer_a;
    int result = 0;
    for (;;) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "Before IOCTL req=%p res=%p", static_cast<void*>(request),
                         static_cast<void*>(reply));
        int call_result = 0;
        int kernel_status = 0;
        korva_cmd(m_view_root, &call_result, &kernel_status, KORVA_CMD_LPC_MESSAGE, 0, &tag, request, BUFFER_SIZE);
        // A wait broken by a stop of the process or a tracer attaching, not
        // by the listener's signal, is made again (with the same buffer: a
        // reply that went already is dropped as answered).
        if (call_result != 0 && errno == EINTR && m_listener != nullptr && !m_listener->stopping()) continue;
        if (call_result != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "KORVA_CMD_LPC_MESSAGE failed: %d", call_result);
            result = call_result;
            break;
        }
        if (kernel_status != 0) {
            result = qel_status2errno(kernel_status);
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "KORVA_CMD_LPC_MESSAGE stat=%d (%s)", kernel_status,
                             qel_strerror(kernel_status));
            if (kernel_status == QEL_ST_SHUTDOWN) break;
        }
        if (m_thread_manager->should_exit()) break;
        // The same buffer, with the reply it still holds, goes down again.
        if (kernel_status != 0) continue;
        handle_request(trace, request, reply);
        std::swap(request, reply);
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "End loop");
    return result;
}

void OstrelAgent_KORVA_Thread_Unix::handle_request(const OstrelAgent_Trace& loop_trace, unsigned char* request,
                                                   unsigned char* reply) {
    const uint64_t op = load<uint64_t>(request, AT_OP);
    const uint64_t req_size = load<uint64_t>(request, AT_REQ_SIZE);
    uint64_t res_in_size = load<uint64_t>(request, AT_RES_IN_SIZE);
    const uint32_t request_id = load<uint32_t>(request, AT_REQUEST_ID);
    loop_trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "Handle LPC request op=%llu req sz=%llu res in sz=%llu",
                          static_cast<unsigned long long>(op), static_cast<unsigned long long>(req_size),
                          static_cast<unsigned long long>(res_in_size));
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "handle_korva_ipc");

    int rpc_status = 0;
    uint64_t res_out_size = 0;
    // The header's sizes come from the kernel side: a body longer than a
    // message is not read, and no reply is written past the buffer.
    if (res_in_size > BODY_MAX) res_in_size = BODY_MAX;
    if (req_size > BODY_MAX) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "request size %llu > %llu for RPC %llu",
                         static_cast<unsigned long long>(req_size), static_cast<unsigned long long>(BODY_MAX),
                         static_cast<unsigned long long>(op));
        rpc_status = OstrelAgent_KORVA_AbstractOp::RPC_NOT_DECODABLE;
    } else {
        Message_Stream in(request + HEADER_SIZE, static_cast<size_t>(req_size), XDR_DECODE);
        Message_Stream out(reply + HEADER_SIZE, static_cast<size_t>(res_in_size), XDR_ENCODE);
        std::unique_ptr<OstrelAgent_KORVA_AbstractOp> handler(OstrelAgent_KORVA_AbstractOp::create_korva_request_handler(
            static_cast<int>(static_cast<uint32_t>(op)), in.get(), out.get()));
        if (!handler) {
            rpc_status = OstrelAgent_KORVA_AbstractOp::RPC_NOT_ENCODABLE;
        } else {
            // The request's access checks are its caller's, as the kernel
            // names it beside the request.
            korva_caller caller{};
            std::optional<Ns_Caller_Scope> scope;
            if (korva_lpc_caller(&caller) == 0)
                scope.emplace(Ns_Caller{static_cast<pid_t>(caller.pid), static_cast<uid_t>(caller.uid),
                                        static_cast<gid_t>(caller.gid)});
            handler->process_request();
            scope.reset();
            rpc_status = handler->get_rpc_status();
            switch (rpc_status) {
            case 0:
                break;
            case OstrelAgent_KORVA_AbstractOp::RPC_UNSUPPORTED:
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "unknown procedure for RPC %llu",
                                 static_cast<unsigned long long>(op));
                break;
            case OstrelAgent_KORVA_AbstractOp::RPC_NOT_DECODABLE:
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "can't decode request for RPC %llu",
                                 static_cast<unsigned long long>(op));
                break;
            case OstrelAgent_KORVA_AbstractOp::RPC_NOT_ENCODABLE:
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "can't encode reply for RPC %llu",
                                 static_cast<unsigned long long>(op));
                break;
            default:
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "unknown RPC problem for RPC %llu: stat=%d",
                                 static_cast<unsigned long long>(op), rpc_status);
                break;
            }
            handler.reset();
            res_out_size = out.position();
            if (res_out_size > res_in_size) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "response out sz=%llu > in sz=%llu",
                                 static_cast<unsigned long long>(res_out_size),
                                 static_cast<unsigned long long>(res_in_size));
            }
        }
    }

    // The buffer held an earlier request: the words the reply does not
    // use are zero.
    std::memset(reply, 0, HEADER_SIZE);
    store<uint32_t>(reply, AT_RPC_STATUS, static_cast<uint32_t>(rpc_status));
    store<uint64_t>(reply, AT_RES_OUT_SIZE, res_out_size);
    store<uint32_t>(reply, AT_REQUEST_ID, request_id);
    store<uint32_t>(reply, AT_REPLY_PRESENT, REPLY_PRESENT);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "LPC response stat=%ld res out sz=%llu",
                     static_cast<long>(rpc_status), static_cast<unsigned long long>(res_out_size));
}
