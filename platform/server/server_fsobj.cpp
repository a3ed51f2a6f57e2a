// File objects with owner, group and mode.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/server/server.h"

namespace {

// The ids that the sids name; -1 (no change) for a null sid or one that names
// nobody.
void idsOf(const credutl_sid_t* owner, const credutl_sid_t* group, uid_t* uid, gid_t* gid) {
  *uid = static_cast<uid_t>(-1);
  *gid = static_cast<gid_t>(-1);
  if (owner != nullptr && credutl_sid_is_set(owner)) {
    uid_t u;
    if (credutl_sid_to_uid(owner, &u) == 0) *uid = u;
  }
  if (group != nullptr && credutl_sid_is_set(group)) {
    gid_t g;
    if (credutl_sid_to_gid(group, &g) == 0) *gid = g;
  }
}

// Changes the owner and group as far as the process may: an ownership change
// refused with EPERM is retried for the group alone, and a refused group
// change is skipped. Other failures are returned.
template <typename Chown>
int chownPermitted(uid_t uid, gid_t gid, Chown chown_call) {
  if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) return 0;
  if (chown_call(uid, gid) == 0) return 0;
  if (errno != EPERM) return -1;
  if (uid != static_cast<uid_t>(-1) && gid != static_cast<gid_t>(-1)) {
    if (chown_call(static_cast<uid_t>(-1), gid) == 0) return 0;
    if (errno != EPERM) return -1;
  }
  return 0;
}

int protectOpen(int fd, uid_t uid, gid_t gid, mode_t mode) {
  if (chownPermitted(uid, gid, [fd](uid_t u, gid_t g) { return fchown(fd, u, g); }) != 0) return -1;
  return fchmod(fd, mode & 07777);
}

// State of one server_remove_tree walk (nftw passes no argument of its own).
struct RemoveWalk {
  int flags;
  int first_error;
};
thread_local RemoveWalk* t_walk = nullptr;

int removeEntry(const char* path, const struct stat*, int type, struct FTW* where) {
  if (where->level == 0 && (t_walk->flags & SERVER_RMTREE_TOP) == 0) return 0;
  int result;
  if (type == FTW_DP || type == FTW_D) {
    result = rmdir(path);
  } else if (type == FTW_DNR) {
    errno = EACCES;
    result = -1;
  } else {
    result = unlink(path);
  }
  if (result != 0 && errno != ENOENT) {
    if (t_walk->first_error == 0) t_walk->first_error = errno;
    if ((t_walk->flags & SERVER_RMTREE_CONTINUE) == 0) return 1;  // stop the walk
  }
  return 0;
}

}  // namespace

int server_create_fsobj(const char* path, const credutl_sid_t* owner, const credutl_sid_t* group,
                        mode_t mode, int is_directory) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  if (is_directory) {
    if (mkdir(path, 0700) != 0) return -1;
    fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } else {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
  }
  uid_t uid;
  gid_t gid;
  idsOf(owner, group, &uid, &gid);
  int result = fd < 0 ? -1 : protectOpen(fd, uid, gid, mode);
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && result == 0) {
    result = -1;
    error = errno;
  }
  if (result != 0) {
    // Nothing half-made stays behind.
    if (is_directory) {
      rmdir(path);
    } else {
      unlink(path);
    }
    errno = error;
  }
  return result;
}

int server_remove_fsobj(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return unlink(path);
}

int server_remove_tree(const char* path, int flags) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  RemoveWalk walk{flags, 0};
  RemoveWalk* outer = t_walk;
  t_walk = &walk;
  int walked = nftw(path, removeEntry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  int walk_error = errno;
  t_walk = outer;
  if (walk.first_error != 0) {
    errno = walk.first_error;
    return -1;
  }
  if (walked < 0) {
    errno = walk_error;
    return -1;
  }
  return 0;
}

int server_protect_fsobj(const char* path, const credutl_sid_t* owner, const credutl_sid_t* group, int fd,
                         mode_t mode) {
  uid_t uid;
  gid_t gid;
  idsOf(owner, group, &uid, &gid);
  if (fd != -1) return protectOpen(fd, uid, gid, mode);
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (S_ISLNK(st.st_mode)) {
    // A link's own mode means nothing, and chmod would change its target.
    return chownPermitted(uid, gid, [path](uid_t u, gid_t g) { return lchown(path, u, g); });
  }
  if (chownPermitted(uid, gid, [path](uid_t u, gid_t g) { return lchown(path, u, g); }) != 0) return -1;
  return chmod(path, mode & 07777);
}

int server_get_fsobj_protections(const char* path, server_fsobj_prot_t* protections) {
  if (path == nullptr || protections == nullptr) return -1;
  struct stat st;
  if (lstat(path, &st) != 0) return errno;
  credutl_uid_to_sid(st.st_uid, &protections->owner);
  credutl_gid_to_sid(st.st_gid, &protections->group);
  protections->mode = st.st_mode;
  return 0;
}
