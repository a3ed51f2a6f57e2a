// Directory-read replies: the packed entry records and their wire form.

#include <cstring>

#include "platform/stg/stg.h"
#include "xdr/ostrelxdr_view.h"

static_assert(sizeof(view_dirent) == VIEW_DIRENT_NAME_OFFSET && offsetof(view_dirent, reclen) == 8,
              "a view_dirent head is 12 bytes");
static_assert(offsetof(view_dirent_ext, obj_oid) == 16 && offsetof(view_dirent_ext, ver_oid) == 36 &&
                  offsetof(view_dirent_ext, namlen) == 56 &&
                  offsetof(view_dirent_ext, namlen) + 2 == VIEW_DIRENT_EXT_NAME_OFFSET,
              "a view_dirent_ext head is 58 bytes");

namespace {

// Terminator and end-of-directory flag after the last entry.
constexpr u_int kTailBytes = 8;

// Name, NUL and zeroed rounding bytes of a record of `reclen` bytes at `at`.
// The name may already lie in place (a decoded record).
void put_name(char* at, size_t offset, const char* name, uint32_t namlen, uint32_t reclen) {
    std::memmove(at + offset, name, namlen);
    std::memset(at + offset + namlen, 0, reclen - offset - namlen);
}

u_int rounded(u_int n) {
    return (n + 3) & ~3u;
}

// True when `n` more bytes fit in the memory stream (whose positions can be
// set anywhere up to its end).
bool fits(XDR* xdrs, u_int n) {
    u_int pos = XDR_GETPOS(xdrs);
    if (n > ~0u - pos || !XDR_SETPOS(xdrs, pos + n)) return false;
    return XDR_SETPOS(xdrs, pos);
}

struct Plain {
    using Head = view_dirent;
    static constexpr size_t kNameOffset = VIEW_DIRENT_NAME_OFFSET;
    static constexpr u_int kExtraWire = 0;
    // The longest name whose record length fits the 16-bit field.
    static constexpr u_int kMaxNamlen = 0xFFFF - 16;

    static uint32_t reclen(uint32_t namlen) { return view_dirent_reclen(namlen); }
    static const char* read(const void* at, Head* head) { return view_dirent_read(at, head); }
    static void write(void* at, const Head* head, const char* name) {
        view_dirent_write(at, head, name);
    }
    // The stored record's length; 0 when it cannot hold its name.
    static uint32_t stored_length(const Head& head) {
        if (head.reclen == 0 || kNameOffset + head.namlen + 1 > head.reclen) return 0;
        return head.reclen;
    }
    static bool_t xdr_extra(XDR*, Head*) { return TRUE; }
};

struct Ext {
    using Head = view_dirent_ext;
    static constexpr size_t kNameOffset = VIEW_DIRENT_EXT_NAME_OFFSET;
    static constexpr u_int kExtraWire = 48;
    static constexpr u_int kMaxNamlen = 0xFFFF;

    static uint32_t reclen(uint32_t namlen) { return view_dirent_ext_reclen(namlen); }
    static const char* read(const void* at, Head* head) { return view_dirent_ext_read(at, head); }
    static void write(void* at, const Head* head, const char* name) {
        view_dirent_ext_write(at, head, name);
    }
    static uint32_t stored_length(const Head& head) { return reclen(head.namlen); }
    static bool_t xdr_extra(XDR* xdrs, Head* head) {
        return xdr_view_name_state_t(xdrs, &head->name_state) && xdr_u_int(xdrs, &head->rule) &&
               xdr_qel_oid_t(xdrs, &head->obj_oid) && xdr_vob_mtype_t(xdrs, &head->obj_mtype) &&
               xdr_qel_oid_t(xdrs, &head->ver_oid) && xdr_vob_mtype_t(xdrs, &head->ver_mtype);
    }
};

// Everything of an entry after its name.
template <typename K>
bool_t xdr_entry_tail(XDR* xdrs, typename K::Head* head) {
    int reserved = 0;
    return xdr_u_int(xdrs, &head->ino) && xdr_vek_off32_t(xdrs, &head->off) &&
           xdr_int(xdrs, &reserved) && K::xdr_extra(xdrs, head);
}

template <typename K>
bool_t encode_entries(XDR* xdrs, const view_readdir_reply_t* reply) {
    bool_t eof = reply->eof;
    if (reply->entries != nullptr && reply->nbytes != 0) {
        if (reply->nbytes > reply->room) return FALSE;
        const u_int limit = XDR_GETPOS(xdrs) + VIEW_READDIR_MAX;
        const char* at = reply->entries;
        u_int left = reply->nbytes;
        while (left > 0) {
            if (left < K::kNameOffset) return FALSE;
            typename K::Head head;
            const char* name = K::read(at, &head);
            uint32_t length = K::stored_length(head);
            if (length == 0 || head.namlen == 0 || length > left) return FALSE;
            u_int wire = 4 + rounded(head.namlen) + 12 + K::kExtraWire;
            if (XDR_GETPOS(xdrs) + wire + kTailBytes > limit || !fits(xdrs, wire + kTailBytes)) {
                eof = FALSE;
                break;
            }
            u_int namlen = head.namlen;
            // Encoding only reads the name.
            if (!xdr_u_int(xdrs, &namlen) || !xdr_opaque(xdrs, const_cast<char*>(name), namlen) ||
                !xdr_entry_tail<K>(xdrs, &head)) {
                return FALSE;
            }
            at += length;
            left -= length;
        }
    }
    u_int end = 0;
    return xdr_u_int(xdrs, &end) && xdr_bool(xdrs, &eof);
}

template <typename K>
bool_t decode_entries(XDR* xdrs, view_readdir_reply_t* reply) {
    if (reply->entries == nullptr) {
        reply->entries = static_cast<char*>(stg_malloc(reply->room));
        if (reply->entries == nullptr) return FALSE;
    }
    reply->nbytes = 0;
    for (;;) {
        u_int namlen = 0;
        if (!xdr_u_int(xdrs, &namlen)) return FALSE;
        if (namlen == 0) break;
        if (namlen > K::kMaxNamlen) return FALSE;
        uint32_t length = K::reclen(namlen);
        if (length > reply->room - reply->nbytes) {
            reply->eof = FALSE;
            return TRUE;
        }
        char* at = reply->entries + reply->nbytes;
        char* name = at + K::kNameOffset;
        typename K::Head head{};
        head.namlen = static_cast<uint16_t>(namlen);
        if (!xdr_opaque(xdrs, name, namlen) || !xdr_entry_tail<K>(xdrs, &head)) return FALSE;
        K::write(at, &head, name);
        reply->nbytes += length;
        reply->next_offset = head.off;
    }
    return xdr_bool(xdrs, &reply->eof);
}

template <typename K>
bool_t xdr_readdir(XDR* xdrs, view_readdir_reply_t* reply) {
    if (xdrs->x_op == XDR_FREE) {
        stg_free(reply->entries);
        reply->entries = nullptr;
        return TRUE;
    }
    if (!xdr_view_hdr_reply_t(xdrs, &reply->hdr)) return FALSE;
    if (reply->hdr.status != 0) return TRUE;
    return xdrs->x_op == XDR_ENCODE ? encode_entries<K>(xdrs, reply) : decode_entries<K>(xdrs, reply);
}

} // namespace

uint32_t view_dirent_write(void* at, const view_dirent* head, const char* name) {
    view_dirent h = *head;
    h.reclen = static_cast<uint16_t>(view_dirent_reclen(h.namlen));
    char* p = static_cast<char*>(at);
    put_name(p, VIEW_DIRENT_NAME_OFFSET, name, h.namlen, h.reclen);
    std::memcpy(p, &h, VIEW_DIRENT_NAME_OFFSET);
    return h.reclen;
}

uint32_t view_dirent_ext_write(void* at, const view_dirent_ext* head, const char* name) {
    uint32_t reclen = view_dirent_ext_reclen(head->namlen);
    char* p = static_cast<char*>(at);
    put_name(p, VIEW_DIRENT_EXT_NAME_OFFSET, name, head->namlen, reclen);
    std::memcpy(p, head, VIEW_DIRENT_EXT_NAME_OFFSET);
    return reclen;
}

const char* view_dirent_read(const void* at, view_dirent* head) {
    std::memcpy(head, at, VIEW_DIRENT_NAME_OFFSET);
    return static_cast<const char*>(at) + VIEW_DIRENT_NAME_OFFSET;
}

const char* view_dirent_ext_read(const void* at, view_dirent_ext* head) {
    *head = view_dirent_ext{};
    std::memcpy(head, at, VIEW_DIRENT_EXT_NAME_OFFSET);
    return static_cast<const char*>(at) + VIEW_DIRENT_EXT_NAME_OFFSET;
}

bool_t xdr_view_readdir_reply_t(XDR* xdrs, view_readdir_reply_t* reply) {
    return xdr_readdir<Plain>(xdrs, reply);
}

bool_t xdr_view_readdir_ext_reply_t(XDR* xdrs, view_readdir_ext_reply_t* reply) {
    return xdr_readdir<Ext>(xdrs, reply);
}
