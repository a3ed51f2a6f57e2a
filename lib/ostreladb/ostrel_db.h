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
