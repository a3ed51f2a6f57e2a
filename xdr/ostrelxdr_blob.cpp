#include "xdr/ostrelxdr_blob.h"

#include "platform/stg/stg.h"

namespace {

template <typename T>
using Routine = bool_t (*)(XDR*, T*);

template <typename T>
int ostrel_decode(Routine<T> routine, unsigned int len, const char* data, T* record) {
    if (record == nullptr || (data == nullptr && len != 0)) return QEL_ST_INVALID;
    XDR xdrs;
    // A decoding stream only reads its bytes.
    xdrmem_create(&xdrs, const_cast<char*>(data), len, XDR_DECODE);
    bool_t ok = routine(&xdrs, record);
    XDR_DESTROY(&xdrs);
    return ok ? 0 : QEL_ST_NO_MEMORY;
}

template <typename T>
int ostrel_encode(Routine<T> routine, const T* record, unsigned int size, unsigned int* len,
                  char** buf) {
    if (routine == nullptr || record == nullptr || size == 0 || len == nullptr || buf == nullptr) {
        return QEL_ST_INVALID;
    }
    char* out = static_cast<char*>(stg_malloc(size));
    if (out == nullptr) return QEL_ST_NO_RESOURCES;
    XDR xdrs;
    xdrmem_create(&xdrs, out, size, XDR_ENCODE);
    // The routines only read a record they encode.
    bool_t ok = routine(&xdrs, const_cast<T*>(record));
    unsigned int used = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    if (!ok) {
        stg_free(out);
        return QEL_ST_NO_RESOURCES;
    }
    *len = used;
    *buf = out;
    return 0;
}

} // namespace

bool_t do_xdr_ostrel_vstat_t(XDR* xdrs, ostrel_vstat* vstat) {
    return xdr_view_vstat_t(xdrs, &vstat->vstat) && xdr_bool(xdrs, &vstat->checked_out) &&
           xdr_qel_pname_t(xdrs, &vstat->link_text);
}

bool_t do_xdr_ostrel_scope_t(XDR* xdrs, ostrel_scope* scope) {
    return xdr_qel_oid_t(xdrs, &scope->scope_oid) && xdr_qel_oid_t(xdrs, &scope->other_oid) &&
           xdr_qel_pname_t(xdrs, &scope->pname) && xdr_u_int(xdrs, &scope->gn);
}

bool_t do_xdr_ostrel_synceleminfo_t(XDR* xdrs, ostrel_synceleminfo_t* info) {
    return xdr_qel_pname_t(xdrs, &info->obj_pname) && xdr_qel_oid_t(xdrs, &info->parent_oid) &&
           xdr_qel_uuid_t(xdrs, &info->replica_uuid) && xdr_qel_oid_t(xdrs, &info->obj_oid) &&
           xdr_qel_pname_t(xdrs, &info->prev_version) && xdr_qel_pname_t(xdrs, &info->cur_version);
}

bool_t do_xdr_ostrel_dirent_t(XDR* xdrs, ostrel_dirent_t* dirent) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    u_int namlen = dirent->namlen;
    if (!xdr_u_int(xdrs, &namlen) || namlen > OSTREL_DIRENT_NAME_MAX) return FALSE;
    bool_t ok = xdr_opaque(xdrs, dirent->name, namlen);
    if (xdrs->x_op == XDR_DECODE) {
        dirent->namlen = static_cast<uint16_t>(namlen);
        dirent->name[namlen] = '\0';
    }
    return ok && xdr_u_int(xdrs, &dirent->ino) && xdr_vek_off32_t(xdrs, &dirent->off) &&
           xdr_view_name_state_t(xdrs, &dirent->name_state) && xdr_u_int(xdrs, &dirent->rule) &&
           xdr_qel_oid_t(xdrs, &dirent->obj_oid) && xdr_vob_mtype_t(xdrs, &dirent->obj_mtype) &&
           xdr_qel_oid_t(xdrs, &dirent->ver_oid) && xdr_vob_mtype_t(xdrs, &dirent->ver_mtype) &&
           xdr_bool(xdrs, &dirent->flag);
}

int ostrel_vstat_decode(unsigned int len, const char* data, ostrel_vstat* vstat) {
    return ostrel_decode(do_xdr_ostrel_vstat_t, len, data, vstat);
}

int ostrel_scope_decode(unsigned int len, const char* data, ostrel_scope* scope) {
    return ostrel_decode(do_xdr_ostrel_scope_t, len, data, scope);
}

int ostrel_synceleminfo_decode(unsigned int len, const char* data, ostrel_synceleminfo_t* info) {
    return ostrel_decode(do_xdr_ostrel_synceleminfo_t, len, data, info);
}

int ostrel_dirent_decode(unsigned int len, const char* data, ostrel_dirent_t* dirent) {
    return ostrel_decode(do_xdr_ostrel_dirent_t, len, data, dirent);
}

int ostrel_vstat_encode(const ostrel_vstat* vstat, unsigned int* len, char** buf) {
    return ostrel_encode(do_xdr_ostrel_vstat_t, vstat, OSTREL_VSTAT_ENCODE_SIZE, len, buf);
}

int ostrel_scope_encode(const ostrel_scope* scope, unsigned int* len, char** buf) {
    return ostrel_encode(do_xdr_ostrel_scope_t, scope, OSTREL_SCOPE_ENCODE_SIZE, len, buf);
}

int ostrel_synceleminfo_encode(const ostrel_synceleminfo_t* info, unsigned int* len, char** buf) {
    return ostrel_encode(do_xdr_ostrel_synceleminfo_t, info, OSTREL_SYNCELEMINFO_ENCODE_SIZE, len,
                         buf);
}

int ostrel_dirent_encode(const ostrel_dirent_t* dirent, unsigned int* len, char** buf) {
    return ostrel_encode(do_xdr_ostrel_dirent_t, dirent, OSTREL_DIRENT_ENCODE_SIZE, len, buf);
}
