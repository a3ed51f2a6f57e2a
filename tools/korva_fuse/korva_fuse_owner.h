#pragma once
// Whose view korva_fuse serves, and what it keeps of root's rights. Run as
// root (the only way its mount serves every user), korva_fuse does with
// root's rights only what needs them: it takes the user of the view (the
// owner of the kernel state and of the view's storage) for everything else,
// before it reads a file of theirs, keeping of root's capabilities those
// that mount and unmount the view and pass each caller's credentials on the
// view's channel. It mounts only on a directory that user owns, under a
// view root named by a configuration that root or that user controls.

#include <sys/types.h>

#include <string>
#include <vector>

namespace korva_fuse {

struct Owner {
  uid_t uid = 0;
  gid_t gid = 0;
  // The user's groups, from the system's user and group lists (the group
  // alone when the user has no entry there).
  std::vector<gid_t> groups;
};

// The owner of the directory `path`: 0 with
// `*owner`, or an errno value (ENOTDIR for anything but a directory).
int ownerOf(const std::string& path, Owner* owner);

// Takes the user, group and groups of `owner` for good, in a process that
// runs no thread yet, keeping only CAP_SYS_ADMIN (mount, unmount, a caller's
// process id), CAP_SETUID and CAP_SETGID (a caller's user and group) of the
// capabilities; the others leave even the bounding set. 0 or an errno value.
int becomeOwner(const Owner& owner);

// Why the configuration `config` of the kernel state may not name the view
// root korva_fuse mounts in, or empty when it may: it is missing, or a
// regular file owned by root or by `owner`, which nobody else may write.
std::string configRefusal(const std::string& config, uid_t owner);

// Opens the view's root directory `path` (O_PATH, the last name not
// followed) to mount on: 0 with `*fd`, else the line that says why not
// (`*refusal`): it must be a directory that `owner` owns.
int openMountpoint(const std::string& path, uid_t owner, int* fd, std::string* refusal);

// Mounts the file system served on `fuse_fd` (/dev/fuse, opened while the
// process was root's: it may be root's alone) on the directory
// `mountpoint_fd` (openMountpoint) for every user, the kernel checking
// permissions, as this process's user. 0 or an errno value.
int mountOn(int fuse_fd, int mountpoint_fd);

}  // namespace korva_fuse
