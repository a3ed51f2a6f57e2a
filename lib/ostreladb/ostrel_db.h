#pragma once
// The view database's services for the rest of the agent: starting and
// stopping it in the view storage, the view's generation number and its load
// scopes, derived objects, and the records that the view's queries hand
// out. Each operation runs one transaction of its own.
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
#include <vector>

#include "lib/ostreladb/ostrel_storage.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_blob.h"

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

// ---- the view's generation number and load scopes ---------------------------------

// The default scope's oid: the bytes f0 cf 35 74 a8 95 e3 11, then zeros. The
// default scope, "Automatic", holds what was loaded outside every load rule.
inline constexpr qel_oid_s AUTOMATIC_LOAD_SCOPE_OID = {{0xf0, 0xcf, 0x35, 0x74, 0xa8, 0x95, 0xe3, 0x11}};

// One directory-version entry of a scope: its VOB as a dbid (bit 31 set)
// and the version's dbid.
struct ostrelagent_scope_vers {
    uint32_t vob;
    uint32_t ver;
};

// One element loaded under a scope.
struct ostrelagent_scope_elem {
    qel_uuid_s replica_uuid;
    qel_oid_s elem_oid;
};

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

// Creates a load scope (an existing oid begins again at `gn`, no longer
// marked removed); the default scope unless it exists.
int ostrel_db_create_lr_scope(const qel_oid_s* oid, unsigned int gn, const char* name);
int ostrel_db_create_def_scope();
// A scope's generation number by oid, by name, of the default scope.
int ostrel_db_get_lr_scope_gn(const qel_oid_s* oid, unsigned int* gn);
int ostrel_db_get_lr_scope_gn_name(const char* name, unsigned int* gn);
int ostrel_db_get_def_scope_gn(unsigned int* gn);
// The scope of a load rule's name.
int ostrel_db_get_scope_by_name(const char* name, ostrel_scope* scope);
// Appends the load-rule scopes (marked removed ones only with
// `include_removed`; never the default scope), or those marked removed.
int ostrel_db_get_lr_scopes(int include_removed, std::vector<ostrel_scope>& list);
int ostrel_db_get_lrs_for_delete(std::vector<ostrel_scope>& list);
// Marks a scope removed (awaiting deletion); the default scope never is.
int ostrel_db_mark_lr_scope_for_delete(const qel_oid_s* oid);
// A load or an update of a scope begins at `gn`; of the default scope.
int ostrel_db_begin_lr_scope_load(const qel_oid_s* oid, unsigned int gn);
int ostrel_db_begin_lr_scope_update(const qel_oid_s* oid, unsigned int gn);
int ostrel_db_begin_def_scope(unsigned int gn);
// Marks of a VOB's load or update into the default scope; nothing changes.
int ostrel_db_begin_def_scope_vob_load(const qel_uuid_s* uuid, unsigned int gn);
int ostrel_db_end_def_scope_vob_load(const qel_uuid_s* uuid, unsigned int gn);
int ostrel_db_begin_def_scope_vob_update(const qel_uuid_s* uuid, unsigned int gn);
int ostrel_db_end_def_scope_vob_update(const qel_uuid_s* uuid, unsigned int gn);
// `*empty` is 1 when the scope has loaded nothing.
int ostrel_db_is_lr_scope_empty(const qel_oid_s* oid, int* empty);
int ostrel_db_is_def_scope_vob_empty(const qel_uuid_s* uuid, int* empty);
// The scope and generation number that loaded a version (by dbid or oid)
// of the VOB `vob` (a dbid).
int ostrel_db_get_ver_scope(unsigned int vob, unsigned int ver, qel_oid_s* scope_oid, unsigned int* gn);
int ostrel_db_get_ver_scope_oid(unsigned int vob, const qel_oid_s* oid, qel_oid_s* scope_oid, unsigned int* gn);
// Appends what a scope loaded: versions, or elements with their VOB.
int ostrel_db_scope_get_versions(const qel_oid_s* oid, std::vector<ostrelagent_scope_vers>& list);
int ostrel_db_scope_get_elements(const qel_oid_s* oid, std::vector<ostrelagent_scope_elem>& list);

// ---- VOB records and derived objects ------------------------------------------------

// Gives the VOB record of `old_uuid`, and every reference to that replica
// held by derived objects, the replica `new_uuid`; runs its own
// transaction.
int ostrel_db_change_vob_oid(const qel_uuid_s* old_uuid, const qel_uuid_s* new_uuid);
// found[i] is 1 when do_oids[i] is a derived object of a config record.
int ostrel_db_dos_found(const qel_oid_s* do_oids, int n, int* found);
// Up to `max` (at most 32) derived objects of the replica whose inode has
// kind `mtype`, after `cursor`: their oids, inode dbids and link counts;
// `*next` resumes, `*end` is 1 once all are listed.
int ostrel_db_get_dos(uint32_t cursor, uint32_t mtype, const qel_uuid_s* uuid, int max, qel_oid_s* oids,
                      uint32_t* dbids, uint32_t* links, int* count, uint32_t* next, int* end);

// ---- hijacks, view-private files and inventories ----------------------------------------

// One name found by the hijack, view-private or checkout queries: the
// replica uuid of its VOB, a directory oid and a name or relative path.
struct ostrelagent_hijack_co_info {
    qel_uuid_s identity;
    qel_oid_s directory;
    std::string name;
};

// One name of an inventory, packed into the caller's buffer on a 4-byte
// boundary and taking view_inv_entry_size(name length) bytes: where a later
// inventory resumes after it, the VOB, the name's directory, the name's
// state, the object it names (null for a white-out) and the name with its
// NUL.
struct view_inv_entry {
    uint32_t cursor;
    qel_uuid_s replica_uuid;
    qel_oid_s dir_oid;
    uint32_t state;
    qel_oid_s obj_oid;
    uint32_t name_len;
    char name[4];
};
constexpr size_t VIEW_INV_ENTRY_HEAD = offsetof(view_inv_entry, name);
inline size_t view_inv_entry_size(size_t name_len) { return (name_len + 64) & ~size_t{3}; }
static_assert(VIEW_INV_ENTRY_HEAD == 60, "the inventory entry's layout is fixed");

// What an inventory lists: with 0 every name; else names whose state has
// 0x20 (detached) with 0x1, hijacked ones with 0x8, files of the kinds that
// hold data with 0x2, and every other name (white-outs too) with 0x4.
constexpr int VIEW_INV_DETACHED = 0x1;
constexpr int VIEW_INV_FILES = 0x2;
constexpr int VIEW_INV_OTHERS = 0x4;
constexpr int VIEW_INV_HIJACKED = 0x8;
