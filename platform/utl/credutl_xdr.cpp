#include "platform/utl/credutl_xdr.h"

bool_t xdr_credutl_sid_t(XDR* xdrs, credutl_sid_t* sid) {
    return xdr_opaque(xdrs, reinterpret_cast<char*>(sid->bytes), CREDUTL_SID_SIZE);
}
