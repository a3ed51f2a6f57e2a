#pragma once
// The view database's namespace operations on the namespace cache's objects:
// deleting a view object, the changes and reads of names (create, link,
// unlink, rename, adopt, state, attributes, kind and oid of view-private
// objects, covers of VOB objects, hijacks), and the texts that name objects
// in messages.
//
// Called by the namespace cache with its mutex held; each runs one
// transaction of its own. Objects are cached namespace objects.

#include "lib/ostreladb/ostrel_db.h"

struct obj_entry;
struct view_vob;
struct view_set_attr;
struct view_vstat;

// Deletes the inode of a cached view object (not a directory: 1001) and its
// container, then flushes the object; on failure the caller's reference is
// dropped.
int ostrel_db_delete(obj_entry* obj);
// Texts naming an object for messages ("<VOB name>:0x<dbid>" or the oid's
// text after the VOB name); each kept in a static slot, valid until the next
// call of the same function (callers hold the namespace mutex).
const char* ostrel_dbid2str(const view_vob* vob, unsigned dbid);
const char* ostrel_oid2str(const view_vob* vob, const qel_oid_s* oid);
const char* obj_2str(const obj_entry* obj);

// ---- namespace changes and reads ---------------------------------------------------
//
// The names of a directory object live in its view object (the object itself
// for a view directory, else the cover of its element, made on demand). A
// name's state word keeps 0x1000 (made in the view), 0x400 (a white-out, no
// object), 0x800 and 0x20 (removal only unties the name from its object) and
// 0x200000 (hijacked). The caches learn of a change only after it is
// committed; a failed change leaves the records as they were and drops the
// name from the caches. Writes run in write transactions, reads in read
// transactions; 1080 and 1022 pass quietly, every other failure is reported
// once with the operation's message.

// The view object of `obj`: itself for a view object, else its cover, made
// (with the VOB's record when the VOB has none yet) when it has none. Not
// referenced for the caller.
obj_entry* create_cover_inode(obj_entry* obj, int* status);
// Creates a view-private object under `name` in `dir` with a container (a
// regular file kind) or with `text` as its link target (shorter than 1024
// bytes). A requested `state` with 0x1000 and without 0x400 replaces the
// name that exists (1002 when there is none) in the same write, so that a
// failure keeps it. The object is of kind 0x16
// with `kind_flag`, else 0x13; a directory gets link count 1 and size 89.
// Returns the new object referenced, or null with `*status`.
obj_entry* ostrel_db_create(view_build_rec* build, obj_entry* dir, const char* name, const qel_oid_s* oid,
                            const view_set_attr* attr, unsigned state, int kind_flag, const char* text, int* status);
// Links `target` under `name` (a white-out when `target` is null); `state`
// as for ostrel_db_create.
int ostrel_db_link(view_build_rec* build, obj_entry* dir, const char* name, obj_entry* target, unsigned state);
// Removes `name`: its object loses a link and goes with its last one (a
// private directory must then be empty). With 0x800 or 0x20 in `state` the
// name stays as a white-out.
int ostrel_db_unlink(view_build_rec* build, obj_entry* dir, const char* name, unsigned state);
// Moves the view object `moved` from `from_name` (of `from_state`) to
// `to_name` (`to_state` as for ostrel_db_link: a view name there is
// replaced) in one write: a failure leaves both names as they were. With
// `hijacked`, that write also keeps its ids as the new name's hijack
// record (`to_state` then carries the hijack's marks).
int ostrel_db_rename(view_build_rec* build, obj_entry* from_dir, const char* from_name, unsigned from_state,
                     obj_entry* to_dir, const char* to_name, unsigned to_state, obj_entry* moved,
                     const view_vstat* hijacked = nullptr);
// Moves the names of the view-private directory `name` of `from_dir` into
// the cover of the VOB directory element `to_dir`, then removes `name`.
int ostrel_db_adopt(view_build_rec* build, obj_entry* from_dir, obj_entry* to_dir, const char* name, unsigned state);
// Applies the attributes that the request's mask selects to a view object.
int ostrel_db_setattr(obj_entry* obj, const view_set_attr* attr);
// Changes a view-private object's kind to another private kind (else 1008).
int ostrel_db_set_mtype(obj_entry* obj, vob_mtype_t mtype);
// Gives a view-private object a new oid (and a container when it has none)
// and flushes it from the cache; takes the caller's reference either way.
int ostrel_db_choid(view_build_rec* build, obj_entry* obj, const qel_oid_s* oid);
// Writes a name's state (kept bits 0x201c20) and drops it from the caches.
// The last argument is not used.
int ostrel_db_state_set(obj_entry* dir, const char* name, unsigned state, int unused);
// The object and state of `name` in the directory's view object; 1002
// (quiet) when the directory has none or no such name.
int ostrel_db_lookup(obj_entry* dir, const char* name, unsigned* dbid, unsigned* state);
// Packs the names of the view object `dir` after `cookie` into `buf`, each
// {u32 dbid, u32 mtype, u32 cookie, u32 state, u16 length, name and NUL},
// (length + 22) rounded down to a multiple of 4 bytes; `*end` is 1 after the
// last name.
int ostrel_db_readdir(obj_entry* dir, int cookie, void* buf, unsigned size, unsigned* bytes, int* end);
// A view-private symbolic link's target (1084 when it does not fit).
int ostrel_db_readlink(obj_entry* obj, unsigned size, char* buf);
// The container path of a view-private file relative to the view storage
// (".s/..."); empty when it has none; 1084 when it does not fit; 1063 for a
// container name that would leave the pool.
int ostrel_db_cltxt_name(obj_entry* obj, unsigned size, char* buf);
// The directory that lists a view object first, and its name there (256
// bytes).
int ostrel_db_find_parent(obj_entry* obj, unsigned* parent, char* name);
// 0 when the view directory holds no name, else 1085.
int ostrel_db_dir_empty(obj_entry* obj);
// Renames `name` of the directory to `name` + `suffix`, or the first free
// of "%s%s.%d" (name, suffix, 1, 2, ...), given in `out` (256 bytes).
int ostrel_db_rename_unique(obj_entry* dir, const char* name, const char* suffix, char* out);

// Hijacked names of a directory's view object (the cover of its element,
// made on demand by hijack_set). The saved status is the pair of oids that
// follow the kind in a `view_vstat` (element, object).
//
// Saves them for the hijacked `name` (1072 for a name not hijacked).
int ostrel_db_hijack_set(obj_entry* dir, const char* name, const view_vstat* vstat);
// Fills them in `*vstat`; 1072 (quiet) when the name has none, 1002 (quiet)
// when there is no such name.
int ostrel_db_hijack_get(obj_entry* dir, const char* name, view_vstat* vstat);
// Returns a hijacked name to a plain view name (its hijack bits and 0x800
// cleared, its saved oids erased); 1002, reported, for a name not hijacked.
int ostrel_db_unhijack(obj_entry* dir, const char* name);
// The same, and the name is removed with it, in one write; 1002 (quiet)
// for a name not hijacked.
int ostrel_db_remove_hijack(obj_entry* dir, const char* name);
