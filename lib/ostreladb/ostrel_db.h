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
