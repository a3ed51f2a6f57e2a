#include "tools/korva_fuse/korva_fuse_use.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <optional>

namespace korva_fuse {

namespace {

// Where the link `path` points; nullopt when it cannot be read (the
// process ended, or its entries are not ours to read).
std::optional<std::string> linkTarget(const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(n));
}

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

bool processHoldsAt(const std::string& process, const std::string& path) {
  for (const char* link : {"/cwd", "/root"}) {
    std::optional<std::string> target = linkTarget(process + link);
    if (target && under(*target, path)) return true;
  }
  const std::string fds = process + "/fd";
  Dir dir(::opendir(fds.c_str()));
  if (!dir) return false;
  while (dirent* entry = ::readdir(dir.get())) {
    if (!numeric(entry->d_name)) continue;
    std::optional<std::string> target = linkTarget(fds + "/" + entry->d_name);
    if (target && under(*target, path)) return true;
  }
  return false;
}

}  // namespace

bool processHolds(const std::string& path) {
  const std::string self = std::to_string(::getpid());
  Dir proc(::opendir("/proc"));
  if (!proc) return false;
  while (dirent* entry = ::readdir(proc.get())) {
    if (!numeric(entry->d_name) || self == entry->d_name) continue;
    if (processHoldsAt(std::string("/proc/") + entry->d_name, path)) return true;
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
