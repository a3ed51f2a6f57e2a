#pragma once
// Kernel call handlers: for each kernel request the request loop asks
// create_korva_request_handler for the handler of the request's call code,
// runs it once with process_request (decode the request, run the namespace
// operation, encode the reply) and deletes it.
//
// A handler keeps two statuses. Its agent status: 0; 20001 a call code
// without a handler; 20003 out of memory; 20027 the request does not
// decode; 20028 the reply does not encode. And the rpc_status that the loop
// puts into the reply's message header: 0 done; 3 no handler for the call
// code; 4 the request does not decode; 5 the reply does not encode. The
// namespace operation's own status travels in the header of the reply body,
// which carries the rest of the body only when that status is 0.
//
// The request and reply records live in the derived handler
// (OstrelAgent_KORVA_Op); what decoding allocated in the request, and every
// buffer the handler allocates for its reply, go with the handler.

#include <rpc/xdr.h>

#include <cstddef>
#include <string>

#include "lib/core/ostrelagent_trace.h"
#include "xdr/ostrelxdr_view.h"

class OstrelAgent_KORVA_AbstractOp {
public:
    // rpc_status values of the reply's message header.
    static const int RPC_DONE = 0;
    static const int RPC_UNSUPPORTED = 3;
    static const int RPC_NOT_DECODABLE = 4;
    static const int RPC_NOT_ENCODABLE = 5;

    // Longest reply text (link text, container or cleartext path, path
    // names) that a handler sends; longer requests are cut to it.
    static const unsigned REPLY_TEXT_MAX = 1024;

    // The handler of call code `call` (the unsupported handler for a code
    // without one), reading the request from `in` and writing the reply to
    // `out`; the streams stay the caller's. Null when no object can be made.
    static OstrelAgent_KORVA_AbstractOp* create_korva_request_handler(int call, XDR* in, XDR* out);

    virtual ~OstrelAgent_KORVA_AbstractOp();

    OstrelAgent_KORVA_AbstractOp(const OstrelAgent_KORVA_AbstractOp&) = delete;
    OstrelAgent_KORVA_AbstractOp& operator=(const OstrelAgent_KORVA_AbstractOp&) = delete;

    // Decodes the request into its zeroed record: 20027 and rpc_status 4
    // when it does not decode.
    virtual void get_request();
    // Runs the request: decodes it, zeroes the reply, runs do_request (only
    // when the request decoded; else the reply's status is 1001) and sends
    // the reply.
    virtual void process_request();
    // Copies the request's xid into the reply and encodes the reply: 20028
    // and rpc_status 5 when it does not encode.
    virtual void send_reply();
    // The call's work: the namespace operation, its status into the reply.
    virtual void do_request() = 0;

    int get_call() const { return m_call; }
    int get_status() const { return m_status; }
    int get_rpc_status() const { return m_rpc_status; }
    const std::string& get_message() const { return m_message; }

protected:
    // `class_name` (a literal) names the handler in traces.
    OstrelAgent_KORVA_AbstractOp(int call, const char* class_name, XDR* in, XDR* out);

    // The typed records of the derived handler.
    virtual bool decode_request() = 0;
    virtual bool encode_reply() = 0;
    virtual void clear_reply() = 0;
    virtual view_hdr_req_t& request_header() = 0;
    virtual view_hdr_reply_t& reply_header() = 0;

    // A buffer of `size` bytes for the reply, freed with the handler; null
    // when it cannot be had.
    char* reply_buffer(size_t size);
    // A requested text length cut to REPLY_TEXT_MAX.
    static unsigned capped_text(size_t length);
    // A reply text buffer of exactly the length asked for, cut to
    // REPLY_TEXT_MAX, into `*size` and `*buffer` (null for a length of 0).
    // False when it cannot be had: the reply's status is then 1062.
    bool text_buffer(size_t asked, unsigned* size, char** buffer);
    // A directory read: traces `format` (with the directory's VOB uuid, its
    // dbid and the maximum asked for), gets the entry buffer and lets
    // `read` (size, next cookie, bytes, end flag, buffer) fill it into
    // `reply`. The buffer holds no more than a reply carries, plus one
    // byte; when it cannot be had the status is 20003 and the reply's 1062.
    template <typename Read>
    void read_directory(const char* format, const view_fhandle_t& dir, size_t max_size, view_readdir_reply_t& reply,
                        Read read);
    // No memory for a reply buffer: 20003, the catalogue's text, and
    // `reply_status` as the reply's status.
    void out_of_memory(int reply_status);

    // Writes `format` at level 4 with the handle's VOB uuid (text) and dbid.
    static void trace_handle(const OstrelAgent_Trace& trace, const char* format, const view_fhandle_t& fh);

    const char* const m_class;
    XDR* const m_in;
    XDR* const m_out;
    const int m_call;
    int m_status;
    std::string m_message;
    int m_rpc_status;

private:
    // The entry buffer of a directory read of at most `asked` bytes (see
    // read_directory); the bytes the read may fill go to `*size`.
    char* directory_buffer(const OstrelAgent_Trace& trace, size_t asked, unsigned* size);

    static const size_t MAX_BUFFERS = 2;
    char* m_buffers[MAX_BUFFERS];
    size_t m_buffer_count;
};

template <typename Read>
void OstrelAgent_KORVA_AbstractOp::read_directory(const char* format, const view_fhandle_t& dir, size_t max_size,
                                                  view_readdir_reply_t& reply, Read read) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT_KORVA, m_class, "do_request");
    m_status = 0;
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char uuid[QEL_UUID_STR_SIZE];
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, format, qel_uuid_to_str(&dir.vob_uuid, uuid),
                         static_cast<int>(dir.dbid), static_cast<long>(max_size));
    }
    reply.next_offset = 0;
    reply.nbytes = 0;
    unsigned size = 0;
    char* entries = directory_buffer(trace, max_size, &size);
    if (entries == nullptr) return;
    unsigned next = 0, bytes = 0;
    int end = 0;
    reply.hdr.status = read(size, &next, &bytes, &end, entries);
    reply.next_offset = next;
    reply.nbytes = bytes;
    reply.eof = end;
    reply.room = size + 1;
    reply.entries = entries;
}

// The handler's records as the request loop's streams carry them: header
// accessors for a request or reply record whatever its layout.
inline view_hdr_req_t& korva_header_of(view_hdr_req_t& header) { return header; }
inline view_hdr_reply_t& korva_header_of(view_hdr_reply_t& header) { return header; }
template <typename Record>
auto korva_header_of(Record& record) -> decltype((record.hdr)) {
    return record.hdr;
}
