#pragma once
// Sample building blocks of the kernel layouts with their wire bytes written
// by hand from the layout tables, shared by the layout and blob tests.

#include "xdr/ostrelxdr_view.h"
#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace xdr_test {

inline view_vstat_t sample_vstat() {
    view_vstat_t vstat = zeroed<view_vstat_t>();
    vstat.fstat = sample_fstat();
    vstat.mtype = 6;
    vstat.elem_oid = counting<qel_oid_t>(0x50);
    vstat.obj_oid = counting<qel_oid_t>(0x60);
    vstat.event_time = {0x1000, 0x2000};
    vstat.rmap_oid = counting<qel_oid_t>(0x70);
    return vstat;
}

// 200 bytes.
inline Bytes sample_vstat_wire() {
    return sample_fstat_wire() + words({6}) + counting_wire(0x50) + counting_wire(0x60) +
           words({0x1000, 0x2000}) + counting_wire(0x70) + words({0, 0});
}

// A handle: the VOB uuid counting from `first`, the element dbid and stamp
// the next numbers after `dbid`.
inline view_fhandle_t make_fh(unsigned char first, qel_dbid_t dbid, u_int flags) {
    view_fhandle_t fh = zeroed<view_fhandle_t>();
    fh.vob_uuid = counting<qel_uuid_t>(first);
    fh.dbid = dbid;
    fh.elem_dbid = dbid + 1;
    fh.stamp = dbid + 2;
    fh.flags = flags;
    return fh;
}

inline view_fhandle_t sample_fh() {
    return make_fh(0x10, 0x21, 1);
}

// 36 bytes.
inline Bytes sample_fh_wire() {
    return counting_wire(0x10) + words({0x21, 0x22, 0x23, 1, 0});
}

} // namespace xdr_test
