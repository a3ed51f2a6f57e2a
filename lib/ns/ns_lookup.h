#pragma once
// The name cache: (directory, name) to the object that the name selects in
// this view, with the name's state and rule, and negative entries for names
// found nowhere. A miss asks, in this order, the directory cache, the view
// database and the server's metadata, and then reconciles the view's record
// of the name with the VOB's (cm_name). The same code finds the name by which
// an object is reached (its parent, "..", its full path), re-resolves names
// for handle revalidation and applies the view database's additions and
// removals of view-private names.
//
// Everything runs under the namespace cache's mutex, held by the caller.
//
// Statuses: 0; 1001 a server or element lookup failed; 1002 not found in the
// view database; 1008 an unexpected kind, nothing cached, or no memory; 1009
// the name-space root object could not be made; 1013 a parent lookup is
// already under way on the object (a loop); 1014 the name is not visible;
// 1052 no such name; 1072 a bad argument; 1084 a path buffer too small.

#include <cstdint>

#include "lib/ns/ns_cache.h"

// A cached name, one block of NAME_ENTRY_SIZE bytes plus the name's length
// in the budget. The entry holds a reference on its directory and one on
// its target; each of its own references (ref_cnt) stands for one more
// reference on the target, which lookup_nep_free gives back.
//
// The two object lists are doubly linked (each entry also holds the address
// of the link that points at it), so an entry leaves them in constant time:
// a directory of many names, or a VOB of many negative names, would
// otherwise be walked for every entry that leaves it.
struct name_entry {
    name_entry* next;       // in the hash bucket
    name_entry* dir_next;   // in the directory's name_list
    name_entry** dir_prev;  // the link that points at this entry there
    obj_entry* dir;
    name_entry* ver_next;   // in the target's parent_list
    name_entry** ver_prev;  // the link that points at this entry there
    obj_entry* ver;         // the target; the VOB's name-space root for a negative entry
    uint32_t session[2];   // build sessions; all ones when made
    uint32_t state;
    uint32_t rule;
    uint32_t ref_cnt;
    uint16_t flags;
    char name[1];
};

constexpr uint32_t NAME_ENTRY_SIZE = 41;
constexpr unsigned NAME_HASH_BUCKETS = 4093;

// Name-state bits.
constexpr uint32_t NAME_RESOLVED = 0x1;      // the view decided the name
constexpr uint32_t NAME_CHECKEDOUT = 0x20;
constexpr uint32_t NAME_NOT_FOUND = 0x100;   // a negative entry
constexpr uint32_t NAME_WHITEOUT = 0x400;
constexpr uint32_t NAME_KEEP = 0x800;
constexpr uint32_t NAME_VIEW_RECORD = 0x1000;
constexpr uint32_t NAME_VOB = 0x2000;        // the VOB holds the name
constexpr uint32_t NAME_HISTORY = 0x4000;    // made for extended naming
constexpr uint32_t NAME_NO_PARENT = 0x8000;  // not used to name parents
constexpr uint32_t NAME_HIJACKED = 0x200000;
constexpr uint32_t VIEW_NAME_STATE_NOT_VISIBLE = 0x2 | 0x4 | 0x8 | 0x100 | 0x10000 | 0x100000;
// The bits kept from the view database, and those kept through selection.
constexpr uint32_t NAME_FROM_VIEW = 0x201c20;
constexpr uint32_t NAME_KEPT = 0x203c20;

// Dbid and kind of a VOB's name-space root object.
constexpr int32_t NS_ROOT_DBID = 1;
constexpr vob_mtype_t NS_ROOT_MTYPE = 1;

extern lookup_cache_stats_s lookup_cache_stats;

// Sets the budget; 0.
int lookup_cache_init(unsigned budget);
// Asserts that the cache is empty (names go with their objects).
void lookup_cache_flush();
unsigned lookup_hash_name(int32_t dbid, const char* name);

// The object `name` selects in `dir`, referenced. `*state` gets the name's
// state and `*flag` its entry's 0x2 flag; a name that is not visible gives
// 1052 or 1014 with its state. On any other failure the state becomes 0
// (unless it held 0x100000) and the flag 0. "", "." and ".." give 1072.
obj_entry* lookup_name(obj_entry* dir, const char* name, unsigned* state, int* flag, int* status);
// The entry of `name` in `dir`, found or made, referenced (give it back with
// lookup_nep_free). `caller` names the caller in traces.
name_entry* lookup_cm_name(obj_entry* dir, const char* caller, const char* name, int* status);
// Reconciles what the view (`view_dbid` and the 0x201c20 bits of `state`)
// and the VOB (`vob_dbid` with 0x2000) hold for `name` and enters the result.
name_entry* cm_name(obj_entry* dir, const char* caller, const char* name, unsigned vob_dbid, unsigned view_dbid,
                    unsigned state, int* status);
// Enters `name` -> `target` (whose reference the entry's first reference
// takes over; null: a negative entry), reusing an equal entry.
name_entry* lookup_add_nep(obj_entry* dir, const char* name, obj_entry* target, unsigned state, unsigned rule,
                           int unused);
void lookup_nep_free(name_entry* nep);
// Frees an unreferenced entry already out of its bucket.
void nep_dispose_int(name_entry* nep);

// The VOB's root as `warp` selects it (0, 2: the root directory; 1: the root
// element), referenced; `*flag` and `*state` describe its name.
obj_entry* lookup_root_ext(view_vob* vob, view_hm_warp_opt warp, int* flag, unsigned* state, int* status);
// The entry of the empty name under the VOB's name-space root object.
name_entry* lookup_cm_root_ext(view_vob* vob, unsigned* state, int* status);
// The object of a cached history-mode name; 1008 when there is none.
obj_entry* lookup_hm_name(obj_entry* dir, const char* name, int* status);
// The directory that holds `dir` (itself at the VOB root), referenced.
obj_entry* lookup_dot_dot(obj_entry* dir, int ext_name, int* flag, int* status);
// The entry that names `obj` in its parent directory, referenced; `path`
// (`size` bytes, may be null) gets the path from the VOB root. With `skip`
// the entries already cached for `obj` are not used.
name_entry* lookup_parent(obj_entry* obj, char* path, unsigned size, int skip, int* status);
// The object's path within its VOB and its extended path, each left at the
// start of its buffer. `flag` must be 0.
int lookup_gpath(obj_entry* obj, int flag, unsigned path_size, char* path, unsigned ext_size, char* ext_path);
// What the name that led to `obj` selects now, referenced.
obj_entry* lookup_revalidate(obj_entry* obj, int* status);

// Drops every entry of `name` in `dir`, and the name's directory listing.
void lookup_invalidate(obj_entry* dir, const char* name);
// lookup_invalidate in the cached directory of `dir_oid` (each attached
// object of an element).
void lookup_invalidate_oid(view_vob* vob, const qel_oid_s* dir_oid, const char* name);
// Drops every negative entry of the VOB.
void lookup_invalidate_not_found(view_vob* vob);
// Drops the names that lead to `obj` and those in it (only history-mode
// ones with `history_only`), then its directory listing.
void lookup_flush_names2obj(obj_entry* obj, int history_only);
// The view database added `name` -> `target` (null: a white-out) with
// `state` at `cookie`; `dbid` is the record it linked.
void lookup_view_add(obj_entry* dir, const char* name, obj_entry* target, unsigned state, int cookie, unsigned dbid);
// The view database removed `name` of `state`.
void lookup_view_rm(obj_entry* dir, const char* name, unsigned state);

// Housekeeping: flush the names of a cached directory; forget a finished
// build session; flush the VOB's root element; drop the VOB root's names.
void lookup_event_flush_dir(view_vob* vob, int32_t dbid, int history_only);
void lookup_flush_build_session(uint32_t session);
void lookup_invalidate_root(view_vob* vob);
void lookup_invalidate_root_nsdir(view_vob* vob);

// Dumps to standard error and the trace.
void print_lookup_cache();
void print_enoents(view_vob* vob);
