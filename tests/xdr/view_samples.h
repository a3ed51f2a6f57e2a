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

inline view_fhandle_t sample_fh() {
    view_fhandle_t fh = zeroed<view_fhandle_t>();
    fh.vob_uuid = counting<qel_uuid_t>(0x10);
    fh.dbid = 0x21;
    fh.elem_dbid = 0x22;
    fh.stamp = 0x23;
    fh.flags = 1;
    return fh;
}

// 36 bytes.
inline Bytes sample_fh_wire() {
    return counting_wire(0x10) + words({0x21, 0x22, 0x23, 1, 0});
}

} // namespace xdr_test
