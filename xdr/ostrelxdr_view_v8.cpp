// The previous protocol version's reply forms, fields in wire order. A
// reply's body follows its header only on status 0, except where a layout
// says otherwise.

#include "xdr/ostrelxdr_view.h"

namespace {

constexpr qel_status_t kNameStateOnly = QEL_ST_NOT_PERMITTED;  // 1063

bool_t xdr_handle_and_attr(XDR* xdrs, view_fhandle_t* fh, view_vstat_v8_t* attr) {
    return xdr_view_fhandle_t(xdrs, fh) && xdr_view_vstat_v8_t(xdrs, attr);
}

} // namespace

bool_t xdr_view_vstat_v8_t(XDR* xdrs, view_vstat_v8_t* vstat) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    return xdr_qel_fstat_db_t(xdrs, &vstat->fstat) && xdr_vob_mtype_t(xdrs, &vstat->mtype) &&
           xdr_qel_oid_t(xdrs, &vstat->elem_oid) && xdr_qel_oid_t(xdrs, &vstat->obj_oid) &&
           xdr_timeval(xdrs, &vstat->event_time);
}

bool_t xdr_view_dir_mod_v8_t(XDR* xdrs, view_dir_mod_v8_t* mod) {
    return xdr_view_vstat_v8_t(xdrs, &mod->dir_attr) && xdr_bool(xdrs, &mod->unchanged);
}

bool_t xdr_view_getattr_reply_v8_t(XDR* xdrs, view_getattr_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status == kNameStateOnly) return xdr_view_name_state_t(xdrs, &reply->name_state);
    if (reply->hdr.status != 0) return TRUE;
    return xdr_view_vstat_v8_t(xdrs, &reply->attr) &&
           xdr_view_name_state_t(xdrs, &reply->name_state) && xdr_view_fhandle_t(xdrs, &reply->fh);
}

bool_t xdr_view_root_reply_v8_t(XDR* xdrs, view_root_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_view_vstat_v8_t(xdrs, &reply->attr) && xdr_view_fhandle_t(xdrs, &reply->fh) &&
           xdr_bool(xdrs, &reply->flag);
}

bool_t xdr_view_lookup_reply_v8_t(XDR* xdrs, view_lookup_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr) ||
        !xdr_view_name_state_t(xdrs, &reply->name_state)) {
        return FALSE;
    }
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) && xdr_size_t(xdrs, &reply->consumed);
}

bool_t xdr_view_dir_reply_v8_t(XDR* xdrs, view_dir_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    return reply->hdr.status != 0 || xdr_view_vstat_v8_t(xdrs, &reply->attr);
}

bool_t xdr_view_dir_mod_reply_v8_t(XDR* xdrs, view_dir_mod_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    return reply->hdr.status != 0 || xdr_view_dir_mod_v8_t(xdrs, &reply->dir_mod);
}

bool_t xdr_view_symlink_reply_v8_t(XDR* xdrs, view_symlink_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) &&
           xdr_view_dir_mod_v8_t(xdrs, &reply->dir_mod);
}

bool_t xdr_view_create_reply_v8_t(XDR* xdrs, view_create_reply_v8_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) &&
           xdr_view_dir_mod_v8_t(xdrs, &reply->dir_mod) &&
           xdr_size_t(xdrs, &reply->cont_path_len) &&
           xdr_vek_canon_pname_p_t(xdrs, &reply->cont_path);
}
