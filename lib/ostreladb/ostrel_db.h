#pragma once
// The view database's services for the rest of the agent: starting and
// stopping it in the view storage, the view's generation number and default
// load scope. Each operation runs one transaction of its own.
//
// The database lives in the directory "db" of the view storage, which is the
// process's working directory while the view is served; its state letter is
// kept in "ostrel_db.state" there. Statuses are base-library statuses: 0;
// 1002 not found; 1008 an internal or engine failure (reported once); 1022
// the database is not writable in its state; 1023 it must be reformatted, or
// is dumped and closed.

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/ostreladb/ostrel_storage.h"
#include "platform/qel/qel.h"

// The view storage directory, for messages; set by the view-database handle
// before ostrel_db_init.
extern std::string view_home;

// Opens the database as its state file says: a database that was never made
// (or whose state file is missing) is made, and `*created` becomes 1; a
// dumped one, or one without state file letter whose ".new_db" marker is
// absent, stays closed (0 is returned, and transactions then fail). Also
// registers ostrel_db_on_exit as an exit hook.
int ostrel_db_init(int* created);
// Closes the database and opens it again as ostrel_db_init does.
int ostrel_db_reset();
// Closes the database (synchronised first); "Db closed" on success.
int ostrel_db_close();
// The exit hook: closes the database.
void ostrel_db_on_exit();
// The modification time, in seconds, of the state file.
int ostrel_db_get_mtime(long* mtime);

// Creates the default load scope unless it exists.
int ostrel_db_create_def_scope();

// The generation number of the view-namespace record (0 first); 1008 when
// there is no record.
int ostrel_db_get_vns_view_gn(unsigned int* gn);
// Sets it.
int ostrel_db_set_vns_view_gn(unsigned int gn);
// Creates the one view-namespace record with `uuid` and `gn`, or sets only
// its generation number when it exists.
int ostrel_db_create_vns_view(const qel_uuid_s* uuid, unsigned int gn);

// ---- namespace operations and queries --------------------------------------------
//
// Called by the namespace cache with its mutex held; each runs one
// transaction of its own. Objects are cached namespace objects.

struct obj_entry;
struct view_vob;
struct view_set_attr;
struct view_vstat;

// The running build that a change belongs to: its config-record reference
// (0 when none) and flags, of which bit 0 is read here.
struct view_build_rec {
    uint32_t cr_ref;
    uint32_t flags;
};

// Kinds of view-private objects: a plain one, those a build makes (with and
// without bit 0 of its flags), one made at a creator's request, and a derived
// object made unshareable.
constexpr vob_mtype_t VIEW_MTYPE_PRIVATE = 0x13;
constexpr vob_mtype_t VIEW_MTYPE_BUILD_FLAGGED = 0x15;
constexpr vob_mtype_t VIEW_MTYPE_REQUESTED = 0x16;
constexpr vob_mtype_t VIEW_MTYPE_BUILD = 0x17;
constexpr vob_mtype_t VIEW_MTYPE_UNSHARED = 0x1a;
bool ostrel_db_is_private_mtype(vob_mtype_t mtype);

// Reads the inode `dbid` (the VOB database id is not needed to find it):
// its oid, file status, kind and generation word (the handle stamp). Every
// out argument may be null. 1022 and 1087 are returned quietly.
int ostrel_db_dbid2oid(unsigned vob_dbid, unsigned dbid, qel_oid_s* oid, qel_fstat_db_s* fstat, vob_mtype_t* mtype,
                       unsigned* stamp);
// The inode of an oid of the VOB, read as ostrel_db_dbid2oid does; 1002
// (quiet) when there is none.
int ostrel_db_oid2dbid(unsigned vob_dbid, const qel_oid_s* oid, unsigned* dbid, unsigned* stamp,
                       qel_fstat_db_s* fstat, vob_mtype_t* mtype);
// The VOB's registration: its "host:path" text split at the first ':' into
// the buffers given (1084 when a part does not fit; 1008 for a text without
// ':'), and its database id. 1002 (quiet) when the VOB is not registered.
int ostrel_db_vob_read(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path,
                       unsigned* vob_dbid);
// Registers the VOB (with the text ":") unless its record keeps a database
// id already, which it then gets.
int ostrel_db_vob_create(view_vob* vob);
// Removes the VOB's registration once it holds nothing but empty cover
// directories, which go with it; 1085 while it holds more.
int ostrel_db_vob_delete(const qel_uuid_s* uuid);
// Deletes the inode of a cached view object (not a directory: 1001) and its
// container, then flushes the object; on failure the caller's reference is
// dropped.
int ostrel_db_delete(obj_entry* obj);
// Recovers one object of the VOB found lost.
int ostrel_db_recover_object(const qel_uuid_s* uuid, const qel_oid_s* dir_oid, const char* name, unsigned size,
                             char* moved_to);
// Texts naming an object for messages ("<VOB name>:0x<dbid>" or the oid's
// text after the VOB name); each kept in a static slot, valid until the next
// call of the same function (callers hold the namespace mutex).
const char* ostrel_dbid2str(const view_vob* vob, unsigned dbid);
const char* ostrel_oid2str(const view_vob* vob, const qel_oid_s* oid);
const char* obj_2str(const obj_entry* obj);

// Longest name of a directory entry, and the room of a buffer that reads one.
constexpr size_t OSTREL_DB_NAME_MAX = 255;
constexpr size_t OSTREL_DB_NAME_BUF = 256;

// One listed name as a view directory's listing packs it, each on a 4-byte
// boundary and taking (name_len + 22) & ~3 bytes: the object's dbid and kind
// (0 for a white-out), the name's cookie, its state, and the name with its
// NUL.
struct view_db_readdir_entry {
    uint32_t inode;
    uint32_t mtype;
    uint32_t cookie;
    uint32_t state;
    uint16_t name_len;
    char name[2];
};
constexpr size_t VIEW_DB_READDIR_HEAD = offsetof(view_db_readdir_entry, name);
inline size_t view_db_readdir_entry_size(size_t name_len) { return (name_len + 22) & ~size_t{3}; }

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
// name that exists (1002 when there is none). The object is of kind 0x16
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
// replaced) in one write: a failure leaves both names as they were.
int ostrel_db_rename(view_build_rec* build, obj_entry* from_dir, const char* from_name, unsigned from_state,
                     obj_entry* to_dir, const char* to_name, unsigned to_state, obj_entry* moved);
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
// The status saved when `name` was hijacked; 1072 when there is none.
int ostrel_db_hijack_get(obj_entry* dir, const char* name, view_vstat* vstat);
// The directory that holds a VOB object, as the loaded element namespace
// records it.
int ostrel_db_get_parent_elem(unsigned vob_dbid, unsigned dbid, unsigned* parent);
