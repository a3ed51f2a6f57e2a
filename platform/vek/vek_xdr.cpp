#include "platform/vek/vek_xdr.h"

bool_t xdr_vek_canon_pname_p_t(XDR* xdrs, vek_canon_pname_p_t* pname) {
    if (xdrs->x_op == XDR_ENCODE && *pname == nullptr) {
        char empty[] = "";
        char* text = empty;
        return xdr_string(xdrs, &text, VEK_CANON_PNAME_WIRE_MAX);
    }
    if (xdrs->x_op == XDR_DECODE) *pname = nullptr;
    return xdr_string(xdrs, pname, VEK_CANON_PNAME_WIRE_MAX);
}

bool_t xdr_vek_off32_t(XDR* xdrs, vek_off32_t* offset) {
    return xdr_u_int(xdrs, offset);
}
