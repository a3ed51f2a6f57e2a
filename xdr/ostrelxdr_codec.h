#pragma once
// Kernel message bodies in memory: one layout's record decoded from, or
// encoded into, a buffer that a message carries.

#include <rpc/xdr.h>

#include <cstddef>
#include <cstring>

#include "xdr/ostrelxdr_view.h"

template <typename T>
using ostrelxdr_proc = bool_t (*)(XDR*, T*);

// Releases what decoding allocated in `record` (texts, entry buffers); a
// record that holds nothing allocated is left as it is.
template <typename T>
void ostrelxdr_free(ostrelxdr_proc<T> proc, T* record) {
    XDR xdrs;
    std::memset(&xdrs, 0, sizeof xdrs);
    xdrs.x_op = XDR_FREE;
    proc(&xdrs, record);
}

// Decodes the `size` bytes at `body` into the zeroed `record`. A body
// larger than a message carries is refused unread. On failure whatever the
// decoding allocated is released again.
template <typename T>
bool ostrelxdr_decode_body(ostrelxdr_proc<T> proc, const void* body, size_t size, T* record) {
    if (size > VIEW_MSG_BODY_MAX || (body == nullptr && size != 0)) return false;
    XDR xdrs;
    // A decoding stream only reads its bytes.
    xdrmem_create(&xdrs, static_cast<char*>(const_cast<void*>(body)), static_cast<u_int>(size),
                  XDR_DECODE);
    bool ok = proc(&xdrs, record);
    XDR_DESTROY(&xdrs);
    if (!ok) ostrelxdr_free(proc, record);
    return ok;
}

// Encodes `record` into `buf`, which has room for `room` bytes; no more than
// a message body's worth is used. On success `*length` is the bytes written.
template <typename T>
bool ostrelxdr_encode_body(ostrelxdr_proc<T> proc, const T* record, void* buf, size_t room,
                           size_t* length) {
    if (room > VIEW_MSG_BODY_MAX) room = VIEW_MSG_BODY_MAX;
    XDR xdrs;
    xdrmem_create(&xdrs, static_cast<char*>(buf), static_cast<u_int>(room), XDR_ENCODE);
    // The routines only read a record they encode.
    bool ok = proc(&xdrs, const_cast<T*>(record));
    *length = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    return ok;
}
