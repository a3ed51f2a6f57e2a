#include "tools/korva_fuse/korva_fuse_use.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <memory>

namespace korva_fuse {

namespace {

// What a look at a process's entries found.
enum class Seen { kNothing, kHolds, kHidden };

bool forbidden(int error) { return error == EACCES || error == EPERM; }

// Whether `target` (a file that was removed ends in " (deleted)") is `path`
// or lies beneath it.
bool under(const std::string& target, const std::string& path) {
  if (target.compare(0, path.size(), path) != 0) return false;
  return target.size() == path.size() || target[path.size()] == '/' || target.compare(path.size(), 10, " (deleted)") == 0;
}

bool numeric(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name)
    if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Whether the link `link` points at `path` or beneath it; kHidden when it
// is not ours to read (kNothing when the process ended meanwhile).
Seen linkAt(const std::string& link, const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n < 0) return forbidden(errno) ? Seen::kHidden : Seen::kNothing;
  if (n == 0 || static_cast<size_t>(n) >= sizeof target) return Seen::kNothing;
  return under(std::string(target, static_cast<size_t>(n)), path) ? Seen::kHolds : Seen::kNothing;
}

Seen processHoldsAt(const std::string& process, const std::string& path) {
  for (const char* link : {"/cwd", "/root"}) {
    const Seen seen = linkAt(process + link, path);
    if (seen != Seen::kNothing) return seen;
  }
  const std::string fds = process + "/fd";
  Dir dir(::opendir(fds.c_str()));
  if (!dir) return forbidden(errno) ? Seen::kHidden : Seen::kNothing;
  while (dirent* entry = ::readdir(dir.get())) {
    if (!numeric(entry->d_name)) continue;
    const Seen seen = linkAt(fds + "/" + entry->d_name, path);
    if (seen != Seen::kNothing) return seen;
  }
  return Seen::kNothing;
}

}  // namespace

bool processHolds(const std::string& path) {
  const std::string self = std::to_string(::getpid());
  Dir proc(::opendir("/proc"));
  if (!proc) return false;
  while (dirent* entry = ::readdir(proc.get())) {
    if (!numeric(entry->d_name) || self == entry->d_name) continue;
    const std::string process = std::string("/proc/") + entry->d_name;
    const Seen seen = processHoldsAt(process, path);
    if (seen == Seen::kHolds) return true;
    // A process whose entries this one may not read, another user's (run
    // as the view's owner), may hold the path: it counts as holding it, so
    // that a VOB is never unmounted under a program that uses it. (A
    // process that cannot be examined shows as root's.) One of this
    // process's own user with rights beyond its own (a sandbox's first
    // process, as root's korva_fuse sees it) does not: one is always there,
    // and no VOB would ever be unmounted.
    struct stat st;
    if (seen == Seen::kHidden && ::stat(process.c_str(), &st) == 0 && st.st_uid != ::geteuid()) return true;
  }
  return false;
}

VobUse::VobUse(const Kernel& kernel, const View& view, std::string mountpoint, Filesystem& fs)
    : kernel_(kernel), tag_(view.tag), mountpoint_(std::move(mountpoint)), fs_(fs) {}

bool VobUse::inUse(const std::string& vob_tag) const {
  for (const korva::VobEntry& vob : kernel_.mounts(tag_)) {
    if (vob.vob_tag != vob_tag) continue;
    qel_uuid_s uuid;
    if (qel_str_to_uuid(vob.replica_uuid.c_str(), &uuid) == 0 && fs_.holdsOpen(uuid)) return true;
  }
  std::string path = mountpoint_;
  for (const std::string& name : tagPath(vob_tag)) path += "/" + name;
  return path != mountpoint_ && processHolds(path);
}

}  // namespace korva_fuse
