// The kernel layouts: one encoding of every request and reply layout,
// written by hand from the layout tables, checked byte for byte both ways;
// every shorter input fails to decode and every smaller room fails to
// encode; the bounds on names, path names and message bodies hold both ways.

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xdr/ostrelxdr_codec.h"
#include "xdr/ostrelxdr_view.h"
#include "xdr/view_samples.h"
#include "xdr/xdr_samples.h"
#include "xdr/xdr_test_support.h"

namespace {

using namespace xdr_test;

// One layout's case, its record type erased.
struct Case {
    std::string name;
    Bytes golden;
    std::function<bool(Bytes*, size_t room)> encode;
    // Decodes; on success checks the values against the case's record.
    std::function<bool(const Bytes&)> decode;
};

// Reaches a text field of a record, for the comparison.
template <typename T>
using TextField = std::function<char**(T&)>;

// Decoded records equal their originals: texts by content (a null pointer
// reads as the empty text), everything else byte for byte.
template <typename T>
void expect_same(T a, T b, const std::vector<TextField<T>>& texts) {
    for (const auto& field : texts) {
        char** x = field(a);
        char** y = field(b);
        EXPECT_STREQ(*x != nullptr ? *x : "", *y != nullptr ? *y : "");
        *x = nullptr;
        *y = nullptr;
    }
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(T)), 0) << "decoded fields differ";
}

// `fill` sets the fields of a zeroed record (whose padding then stays zero,
// so that records compare byte for byte).
template <typename T, typename Fill>
Case make(std::string name, Proc<T> proc, Fill fill, Bytes golden,
          std::vector<TextField<T>> texts = {}) {
    T record = zeroed<T>();
    fill(record);
    Case c;
    c.name = std::move(name);
    c.golden = std::move(golden);
    c.encode = [proc, record](Bytes* out, size_t room) {
        return xdr_test::encode(proc, record, out, room);
    };
    c.decode = [proc, record, texts](const Bytes& bytes) {
        T back = zeroed<T>();
        bool ok = xdr_test::decode(proc, bytes, &back);
        if (ok) expect_same(record, back, texts);
        ostrelxdr_free(proc, &back);
        return ok;
    };
    return c;
}

// Texts of the records are string literals; encoding only reads them.
char* lit(const char* text) {
    return const_cast<char*>(text);
}

// ---- samples -------------------------------------------------------------------------

view_hdr_req_t hdr_req() {
    view_hdr_req_t hdr = zeroed<view_hdr_req_t>();
    hdr.time = 0x5f000000;
    hdr.xid = 0x77;
    hdr.view = counting<qel_uuid_t>(0xa0);
    hdr.build_handle = {3, 4};
    return hdr;
}
const Bytes kHdrReq = words({0x5f000000, 0x77, 0xa0a1a2a3, 0xa4a5a6a7, 0xa8a9aaab, 0xacadaeaf, 3, 4});

view_hdr_reply_t hdr_reply(qel_status_t status) {
    return view_hdr_reply_t{0x77, status};
}
Bytes hdr_reply_wire(qel_status_t status) {
    return words({0x77, static_cast<uint32_t>(status)});
}

view_fhandle_t second_fh() {
    return make_fh(0x30, 0x41, 2);
}
const Bytes kSecondFh = words({0x30313233, 0x34353637, 0x38393a3b, 0x3c3d3e3f, 0x41, 0x42, 0x43, 2, 0});

// Type, owner, group and size given.
view_set_attr_t set_attr() {
    view_set_attr_t attr = zeroed<view_set_attr_t>();
    attr.mask = VIEW_ATTR_TYPE | VIEW_ATTR_OWNER | VIEW_ATTR_GROUP | VIEW_ATTR_SIZE;
    attr.type = 1;
    attr.mode = 0644;
    credutl_uid_to_sid(1000, &attr.owner);
    credutl_gid_to_sid(100, &attr.group);
    attr.size = 0x100000002ull;
    attr.atime = {0x10, 0x11};
    attr.mtime = {0x20, 0x21};
    return attr;
}
// The size goes out low word first: 2, 1.
const Bytes kSetAttr = words({0x8d, 1, 0644}) + user1000_sid_wire() + group100_sid_wire() +
                       words({2, 1}) + words({0x10, 0x11, 0x20, 0x21});

const timeval kStamp = {0x30, 0x31};
const Bytes kStampWire = words({0x30, 0x31});

view_dir_arg_t dir_arg(const view_fhandle_t& dir, const char* name) {
    view_dir_arg_t arg = zeroed<view_dir_arg_t>();
    arg.dir = dir;
    arg.name = lit(name);
    return arg;
}

view_dir_mod_t dir_mod() {
    view_dir_mod_t mod = zeroed<view_dir_mod_t>();
    mod.dir_attr = sample_vstat();
    mod.unchanged = TRUE;
    return mod;
}
Bytes dir_mod_wire() {
    return sample_vstat_wire() + words({1});
}

// The previous version's status: the current one without its second oid
// and time. 176 bytes.
view_vstat_v8_t vstat_v8() {
    const view_vstat_t now = sample_vstat();
    view_vstat_v8_t vstat = zeroed<view_vstat_v8_t>();
    vstat.fstat = now.fstat;
    vstat.mtype = now.mtype;
    vstat.elem_oid = now.elem_oid;
    vstat.obj_oid = now.obj_oid;
    vstat.event_time = now.event_time;
    return vstat;
}
Bytes vstat_v8_wire() {
    return sample_fstat_wire() + words({6}) + counting_wire(0x50) + counting_wire(0x60) +
           words({0x1000, 0x2000});
}

view_dir_mod_v8_t dir_mod_v8() {
    view_dir_mod_v8_t mod = zeroed<view_dir_mod_v8_t>();
    mod.dir_attr = vstat_v8();
    mod.unchanged = FALSE;
    return mod;
}
Bytes dir_mod_v8_wire() {
    return vstat_v8_wire() + words({0});
}

view_eacl_cursor_t cursor(unsigned char first, u_int index) {
    view_eacl_cursor_t c = zeroed<view_eacl_cursor_t>();
    c.acl_oid = counting<qel_oid_t>(first);
    c.index = index;
    return c;
}

// ---- the table -------------------------------------------------------------------------

std::vector<Case> request_cases() {
    const Bytes fh = sample_fh_wire();
    std::vector<Case> cases;
    cases.push_back(make("hdr_req", xdr_view_hdr_req_t, [](view_hdr_req_t& r) { r = hdr_req(); },
                         kHdrReq));
    cases.push_back(make(
        "getattr_req", xdr_view_getattr_req_t,
        [](view_getattr_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
        },
        kHdrReq + fh));
    cases.push_back(make(
        "lookup_req", xdr_view_lookup_req_t,
        [](view_lookup_req_t& r) {
            r.hdr = hdr_req();
            r.dir = sample_fh();
            r.name = lit("hello.c");
            r.residual = lit("sub/x");
        },
        kHdrReq + fh + words({7, 0x68656c6c, 0x6f2e6300}) + words({0}) +
            words({5, 0x7375622f, 0x78000000}),
        {[](view_lookup_req_t& r) { return &r.name; },
         [](view_lookup_req_t& r) { return &r.residual; }}));
    cases.push_back(make(
        "replica_root_req", xdr_view_replica_root_req_t,
        [](view_replica_root_req_t& r) {
            r.hdr = hdr_req();
            r.family_oid = counting<qel_oid_t>(0x80);
            r.replica_uuid = counting<qel_uuid_t>(0x90);
            r.text1 = lit("tag");
            r.text2 = lit("/store/a.vbs");
            r.warp = static_cast<view_hm_warp_opt>(1);
            r.name = lit("");
        },
        kHdrReq + counting_wire(0x80) + counting_wire(0x90) + words({3, 0x74616700}) +
            words({12, 0x2f73746f, 0x72652f61, 0x2e766273}) +
            words({1}) /* the option before the name */ + words({0}),
        {[](view_replica_root_req_t& r) { return &r.text1; },
         [](view_replica_root_req_t& r) { return &r.text2; },
         [](view_replica_root_req_t& r) { return &r.name; }}));
    cases.push_back(make(
        "readdir_req", xdr_view_readdir_req_t,
        [](view_readdir_req_t& r) {
            r.hdr = hdr_req();
            r.dir = sample_fh();
            r.offset = 5;
            r.max_size = 8744;
        },
        kHdrReq + fh + words({5, 0, 8744})));
    cases.push_back(make(
        "readdir_ext_req", xdr_view_readdir_ext_req_t,
        [](view_readdir_ext_req_t& r) {
            r.hdr = hdr_req();
            r.dir = sample_fh();
            r.offset = 2;
            r.name = lit("a");
            r.options = 3;
            r.max_size = 4096;
        },
        kHdrReq + fh + words({2, 0}) + words({1, 0x61000000}) + words({3, 4096}),
        {[](view_readdir_ext_req_t& r) { return &r.name; }}));
    cases.push_back(make(
        "readlink_req", xdr_view_readlink_req_t,
        [](view_readlink_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.buf_len = 1024;
        },
        kHdrReq + fh + words({1024})));
    cases.push_back(make(
        "gpath_req", xdr_view_gpath_req_t,
        [](view_gpath_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.flag = 1;
            r.path_len = 10;
            r.ext_path_len = 900;
        },
        kHdrReq + fh + words({1, 10, 900})));
    cases.push_back(make(
        "invalidate_req", xdr_view_invalidate_req_t,
        [](view_invalidate_req_t& r) {
            r.hdr = hdr_req();
            r.kind = VIEW_INVALIDATE_NAME;
            r.vob_id = counting<qel_oid_t>(0xb0);
            r.oid = counting<qel_oid_t>(0xc0);
            r.name = lit("x");
        },
        kHdrReq + words({4}) + counting_wire(0xb0) + counting_wire(0xc0) + words({1, 0x78000000}),
        {[](view_invalidate_req_t& r) { return &r.name; }}));
    cases.push_back(make(
        "setattr_req", xdr_view_setattr_req_t,
        [](view_setattr_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.attr = set_attr();
        },
        kHdrReq + fh + kSetAttr));
    cases.push_back(make(
        "create_req", xdr_view_create_req_t,
        [](view_create_req_t& r) {
            r.hdr = hdr_req();
            r.where = dir_arg(sample_fh(), "new.c");
            r.attr = set_attr();
            r.cont_path_len = 1024;
            r.stamp = kStamp;
        },
        kHdrReq + fh + words({5, 0x6e65772e, 0x63000000}) + kSetAttr + words({1024}) + kStampWire,
        {[](view_create_req_t& r) { return &r.where.name; }}));
    cases.push_back(make(
        "mkdir_req", xdr_view_mkdir_req_t,
        [](view_mkdir_req_t& r) {
            r.hdr = hdr_req();
            r.where = dir_arg(sample_fh(), "d");
            r.attr = set_attr();
            r.stamp = kStamp;
        },
        kHdrReq + fh + words({1, 0x64000000}) + kSetAttr + kStampWire,
        {[](view_mkdir_req_t& r) { return &r.where.name; }}));
    cases.push_back(make(
        "symlink_req", xdr_view_symlink_req_t,
        [](view_symlink_req_t& r) {
            r.hdr = hdr_req();
            r.where = dir_arg(sample_fh(), "ln");
            r.text = lit("../t");
            r.attr = set_attr();
            r.stamp = kStamp;
        },
        kHdrReq + fh + words({2, 0x6c6e0000}) + words({4, 0x2e2e2f74}) + kSetAttr + kStampWire,
        {[](view_symlink_req_t& r) { return &r.where.name; },
         [](view_symlink_req_t& r) { return &r.text; }}));
    cases.push_back(make(
        "link_req", xdr_view_link_req_t,
        [](view_link_req_t& r) {
            r.hdr = hdr_req();
            r.fh = second_fh();
            r.where = dir_arg(sample_fh(), "hard");
            r.stamp = kStamp;
        },
        kHdrReq + kSecondFh + fh + words({4, 0x68617264}) + kStampWire,
        {[](view_link_req_t& r) { return &r.where.name; }}));
    cases.push_back(make(
        "rename_req", xdr_view_rename_req_t,
        [](view_rename_req_t& r) {
            r.hdr = hdr_req();
            r.from = dir_arg(sample_fh(), "old");
            r.to = dir_arg(second_fh(), "new");
            r.stamp = kStamp;
        },
        kHdrReq + fh + words({3, 0x6f6c6400}) + kSecondFh + words({3, 0x6e657700}) + kStampWire,
        {[](view_rename_req_t& r) { return &r.from.name; },
         [](view_rename_req_t& r) { return &r.to.name; }}));
    cases.push_back(make(
        "dir_req", xdr_view_dir_req_t,
        [](view_dir_req_t& r) {
            r.hdr = hdr_req();
            r.where = dir_arg(sample_fh(), "gone");
            r.stamp = kStamp;
        },
        kHdrReq + fh + words({4, 0x676f6e65}) + kStampWire,
        {[](view_dir_req_t& r) { return &r.where.name; }}));
    cases.push_back(make(
        "change_oid_req", xdr_view_change_oid_req_t,
        [](view_change_oid_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.option = VIEW_CHANGE_OID_CLEAR_MODE_TOP;
        },
        kHdrReq + fh + words({2})));
    cases.push_back(make(
        "change_mtype_req", xdr_view_change_mtype_req_t,
        [](view_change_mtype_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.mtype = 8;
        },
        kHdrReq + fh + words({8})));
    cases.push_back(make("null_req", xdr_view_null_req_t,
                         [](view_null_req_t& r) { r.hdr = hdr_req(); }, kHdrReq));
    cases.push_back(make(
        "getprop_req", xdr_view_getprop_req_t,
        [](view_getprop_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.name = lit("owner");
        },
        kHdrReq + fh + words({5, 0x6f776e65, 0x72000000}),
        {[](view_getprop_req_t& r) { return &r.name; }}));
    cases.push_back(make("eacl_cursor", xdr_view_eacl_cursor_t,
                         [](view_eacl_cursor_t& r) { r = cursor(0xd0, 9); },
                         counting_wire(0xd0) + words({9})));
    cases.push_back(make(
        "eacl_rolemap_req", xdr_view_eacl_rolemap_req_t,
        [](view_eacl_rolemap_req_t& r) {
            r.hdr = hdr_req();
            r.fh = sample_fh();
            r.cursor = cursor(0xd0, 0);
            r.max_size = 2048;
        },
        kHdrReq + fh + counting_wire(0xd0) + words({0}) + words({2048})));
    return cases;
}

const timeval kLvut = {0x100, 0x200};
const Bytes kLvutWire = words({0x100, 0x200});

std::vector<Case> reply_cases() {
    const Bytes fh = sample_fh_wire();
    const Bytes vstat = sample_vstat_wire();
    std::vector<Case> cases;
    cases.push_back(make("null_reply", xdr_view_null_reply_t,
                         [](view_null_reply_t& r) { r.hdr = hdr_reply(0); }, hdr_reply_wire(0)));
    cases.push_back(make(
        "getattr_reply", xdr_view_getattr_reply_t,
        [](view_getattr_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = sample_vstat();
            r.name_state = 0x12;
            r.fh = sample_fh();
            r.lvut = kLvut;
            r.name_flag = TRUE;
        },
        hdr_reply_wire(0) + vstat + words({0x12}) + fh + kLvutWire + words({1})));
    cases.push_back(make(
        "getattr_reply 1063: the name state alone", xdr_view_getattr_reply_t,
        [](view_getattr_reply_t& r) {
            r.hdr = hdr_reply(1063);
            r.name_state = 0x12;
        },
        words({0x77, 0x427, 0x12})));
    cases.push_back(make("getattr_reply 1001: the header alone", xdr_view_getattr_reply_t,
                         [](view_getattr_reply_t& r) { r.hdr = hdr_reply(1001); },
                         words({0x77, 0x3e9})));
    cases.push_back(make(
        "root_reply", xdr_view_root_reply_t,
        [](view_root_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = sample_vstat();
            r.fh = sample_fh();
        },
        hdr_reply_wire(0) + vstat + fh + words({0})));
    cases.push_back(make(
        "lookup_reply", xdr_view_lookup_reply_t,
        [](view_lookup_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.name_state = 0x13;
            r.fh = sample_fh();
            r.attr = sample_vstat();
            r.consumed = 4;
            r.name_flag = TRUE;
            r.lvut = kLvut;
        },
        hdr_reply_wire(0) + words({0x13}) + fh + vstat + words({4, 1}) + kLvutWire));
    cases.push_back(make(
        "lookup_reply failed: the name state still", xdr_view_lookup_reply_t,
        [](view_lookup_reply_t& r) {
            r.hdr = hdr_reply(1002);
            r.name_state = 0x13;
        },
        words({0x77, 0x3ea, 0x13})));
    cases.push_back(make(
        "dir_reply", xdr_view_dir_reply_t,
        [](view_dir_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = sample_vstat();
        },
        hdr_reply_wire(0) + vstat));
    cases.push_back(make(
        "dir_mod_reply", xdr_view_dir_mod_reply_t,
        [](view_dir_mod_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.dir_mod = dir_mod();
        },
        hdr_reply_wire(0) + dir_mod_wire()));
    cases.push_back(make(
        "symlink_reply", xdr_view_symlink_reply_t,
        [](view_symlink_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.fh = sample_fh();
            r.attr = sample_vstat();
            r.dir_mod = dir_mod();
        },
        hdr_reply_wire(0) + fh + vstat + dir_mod_wire()));
    cases.push_back(make(
        "create_reply", xdr_view_create_reply_t,
        [](view_create_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.fh = sample_fh();
            r.attr = sample_vstat();
            r.dir_mod = dir_mod();
            r.cont_path_len = 6;
            r.cont_path = lit(".s/c/7");
        },
        hdr_reply_wire(0) + fh + vstat + dir_mod_wire() + words({6}) +
            words({6, 0x2e732f63, 0x2f370000}),
        {[](view_create_reply_t& r) { return &r.cont_path; }}));
    cases.push_back(make(
        "readlink_reply", xdr_view_readlink_reply_t,
        [](view_readlink_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.text_len = 4;
            r.text = lit("../t");
        },
        hdr_reply_wire(0) + words({4}) + words({4, 0x2e2e2f74}),
        {[](view_readlink_reply_t& r) { return &r.text; }}));
    cases.push_back(make(
        "cltxt_reply", xdr_view_cltxt_reply_t,
        [](view_cltxt_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.path_len = 5;
            r.path = lit("ab/cd");
            r.cache_path = TRUE;
        },
        hdr_reply_wire(0) + words({5}) + words({5, 0x61622f63, 0x64000000}) + words({1}),
        {[](view_cltxt_reply_t& r) { return &r.path; }}));
    cases.push_back(make(
        "gpath_reply", xdr_view_gpath_reply_t,
        [](view_gpath_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.path_len = 2;
            r.path = lit("/a");
            r.ext_path_len = 5;
            r.ext_path = lit("/a@@/");
        },
        hdr_reply_wire(0) + words({2}) + words({2, 0x2f610000}) + words({5}) +
            words({5, 0x2f614040, 0x2f000000}),
        {[](view_gpath_reply_t& r) { return &r.path; },
         [](view_gpath_reply_t& r) { return &r.ext_path; }}));
    cases.push_back(make(
        "getprop_reply", xdr_view_getprop_reply_t,
        [](view_getprop_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.value_len = 6;
            r.value = lit("alice!");
        },
        hdr_reply_wire(0) + words({6}) + words({6, 0x616c6963, 0x65210000}),
        {[](view_getprop_reply_t& r) { return &r.value; }}));
    cases.push_back(make("getprop_reply 1002: the header alone", xdr_view_getprop_reply_t,
                         [](view_getprop_reply_t& r) { r.hdr = hdr_reply(1002); },
                         words({0x77, 0x3ea})));
    cases.push_back(make(
        "eacl_rolemap_reply", xdr_view_eacl_rolemap_reply_t,
        [](view_eacl_rolemap_reply_t& r) {
            r.hdr = hdr_reply(0);
            r.next = cursor(0xd0, 3);
            r.map_len = 9;
            r.map = lit("dev=rw\nqa");
            r.eof = TRUE;
        },
        hdr_reply_wire(0) + counting_wire(0xd0) + words({3}) + words({9}) +
            words({9, 0x6465763d, 0x72770a71, 0x61000000}) + words({1}),
        {[](view_eacl_rolemap_reply_t& r) { return &r.map; }}));
    cases.push_back(make("vstat_v8", xdr_view_vstat_v8_t,
                         [](view_vstat_v8_t& r) { r = vstat_v8(); }, vstat_v8_wire()));
    cases.push_back(make(
        "getattr_reply_v8", xdr_view_getattr_reply_v8_t,
        [](view_getattr_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = vstat_v8();
            r.name_state = 0x12;
            r.fh = sample_fh();
        },
        hdr_reply_wire(0) + vstat_v8_wire() + words({0x12}) + fh));
    cases.push_back(make(
        "getattr_reply_v8 1063: the name state alone", xdr_view_getattr_reply_v8_t,
        [](view_getattr_reply_v8_t& r) {
            r.hdr = hdr_reply(1063);
            r.name_state = 0x12;
        },
        words({0x77, 0x427, 0x12})));
    cases.push_back(make(
        "root_reply_v8", xdr_view_root_reply_v8_t,
        [](view_root_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = vstat_v8();
            r.fh = sample_fh();
            r.flag = TRUE;
        },
        hdr_reply_wire(0) + vstat_v8_wire() + fh + words({1})));
    cases.push_back(make(
        "lookup_reply_v8", xdr_view_lookup_reply_v8_t,
        [](view_lookup_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.name_state = 0x13;
            r.fh = sample_fh();
            r.attr = vstat_v8();
            r.consumed = 4;
        },
        hdr_reply_wire(0) + words({0x13}) + fh + vstat_v8_wire() + words({4})));
    cases.push_back(make(
        "lookup_reply_v8 failed: the name state still", xdr_view_lookup_reply_v8_t,
        [](view_lookup_reply_v8_t& r) {
            r.hdr = hdr_reply(1002);
            r.name_state = 0x13;
        },
        words({0x77, 0x3ea, 0x13})));
    cases.push_back(make(
        "dir_reply_v8", xdr_view_dir_reply_v8_t,
        [](view_dir_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.attr = vstat_v8();
        },
        hdr_reply_wire(0) + vstat_v8_wire()));
    cases.push_back(make(
        "dir_mod_reply_v8", xdr_view_dir_mod_reply_v8_t,
        [](view_dir_mod_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.dir_mod = dir_mod_v8();
        },
        hdr_reply_wire(0) + dir_mod_v8_wire()));
    cases.push_back(make(
        "symlink_reply_v8", xdr_view_symlink_reply_v8_t,
        [](view_symlink_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.fh = sample_fh();
            r.attr = vstat_v8();
            r.dir_mod = dir_mod_v8();
        },
        hdr_reply_wire(0) + fh + vstat_v8_wire() + dir_mod_v8_wire()));
    cases.push_back(make(
        "create_reply_v8", xdr_view_create_reply_v8_t,
        [](view_create_reply_v8_t& r) {
            r.hdr = hdr_reply(0);
            r.fh = sample_fh();
            r.attr = vstat_v8();
            r.dir_mod = dir_mod_v8();
            r.cont_path_len = 6;
            r.cont_path = lit(".s/c/7");
        },
        hdr_reply_wire(0) + fh + vstat_v8_wire() + dir_mod_v8_wire() + words({6}) +
            words({6, 0x2e732f63, 0x2f370000}),
        {[](view_create_reply_v8_t& r) { return &r.cont_path; }}));
    cases.push_back(make("create_reply_v8 1001: the header alone", xdr_view_create_reply_v8_t,
                         [](view_create_reply_v8_t& r) { r.hdr = hdr_reply(1001); },
                         words({0x77, 0x3e9})));
    return cases;
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    Bytes out;
    ASSERT_TRUE(c.encode(&out, 65536));
    EXPECT_EQ(hex(out), hex(c.golden));
    EXPECT_TRUE(c.decode(c.golden));
    for (size_t n = 0; n < c.golden.size(); ++n) {
        EXPECT_FALSE(c.decode(Bytes(c.golden.begin(), c.golden.begin() + n))) << n << " bytes";
        EXPECT_FALSE(c.encode(&out, n)) << "room for " << n << " bytes";
    }
}

TEST(XdrLayouts, RequestsGoldenBytes) {
    for (const Case& c : request_cases()) check(c);
}

TEST(XdrLayouts, RepliesGoldenBytes) {
    for (const Case& c : reply_cases()) check(c);
}

// An owner and group that the mask does not give go out as "any".
TEST(XdrLayouts, SetAttrSendsDontCareForIdentitiesTheMaskLeavesOut) {
    view_set_attr_t attr = set_attr();
    attr.mask = VIEW_ATTR_SIZE;
    Bytes expected = words({0x80, 1, 0644}) + dontcare_sid_wire() + dontcare_sid_wire() +
                     words({2, 1}) + words({0x10, 0x11, 0x20, 0x21});
    EXPECT_EQ(hex(encoded(xdr_view_set_attr_t, attr)), hex(expected));
    attr.mask = VIEW_ATTR_OWNER;
    expected = words({0x4, 1, 0644}) + user1000_sid_wire() + dontcare_sid_wire() + words({2, 1}) +
               words({0x10, 0x11, 0x20, 0x21});
    EXPECT_EQ(hex(encoded(xdr_view_set_attr_t, attr)), hex(expected));
}

// Names hold at most 255 bytes and path names 1023, refused beyond on
// encode and on decode, and a failed decode keeps nothing allocated.
TEST(XdrLayouts, TextBoundsHoldBothWays) {
    struct Row {
        const char* what;
        int field;  // which of the Root request's three texts
        size_t longest;
    };
    const Row rows[] = {
        {"name", 0, VIEW_NAME_MAX},
        {"long text", 1, VIEW_PNAME_MAX},
        {"path name", 2, VIEW_PNAME_MAX},
    };
    for (const Row& row : rows) {
        for (size_t length : {row.longest, row.longest + 1}) {
            SCOPED_TRACE(std::string(row.what) + " of " + std::to_string(length) + " bytes");
            const bool fits = length == row.longest;
            std::string texts[3] = {"t", "u", "v"};
            texts[row.field].assign(length, 'n');

            view_replica_root_req_t req = zeroed<view_replica_root_req_t>();
            req.hdr = hdr_req();
            req.family_oid = counting<qel_oid_t>(0x80);
            req.replica_uuid = counting<qel_uuid_t>(0x90);
            req.text1 = &texts[0][0];
            req.text2 = &texts[1][0];
            req.name = &texts[2][0];
            Bytes wire;
            EXPECT_EQ(encode(xdr_view_replica_root_req_t, req, &wire), fits);

            const Bytes body = kHdrReq + counting_wire(0x80) + counting_wire(0x90) +
                               text(texts[0]) + text(texts[1]) + words({0}) + text(texts[2]);
            view_replica_root_req_t back = zeroed<view_replica_root_req_t>();
            EXPECT_EQ(ostrelxdr_decode_body(xdr_view_replica_root_req_t, body.data(), body.size(),
                                            &back),
                      fits);
            if (!fits) {
                EXPECT_EQ(back.text1, nullptr);
                EXPECT_EQ(back.text2, nullptr);
                EXPECT_EQ(back.name, nullptr);
            }
            ostrelxdr_free(xdr_view_replica_root_req_t, &back);
        }
    }
    view_lookup_req_t lookup = zeroed<view_lookup_req_t>();
    lookup.hdr = hdr_req();
    Bytes wire;
    EXPECT_FALSE(encode(xdr_view_lookup_req_t, lookup, &wire)) << "a null name";
}

// A body larger than a message carries is refused before it is read; a
// decoded request ignores what follows it within the body.
TEST(XdrLayouts, BodyLargerThanAMessageIsRefused) {
    view_lookup_req_t lookup = zeroed<view_lookup_req_t>();
    lookup.hdr = hdr_req();
    lookup.name = lit("a");
    Bytes body = encoded(xdr_view_lookup_req_t, lookup);
    ASSERT_FALSE(body.empty());
    body.resize(VIEW_MSG_BODY_MAX, 0xee);
    view_lookup_req_t back = zeroed<view_lookup_req_t>();
    ASSERT_TRUE(ostrelxdr_decode_body(xdr_view_lookup_req_t, body.data(), body.size(), &back));
    EXPECT_STREQ(back.name, "a");
    ostrelxdr_free(xdr_view_lookup_req_t, &back);

    body.push_back(0xee);
    back = zeroed<view_lookup_req_t>();
    EXPECT_FALSE(ostrelxdr_decode_body(xdr_view_lookup_req_t, body.data(), body.size(), &back));
    EXPECT_EQ(back.name, nullptr);

    // Encoding never writes past a message body, whatever room is offered.
    std::vector<char> room(VIEW_MSG_BODY_MAX + 100, 0);
    view_gpath_reply_t gpath = zeroed<view_gpath_reply_t>();
    std::string path(VIEW_PNAME_MAX, 'p');
    gpath.path = &path[0];
    gpath.ext_path = &path[0];
    size_t length = 0;
    ASSERT_TRUE(ostrelxdr_encode_body(xdr_view_gpath_reply_t, &gpath, room.data(), room.size(),
                                      &length));
    EXPECT_EQ(length, 8u + 2 * (4 + 4 + 1024));
    EXPECT_FALSE(ostrelxdr_encode_body(xdr_view_gpath_reply_t, &gpath, room.data(), length - 1,
                                       &length));
}

} // namespace
