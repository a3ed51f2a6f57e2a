#pragma once
// Sample building blocks of the kernel layouts with their wire bytes written
// by hand from the layout tables, shared by the layout and blob tests.

#include <algorithm>
#include <cstring>
#include <string>

#include "xdr/ostrelxdr_blob.h"
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

// The server's records with a value of their own in every field; the
// vstat's link text, the paths and the name are the caller's.
inline void set_pname(qel_pname_t& pname, const std::string& text) {
    std::memset(pname, 0, sizeof pname);
    std::memcpy(pname, text.data(), std::min(text.size(), sizeof pname));
}

inline void fill_vstat(ostrel_vstat& r, const std::string& link) {
    r.vstat = sample_vstat();
    r.checked_out = TRUE;
    set_pname(r.link_text, link);
}

inline void fill_scope(ostrel_scope& r, const std::string& pname) {
    r.scope_oid = counting<qel_oid_t>(0x10);
    r.other_oid = counting<qel_oid_t>(0x20);
    set_pname(r.pname, pname);
    r.gn = 5;
}

inline void fill_info(ostrel_synceleminfo_t& r, const std::string& path,
                      const std::string& prev, const std::string& cur) {
    set_pname(r.obj_pname, path);
    r.parent_oid = counting<qel_oid_t>(0x30);
    r.replica_uuid = counting<qel_uuid_t>(0x40);
    r.obj_oid = counting<qel_oid_t>(0x50);
    set_pname(r.prev_version, prev);
    set_pname(r.cur_version, cur);
}

inline void fill_dirent(ostrel_dirent_t& r, const std::string& name) {
    r.ino = 7;
    r.off = 8;
    r.name_state = 0x11;
    r.rule = 2;
    r.obj_oid = counting<qel_oid_t>(0x60);
    r.obj_mtype = 5;
    r.ver_oid = counting<qel_oid_t>(0x70);
    r.ver_mtype = 6;
    r.namlen = static_cast<uint16_t>(name.size());
    std::memcpy(r.name, name.data(), std::min(name.size(), sizeof r.name));
    r.flag = TRUE;
}

} // namespace xdr_test
