// The layouts of the calls no handler serves (an object's property, its
// access list's role map) and the request that is its header alone; fields
// in wire order.

#include "xdr/ostrelxdr_text.h"
#include "xdr/ostrelxdr_view.h"

bool_t xdr_view_null_req_t(XDR* xdrs, view_null_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr);
}

bool_t xdr_view_getprop_req_t(XDR* xdrs, view_getprop_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           ostrelxdr_text(xdrs, &req->name, VIEW_NAME_MAX);
}

bool_t xdr_view_getprop_reply_t(XDR* xdrs, view_getprop_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_size_t(xdrs, &reply->value_len) && ostrelxdr_text(xdrs, &reply->value, VIEW_PNAME_MAX);
}

bool_t xdr_view_eacl_cursor_t(XDR* xdrs, view_eacl_cursor_t* cursor) {
    return xdr_qel_oid_t(xdrs, &cursor->acl_oid) && xdr_u_int(xdrs, &cursor->index);
}

bool_t xdr_view_eacl_rolemap_req_t(XDR* xdrs, view_eacl_rolemap_req_t* req) {
    return xdr_view_hdr_req_t(xdrs, &req->hdr) && xdr_view_fhandle_t(xdrs, &req->fh) &&
           xdr_view_eacl_cursor_t(xdrs, &req->cursor) && xdr_size_t(xdrs, &req->max_size);
}

bool_t xdr_view_eacl_rolemap_reply_t(XDR* xdrs, view_eacl_rolemap_reply_t* reply) {
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdr_view_eacl_cursor_t(xdrs, &reply->next) && xdr_size_t(xdrs, &reply->map_len) &&
           ostrelxdr_text(xdrs, &reply->map, VIEW_PNAME_MAX) && xdr_bool(xdrs, &reply->eof);
}
