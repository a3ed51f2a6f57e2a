// Server library: the view storage's lock and host-name files, and file
// objects created, removed and protected with owner and group identities.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/utl/credutl.h"

// ---- storage lock ------------------------------------------------------------------

// Takes the lock file `path` (the storage's ".pid") for the life of the
// process: an exclusive fcntl lock of its own open file (so that no other
// open, close or thread of the process drops it, and a dead process never
// holds it), with the process id written into the file.
// Returns a cookie >= 0 for server_lock_clear; -2 when another holder has it,
// with the holder's process id (read from the file) in `*owner`; -1 with errno
// set on a system error. A holder that has just taken the lock, or is
// releasing it, has no id in the file for a moment: the call waits for the id
// or takes the freed lock, so `*owner` is 0 only for a holder that keeps the
// lock for seconds without writing an id (none of this library's). The lock
// of one file is held once: a second call of the same process also gives -2.
int server_lock_set(const char* path, pid_t* owner);

// Releases a lock taken by server_lock_set: empties the file and closes it.
// The file itself stays, so that no other process can lock a file that is
// about to disappear. 0, or -1 with EINVAL when `cookie` is not a lock of
// `path` held here.
int server_lock_clear(const char* path, int cookie);

// ---- host-name file ------------------------------------------------------------------

// Size of the host-name buffers (terminating NUL included).
constexpr size_t SERVER_HOSTNAME_SIZE = 64;

// Name of the host-name file in the storage directory.
inline constexpr const char* SERVER_HOSTNAME_FILE = ".hostname";

// Records in the storage that the view belongs to host `hostname` (shorter than
// SERVER_HOSTNAME_SIZE, no line break) and was made by `creds` (may be null).
// The file is written whole: temporary file, sync, rename. 0, or -1 with errno
// (EINVAL for a bad host name).
int server_create_hostname_file(const char* storage, const char* hostname,
                                const credutl_sid_credentials_t* creds);

// Compares the storage's recorded host with this host (gethostname, ignoring
// letter case). 1 when they are the same; 0 when not, with the recorded host in
// `registered` (SERVER_HOSTNAME_SIZE bytes, NUL-terminated); -1 with errno set
// when the file cannot be read or holds no host (`registered` is then empty).
int server_validate_hostname(const char* storage, char* registered);

// ---- file objects ------------------------------------------------------------------------

// Creates a file (`is_directory` 0, with O_CREAT|O_EXCL) or a directory (1) at
// `path`, gives it the owner and group that the sids name where the process
// may (a sid that names nobody, or a null one, leaves that part as created; a
// change the process is not permitted to make is skipped), then the permission
// bits of `mode`. 0, or -1 with errno (EEXIST when the name is taken); a
// failure after the creation removes the new object again.
int server_create_fsobj(const char* path, const credutl_sid_t* owner, const credutl_sid_t* group,
                        mode_t mode, int is_directory);

// Removes a file or symbolic link. 0, or -1 with errno.
int server_remove_fsobj(const char* path);

// Flags of server_remove_tree.
enum : int {
  SERVER_RMTREE_TOP = 0x1,       // remove `path` itself too, not only what it holds
  SERVER_RMTREE_CONTINUE = 0x2,  // go on after a failure and remove what can be removed
};

// Removes what the directory `path` holds, depth first, without following
// symbolic links or crossing into other file systems. 0, or -1 with errno of
// the first failure.
int server_remove_tree(const char* path, int flags);

// Sets the owner and group (as server_create_fsobj does) and the permission
// bits of `mode` on `fd` when it is not -1, else on `path` (a symbolic link
// itself gets the owner and group only). 0, or -1 with errno.
int server_protect_fsobj(const char* path, const credutl_sid_t* owner, const credutl_sid_t* group, int fd,
                         mode_t mode);

// Owner, group and mode (type and permission bits) of the object at `path`
// itself (a final symbolic link is not followed).
struct server_fsobj_prot_s {
  credutl_sid_t owner;
  credutl_sid_t group;
  mode_t mode;
};
typedef server_fsobj_prot_s server_fsobj_prot_t;

// 0; the errno value of a failed status query; -1 for a null argument.
int server_get_fsobj_protections(const char* path, server_fsobj_prot_t* protections);
