// The kernel's reply layouts, fields in wire order. A reply's body follows
// its header only on status 0, except where a layout says otherwise.

#include "xdr/ostrelxdr_view.h"

namespace {

constexpr qel_status_t kNameStateOnly = QEL_ST_NOT_PERMITTED;  // 1063

bool_t xdr_handle_and_attr(XDR* xdrs, view_fhandle_t* fh, view_vstat_t* attr) {
    return xdr_view_fhandle_t(xdrs, fh) && xdr_view_vstat_t(xdrs, attr);
}

} // namespace

bool_t xdr_view_null_reply_t(XDR* xdrs, view_null_reply_t* reply) {
    return xdr_view_hdr_reply_t(xdrs, &reply->hdr);
}

bool_t xdr_view_getattr_reply_t(XDR* xdrs, view_getattr_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status == kNameStateOnly) return xdr_view_name_state_t(xdrs, &reply->name_state);
    if (reply->hdr.status != 0) return TRUE;
    return xdr_view_vstat_t(xdrs, &reply->attr) &&
           xdr_view_name_state_t(xdrs, &reply->name_state) &&
           xdr_view_fhandle_t(xdrs, &reply->fh) && xdr_timeval(xdrs, &reply->lvut) &&
           xdr_bool(xdrs, &reply->name_flag);
}

bool_t xdr_view_root_reply_t(XDR* xdrs, view_root_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_view_vstat_t(xdrs, &reply->attr) && xdr_view_fhandle_t(xdrs, &reply->fh) &&
           xdr_bool(xdrs, &reply->flag);
}

bool_t xdr_view_lookup_reply_t(XDR* xdrs, view_lookup_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr) ||
        !xdr_view_name_state_t(xdrs, &reply->name_state)) {
        return FALSE;
    }
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) && xdr_size_t(xdrs, &reply->consumed) &&
           xdr_bool(xdrs, &reply->name_flag) && xdr_timeval(xdrs, &reply->lvut);
}

bool_t xdr_view_dir_reply_t(XDR* xdrs, view_dir_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    return reply->hdr.status != 0 || xdr_view_vstat_t(xdrs, &reply->attr);
}

bool_t xdr_view_dir_mod_reply_t(XDR* xdrs, view_dir_mod_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    return reply->hdr.status != 0 || xdr_view_dir_mod_t(xdrs, &reply->dir_mod);
}

bool_t xdr_view_symlink_reply_t(XDR* xdrs, view_symlink_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) &&
           xdr_view_dir_mod_t(xdrs, &reply->dir_mod);
}

bool_t xdr_view_create_reply_t(XDR* xdrs, view_create_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_handle_and_attr(xdrs, &reply->fh, &reply->attr) &&
           xdr_view_dir_mod_t(xdrs, &reply->dir_mod) &&
           xdr_size_t(xdrs, &reply->cont_path_len) &&
           xdr_vek_canon_pname_p_t(xdrs, &reply->cont_path);
}

bool_t xdr_view_readlink_reply_t(XDR* xdrs, view_readlink_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_size_t(xdrs, &reply->text_len) && xdr_vek_canon_pname_p_t(xdrs, &reply->text);
}

bool_t xdr_view_cltxt_reply_t(XDR* xdrs, view_cltxt_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_size_t(xdrs, &reply->path_len) && xdr_vek_canon_pname_p_t(xdrs, &reply->path) &&
           xdr_bool(xdrs, &reply->cache_path);
}

bool_t xdr_view_gpath_reply_t(XDR* xdrs, view_gpath_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_size_t(xdrs, &reply->path_len) && xdr_vek_canon_pname_p_t(xdrs, &reply->path) &&
           xdr_size_t(xdrs, &reply->ext_path_len) &&
           xdr_vek_canon_pname_p_t(xdrs, &reply->ext_path);
}
