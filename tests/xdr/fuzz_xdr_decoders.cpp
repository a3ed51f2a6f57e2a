// libFuzzer target over every decoder of libostrelxdr: the kernel requests
// (hostile input from the kernel side), the kernel replies (read by the
// kernel-side client), the server's four records, and the layouts the
// library carries without a user. The first input byte picks the layout,
// the second sets a directory read's decoding room, the rest is the body,
// kept in a buffer of exactly its size.
//
// A decode must stay inside its bytes and leave nothing allocated once free
// mode has run (the sanitizers check both). A record that decodes must
// encode, and its encoding must decode and encode again to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "xdr/ostrelxdr_blob.h"
#include "xdr/ostrelxdr_codec.h"
#include "xdr/ostrelxdr_view.h"

namespace {

template <typename T>
T* new_zeroed() {
    T* record = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (record == nullptr) std::abort();
    return record;
}

// A directory read decodes into a buffer of the reply's room.
template <typename T>
void set_room(T*, u_int) {}
void set_room(view_readdir_reply_t* reply, u_int room) {
    reply->room = room;
}

template <typename T>
bool decode(ostrelxdr_proc<T> proc, const uint8_t* data, size_t size, T* record) {
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char*>(const_cast<uint8_t*>(data)),
                  static_cast<u_int>(size), XDR_DECODE);
    bool ok = proc(&xdrs, record);
    XDR_DESTROY(&xdrs);
    return ok;
}

template <typename T>
std::vector<uint8_t> encode(ostrelxdr_proc<T> proc, const T* record, const char* name) {
    std::vector<uint8_t> out(VIEW_MSG_BODY_MAX);
    size_t length = 0;
    if (!ostrelxdr_encode_body(proc, record, out.data(), out.size(), &length)) {
        std::fprintf(stderr, "%s: a decoded record does not encode\n", name);
        std::abort();
    }
    out.resize(length);
    return out;
}

template <typename T, bool_t (*Proc)(XDR*, T*)>
void fuzz(const char* name, const uint8_t* data, size_t size, u_int room) {
    T* record = new_zeroed<T>();
    set_room(record, room);
    if (decode(Proc, data, size, record)) {
        std::vector<uint8_t> once = encode(Proc, record, name);
        T* again = new_zeroed<T>();
        set_room(again, room);
        if (!decode(Proc, once.data(), once.size(), again) || encode(Proc, again, name) != once) {
            std::fprintf(stderr, "%s: an encoding does not read back\n", name);
            std::abort();
        }
        ostrelxdr_free(Proc, again);
        std::free(again);
    }
    ostrelxdr_free(Proc, record);
    std::free(record);
}

using Fuzzer = void (*)(const char*, const uint8_t*, size_t, u_int);

struct Layout {
    const char* name;
    Fuzzer fuzz;
};

// The order is the corpus's first byte: append only.
const Layout kLayouts[] = {
    {"view_hdr_req_t", fuzz<view_hdr_req_t, xdr_view_hdr_req_t>},
    {"view_getattr_req_t", fuzz<view_getattr_req_t, xdr_view_getattr_req_t>},
    {"view_lookup_req_t", fuzz<view_lookup_req_t, xdr_view_lookup_req_t>},
    {"view_replica_root_req_t", fuzz<view_replica_root_req_t, xdr_view_replica_root_req_t>},
    {"view_readdir_req_t", fuzz<view_readdir_req_t, xdr_view_readdir_req_t>},
    {"view_readdir_ext_req_t", fuzz<view_readdir_ext_req_t, xdr_view_readdir_ext_req_t>},
    {"view_readlink_req_t", fuzz<view_readlink_req_t, xdr_view_readlink_req_t>},
    {"view_gpath_req_t", fuzz<view_gpath_req_t, xdr_view_gpath_req_t>},
    {"view_invalidate_req_t", fuzz<view_invalidate_req_t, xdr_view_invalidate_req_t>},
    {"view_setattr_req_t", fuzz<view_setattr_req_t, xdr_view_setattr_req_t>},
    {"view_create_req_t", fuzz<view_create_req_t, xdr_view_create_req_t>},
    {"view_mkdir_req_t", fuzz<view_mkdir_req_t, xdr_view_mkdir_req_t>},
    {"view_symlink_req_t", fuzz<view_symlink_req_t, xdr_view_symlink_req_t>},
    {"view_link_req_t", fuzz<view_link_req_t, xdr_view_link_req_t>},
    {"view_rename_req_t", fuzz<view_rename_req_t, xdr_view_rename_req_t>},
    {"view_dir_req_t", fuzz<view_dir_req_t, xdr_view_dir_req_t>},
    {"view_change_oid_req_t", fuzz<view_change_oid_req_t, xdr_view_change_oid_req_t>},
    {"view_change_mtype_req_t", fuzz<view_change_mtype_req_t, xdr_view_change_mtype_req_t>},
    {"view_null_reply_t", fuzz<view_null_reply_t, xdr_view_null_reply_t>},
    {"view_getattr_reply_t", fuzz<view_getattr_reply_t, xdr_view_getattr_reply_t>},
    {"view_root_reply_t", fuzz<view_root_reply_t, xdr_view_root_reply_t>},
    {"view_lookup_reply_t", fuzz<view_lookup_reply_t, xdr_view_lookup_reply_t>},
    {"view_dir_reply_t", fuzz<view_dir_reply_t, xdr_view_dir_reply_t>},
    {"view_dir_mod_reply_t", fuzz<view_dir_mod_reply_t, xdr_view_dir_mod_reply_t>},
    {"view_symlink_reply_t", fuzz<view_symlink_reply_t, xdr_view_symlink_reply_t>},
    {"view_create_reply_t", fuzz<view_create_reply_t, xdr_view_create_reply_t>},
    {"view_readlink_reply_t", fuzz<view_readlink_reply_t, xdr_view_readlink_reply_t>},
    {"view_cltxt_reply_t", fuzz<view_cltxt_reply_t, xdr_view_cltxt_reply_t>},
    {"view_gpath_reply_t", fuzz<view_gpath_reply_t, xdr_view_gpath_reply_t>},
    {"view_readdir_reply_t", fuzz<view_readdir_reply_t, xdr_view_readdir_reply_t>},
    {"view_readdir_ext_reply_t", fuzz<view_readdir_ext_reply_t, xdr_view_readdir_ext_reply_t>},
    {"ostrel_vstat", fuzz<ostrel_vstat, do_xdr_ostrel_vstat_t>},
    {"ostrel_scope", fuzz<ostrel_scope, do_xdr_ostrel_scope_t>},
    {"ostrel_synceleminfo_t", fuzz<ostrel_synceleminfo_t, do_xdr_ostrel_synceleminfo_t>},
    {"ostrel_dirent_t", fuzz<ostrel_dirent_t, do_xdr_ostrel_dirent_t>},
    {"view_null_req_t", fuzz<view_null_req_t, xdr_view_null_req_t>},
    {"view_getprop_req_t", fuzz<view_getprop_req_t, xdr_view_getprop_req_t>},
    {"view_getprop_reply_t", fuzz<view_getprop_reply_t, xdr_view_getprop_reply_t>},
    {"view_eacl_cursor_t", fuzz<view_eacl_cursor_t, xdr_view_eacl_cursor_t>},
    {"view_eacl_rolemap_req_t", fuzz<view_eacl_rolemap_req_t, xdr_view_eacl_rolemap_req_t>},
    {"view_eacl_rolemap_reply_t", fuzz<view_eacl_rolemap_reply_t, xdr_view_eacl_rolemap_reply_t>},
    {"view_vstat_v8_t", fuzz<view_vstat_v8_t, xdr_view_vstat_v8_t>},
    {"view_getattr_reply_v8_t", fuzz<view_getattr_reply_v8_t, xdr_view_getattr_reply_v8_t>},
    {"view_root_reply_v8_t", fuzz<view_root_reply_v8_t, xdr_view_root_reply_v8_t>},
    {"view_lookup_reply_v8_t", fuzz<view_lookup_reply_v8_t, xdr_view_lookup_reply_v8_t>},
    {"view_dir_reply_v8_t", fuzz<view_dir_reply_v8_t, xdr_view_dir_reply_v8_t>},
    {"view_dir_mod_reply_v8_t", fuzz<view_dir_mod_reply_v8_t, xdr_view_dir_mod_reply_v8_t>},
    {"view_symlink_reply_v8_t", fuzz<view_symlink_reply_v8_t, xdr_view_symlink_reply_v8_t>},
    {"view_create_reply_v8_t", fuzz<view_create_reply_v8_t, xdr_view_create_reply_v8_t>},
};

constexpr size_t kLayoutCount = sizeof kLayouts / sizeof kLayouts[0];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size - 2 > VIEW_MSG_BODY_MAX) return 0;
    const Layout& layout = kLayouts[data[0] % kLayoutCount];
    const u_int room = data[1] * 40u;
    // The body in a buffer of its own size, so that a read past it is caught.
    std::unique_ptr<uint8_t[]> body(new uint8_t[size - 2]);
    std::memcpy(body.get(), data + 2, size - 2);
    layout.fuzz(layout.name, body.get(), size - 2, room);
    return 0;
}
