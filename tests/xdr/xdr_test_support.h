#pragma once
// Helpers for the tests of XDR routines: wire bytes written by hand, and
// encoding and decoding one record through a memory stream.

#include <rpc/xdr.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace xdr_test {

using Bytes = std::vector<unsigned char>;

template <typename T>
using Proc = bool_t (*)(XDR*, T*);

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Big-endian 32-bit words.
inline Bytes words(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        out.push_back(static_cast<unsigned char>(v >> 24));
        out.push_back(static_cast<unsigned char>(v >> 16));
        out.push_back(static_cast<unsigned char>(v >> 8));
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

// Bytes as they stand, no length, no padding.
inline Bytes raw(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The bytes of a text then zeros up to a multiple of 4.
inline Bytes padded(const std::string& text) {
    Bytes out = raw(text);
    out.resize((out.size() + 3) / 4 * 4, 0);
    return out;
}

// An XDR string: its length word, its bytes, zero padding.
inline Bytes text(const std::string& value) {
    return words({static_cast<uint32_t>(value.size())}) + padded(value);
}

inline std::string hex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
        if (i % 4 == 3 && i + 1 < bytes.size()) out += ' ';
    }
    return out;
}

// Encodes `record` into a stream of `room` bytes. Returns false when the
// routine fails; `out` gets the bytes written either way.
template <typename T>
bool encode(Proc<T> proc, const T& record, Bytes* out, size_t room = 65536) {
    std::unique_ptr<char[]> buf(new char[room > 0 ? room : 1]);
    XDR xdrs;
    xdrmem_create(&xdrs, buf.get(), static_cast<u_int>(room), XDR_ENCODE);
    T copy = record;
    bool ok = proc(&xdrs, &copy);
    out->assign(buf.get(), buf.get() + XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);
    return ok;
}

// The encoding of `record`, empty when it fails.
template <typename T>
Bytes encoded(Proc<T> proc, const T& record) {
    Bytes out;
    if (!encode(proc, record, &out)) out.clear();
    return out;
}

// Decodes `bytes` (copied to a buffer of exactly their size, so that a read
// past them is caught by the address sanitizer) into `record`, which the
// caller has zeroed. `used` gets the bytes consumed.
template <typename T>
bool decode(Proc<T> proc, const Bytes& bytes, T* record, size_t* used = nullptr) {
    std::unique_ptr<char[]> buf(new char[bytes.size() > 0 ? bytes.size() : 1]);
    if (!bytes.empty()) std::memcpy(buf.get(), bytes.data(), bytes.size());
    XDR xdrs;
    xdrmem_create(&xdrs, buf.get(), static_cast<u_int>(bytes.size()), XDR_DECODE);
    bool ok = proc(&xdrs, record);
    if (used != nullptr) *used = XDR_GETPOS(&xdrs);
    XDR_DESTROY(&xdrs);
    return ok;
}

// A value-initialised record whose padding is zero too, so that two
// records compare with memcmp.
template <typename T>
T zeroed() {
    T record;
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    return record;
}

} // namespace xdr_test
