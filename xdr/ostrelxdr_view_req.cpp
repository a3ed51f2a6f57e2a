// The kernel's request layouts, fields in wire order.

#include "xdr/ostrelxdr_text.h"
#include "xdr/ostrelxdr_view.h"

bool_t xdr_view_getattr_req_t(XDR* xdrs, view_getattr_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh);
}

bool_t xdr_view_lookup_req_t(XDR* xdrs, view_lookup_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->dir) &&
           ostrelxdr_text(xdrs, &req->name, VIEW_NAME_MAX) &&
           xdr_view_hm_warp_opt(xdrs, &req->warp) &&
           xdr_vek_canon_pname_p_t(xdrs, &req->residual);
}

bool_t xdr_view_replica_root_req_t(XDR* xdrs, view_replica_root_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_qel_oid_t(xdrs, &req->family_oid) &&
           xdr_qel_uuid_t(xdrs, &req->replica_uuid) &&
           ostrelxdr_text(xdrs, &req->text1, VIEW_NAME_MAX) &&
           ostrelxdr_text(xdrs, &req->text2, VIEW_PNAME_MAX) &&
           xdr_view_hm_warp_opt(xdrs, &req->warp) && xdr_vek_canon_pname_p_t(xdrs, &req->name);
}

bool_t xdr_view_readdir_req_t(XDR* xdrs, view_readdir_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->dir) &&
           xdr_u_int(xdrs, &req->offset) && xdr_int(xdrs, &req->reserved) &&
           xdr_size_t(xdrs, &req->max_size);
}

bool_t xdr_view_readdir_ext_req_t(XDR* xdrs, view_readdir_ext_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->dir) &&
           xdr_u_int(xdrs, &req->offset) && xdr_int(xdrs, &req->reserved) &&
           ostrelxdr_text(xdrs, &req->name, VIEW_NAME_MAX) && xdr_u_int(xdrs, &req->options) &&
           xdr_size_t(xdrs, &req->max_size);
}

bool_t xdr_view_readlink_req_t(XDR* xdrs, view_readlink_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_size_t(xdrs, &req->buf_len);
}

bool_t xdr_view_gpath_req_t(XDR* xdrs, view_gpath_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_qel_boolean_t(xdrs, &req->flag) && xdr_size_t(xdrs, &req->path_len) &&
           xdr_size_t(xdrs, &req->ext_path_len);
}

bool_t xdr_view_invalidate_req_t(XDR* xdrs, view_invalidate_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_invalidate_type(xdrs, &req->kind) &&
           xdr_qel_oid_t(xdrs, &req->vob_id) && xdr_qel_oid_t(xdrs, &req->oid) &&
           ostrelxdr_text(xdrs, &req->name, VIEW_NAME_MAX);
}

bool_t xdr_view_setattr_req_t(XDR* xdrs, view_setattr_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_view_set_attr_t(xdrs, &req->attr);
}

bool_t xdr_view_create_req_t(XDR* xdrs, view_create_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_dir_arg_t(xdrs, &req->where) &&
           xdr_view_set_attr_t(xdrs, &req->attr) && xdr_size_t(xdrs, &req->cont_path_len) &&
           xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_mkdir_req_t(XDR* xdrs, view_mkdir_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_dir_arg_t(xdrs, &req->where) &&
           xdr_view_set_attr_t(xdrs, &req->attr) && xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_symlink_req_t(XDR* xdrs, view_symlink_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_dir_arg_t(xdrs, &req->where) &&
           xdr_vek_canon_pname_p_t(xdrs, &req->text) && xdr_view_set_attr_t(xdrs, &req->attr) &&
           xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_link_req_t(XDR* xdrs, view_link_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_view_dir_arg_t(xdrs, &req->where) && xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_rename_req_t(XDR* xdrs, view_rename_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_dir_arg_t(xdrs, &req->from) &&
           xdr_view_dir_arg_t(xdrs, &req->to) && xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_dir_req_t(XDR* xdrs, view_dir_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_dir_arg_t(xdrs, &req->where) &&
           xdr_timeval(xdrs, &req->stamp);
}

bool_t xdr_view_change_oid_req_t(XDR* xdrs, view_change_oid_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_view_change_oid_option(xdrs, &req->option);
}

bool_t xdr_view_change_mtype_req_t(XDR* xdrs, view_change_mtype_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_vob_mtype_t(xdrs, &req->mtype);
}
