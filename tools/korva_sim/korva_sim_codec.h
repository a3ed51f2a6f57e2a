#pragma once
// The kernel side's codec of a view's message channel, as korva_sim and
// tests speak it: a request from one JSON object, a reply or notice as one.
//
// A request object names its call and gives the fields of the call's
// request layout; fields left out are zero or empty:
//
//   {"call": "lookup", "dir": FH, "name": "a.c"}
//
//   call          a name below, or a call code (a number; codes without a
//                 layout send the request header alone)
//   id            the request id (default: chosen by the caller)
//   res_in_size   room for the reply body (default 8768)
//   time, xid, view, build_session, build_id
//                 the request header (default: now, the id, the view's
//                 uuid, 0, 0)
//
//   null 0 | readdir 10 {dir, offset, max_size} | getcleartext 12 {fh,
//   buf_len} | readdir_ext 14 {dir, offset, name, options, max_size} | gpath
//   15 {fh, flag, path_len, ext_path_len} | invalidate 19 {kind, vob_id, oid,
//   name} | readlink 29 {fh, buf_len} | root 105 {family_oid, replica_uuid,
//   text1, text2, warp, name} | revalidate 106 {fh} | lookup 107 {dir, name,
//   warp, residual} | getattr 108 {fh} | setattr 109 {fh, attr} | create 110
//   {dir, name, attr, cont_path_len, stamp} | remove 111 {dir, name, stamp}
//   | mkdir 112 {dir, name, attr, stamp} | rmdir 113 {dir, name, stamp} |
//   rename 114 {from: {dir, name}, to: {dir, name}, stamp} | link 115 {fh,
//   dir, name, stamp} | symlink 116 {dir, name, text, attr, stamp} |
//   change_mtype 117 {fh, mtype} | change_oid 118 {fh, option}
//
//   FH    {"vob": uuid, "dbid", "elem_dbid", "stamp", "flags", "spare"}
//   attr  {"mask", "type", "mode", "owner": sid, "group": sid, "size",
//          "atime": [s, us], "mtime": [s, us]}
//
// Ids are in their text form, identities as "S-1-22-1-1000", times as
// [seconds, microseconds].
//
// A reply becomes {"request_id", "rpc_status", "res_out_size", "call", then
// the reply layout's fields: "xid", "status", and what follows the header
// (handles as FH, attributes as {"fstat": {...}, "mtype", "elem_oid",
// "obj_oid", "event_time", "rmap_oid", "last_time"}, directory entries as
// an "entries" list)}. A body that does not decode adds "error" and the
// body in hex as "body". A notice becomes {"notice": "name" | "object" |
// "view", "kind", "vob", "oid", "name"}.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/korva/korva_message.h"
#include "platform/qel/qel.h"

namespace korva_sim {

using nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// What a request takes when its object does not say.
struct Defaults {
  qel_uuid_s view_uuid = QEL_UUID_NULL;
  uint32_t id = 1;
};

// One request, ready to send.
struct Request {
  uint64_t op = 0;
  uint32_t id = 0;
  std::vector<unsigned char> packet;
};

// The name of a call code (null when it has no layout here), and the code
// of a name.
const char* callName(uint64_t op);
std::optional<uint64_t> callCode(const std::string& name);

// The request of one JSON object. Throws std::runtime_error naming what is
// wrong (an unknown call, a field the layout lacks, a value out of range, a
// request that does not fit a message).
Request encodeRequest(const json& object, const Defaults& defaults);

// A packet from hexadecimal text (blanks between bytes allowed), sent as it
// is. Its op and id come from the header where the packet has them (else 0).
// Throws std::runtime_error for text that is not hex.
Request rawRequest(const std::string& hex);

// A reply or notice. `op` is the call code of the request a reply answers,
// when known; without it only the header and the body's hex are given.
ordered_json decodePacket(const unsigned char* packet, size_t size, std::optional<uint64_t> op);

// Lower-case hex of `size` bytes.
std::string hexOf(const unsigned char* bytes, size_t size);

}  // namespace korva_sim
