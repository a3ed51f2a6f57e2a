#pragma once
// Records that the remote server sends XDR-encoded inside its multipart
// replies: an object's attributes, a load scope, the element information of
// an update stream and one directory entry. Each has its XDR routine
// (do_xdr_<record>), a decoder for the reply reader and an encoder for test
// servers and tools.

#include <rpc/xdr.h>

#include <cstdint>

#include "platform/qel/qel.h"
#include "platform/qel/qel_xdr.h"
#include "xdr/ostrelxdr_view.h"

// The attributes of an object as the server sends them.
struct ostrel_vstat {
    view_vstat_t vstat;
    bool_t checked_out;
    qel_pname_t link_text;  // a symbolic link's target; empty otherwise
};

// A load scope.
struct ostrel_scope {
    qel_oid_t scope_oid;  // the scope's id
    qel_oid_t other_oid;
    qel_pname_t pname;
    u_int gn;  // generation number
};

// One object of an update stream.
struct ostrel_synceleminfo_t {
    qel_pname_t obj_pname;
    qel_oid_t parent_oid;
    qel_uuid_t replica_uuid;
    qel_oid_t obj_oid;
    qel_pname_t prev_version;
    qel_pname_t cur_version;
};

// The longest name of a directory entry: its field less the NUL.
constexpr u_int OSTREL_DIRENT_NAME_SIZE = 258;
constexpr u_int OSTREL_DIRENT_NAME_MAX = OSTREL_DIRENT_NAME_SIZE - 1;

// One directory entry: the fields of a view_dirent_ext, then the name and a
// flag. On the wire the name length and name come first, then the numbers,
// ids and kinds, then the flag.
struct ostrel_dirent_t {
    uint32_t ino;
    vek_off32_t off;
    view_name_state_t name_state;
    uint32_t rule;
    qel_oid_t obj_oid;
    vob_mtype_t obj_mtype;
    qel_oid_t ver_oid;
    vob_mtype_t ver_mtype;
    uint16_t namlen;
    char name[OSTREL_DIRENT_NAME_SIZE];  // NUL-terminated once decoded
    bool_t flag;
};

// The largest encoding each record may take.
constexpr unsigned int OSTREL_VSTAT_ENCODE_SIZE = 1352;
constexpr unsigned int OSTREL_SCOPE_ENCODE_SIZE = 1188;
constexpr unsigned int OSTREL_SYNCELEMINFO_ENCODE_SIZE = 3248;
constexpr unsigned int OSTREL_DIRENT_ENCODE_SIZE = 444;

// The records' XDR routines. Nothing is allocated, so free mode does
// nothing. The directory entry's name length goes out from `namlen` and is
// stored back there on decode, with the name NUL-terminated, also when a
// later field fails; a length above OSTREL_DIRENT_NAME_MAX fails both ways.
bool_t do_xdr_ostrel_vstat_t(XDR* xdrs, ostrel_vstat* vstat);
bool_t do_xdr_ostrel_scope_t(XDR* xdrs, ostrel_scope* scope);
bool_t do_xdr_ostrel_synceleminfo_t(XDR* xdrs, ostrel_synceleminfo_t* info);
bool_t do_xdr_ostrel_dirent_t(XDR* xdrs, ostrel_dirent_t* dirent);

// Decode `len` bytes at `data` into the record: 0; 1001 when the bytes are
// short or malformed (the record may then be partly filled); 1072 for a
// null record, or null data with a non-zero length. Bytes after the record
// are not looked at.
int ostrel_vstat_decode(unsigned int len, const char* data, ostrel_vstat* vstat);
int ostrel_scope_decode(unsigned int len, const char* data, ostrel_scope* scope);
int ostrel_synceleminfo_decode(unsigned int len, const char* data, ostrel_synceleminfo_t* info);
int ostrel_dirent_decode(unsigned int len, const char* data, ostrel_dirent_t* dirent);

// Encode the record into a new buffer (free it with stg_free): 0 with the
// buffer and its length; 1072 for a null argument; 1062 when no buffer can
// be had or the record does not encode within its encoding size.
int ostrel_vstat_encode(const ostrel_vstat* vstat, unsigned int* len, char** buf);
int ostrel_scope_encode(const ostrel_scope* scope, unsigned int* len, char** buf);
int ostrel_synceleminfo_encode(const ostrel_synceleminfo_t* info, unsigned int* len, char** buf);
int ostrel_dirent_encode(const ostrel_dirent_t* dirent, unsigned int* len, char** buf);
