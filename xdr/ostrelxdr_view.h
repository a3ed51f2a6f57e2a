#pragma once
// The kernel protocol's message bodies: the record of every request and
// reply, each with one XDR routine (`xdr_` + the layout's name) that encodes,
// decodes or frees it according to the stream's operation, in the style of
// generated ONC RPC code. A routine returns false when any field fails (the
// stream is out of room, the input ends early, a text is longer than its
// bound); the record is then only partly encoded or decoded.
//
// Decoding expects a zeroed record and allocates the texts it meets (names,
// path names) and a directory read's entry buffer; running the same routine
// in free mode releases them, also after a failed decode. Encoding never
// changes the record.
//
// Every request begins with view_hdr_req_t and every reply with
// view_hdr_reply_t. A reply's body follows its header only when the header's
// status is 0, except where a reply's comment says otherwise.

#include <rpc/xdr.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "platform/qel/qel.h"
#include "platform/qel/qel_xdr.h"
#include "platform/utl/credutl.h"
#include "platform/utl/credutl_xdr.h"
#include "platform/vek/vek.h"
#include "platform/vek/vek_xdr.h"

// ---- message sizes -----------------------------------------------------------

// One kernel message: a 32-byte header in the host's byte order, then the
// XDR body.
constexpr size_t VIEW_MSG_SIZE = 8800;
constexpr size_t VIEW_MSG_HDR_SIZE = 32;
constexpr size_t VIEW_MSG_BODY_MAX = VIEW_MSG_SIZE - VIEW_MSG_HDR_SIZE;  // 8768

// The most bytes a directory-read reply sends after its header: the entries
// and the 8-byte tail (terminator and end-of-directory flag).
constexpr u_int VIEW_READDIR_MAX = 8744;

// Longest name and longest path name a body carries.
constexpr u_int VIEW_NAME_MAX = 255;
constexpr u_int VIEW_PNAME_MAX = VEK_CANON_PNAME_WIRE_MAX;  // 1023

// ---- enumerations --------------------------------------------------------------

// Each travels as one XDR enum word. Values outside the names decode as
// they are; the handlers judge them.
enum view_hm_warp_opt : int32_t {
    VIEW_HM_WARP_NONE = 0,
};

enum view_invalidate_type : int32_t {
    VIEW_INVALIDATE_VIEW = 1,  // the whole view
    VIEW_INVALIDATE_VOB = 2,   // one VOB
    VIEW_INVALIDATE_OBJ = 3,   // one object
    VIEW_INVALIDATE_NAME = 4,  // one name in a directory
};

enum view_change_oid_option : int32_t {
    VIEW_CHANGE_OID_KEEP_MODE = 0,
    VIEW_CHANGE_OID_SET_MODE_TOP = 1,    // set the mode word's top bit
    VIEW_CHANGE_OID_CLEAR_MODE_TOP = 2,  // clear it
};

bool_t xdr_view_hm_warp_opt(XDR* xdrs, view_hm_warp_opt* value);
bool_t xdr_view_invalidate_type(XDR* xdrs, view_invalidate_type* value);
bool_t xdr_view_change_oid_option(XDR* xdrs, view_change_oid_option* value);

// ---- building blocks -------------------------------------------------------------

typedef qel_uuid_t view_handle_t;  // the view's uuid
typedef u_int view_name_state_t;
typedef u_int view_build_session_t;

struct view_bhandle_t {
    view_build_session_t build_session;
    u_int build_id;
};

// Time and xid are one word each.
struct view_hdr_req_t {
    time_t time;
    xid_t xid;
    view_handle_t view;
    view_bhandle_t build_handle;
};

struct view_hdr_reply_t {
    xid_t xid;  // the request's
    qel_status_t status;
};

// The kernel's handle of an object of the view.
struct view_fhandle {
    qel_uuid_t vob_uuid;
    qel_dbid_t dbid;
    qel_dbid_t elem_dbid;
    u_int stamp;
    u_int flags;
    u_int spare;  // always 0
};
typedef view_fhandle view_fhandle_t;

// The status of an object as the kernel gets it. Free mode does nothing.
struct view_vstat {
    qel_fstat_db_t fstat;
    vob_mtype_t mtype;
    qel_oid_t elem_oid;
    qel_oid_t obj_oid;
    struct timeval event_time;
    qel_oid_t rmap_oid;
    struct timeval last_time;
};
typedef view_vstat view_vstat_t;

// Mask bits of view_set_attr: which fields a create or setattr carries.
constexpr u_int VIEW_ATTR_TYPE = 0x1;
constexpr u_int VIEW_ATTR_OWNER = 0x4;
constexpr u_int VIEW_ATTR_GROUP = 0x8;
constexpr u_int VIEW_ATTR_SIZE = 0x80;
constexpr u_int VIEW_ATTR_MODE_TOP = 0x80000000;

// The attributes of a create or setattr. The size travels as two words, the
// low word first. Encoding sends CREDUTL_SID_DONTCARE for an owner (group)
// whose mask bit VIEW_ATTR_OWNER (VIEW_ATTR_GROUP) is clear, whatever the
// field holds. Free mode does nothing.
struct view_set_attr {
    u_int mask;
    u_int type;
    u_int mode;
    credutl_sid_t owner;
    credutl_sid_t group;
    uint64_t size;
    struct timeval atime;
    struct timeval mtime;
};
typedef view_set_attr view_set_attr_t;

// A name in a directory. The name is an XDR string of at most
// VIEW_NAME_MAX bytes; a null name fails to encode.
struct view_dir_arg_t {
    view_fhandle_t dir;
    char* name;
};

// A changed directory's status and whether it stayed unchanged.
struct view_dir_mod_t {
    view_vstat_t dir_attr;
    bool_t unchanged;
};

bool_t xdr_view_handle_t(XDR* xdrs, view_handle_t* handle);
bool_t xdr_view_name_state_t(XDR* xdrs, view_name_state_t* state);
bool_t xdr_view_build_session_t(XDR* xdrs, view_build_session_t* session);
bool_t xdr_view_bhandle_t(XDR* xdrs, view_bhandle_t* handle);
bool_t xdr_view_hdr_req_t(XDR* xdrs, view_hdr_req_t* hdr);
bool_t xdr_view_hdr_reply_t(XDR* xdrs, view_hdr_reply_t* hdr);
bool_t xdr_view_fhandle_t(XDR* xdrs, view_fhandle_t* fh);
bool_t xdr_view_vstat_t(XDR* xdrs, view_vstat_t* vstat);
bool_t xdr_view_set_attr_t(XDR* xdrs, view_set_attr_t* attr);
bool_t xdr_view_dir_arg_t(XDR* xdrs, view_dir_arg_t* arg);
bool_t xdr_view_dir_mod_t(XDR* xdrs, view_dir_mod_t* mod);

// ---- requests --------------------------------------------------------------------

// Unsupported call codes decode the header alone (xdr_view_hdr_req_t).

struct view_getattr_req_t {  // Getattr, Revalidate
    view_hdr_req_t hdr;
    view_fhandle_t fh;
};

struct view_lookup_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t dir;
    char* name;  // at most VIEW_NAME_MAX bytes
    view_hm_warp_opt warp;
    vek_canon_pname_p_t residual;
};

// The two texts are carried but read by no handler.
struct view_replica_root_req_t {
    view_hdr_req_t hdr;
    qel_oid_t family_oid;
    qel_uuid_t replica_uuid;
    char* text1;  // at most VIEW_NAME_MAX bytes
    char* text2;  // at most VIEW_PNAME_MAX bytes
    view_hm_warp_opt warp;
    vek_canon_pname_p_t name;
};

struct view_readdir_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t dir;
    u_int offset;
    int reserved;  // carried, not used
    size_t max_size;
};

struct view_readdir_ext_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t dir;
    u_int offset;
    int reserved;  // carried, not used
    char* name;    // the one name to list; empty for all
    u_int options;
    size_t max_size;
};

struct view_readlink_req_t {  // Readlink, Getcleartext
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    size_t buf_len;
};

struct view_gpath_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    qel_boolean_t flag;
    size_t path_len;
    size_t ext_path_len;
};

struct view_invalidate_req_t {
    view_hdr_req_t hdr;
    view_invalidate_type kind;
    qel_oid_t vob_id;
    qel_oid_t oid;  // the object, or the directory of the name
    char* name;     // at most VIEW_NAME_MAX bytes
};

struct view_setattr_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    view_set_attr_t attr;
};

struct view_create_req_t {
    view_hdr_req_t hdr;
    view_dir_arg_t where;
    view_set_attr_t attr;
    size_t cont_path_len;
    struct timeval stamp;
};

struct view_mkdir_req_t {
    view_hdr_req_t hdr;
    view_dir_arg_t where;
    view_set_attr_t attr;
    struct timeval stamp;
};

struct view_symlink_req_t {
    view_hdr_req_t hdr;
    view_dir_arg_t where;
    vek_canon_pname_p_t text;
    view_set_attr_t attr;
    struct timeval stamp;
};

struct view_link_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    view_dir_arg_t where;
    struct timeval stamp;
};

struct view_rename_req_t {
    view_hdr_req_t hdr;
    view_dir_arg_t from;
    view_dir_arg_t to;
    struct timeval stamp;
};

struct view_dir_req_t {  // Remove, Rmdir
    view_hdr_req_t hdr;
    view_dir_arg_t where;
    struct timeval stamp;
};

struct view_change_oid_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    view_change_oid_option option;
};

struct view_change_mtype_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    vob_mtype_t mtype;
};

bool_t xdr_view_getattr_req_t(XDR* xdrs, view_getattr_req_t* req);
bool_t xdr_view_lookup_req_t(XDR* xdrs, view_lookup_req_t* req);
bool_t xdr_view_replica_root_req_t(XDR* xdrs, view_replica_root_req_t* req);
bool_t xdr_view_readdir_req_t(XDR* xdrs, view_readdir_req_t* req);
bool_t xdr_view_readdir_ext_req_t(XDR* xdrs, view_readdir_ext_req_t* req);
bool_t xdr_view_readlink_req_t(XDR* xdrs, view_readlink_req_t* req);
bool_t xdr_view_gpath_req_t(XDR* xdrs, view_gpath_req_t* req);
bool_t xdr_view_invalidate_req_t(XDR* xdrs, view_invalidate_req_t* req);
bool_t xdr_view_setattr_req_t(XDR* xdrs, view_setattr_req_t* req);
bool_t xdr_view_create_req_t(XDR* xdrs, view_create_req_t* req);
bool_t xdr_view_mkdir_req_t(XDR* xdrs, view_mkdir_req_t* req);
bool_t xdr_view_symlink_req_t(XDR* xdrs, view_symlink_req_t* req);
bool_t xdr_view_link_req_t(XDR* xdrs, view_link_req_t* req);
bool_t xdr_view_rename_req_t(XDR* xdrs, view_rename_req_t* req);
bool_t xdr_view_dir_req_t(XDR* xdrs, view_dir_req_t* req);
bool_t xdr_view_change_oid_req_t(XDR* xdrs, view_change_oid_req_t* req);
bool_t xdr_view_change_mtype_req_t(XDR* xdrs, view_change_mtype_req_t* req);

// ---- replies -----------------------------------------------------------------------

// Unsupported call codes and Invalidate: the header alone.
struct view_null_reply_t {
    view_hdr_reply_t hdr;
};

// Getattr, Root. On status 1063 the name state alone follows the header.
struct view_getattr_reply_t {
    view_hdr_reply_t hdr;
    view_vstat_t attr;
    view_name_state_t name_state;
    view_fhandle_t fh;
    struct timeval lvut;
    bool_t name_flag;
};

struct view_root_reply_t {  // Revalidate
    view_hdr_reply_t hdr;
    view_vstat_t attr;
    view_fhandle_t fh;
    bool_t flag;
};

// The name state follows the header whatever the status; the rest only on
// status 0.
struct view_lookup_reply_t {
    view_hdr_reply_t hdr;
    view_name_state_t name_state;
    view_fhandle_t fh;
    view_vstat_t attr;
    size_t consumed;  // residual characters consumed
    bool_t name_flag;
    struct timeval lvut;
};

struct view_dir_reply_t {  // Setattr, Change_oid, Change_Mtype
    view_hdr_reply_t hdr;
    view_vstat_t attr;
};

struct view_dir_mod_reply_t {  // Remove, Rmdir, Rename, Link
    view_hdr_reply_t hdr;
    view_dir_mod_t dir_mod;
};

struct view_symlink_reply_t {  // Symlink, Mkdir
    view_hdr_reply_t hdr;
    view_fhandle_t fh;
    view_vstat_t attr;
    view_dir_mod_t dir_mod;
};

struct view_create_reply_t {
    view_hdr_reply_t hdr;
    view_fhandle_t fh;
    view_vstat_t attr;
    view_dir_mod_t dir_mod;
    size_t cont_path_len;
    vek_canon_pname_p_t cont_path;
};

struct view_readlink_reply_t {
    view_hdr_reply_t hdr;
    size_t text_len;
    vek_canon_pname_p_t text;
};

struct view_cltxt_reply_t {  // Getcleartext
    view_hdr_reply_t hdr;
    size_t path_len;
    vek_canon_pname_p_t path;
    bool_t cache_path;  // the path is relative to the cleartext cache
};

struct view_gpath_reply_t {
    view_hdr_reply_t hdr;
    size_t path_len;
    vek_canon_pname_p_t path;
    size_t ext_path_len;
    vek_canon_pname_p_t ext_path;
};

bool_t xdr_view_null_reply_t(XDR* xdrs, view_null_reply_t* reply);
bool_t xdr_view_getattr_reply_t(XDR* xdrs, view_getattr_reply_t* reply);
bool_t xdr_view_root_reply_t(XDR* xdrs, view_root_reply_t* reply);
bool_t xdr_view_lookup_reply_t(XDR* xdrs, view_lookup_reply_t* reply);
bool_t xdr_view_dir_reply_t(XDR* xdrs, view_dir_reply_t* reply);
bool_t xdr_view_dir_mod_reply_t(XDR* xdrs, view_dir_mod_reply_t* reply);
bool_t xdr_view_symlink_reply_t(XDR* xdrs, view_symlink_reply_t* reply);
bool_t xdr_view_create_reply_t(XDR* xdrs, view_create_reply_t* reply);
bool_t xdr_view_readlink_reply_t(XDR* xdrs, view_readlink_reply_t* reply);
bool_t xdr_view_cltxt_reply_t(XDR* xdrs, view_cltxt_reply_t* reply);
bool_t xdr_view_gpath_reply_t(XDR* xdrs, view_gpath_reply_t* reply);

// ---- older reply forms ----------------------------------------------------------------

// The reply forms of the protocol's previous version, kept in the library
// though no handler answers with them. Each is its current form without the
// fields that version added: a status without its second oid and time, and
// Getattr and Lookup replies without the LVUT and the name flag. Their
// bodies follow the same status rules as the current forms.

// Free mode does nothing.
struct view_vstat_v8_t {
    qel_fstat_db_t fstat;
    vob_mtype_t mtype;
    qel_oid_t elem_oid;
    qel_oid_t obj_oid;
    struct timeval event_time;
};

struct view_dir_mod_v8_t {
    view_vstat_v8_t dir_attr;
    bool_t unchanged;
};

// On status 1063 the name state alone follows the header.
struct view_getattr_reply_v8_t {
    view_hdr_reply_t hdr;
    view_vstat_v8_t attr;
    view_name_state_t name_state;
    view_fhandle_t fh;
};

struct view_root_reply_v8_t {
    view_hdr_reply_t hdr;
    view_vstat_v8_t attr;
    view_fhandle_t fh;
    bool_t flag;
};

// The name state follows the header whatever the status.
struct view_lookup_reply_v8_t {
    view_hdr_reply_t hdr;
    view_name_state_t name_state;
    view_fhandle_t fh;
    view_vstat_v8_t attr;
    size_t consumed;
};

struct view_dir_reply_v8_t {
    view_hdr_reply_t hdr;
    view_vstat_v8_t attr;
};

struct view_dir_mod_reply_v8_t {
    view_hdr_reply_t hdr;
    view_dir_mod_v8_t dir_mod;
};

struct view_symlink_reply_v8_t {
    view_hdr_reply_t hdr;
    view_fhandle_t fh;
    view_vstat_v8_t attr;
    view_dir_mod_v8_t dir_mod;
};

struct view_create_reply_v8_t {
    view_hdr_reply_t hdr;
    view_fhandle_t fh;
    view_vstat_v8_t attr;
    view_dir_mod_v8_t dir_mod;
    size_t cont_path_len;
    vek_canon_pname_p_t cont_path;
};

bool_t xdr_view_vstat_v8_t(XDR* xdrs, view_vstat_v8_t* vstat);
bool_t xdr_view_dir_mod_v8_t(XDR* xdrs, view_dir_mod_v8_t* mod);
bool_t xdr_view_getattr_reply_v8_t(XDR* xdrs, view_getattr_reply_v8_t* reply);
bool_t xdr_view_root_reply_v8_t(XDR* xdrs, view_root_reply_v8_t* reply);
bool_t xdr_view_lookup_reply_v8_t(XDR* xdrs, view_lookup_reply_v8_t* reply);
bool_t xdr_view_dir_reply_v8_t(XDR* xdrs, view_dir_reply_v8_t* reply);
bool_t xdr_view_dir_mod_reply_v8_t(XDR* xdrs, view_dir_mod_reply_v8_t* reply);
bool_t xdr_view_symlink_reply_v8_t(XDR* xdrs, view_symlink_reply_v8_t* reply);
bool_t xdr_view_create_reply_v8_t(XDR* xdrs, view_create_reply_v8_t* reply);

// ---- access lists and properties --------------------------------------------------------

// Layouts the library carries for calls no handler serves: reading an
// object's property and its access list's role map, and a request that is
// its header alone.

struct view_null_req_t {
    view_hdr_req_t hdr;
};

// One property of an object, by name.
struct view_getprop_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    char* name;  // at most VIEW_NAME_MAX bytes
};

struct view_getprop_reply_t {
    view_hdr_reply_t hdr;
    size_t value_len;
    char* value;  // at most VIEW_PNAME_MAX bytes
};

// Where a listing of an access list stands: the list and its next entry.
struct view_eacl_cursor_t {
    qel_oid_t acl_oid;
    u_int index;
};

// The role map of an object's access list from `cursor` on, in a reply of
// at most `max_size` bytes.
struct view_eacl_rolemap_req_t {
    view_hdr_req_t hdr;
    view_fhandle_t fh;
    view_eacl_cursor_t cursor;
    size_t max_size;
};

// The part of the role map that fits, the cursor after it and whether the
// map ended there.
struct view_eacl_rolemap_reply_t {
    view_hdr_reply_t hdr;
    view_eacl_cursor_t next;
    size_t map_len;
    char* map;  // at most VIEW_PNAME_MAX bytes
    bool_t eof;
};

bool_t xdr_view_null_req_t(XDR* xdrs, view_null_req_t* req);
bool_t xdr_view_getprop_req_t(XDR* xdrs, view_getprop_req_t* req);
bool_t xdr_view_getprop_reply_t(XDR* xdrs, view_getprop_reply_t* reply);
bool_t xdr_view_eacl_cursor_t(XDR* xdrs, view_eacl_cursor_t* cursor);
bool_t xdr_view_eacl_rolemap_req_t(XDR* xdrs, view_eacl_rolemap_req_t* req);
bool_t xdr_view_eacl_rolemap_reply_t(XDR* xdrs, view_eacl_rolemap_reply_t* reply);

// ---- directory reads ------------------------------------------------------------------

// The entries of a directory read travel packed back to back in one buffer,
// each record at a multiple of 4 bytes from the buffer's start. A record is
// a fixed head and the name with its NUL; read and write records only through
// the functions below, which copy bytes and so need no alignment.
//
// view_dirent: the head is 12 bytes; the record is
// view_dirent_reclen(namlen) bytes.
struct view_dirent {
    uint32_t ino;
    vek_off32_t off;  // offset of the next entry
    uint16_t reclen;
    uint16_t namlen;
};
constexpr size_t VIEW_DIRENT_NAME_OFFSET = 12;

// view_dirent_ext: the head is 58 bytes; the record has no length field and
// is view_dirent_ext_reclen(namlen) bytes.
struct view_dirent_ext {
    uint32_t ino;
    vek_off32_t off;
    view_name_state_t name_state;
    uint32_t rule;
    qel_oid_t obj_oid;      // the entry's object
    vob_mtype_t obj_mtype;
    qel_oid_t ver_oid;      // its selected version
    vob_mtype_t ver_mtype;
    uint16_t namlen;
};
constexpr size_t VIEW_DIRENT_EXT_NAME_OFFSET = 58;

// Head, name and NUL, rounded up to a multiple of 4.
constexpr uint32_t view_dirent_reclen(uint32_t namlen) {
    return (namlen + 16) & ~uint32_t{3};
}
constexpr uint32_t view_dirent_ext_reclen(uint32_t namlen) {
    return (namlen + 62) & ~uint32_t{3};
}

// Write one record at `at` (which has room for its record length): the head
// (a view_dirent's reclen is set from the name's length, so its name is at
// most 65519 bytes), the name's `head->namlen` bytes and a NUL, the rounding
// bytes zeroed. Return the record length.
uint32_t view_dirent_write(void* at, const view_dirent* head, const char* name);
uint32_t view_dirent_ext_write(void* at, const view_dirent_ext* head, const char* name);

// Read the head of the record at `at`; return its name.
const char* view_dirent_read(const void* at, view_dirent* head);
const char* view_dirent_ext_read(const void* at, view_dirent_ext* head);

// A directory-read reply. On the wire each entry is its name length (never
// 0), the name as opaque bytes, the inode number, the next offset and a
// word sent as 0 (ignored on decode); an extended entry adds name state,
// rule, object oid and mtype, version oid and mtype. A 0 ends the list, then
// the end-of-directory flag.
//
// Encoding sends the packed records of `entries` (`nbytes` of them, which
// must not exceed `room`), each only while it, and the tail after it, fit
// both within VIEW_READDIR_MAX bytes after the header and in the stream's
// room; the first that does not turns `eof` false on the wire and ends the
// list. A record that is malformed (a view_dirent whose length is 0 or holds
// no room for its name, a name length of 0, a record beyond `nbytes`) fails
// the encoding.
//
// Decoding fills `entries`, allocating `room` bytes with stg_malloc when it
// is null, rebuilding each record with its NUL; when the next record would
// not fit in the room left, it stops there with `eof` false and succeeds.
// `next_offset` becomes the last entry's offset and `nbytes` the bytes
// filled. Free mode releases `entries` with stg_free and clears it.
struct view_readdir_reply_t {
    view_hdr_reply_t hdr;
    vek_off32_t next_offset;
    u_int nbytes;
    bool_t eof;
    u_int room;     // size of the entry buffer
    char* entries;  // packed view_dirent (extended: view_dirent_ext) records
};
typedef view_readdir_reply_t view_readdir_ext_reply_t;

bool_t xdr_view_readdir_reply_t(XDR* xdrs, view_readdir_reply_t* reply);
bool_t xdr_view_readdir_ext_reply_t(XDR* xdrs, view_readdir_ext_reply_t* reply);
