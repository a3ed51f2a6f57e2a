#pragma once
// Storage containers: the contents of view-private files live in ordinary
// files of the container pool ".s" of the view storage (the process's
// working directory), spread over its 57 subdirectories "00000" to "00056".
// An inode's text names its container relative to the pool.
//
// The pool settings and the name sequencer are process-wide and not locked:
// names are formed only inside write transactions of the view database,
// which its one mutex serialises.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"

// The pool's directory, relative to the view storage.
inline constexpr const char* OSTREL_STORAGE_POOL = ".s";
constexpr int OSTREL_STORAGE_SUBDIRS = 57;

// ---- the pool (used by the view database) ------------------------------------------

// Makes the pool and its subdirectories where missing and learns the longest
// name the pool's file system takes. 0, or -1 after a logged failure. Runs
// once at view start, before any container name is formed.
int ostrel_storage_init();

// Longest container name the pool takes, its terminator included (0 before
// ostrel_storage_init).
size_t ostrel_storage_max_name();

// Forms a new container name in `buf` (`size` bytes, capped at the pool's
// longest name): the subdirectory chosen by the oid's hash, "/", the dbid
// and a sequence number in hex, then `leaf` (cut to fit; a final '.' becomes
// '!'). The container itself is not made. 0; -1 with errno ENAMETOOLONG
// (too small a buffer, too long a path) or EEXIST (the name is taken), or
// another errno after a logged failure. `second_oid` is not used.
int ostrel_storage_create(const qel_oid_s* oid, const qel_oid_s* second_oid, const char* leaf, uint32_t dbid,
                          char* buf, size_t size);

// Makes the container `name` of the pool, an empty file with the permission
// bits of the file it holds, `fmode` (the umask applied; its owner, the
// agent, may always read and write it). 0; -1 with errno (EEXIST when it is
// there already, else after a logged failure).
int ostrel_storage_make(const char* name, qel_fmode_t fmode);

// Removes the container `name` of the pool: 0 when removed or absent; 1063
// for a name that leaves the pool; 1084 for a path over 1024 bytes; else the
// status of the system error (logged).
qel_status_t ostrel_storage_remove(const char* name);

// Removes the container directory `name` of the pool: 0 when removed or
// absent, 1 when it is not empty, -1 with errno after a logged failure (EPERM
// for a name that leaves the pool, ENAMETOOLONG for a path over 1024 bytes).
int ostrel_storage_remove_dir(const char* name);

// ---- containers by path (relative to the view storage) ------------------------------

// 0 for a relative path without a ".." component; 1063 for a null path, an
// absolute one or one with a ".." component.
qel_status_t validate_pname(const char* path);

// The path's file status with the owner, group and mode of its protection.
qel_status_t ostrel_storage_fstat_container(const void* handle, const char* path, qel_fstat_db_s* fstat);

// Gives the container the agent's own user as owner, the group of `creds`
// and `fmode` without set-user-id and sticky bits (and without set-group-id
// when the group may execute).
qel_status_t ostrel_storage_protect_container(const void* handle, const char* path,
                                              const credutl_sid_credentials_t* creds, qel_fmode_t fmode);

// Creates a file (`ftype` 1) or directory (2) protected as above; an existing
// name gives 1067, or with `make_unique` the first free name of "path.1",
// "path.2" ...; the name used goes to `out_path`.
qel_status_t ostrel_storage_create_container(const void* handle, const char* path, int make_unique,
                                             const credutl_sid_credentials_t* creds, uint32_t ftype,
                                             qel_fmode_t fmode, std::string* out_path);

// Moves `from` to `to` (which must not exist: 1067), its times set to now.
qel_status_t ostrel_storage_rename_container(const void* handle, const char* from, const char* to);

// Removes a file, symbolic link or directory tree; 1085 when a tree cannot
// be removed whole.
qel_status_t ostrel_storage_remove_container(const void* handle, const char* path);

// Puts `from` in the place of `to`, which, when it exists, must be of the
// same file type.
qel_status_t ostrel_storage_replace_container(const void* handle, const char* from, const char* to);
