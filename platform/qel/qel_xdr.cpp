#include "platform/qel/qel_xdr.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/utl/credutl_xdr.h"

namespace {

// An integer of the host carried as one unsigned 32-bit word. A value that
// does not fit fails to encode rather than going out cut.
template <typename T>
bool_t xdr_word(XDR* xdrs, T* value) {
    static_assert(std::is_integral<T>::value, "a word is an integer");
    u_int word = 0;
    if (xdrs->x_op == XDR_ENCODE) {
        if constexpr (std::is_signed<T>::value) {
            if (*value < 0) return FALSE;
        }
        if (static_cast<uintmax_t>(*value) > std::numeric_limits<u_int>::max()) return FALSE;
        word = static_cast<u_int>(*value);
    }
    if (!xdr_u_int(xdrs, &word)) return FALSE;
    if (xdrs->x_op == XDR_DECODE) *value = static_cast<T>(word);
    return TRUE;
}

bool_t xdr_id_bytes(XDR* xdrs, unsigned char* bytes) {
    return xdr_opaque(xdrs, reinterpret_cast<char*>(bytes), 16);
}

bool_t xdr_fstat_time(XDR* xdrs, qel_fstat_time_s* time) {
    return xdr_u_int(xdrs, &time->tv_sec) && xdr_u_int(xdrs, &time->tv_usec);
}

} // namespace

bool_t xdr_qel_uuid_t(XDR* xdrs, qel_uuid_t* uuid) {
    return xdr_id_bytes(xdrs, uuid->bytes);
}

bool_t xdr_qel_oid_t(XDR* xdrs, qel_oid_t* oid) {
    return xdr_id_bytes(xdrs, oid->bytes);
}

bool_t xdr_qel_dbid_t(XDR* xdrs, qel_dbid_t* dbid) {
    return xdr_u_int(xdrs, dbid);
}

bool_t xdr_qel_status_t(XDR* xdrs, qel_status_t* status) {
    return xdr_int(xdrs, status);
}

bool_t xdr_qel_boolean_t(XDR* xdrs, qel_boolean_t* value) {
    return xdr_bool(xdrs, value);
}

bool_t xdr_vob_mtype_t(XDR* xdrs, vob_mtype_t* mtype) {
    return xdr_u_int(xdrs, mtype);
}

bool_t xdr_xid_t(XDR* xdrs, xid_t* xid) {
    return xdr_u_int(xdrs, xid);
}

bool_t xdr_time_t(XDR* xdrs, time_t* value) {
    return xdr_word(xdrs, value);
}

bool_t xdr_size_t(XDR* xdrs, size_t* value) {
    return xdr_word(xdrs, value);
}

bool_t xdr_timeval(XDR* xdrs, struct timeval* value) {
    return xdr_word(xdrs, &value->tv_sec) && xdr_word(xdrs, &value->tv_usec);
}

bool_t xdr_qel_fstat_db_t(XDR* xdrs, qel_fstat_db_t* fstat) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (!xdr_u_int(xdrs, &fstat->type) || !xdr_u_int(xdrs, &fstat->mode) ||
        !xdr_u_int(xdrs, &fstat->nlink) || !xdr_u_int(xdrs, &fstat->aux) ||
        !xdr_credutl_sid_t(xdrs, &fstat->usid) || !xdr_credutl_sid_t(xdrs, &fstat->gsid)) {
        return FALSE;
    }
    u_quad_t size = fstat->size;
    if (!xdr_u_hyper(xdrs, &size)) return FALSE;
    if (xdrs->x_op == XDR_DECODE) fstat->size = size;
    return xdr_u_int(xdrs, &fstat->nodeid) && xdr_fstat_time(xdrs, &fstat->xtime) &&
           xdr_fstat_time(xdrs, &fstat->atime) && xdr_fstat_time(xdrs, &fstat->mtime) &&
           xdr_fstat_time(xdrs, &fstat->ctime);
}

bool_t xdr_qel_pname_t(XDR* xdrs, qel_pname_t* pname) {
    char* text = *pname;
    u_int length = 0;
    switch (xdrs->x_op) {
    case XDR_FREE:
        return TRUE;
    case XDR_ENCODE: {
        size_t n = strnlen(text, QEL_PNAME_MAX);
        if (n > QEL_PNAME_WIRE_MAX) return FALSE;
        length = static_cast<u_int>(n);
        return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, text, length);
    }
    case XDR_DECODE:
        text[0] = '\0';
        if (!xdr_u_int(xdrs, &length) || length > QEL_PNAME_WIRE_MAX) return FALSE;
        if (!xdr_opaque(xdrs, text, length)) {
            text[0] = '\0';
            return FALSE;
        }
        text[length] = '\0';
        return TRUE;
    }
    return FALSE;
}
