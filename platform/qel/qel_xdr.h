// XDR routines of the base library's types, as the kernel protocol and the
// server's reply records carry them. Each routine encodes, decodes or frees
// according to the stream's operation and returns false when the stream
// fails (out of room, input ended) or a value has no wire form.
//
// Wire forms (fixed: peers and stored test vectors depend on them):
//   uuid, oid          16-byte fixed opaque
//   dbid, status, mtype, xid, boolean, time_t, size_t
//                      one 32-bit word; a time_t or size_t outside
//                      0 .. 2^32-1 fails to encode
//   timeval            two words: seconds, microseconds (each as time_t)
//   file status        type, mode, link count, aux (four words), owner and
//                      group sids, size (a 64-bit hyper), node id, then the
//                      four times as two words each: 132 bytes
//   qel_pname_t        an XDR string of at most 1023 bytes, decoded into
//                      the fixed buffer and NUL-terminated
#pragma once

#include <rpc/xdr.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>

#include "platform/qel/qel.h"

// Longest text a qel_pname_t carries on the wire (its buffer less the NUL).
constexpr u_int QEL_PNAME_WIRE_MAX = QEL_PNAME_MAX - 1;

bool_t xdr_qel_uuid_t(XDR* xdrs, qel_uuid_t* uuid);
bool_t xdr_qel_oid_t(XDR* xdrs, qel_oid_t* oid);
bool_t xdr_qel_dbid_t(XDR* xdrs, qel_dbid_t* dbid);
bool_t xdr_qel_status_t(XDR* xdrs, qel_status_t* status);
bool_t xdr_qel_boolean_t(XDR* xdrs, qel_boolean_t* value);
bool_t xdr_vob_mtype_t(XDR* xdrs, vob_mtype_t* mtype);
bool_t xdr_xid_t(XDR* xdrs, xid_t* xid);
bool_t xdr_time_t(XDR* xdrs, time_t* value);
bool_t xdr_size_t(XDR* xdrs, size_t* value);
bool_t xdr_timeval(XDR* xdrs, struct timeval* value);

// Free mode does nothing: the record holds no pointer.
bool_t xdr_qel_fstat_db_t(XDR* xdrs, qel_fstat_db_t* fstat);

// Encoding sends the text up to its NUL; a buffer without a NUL in its
// first 1024 bytes fails. Decoding empties the buffer first, so it holds
// a NUL-terminated text (possibly empty) whatever the outcome.
bool_t xdr_qel_pname_t(XDR* xdrs, qel_pname_t* pname);
