// The building blocks of the kernel layouts and their enumerations.

#include "xdr/ostrelxdr_text.h"
#include "xdr/ostrelxdr_view.h"

namespace {

template <typename E>
bool_t xdr_enum_of(XDR* xdrs, E* value) {
    enum_t word = xdrs->x_op == XDR_ENCODE ? static_cast<enum_t>(*value) : 0;
    if (!xdr_enum(xdrs, &word)) return FALSE;
    if (xdrs->x_op == XDR_DECODE) *value = static_cast<E>(word);
    return TRUE;
}

// An owner or group of a set-attribute record: one that the mask does not
// give goes out as "any".
bool_t xdr_attr_sid(XDR* xdrs, credutl_sid_t* sid, bool given) {
    if (xdrs->x_op == XDR_ENCODE && !given) {
        credutl_sid_t dontcare = CREDUTL_SID_DONTCARE;
        return xdr_credutl_sid_t(xdrs, &dontcare);
    }
    return xdr_credutl_sid_t(xdrs, sid);
}

} // namespace

bool_t ostrelxdr_text(XDR* xdrs, char** text, u_int max) {
    if (xdrs->x_op == XDR_ENCODE && *text == nullptr) return FALSE;
    if (xdrs->x_op == XDR_DECODE) *text = nullptr;
    return xdr_string(xdrs, text, max);
}

bool_t xdr_view_hm_warp_opt(XDR* xdrs, view_hm_warp_opt* value) {
    return xdr_enum_of(xdrs, value);
}

bool_t xdr_view_invalidate_type(XDR* xdrs, view_invalidate_type* value) {
    return xdr_enum_of(xdrs, value);
}

bool_t xdr_view_change_oid_option(XDR* xdrs, view_change_oid_option* value) {
    return xdr_enum_of(xdrs, value);
}

bool_t xdr_view_handle_t(XDR* xdrs, view_handle_t* handle) {
    return xdr_qel_uuid_t(xdrs, handle);
}

bool_t xdr_view_name_state_t(XDR* xdrs, view_name_state_t* state) {
    return xdr_u_int(xdrs, state);
}

bool_t xdr_view_build_session_t(XDR* xdrs, view_build_session_t* session) {
    return xdr_u_int(xdrs, session);
}

bool_t xdr_view_bhandle_t(XDR* xdrs, view_bhandle_t* handle) {
    return xdr_view_build_session_t(xdrs, &handle->build_session) &&
           xdr_u_int(xdrs, &handle->build_id);
}

bool_t xdr_view_hdr_req_t(XDR* xdrs, view_hdr_req_t* hdr) {
    return xdr_time_t(xdrs, &hdr->time) && xdr_xid_t(xdrs, &hdr->xid) &&
           xdr_view_handle_t(xdrs, &hdr->view) && xdr_view_bhandle_t(xdrs, &hdr->build_handle);
}

bool_t xdr_view_hdr_reply_t(XDR* xdrs, view_hdr_reply_t* hdr) {
    return xdr_xid_t(xdrs, &hdr->xid) && xdr_qel_status_t(xdrs, &hdr->status);
}

bool_t xdr_view_fhandle_t(XDR* xdrs, view_fhandle_t* fh) {
    return xdr_qel_uuid_t(xdrs, &fh->vob_uuid) && xdr_qel_dbid_t(xdrs, &fh->dbid) &&
           xdr_qel_dbid_t(xdrs, &fh->elem_dbid) && xdr_u_int(xdrs, &fh->stamp) &&
           xdr_u_int(xdrs, &fh->flags) && xdr_u_int(xdrs, &fh->spare);
}

bool_t xdr_view_vstat_t(XDR* xdrs, view_vstat_t* vstat) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    return xdr_qel_fstat_db_t(xdrs, &vstat->fstat) && xdr_vob_mtype_t(xdrs, &vstat->mtype) &&
           xdr_qel_oid_t(xdrs, &vstat->elem_oid) && xdr_qel_oid_t(xdrs, &vstat->obj_oid) &&
           xdr_timeval(xdrs, &vstat->event_time) && xdr_qel_oid_t(xdrs, &vstat->rmap_oid) &&
           xdr_timeval(xdrs, &vstat->last_time);
}

bool_t xdr_view_set_attr_t(XDR* xdrs, view_set_attr_t* attr) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (!xdr_u_int(xdrs, &attr->mask) || !xdr_u_int(xdrs, &attr->type) ||
        !xdr_u_int(xdrs, &attr->mode) ||
        !xdr_attr_sid(xdrs, &attr->owner, (attr->mask & VIEW_ATTR_OWNER) != 0) ||
        !xdr_attr_sid(xdrs, &attr->group, (attr->mask & VIEW_ATTR_GROUP) != 0)) {
        return FALSE;
    }
    u_int low = static_cast<u_int>(attr->size);
    u_int high = static_cast<u_int>(attr->size >> 32);
    if (!xdr_u_int(xdrs, &low) || !xdr_u_int(xdrs, &high)) return FALSE;
    if (xdrs->x_op == XDR_DECODE) attr->size = uint64_t{high} << 32 | low;
    return xdr_timeval(xdrs, &attr->atime) && xdr_timeval(xdrs, &attr->mtime);
}

bool_t xdr_view_dir_arg_t(XDR* xdrs, view_dir_arg_t* arg) {
    return xdr_view_fhandle_t(xdrs, &arg->dir) && ostrelxdr_text(xdrs, &arg->name, VIEW_NAME_MAX);
}

bool_t xdr_view_dir_mod_t(XDR* xdrs, view_dir_mod_t* mod) {
    return xdr_view_vstat_t(xdrs, &mod->dir_attr) && xdr_bool(xdrs, &mod->unchanged);
}
