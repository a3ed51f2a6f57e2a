#include "tools/korva_fuse/korva_fuse_owner.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korva_fuse {

namespace {

// The capabilities korva_fuse keeps: CAP_SYS_ADMIN mounts and unmounts and
// names a caller's process on the channel, CAP_SETUID and CAP_SETGID name
// its user and group.
constexpr int kKept[] = {CAP_SYS_ADMIN, CAP_SETUID, CAP_SETGID};

bool kept(int cap) {
  for (int k : kKept)
    if (k == cap) return true;
  return false;
}

std::vector<gid_t> groupsOf(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {gid};
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) return {gid};
  }
  groups.resize(static_cast<size_t>(count));
  return groups;
}

std::string user(uid_t uid) { return "user " + std::to_string(uid); }

}  // namespace

int ownerOf(const std::string& path, Owner* owner) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  owner->uid = st.st_uid;
  // The user's own group where the system knows the user.
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  owner->gid = ::getpwuid_r(st.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr
                   ? found->pw_gid
                   : st.st_gid;
  owner->groups = groupsOf(owner->uid, owner->gid);
  return 0;
}

int becomeOwner(const Owner& owner) {
  // The bounding set first, while CAP_SETPCAP is there to shrink it.
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
    if (!kept(cap) && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return errno;
  }
  if (::setgroups(owner.groups.size(), owner.groups.data()) != 0) return errno;
  if (::setresgid(owner.gid, owner.gid, owner.gid) != 0) return errno;
  // The permitted capabilities survive the change of user only so.
  if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return errno;
  if (::setresuid(owner.uid, owner.uid, owner.uid) != 0) return errno;
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2]{};
  for (int cap : kKept) {
    data[cap / 32].effective |= 1u << (cap % 32);
    data[cap / 32].permitted |= 1u << (cap % 32);
  }
  if (::syscall(SYS_capset, &header, data) != 0) return errno;
  if (::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) return errno;
  return 0;
}

std::string configRefusal(const std::string& config, uid_t owner) {
  struct stat st;
  if (::lstat(config.c_str(), &st) != 0) {
    return errno == ENOENT ? "" : config + ": " + std::strerror(errno);
  }
  if (!S_ISREG(st.st_mode)) return config + ": not a regular file: it may not name the view root";
  if (st.st_uid != 0 && st.st_uid != owner) {
    return config + ": owned by " + user(st.st_uid) + ", neither root nor the view's owner (" + user(owner) +
           "): it may not name the view root";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return config + ": writable by others: it may not name the view root";
  return "";
}

int openMountpoint(const std::string& path, uid_t owner, int* fd, std::string* refusal) {
  int opened = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (opened < 0 || ::fstat(opened, &st) != 0) {
    const int error = errno;
    if (opened >= 0) ::close(opened);
    *refusal = path + ": " + (error == ENOTDIR || error == ELOOP ? "not a directory" : std::strerror(error)) +
               ": the view is not mounted";
    return error;
  }
  if (st.st_uid != owner) {
    ::close(opened);
    *refusal = path + ": owned by " + user(st.st_uid) + ", not by the view's owner (" + user(owner) +
               "): the view is not mounted";
    return EPERM;
  }
  *fd = opened;
  return 0;
}

int mountOn(int fuse_fd, int mountpoint_fd) {
  const std::string target = "/proc/self/fd/" + std::to_string(mountpoint_fd);
  const std::string options = "fd=" + std::to_string(fuse_fd) + ",rootmode=40000,user_id=" +
                              std::to_string(::getuid()) + ",group_id=" + std::to_string(::getgid()) +
                              ",default_permissions,allow_other";
  if (::mount("korva", target.c_str(), "fuse.korva", MS_NOSUID | MS_NODEV, options.c_str()) != 0) return errno;
  return 0;
}

}  // namespace korva_fuse
