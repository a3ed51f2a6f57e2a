// XDR routine of a credential identity: its 34 bytes as fixed opaque data
// (36 bytes on the wire with the padding).
#pragma once

#include <rpc/xdr.h>

#include "platform/utl/credutl.h"

bool_t xdr_credutl_sid_t(XDR* xdrs, credutl_sid_t* sid);
