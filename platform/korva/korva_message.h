// Packets of the kernel message channel (korva_cmd with
// KORVA_CMD_LPC_MESSAGE): one packet is one message of at most
// kMessageSize bytes, a 32-byte header in the host's byte order, then an
// XDR body.
//
//   request (kernel side -> daemon)      reply (daemon -> kernel side)
//   0-7    op, the call code             0-3    rpc_status
//   8-15   req_size = body length        4-11   res_out_size = body length
//   16-23  res_in_size, room for the     12-23  zero
//          reply body (<= kBodyMax)
//   24-27  request_id                    24-27  request_id of the request
//   28-31  kMarkRequest (0)              28-31  kMarkReply (1)
//
// A notice (channel -> kernel side: the kernel's caches of a name, an object
// or the whole view were invalidated) has a request's header with op kNoticeOp, req_size the body length, request_id 0 and the
// mark kMarkNotice; its body is a Notice in XDR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/qel/qel.h"

namespace korva {

constexpr size_t kMessageSize = 8800;
constexpr size_t kHeaderSize = 32;
constexpr size_t kBodyMax = kMessageSize - kHeaderSize;  // 8768

constexpr uint32_t kMarkRequest = 0;
constexpr uint32_t kMarkReply = 1;
constexpr uint32_t kMarkNotice = 2;

constexpr uint64_t kNoticeOp = uint64_t{1} << 32;

// rpc_status of a reply that the channel gives itself to a packet outside
// the limits above (no body).
constexpr uint32_t kRpcNotDecodable = 4;

struct RequestHeader {
  uint64_t op = 0;
  uint64_t req_size = 0;
  uint64_t res_in_size = 0;
  uint32_t request_id = 0;
  uint32_t mark = kMarkRequest;
};

struct ReplyHeader {
  uint32_t rpc_status = 0;
  uint64_t res_out_size = 0;
  uint32_t request_id = 0;
  uint32_t mark = kMarkReply;
};

// Each reads or writes kHeaderSize bytes at `at` (any alignment).
RequestHeader readRequestHeader(const unsigned char* at);
void writeRequestHeader(unsigned char* at, const RequestHeader& header);
ReplyHeader readReplyHeader(const unsigned char* at);
// Writes the whole header (bytes 12-23 zero).
void writeReplyHeader(unsigned char* at, const ReplyHeader& header);

// Single header words, shared by requests, replies and notices.
uint32_t readRequestId(const unsigned char* at);
void writeRequestId(unsigned char* at, uint32_t request_id);
uint32_t readMark(const unsigned char* at);

// A whole request packet: the header (req_size from the body) and `body`.
std::vector<unsigned char> makeRequestPacket(uint64_t op, uint32_t request_id, uint64_t res_in_size,
                                             const unsigned char* body, size_t body_size);

// ---- notices ---------------------------------------------------------------

// Kinds, as the invalidation that caused the notice: 1 a name in a
// directory; 2, 5, 6, 7 an object; 3 the whole view.
enum : uint32_t {
  kNoticeName = 1,
  kNoticeObject = 2,
  kNoticeView = 3,
};

// Body: u_int kind, qel_uuid_t VOB, qel_oid_t object or directory, string
// name (at most kNoticeNameMax bytes; empty but for names).
struct Notice {
  uint32_t kind = kNoticeView;
  qel_uuid_s vob = QEL_UUID_NULL;
  qel_oid_s oid = QEL_OID_NULL;
  std::string name;
};
constexpr size_t kNoticeNameMax = 255;

// The whole notice packet. A name too long to travel turns the notice into
// one for the whole view, which drops at least as much.
std::vector<unsigned char> makeNoticePacket(const Notice& notice);
// Decodes a notice body; false when it is malformed or longer than needed.
bool decodeNoticeBody(const unsigned char* body, size_t size, Notice* notice);

}  // namespace korva
