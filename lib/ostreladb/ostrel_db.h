#pragma once
// The view database's services that the view object uses to open and close
// the database and to keep the view's generation number.
//
// For now there is no database file: the record engine's view database is
// built later. Until then these functions keep the records they are asked
// for in memory while the database is open, and drop them when it is
// closed. Every open therefore starts a new, empty database (ostrel_db_init
// reports it as new), and a view started in a new process finds no
// view-namespace record, as it would with a database that lacks one. The
// storage-container pool is made on disk as the real database makes it.
//
// Statuses are base-library statuses: 0, 1002 when a record does not exist,
// 1008 when the database is not open or cannot be opened.

#include <string>

#include "platform/qel/qel.h"

// The view storage directory; set by the view-database handle before
// ostrel_db_init.
extern std::string view_home;

// Makes the storage-container pool ".s" with its 57 subdirectories "00000" to
// "00056" in the current directory (the view storage); parts that exist are
// kept. 0, or -1 after a message naming the directory that failed.
int ostrel_storage_init();

// Opens the database of view_home; `*new_db` becomes 1 when the database was
// made by this call (always, for now). 1008 when it is open already.
int ostrel_db_init(int* new_db);

// Closes the database; its records go with it. 0, also when it was closed.
int ostrel_db_close();

// Creates the default load scope unless it exists. 1008 when not open.
int ostrel_db_create_def_scope();

// The generation number of the view-namespace record. 1002 when there is no
// record, 1008 when not open; `*gn` is then untouched.
int ostrel_db_get_vns_view_gn(unsigned int* gn);

// Creates the one view-namespace record with `uuid` and `gn`, or sets only
// its generation number when it exists. 1008 when not open.
int ostrel_db_create_vns_view(const qel_uuid_s* uuid, unsigned int gn);
