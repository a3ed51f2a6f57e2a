#pragma once
// Record-level operations on the view-namespace record and the load scopes
// (ostrela_db_*); each runs inside the caller's transaction. Scopes are
// named by their oid, or found by name; a scope's "dbid" here is its record
// address. Not found is 1002 and never reported; an engine failure is
// reported and answered 1008.

#include <cstdint>
#include <vector>

#include "lib/ostreladb/ostrel_db.h"
#include "lib/ostreladb/ostrel_db_schema.h"
#include "platform/qel/qel.h"
#include "runtime/kesto.h"

// A scope's state: idle, marked removed (awaiting deletion), or with a load
// or update begun.
constexpr uint16_t LR_SCOPE_IDLE = 0;
constexpr uint16_t LR_SCOPE_REMOVED = 1;
constexpr uint16_t LR_SCOPE_IN_PROGRESS = 2;

bool ostrela_db_is_def_scope(const qel_oid_s* oid);

// Creates the one view-namespace record, or sets only its generation number
// when it exists.
int ostrela_db_create_vns_view(const qel_uuid_s* uuid, uint32_t gn);
// The view's generation number (0 first); 1008, reported, when there is no
// view-namespace record.
int ostrela_db_get_vns_view_gn(uint32_t* gn);
int ostrela_db_set_vns_view_gn(uint32_t gn);

// The address of the scope of `oid` (0 first), left current; 1002 for the
// null oid or an oid without a scope.
int ostrela_db_lookup_lr_scope_oid(const qel_oid_s* oid, uint32_t* dbid);
// The address of the scope named `name` (0 first), left current.
int ostrela_db_lookup_lr_scope_name(const char* name, uint32_t* dbid);
// The name of the scope `rec` read at `dbid`, into `size` bytes with its
// NUL (1084 when it does not fit).
int ostrela_db_get_lr_scope_name(uint32_t dbid, const vns_db_lr_scope* rec, size_t size, char* buf);
// The scope named `name` as callers see it (second oid null).
int ostrela_db_get_scope_by_name(const char* name, ostrel_scope* scope);
// A scope's generation number (0 first), by oid, by name, of the default
// scope.
int ostrela_db_get_lr_scope_gn(const qel_oid_s* oid, uint32_t* gn);
int ostrela_db_get_lr_scope_gn_name(const char* name, uint32_t* gn);
int ostrela_db_get_def_scope_gn(uint32_t* gn);
// 1 when the scope is marked removed (0 first; the default scope never is).
int ostrela_db_get_lr_scope_removed_flag(const qel_oid_s* oid, int* flag);
// The scope and generation number of the entry that names version `ver` of
// the VOB `vob` (a dbid: 0 gives 1002, one without bit 31 1008), or of the
// object with `oid`.
int ostrela_db_get_ver_scope(uint32_t vob, uint32_t ver, qel_oid_s* scope_oid, uint32_t* gn);
int ostrela_db_get_ver_scope_oid(uint32_t vob, const qel_oid_s* oid, qel_oid_s* scope_oid, uint32_t* gn);

// Creates a scope. An existing oid is added again instead: it begins at
// `gn` and is no longer marked removed; its name stays. The null oid is never
// looked up, so it may be created more than once.
int ostrela_db_create_lr_scope(const qel_oid_s* oid, uint32_t gn, const char* name);
// Creates the default scope "Automatic" at generation 1 unless it exists.
int ostrela_db_create_def_scope();
// A load or update begins on the scope: generation `gn`, the completed one
// `gn` - 1, state `op`.
int ostrela_db_set_lr_scope_op_begin(const qel_oid_s* oid, uint32_t gn, uint16_t op);
int ostrela_db_begin_lr_scope_update(const qel_oid_s* oid, uint32_t gn);
// The same on the default scope, whose state stays.
int ostrela_db_begin_def_scope(uint32_t gn);
// Marks of a VOB's load into the default scope: they change nothing.
int ostrela_db_begin_def_scope_vob_load(const qel_uuid_s* uuid, uint32_t gn);
int ostrela_db_end_def_scope_vob_load(const qel_uuid_s* uuid, uint32_t gn);
int ostrela_db_begin_def_scope_vob_update(const qel_uuid_s* uuid, uint32_t gn);
int ostrela_db_end_def_scope_vob_update(const qel_uuid_s* uuid, uint32_t gn);
// Marks the scope removed; the default scope is never marked (0).
int ostrela_db_mark_lr_scope_removed(const qel_oid_s* oid);

// `*empty` 1 (first) or 0 when the scope has loaded entries; the VOB does not
// narrow the test of the default scope.
int ostrela_db_is_lr_scope_empty(const qel_oid_s* oid, int* empty);
int ostrela_db_is_def_scope_vob_empty(const qel_uuid_s* uuid, int* empty);
// Appends the load-rule scopes in record order, those marked removed only
// with `include_removed`; never the default scope. A failure keeps what was
// appended.
int ostrela_db_get_lr_scopes(int include_removed, std::vector<ostrel_scope>& list);
// Appends the scopes marked removed.
int ostrela_db_get_removed_lr_scopes(std::vector<ostrel_scope>& list);
// Appends what the scope loaded: each entry's VOB and version, or each
// version's VOB replica and element.
int ostrela_db_scope_get_versions(const qel_oid_s* oid, std::vector<ostrelagent_scope_vers>& list);
int ostrela_db_scope_get_elements(const qel_oid_s* oid, std::vector<ostrelagent_scope_elem>& list);

// ---- the end of a load or update, and removal -------------------------------------------------

// The end of a scope's load: the entries take `gn` (with `set_gn`, which
// also ends the scope's load: completed at `gn`, idle) and the directories
// get back the readdir-done flag the load saved (`restore_readdir`).
int ostrela_db_end_lr_scope_load(const qel_oid_s* oid, uint32_t gn, bool set_gn, bool restore_readdir);
// The end of a scope's update: the entries marked removed go (directories
// last), the others take `gn` and their directories' saved flags back (not
// in the default scope), and the scope is completed at `gn`, idle.
int ostrela_db_end_lr_scope_update(const qel_oid_s* oid, uint32_t gn);
int ostrela_db_end_def_scope(uint32_t gn);
// Removes every entry of the scope with what it names, then the scope
// record (the default scope is only emptied).
int ostrela_db_delete_lr_scope(const qel_oid_s* oid);
// Hands the scope's entries to `target` (null: the default scope) at the
// target's generation number; with `delete_scope` the emptied scope goes
// (never the default scope).
int ostrela_db_remove_lr_scope(const qel_oid_s* oid, int delete_scope, const qel_oid_s* target);
// Deletes every loaded namespace record (elements only with `all`) and
// every scope but the default one, and forgets the VOBs' root directories
// (and, with `all`, their counters). Goes on past a failure, which it
// returns.
int ostrela_db_cleanup_vns_recs(int all);
// Deletes the elements that have no version loaded, with their objects.
int ostrela_db_cleanup_unused_elem();
// The removal of one entry of a scope: a directory's entry is put on
// `dirs` for ostrela_db_lr_scope_remove_dir, which removes them, last put
// first; `clear_parent_done` makes each parent directory unlisted.
int ostrela_db_lr_scope_remove_ver(db_address entry, int clear_parent_done, std::vector<db_address>& dirs);
int ostrela_db_lr_scope_remove_dir(int clear_parent_done, const std::vector<db_address>& dirs);
// Moves the entry at `entry` into the scope `oid` (its stored scope oid is
// the caller's to change); the directory version `dir` with its tree.
int ostrela_db_dir_ver_ent_reconn_scope(db_address entry, const qel_oid_s* oid);
int ostrela_db_dir_ver_reconn_sub_ver_scope(db_address vob, uint32_t dir, const qel_oid_s* oid);
// An entry loaded again into `oid` at `gn`: `*moved` when it changed scope
// (`*to_default` into the default scope); a directory that moved reports
// the scope of another name of it in `*other_scope` (when given).
int ostrela_db_dir_ver_ent_update_scope(db_address entry, const qel_oid_s* oid, uint32_t gn, qel_oid_s* other_scope,
                                        int* moved, int* to_default);
// Removes the entry at `entry` of the directory version `parent`, which
// holds a name another object is to take, with what it names.
int ostrela_db_handle_evil_twins(uint32_t parent, db_address entry);
