// XDR routines of the kernel-services types.
#pragma once

#include <rpc/xdr.h>

#include "platform/vek/vek.h"

// Longest canonical path name on the wire, in bytes.
constexpr u_int VEK_CANON_PNAME_WIRE_MAX = 1023;

// A canonical path name held as a text pointer: an XDR string of at most
// VEK_CANON_PNAME_WIRE_MAX bytes. A null pointer encodes as the empty text.
// Decoding always allocates a new text sized by what arrives (never writing
// into a buffer the pointer held before); free mode releases it and clears
// the pointer.
bool_t xdr_vek_canon_pname_p_t(XDR* xdrs, vek_canon_pname_p_t* pname);

// A 32-bit directory offset: one word.
bool_t xdr_vek_off32_t(XDR* xdrs, vek_off32_t* offset);
