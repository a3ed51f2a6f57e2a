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

#include <sys/time.h>

#include "lib/ostreladb/ostrel_storage.h"
#include "lib/ostreladb/ostrelagent_dirent.h"
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
// Closes the database (synchronised first); "Db closed" when one was open.
int ostrel_db_close();
// The exit hook: closes the database.
void ostrel_db_on_exit();
// The modification time, in seconds, of the state file.
int ostrel_db_get_mtime(long* mtime);

// The number of write transactions begun so far (a batch counts once). A
// reader that reads the same number before its first read transaction and
// after its last one saw no change in between: together its reads show the
// database as it was at one moment.
unsigned ostrel_db_write_generation();

// ---- batches ----------------------------------------------------------------------------
//
// A batch makes the operations that the calling thread runs until its end
// one transaction: one commit, two-phase and synchronised as any, instead
// of one per operation. The database's mutex is held from the begin to the
// end, so other threads wait for the whole batch: keep it short, and hold
// whatever must be taken before the database's mutex (the namespace mutex)
// from before the begin to after the end. An operation that fails inside
// the batch aborts all of it (the engine cannot undo one part of a
// transaction): the batch is then broken, every further operation in it
// fails with 1008, and its end reports 1008.

// Starts the calling thread's batch (none may be open): 0, or the status of
// the write transaction that could not start.
int ostrel_db_batch_begin();
// Whether the calling thread's batch is open, and whether it broke.
bool ostrel_db_in_batch();
bool ostrel_db_batch_broken();
// Ends the batch: commits it (`commit`) or aborts it. 0, the failed
// commit's status (nothing of the batch kept), or 1008 for a broken batch.
int ostrel_db_batch_end(bool commit);

// ---- rebuilding and checking the database ---------------------------------------------
//
// A rebuild dumps the database with the installed dump program and loads the
// dump into a new one (see lib/ostreladb/ostrel_db_dump.h). Statuses besides
// those above: 1013 nothing to do, 1052 no dump to load, 1067 dumped already.

// Rebuilds a database found modified or mid-recovery (with `force` also one
// in a clean state: 1013 without), loads one that is dumped, then checks it.
int ostrel_db_recover_db(int force);
// The same after emptying the namespace caches (`handle` is not used).
int ostrel_db_recover(const void* handle, int force);
// Loads the dump (of a dumped database, or with `force` of any) and checks
// the new database; 1052 without either.
int ostrel_db_load(const void* handle, int force);
// Dumps the database (without `force` only one of another schema version)
// and leaves it closed; 1067 when it is dumped already.
int ostrel_db_dump(const void* handle, int force);
// Checks the database against the container pool: inodes whose containers
// are missing, orphaned inodes and dangling names go, containers no inode
// names go to lost+found, config records nothing references go.
int fsck_db();
// Moves the file or directory `path` into the pool's lost+found under its
// own name, or under a new uuid's text when that is taken; its new path goes
// to `out` (`size` bytes). 1052 when `path` does not exist.
int move_to_lost_and_found(const char* path, size_t size, char* out);
// Releases what build session `session` holds (every session's for 0).
int ostrel_db_rm_build_session(uint32_t session);

// The stranded-container scrubber: a timer of the main event loop that
// removes, 1000 at a time, the containers of stranded inodes and the inodes.
// Scheduled (inside a transaction) unless it is pending; cancelled when the
// database closes.
void ostrel_db_sched_scrubber();
void ostrel_db_unsched_scrubber();
void ostrel_db_remove_stranded_containers_callback(void* argument);

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

// ---- inodes ------------------------------------------------------------------------
//
// Called by the namespace cache with its mutex held; each runs one
// transaction of its own. (The operations on the namespace cache's objects
// are declared on its floor.)

struct view_vob;

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
// Deletes the inode `dbid` of file type `type` and its container inside the
// caller's write transaction: a directory must be empty (else the status of
// the check); with `moved_to` the container goes to lost+found and its new
// path to `moved_to`, else it is removed; an inode whose container cannot be
// removed now (1063), or whose container name leaves the pool, is left
// stranded for a day instead, for the scrubber, with 0. The build's
// config-record reference, when there is a build, goes with the inode.
int ostrel_db_inode_delete(view_build_rec* build, unsigned dbid, unsigned type, size_t moved_to_size = 0,
                           char* moved_to = nullptr);
// Recovers one object of the VOB found lost.
int ostrel_db_recover_object(const qel_uuid_s* uuid, const qel_oid_s* dir_oid, const char* name, unsigned size,
                             char* moved_to);

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

// The end of a scope's load (`set_gn`: the entries and the scope take `gn`;
// `restore_readdir`: the directories get back the readdir-done flag the
// load saved), of an update (the entries marked removed go), of the default
// scope's update.
int ostrel_db_end_lr_scope_load(const qel_oid_s* oid, unsigned int gn, bool set_gn, bool restore_readdir);
int ostrel_db_end_lr_scope_update(const qel_oid_s* oid, unsigned int gn);
int ostrel_db_end_def_scope(unsigned int gn);
// Deletes a scope with everything it loaded (the default scope is only
// emptied); hands its entries to `target` (null: the default scope), and
// with `delete_scope` deletes it.
int ostrel_db_delete_lr_scope(const qel_oid_s* oid);
int ostrel_db_remove_lr_scope(const qel_oid_s* oid, int delete_scope, const qel_oid_s* target);
// Deletes the whole loaded namespace (elements only with `all`) and every
// scope but the default one; deletes the elements without a loaded version.
int ostrel_db_cleanup_vns_recs(int all);
int ostrel_db_cleanup_unused_elem();

// ---- the loaded element namespace ----------------------------------------------------
//
// `vob` is a VOB record's dbid (0 gives 1002, one without bit 31 1008);
// objects are named by dbids unique within their VOB. A version is loaded
// under a name in a directory version and in a load scope (the null oid:
// the default scope) at a generation number; `readdir_state` 1 or 2 says
// that the load will list a directory. Statuses besides those above: 1033
// stale or not valid, 1067 exists, 1084 too long, 1087 deleted or of
// another type.

// Loads an element (one that is loaded only takes the checkout flag).
int ostrel_db_create_element(unsigned vob, const qel_oid_s* oid, const struct timeval* time,
                             const qel_fstat_db_s* fstat, vob_mtype_t mtype, int checked_out, unsigned* dbid);
// Loads a version under `name` in the directory version `parent` (see
// ostrela_db_create_vns_ver), a symbolic link, the VOB's root directory.
int ostrel_db_create_version(unsigned vob, unsigned parent, const qel_oid_s* oid, const qel_oid_s* elem_oid,
                             vob_mtype_t mtype, const struct timeval* time, const char* name,
                             const qel_fstat_db_s* fstat, const qel_oid_s* scope, unsigned gn, int readdir_state,
                             unsigned* dbid, qel_oid_s* other_scope, qel_oid_s* parent_oid);
int ostrel_db_create_slink(unsigned vob, unsigned parent, const qel_oid_s* oid, const struct timeval* time,
                           const char* name, const char* text, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                           unsigned gn, unsigned* dbid, qel_oid_s* parent_oid);
int ostrel_db_create_root_dir(unsigned vob, const qel_oid_s* oid, const qel_oid_s* elem_oid,
                              const struct timeval* time, const qel_fstat_db_s* fstat, const qel_oid_s* scope,
                              unsigned gn, int readdir_state, unsigned* dbid);
// The VOB's root directory version and the generation number of its
// entry; whether it has one that is not stale; its attributes.
int ostrel_db_get_root_dir(unsigned vob, unsigned* dbid, unsigned* gn);
bool ostrel_db_vob_has_root_dir(unsigned vob);
int ostrel_db_root_dir_get_info(unsigned vob, qel_oid_s* oid, int* checked_out, struct timeval* time,
                                qel_fstat_db_s* fstat, qel_oid_s* scope, unsigned* gn);
int ostrel_db_vob_get_uuid(unsigned vob, qel_uuid_s* uuid);

// Objects by oid (any kind; an element; a version, 1033 when stale; a
// link), by name in a directory version (1033 for a name not valid or a
// stale version), and their kinds.
int ostrel_db_obj_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid, vob_mtype_t* mtype);
int ostrel_db_elem_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid);
int ostrel_db_vns_ver_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid);
int ostrel_db_slink_lookup(unsigned vob, const qel_oid_s* oid, unsigned* dbid);
int ostrel_db_vns_ver_lookup_name(unsigned vob, unsigned dir, const char* name, unsigned* dbid, vob_mtype_t* mtype,
                                  qel_oid_s* scope, unsigned* gn);
int ostrel_db_obj_get_mtype(unsigned vob, unsigned dbid, vob_mtype_t* mtype);
int ostrel_db_obj_update_nodeid(unsigned vob, unsigned dbid, unsigned node);

// Elements and versions: an element's loaded version and a version's
// element, the element of the directory holding an object, the directory
// version holding a version or link.
int ostrel_db_elem_get_ver(unsigned vob, unsigned elem, unsigned* ver);
int ostrel_db_ver_get_elem(unsigned vob, unsigned ver, unsigned* elem);
int ostrel_db_get_parent_elem(unsigned vob, unsigned dbid, unsigned* elem);
int ostrel_db_get_parent_dir(unsigned vob, unsigned dbid, unsigned* parent);
// The checkout of an element (named by itself or one of its versions).
int ostrel_db_elem_get_checkedout(unsigned vob, unsigned dbid, qel_oid_s* co_oid, int* flag);
int ostrel_db_elem_set_checkedout(unsigned vob, unsigned dbid, const qel_oid_s* co_oid, int flag);

// Attributes; each file status handed out carries the agent's own owner
// and group.
int ostrel_db_elem_get_info(unsigned vob, unsigned elem, qel_oid_s* oid, vob_mtype_t* mtype, int* checked_out,
                            struct timeval* time, qel_fstat_db_s* fstat);
int ostrel_db_ver_get_vstat(unsigned vob, unsigned ver, qel_oid_s* oid, vob_mtype_t* mtype, struct timeval* time,
                            qel_fstat_db_s* fstat, int* checked_out, qel_oid_s* elem_oid);
int ostrel_db_ver_get_info(unsigned vob, unsigned ver, size_t size, qel_oid_s* oid, vob_mtype_t* mtype,
                           int* checked_out, struct timeval* time, char* name, qel_fstat_db_s* fstat,
                           qel_oid_s* elem_oid);
int ostrel_db_slink_get_info(unsigned vob, unsigned slink, size_t size, qel_oid_s* oid, struct timeval* time,
                             char* name, char* text, qel_fstat_db_s* fstat);

// The entries of a directory version: as a reader lists them, as dbids.
int ostrel_db_ver_get_sub_vers(unsigned vob, unsigned dir, std::vector<ostrelagent_dirent>& list);
int ostrel_db_ver_get_sub_vers(unsigned vob, unsigned dir, std::vector<unsigned>& list);

// State flags: a version's stale flag, the valid flag of a name or of an
// object's names, a directory's readdir-done flag (set, it removes what the
// listing did not confirm; `*flush_all` when a directory named elsewhere
// was made stale instead, `*oid` the directory's oid), its load done, and
// the remove mark of a name.
int ostrel_db_ver_get_stale(unsigned vob, unsigned ver, int* flag);
int ostrel_db_ver_set_stale(unsigned vob, unsigned ver, int flag);
int ostrel_db_ver_get_validated(unsigned vob, unsigned dir, const char* name, int* flag);
int ostrel_db_ver_set_validated(unsigned vob, unsigned dir, const char* name, int flag);
int ostrel_db_obj_get_validated(unsigned vob, unsigned dbid, int* flag);
int ostrel_db_obj_set_validated(unsigned vob, unsigned dbid, int flag);
int ostrel_db_ver_get_readdir_done(unsigned vob, unsigned dir, int* flag, qel_oid_s* scope, unsigned* gn);
int ostrel_db_ver_set_readdir_done(unsigned vob, unsigned dir, int flag, bool* flush_all, qel_oid_s* oid);
int ostrel_db_ver_set_load_done(unsigned vob, unsigned dir, int flag);
int ostrel_db_ver_mark_remove(const qel_uuid_s* vob_uuid, const qel_oid_s* parent_oid, const qel_oid_s* oid,
                              const char* name);

// ---- VOB records and derived objects ------------------------------------------------
//
// A VOB's record keeps the text "host:pathname" of its storage (":" while
// they are not known) and one flag that its hard-link and set-work states
// share. Failures are reported with the VOB's host and pathname, its uuid or
// the config record's first derived object; 1080 and 1022 pass quietly.

// The VOB record's dbid (0 first); 1002 (quiet) when there is none.
int ostrel_db_vob_lookup(const qel_uuid_s* uuid, unsigned* dbid);
// The VOB's registration: its "host:path" text split at the first ':' into
// the buffers given (1084 when a part does not fit; 1008 for a text without
// ':'), and its database id. 1002 (quiet) when the VOB is not registered.
int ostrel_db_vob_read(const qel_uuid_s* uuid, unsigned host_size, char* host, unsigned path_size, char* path,
                       unsigned* vob_dbid);
// Registers the VOB (with the text ":") unless its record keeps a database
// id already, which it then gets.
int ostrel_db_vob_create(view_vob* vob);
// Stores the VOB's host and pathname as "host:pathname" (a missing part
// empty; 1084 when the text does not fit 1024 bytes), registering the VOB
// first when it has no record.
int ostrel_db_vob_update(view_vob* vob);
// Sets or clears the VOB's flag, registering it first when it has no
// record.
int ostrel_db_vob_set_hlink(view_vob* vob, int flag);
int ostrel_db_vob_set_setwork(view_vob* vob, int flag);
// Removes the VOB's registration once it holds nothing but empty cover
// directories, which go first, each in a write of its own; 1085 while it
// holds more (a view-private object, a hijack or a name).
int ostrel_db_vob_delete(const qel_uuid_s* uuid);
// Up to `max` VOB uuids in record order after `cursor` (0: from the first),
// every VOB with `filter` 0, else those whose flag is set; `*next` resumes,
// `*end` is 1 once all are listed. 1072 for a `max` of 0. The handle is not
// used.
int ostrel_inventory_vobs(const void* handle, unsigned cursor, int filter, int max, qel_uuid_s* uuids, int* count,
                          unsigned* next, int* end);
// Unloads the VOB's root directory version (when it has one) and clears the
// VOB record's link to it, in one write. The int is not used.
int ostrel_db_clean_vns_versions(const qel_uuid_s* uuid, int unused);

// Config records of builds, named by their derived objects (`do_oids`, `n`
// of them). The handle is not used.
//
// Saves `cr` with its derived objects of the replicas `uuids` and the
// config records it used (`used`, `m`), and one VOB reference for each
// replica of the list. 1067 (quiet) when one of the derived objects has a
// record.
int ostrel_cr_save(const void* handle, const qel_oid_s* do_oids, const qel_uuid_s* uuids, int n, const qel_oid_s* used,
                   int m, const _qel_cr_compressed_t* cr);
// The config record of the first of the derived objects that has one; freed
// with ostrel_cr_free. 1002 (quiet) when none has.
int ostrel_cr_get(const void* handle, const qel_oid_s* do_oids, int n, _qel_cr_compressed_t** cr);
void ostrel_cr_free(_qel_cr_compressed_t* cr);
// Adds or removes a reference of the replica `uuid` to the config record.
int ostrel_cr_add_vob_ref(const void* handle, const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid);
int ostrel_cr_rm_vob_ref(const void* handle, const qel_oid_s* do_oids, int n, const qel_uuid_s* uuid);
// Gives each of the inodes `dbids` the kind of an unshareable derived
// object (0x1a); the first failure undoes all and is reported with its dbid.
int ostrel_db_dos_to_unshareable(const unsigned* dbids, int count);

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

// Packs the names of the VOB `uuid` (null uuid: of all VOBs), of its
// directory `dir_oid` when that is not the null oid, that `filter` takes,
// after `cursor` (0: from the first) into `size` bytes of `buf`; `*bytes` is
// what was packed, `*next` resumes, `*end` is 1 once all are listed. 1084
// when not even the next name fits. The handle is not used.
int ostrel_inventory(const void* handle, unsigned cursor, const qel_uuid_s* uuid, const qel_oid_s* dir_oid, int filter,
                     unsigned size, void* buf, unsigned* bytes, unsigned* next, int* end);
// Whether the view has a checked-out element, a hijacked name.
int ostrel_db_has_checkouts(bool* any);
int ostrel_db_has_hijacks(bool* any);
// Appends the view-private files of the VOB (null uuid: of all VOBs) with
// their paths below the enclosing VOB directory (`mode` 0: object by object,
// else name by name), the checked-out elements, the hijacked names.
int ostrel_db_find_privates(const qel_uuid_s* uuid, std::vector<ostrelagent_hijack_co_info>& list, int mode);
int ostrel_db_find_checkouts(std::vector<ostrelagent_hijack_co_info>& list);
int ostrel_db_find_hijacks(std::vector<ostrelagent_hijack_co_info>& list);
