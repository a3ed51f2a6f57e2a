#include "platform/korva/korva_message.h"

#include <rpc/xdr.h>

#include <cstring>

#include "platform/qel/qel_xdr.h"

namespace korva {

namespace {

template <typename T>
T load(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename T>
void store(unsigned char* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// u_int kind, uuid, oid, string name: the most a notice body takes.
constexpr size_t kNoticeBodyMax = 4 + 16 + 16 + 4 + ((kNoticeNameMax + 3) & ~size_t{3});

// Encodes, decodes or frees (the name) one notice body.
bool_t xdrNotice(XDR* xdrs, uint32_t* kind, qel_uuid_s* vob, qel_oid_s* oid, char** name) {
  return xdr_u_int(xdrs, kind) && xdr_qel_uuid_t(xdrs, vob) && xdr_qel_oid_t(xdrs, oid) &&
         xdr_string(xdrs, name, kNoticeNameMax);
}

}  // namespace

RequestHeader readRequestHeader(const unsigned char* at) {
  RequestHeader h;
  h.op = load<uint64_t>(at);
  h.req_size = load<uint64_t>(at + 8);
  h.res_in_size = load<uint64_t>(at + 16);
  h.request_id = load<uint32_t>(at + 24);
  h.mark = load<uint32_t>(at + 28);
  return h;
}

void writeRequestHeader(unsigned char* at, const RequestHeader& h) {
  store(at, h.op);
  store(at + 8, h.req_size);
  store(at + 16, h.res_in_size);
  store(at + 24, h.request_id);
  store(at + 28, h.mark);
}

ReplyHeader readReplyHeader(const unsigned char* at) {
  ReplyHeader h;
  h.rpc_status = load<uint32_t>(at);
  h.res_out_size = load<uint64_t>(at + 4);
  h.request_id = load<uint32_t>(at + 24);
  h.mark = load<uint32_t>(at + 28);
  return h;
}

void writeReplyHeader(unsigned char* at, const ReplyHeader& h) {
  std::memset(at, 0, kHeaderSize);
  store(at, h.rpc_status);
  store(at + 4, h.res_out_size);
  store(at + 24, h.request_id);
  store(at + 28, h.mark);
}

uint32_t readRequestId(const unsigned char* at) { return load<uint32_t>(at + 24); }

void writeRequestId(unsigned char* at, uint32_t request_id) { store(at + 24, request_id); }

uint32_t readMark(const unsigned char* at) { return load<uint32_t>(at + 28); }

std::vector<unsigned char> makeRequestPacket(uint64_t op, uint32_t request_id, uint64_t res_in_size,
                                             const unsigned char* body, size_t body_size) {
  std::vector<unsigned char> packet(kHeaderSize + body_size);
  RequestHeader h;
  h.op = op;
  h.req_size = body_size;
  h.res_in_size = res_in_size;
  h.request_id = request_id;
  writeRequestHeader(packet.data(), h);
  if (body_size != 0) std::memcpy(packet.data() + kHeaderSize, body, body_size);
  return packet;
}

std::vector<unsigned char> makeNoticePacket(const Notice& notice) {
  Notice sent = notice;
  if (sent.name.size() > kNoticeNameMax || sent.name.find('\0') != std::string::npos) {
    sent = Notice();
  }
  unsigned char body[kNoticeBodyMax];
  XDR xdrs;
  xdrmem_create(&xdrs, reinterpret_cast<char*>(body), sizeof body, XDR_ENCODE);
  char* name = const_cast<char*>(sent.name.c_str());  // encoding only reads it
  bool_t ok = xdrNotice(&xdrs, &sent.kind, &sent.vob, &sent.oid, &name);
  size_t length = XDR_GETPOS(&xdrs);
  XDR_DESTROY(&xdrs);
  if (!ok) length = 0;  // cannot happen: the body is sized for the longest name
  std::vector<unsigned char> packet = makeRequestPacket(kNoticeOp, 0, 0, body, length);
  store(packet.data() + 28, kMarkNotice);
  return packet;
}

bool decodeNoticeBody(const unsigned char* body, size_t size, Notice* notice) {
  if (size > kNoticeBodyMax) return false;
  XDR xdrs;
  xdrmem_create(&xdrs, reinterpret_cast<char*>(const_cast<unsigned char*>(body)),
                static_cast<u_int>(size), XDR_DECODE);
  Notice n;
  char* name = nullptr;
  bool ok = xdrNotice(&xdrs, &n.kind, &n.vob, &n.oid, &name) && XDR_GETPOS(&xdrs) == size;
  XDR_DESTROY(&xdrs);
  if (name != nullptr) n.name = name;
  XDR free_xdrs;
  std::memset(&free_xdrs, 0, sizeof free_xdrs);
  free_xdrs.x_op = XDR_FREE;
  xdr_string(&free_xdrs, &name, kNoticeNameMax);
  if (ok) *notice = n;
  return ok;
}

}  // namespace korva
