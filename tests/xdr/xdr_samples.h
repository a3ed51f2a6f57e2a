#pragma once
// Sample values of the platform types with their wire bytes written by
// hand, shared by the platform and layout tests.

#include <cstring>

#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"
#include "xdr/xdr_test_support.h"

namespace xdr_test {

// 16 bytes counting up from `first`, as an oid or a uuid.
template <typename Id>
Id counting(unsigned char first) {
    Id id;
    for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<unsigned char>(first + i);
    return id;
}

inline Bytes counting_wire(unsigned char first) {
    Bytes out;
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<unsigned char>(first + i));
    return out;
}

// Sids of user 1000 and group 100: revision 1, two sub-identifiers,
// authority 22, {1, uid} or {2, gid}; 34 bytes and 2 of padding.
inline Bytes user1000_sid_wire() {
    return words({0x01020000, 0x00000016, 0x00000001, 0x000003e8, 0, 0, 0, 0, 0});
}
inline Bytes group100_sid_wire() {
    return words({0x01020000, 0x00000016, 0x00000002, 0x00000064, 0, 0, 0, 0, 0});
}
inline Bytes dontcare_sid_wire() {
    return words({0x01010000, 0, 0, 0, 0, 0, 0, 0, 0});
}

inline qel_fstat_db_t sample_fstat() {
    qel_fstat_db_t fstat = zeroed<qel_fstat_db_t>();
    fstat.type = QEL_FTYPE_REG;
    fstat.mode = 0644;
    fstat.nlink = 2;
    fstat.aux = 0x0a0b0c0d;
    credutl_uid_to_sid(1000, &fstat.usid);
    credutl_gid_to_sid(100, &fstat.gsid);
    fstat.size = 0x100000002ull;
    fstat.nodeid = 7;
    fstat.xtime = {0x11, 0x12};
    fstat.atime = {0x21, 0x22};
    fstat.mtime = {0x31, 0x32};
    fstat.ctime = {0x41, 0x42};
    return fstat;
}

// 132 bytes: four words, two sids, the size as a hyper (high word first),
// the node id, four times.
inline Bytes sample_fstat_wire() {
    return words({1, 0644, 2, 0x0a0b0c0d}) + user1000_sid_wire() + group100_sid_wire() +
           words({1, 2}) + words({7}) + words({0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42});
}

} // namespace xdr_test
