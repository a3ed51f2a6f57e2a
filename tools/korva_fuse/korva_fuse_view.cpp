#include "tools/korva_fuse/korva_fuse_view.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/korva/korva_inject.h"
#include "tools/korva_fuse/korva_fuse_channel.h"

namespace korva_fuse {

namespace {

std::string absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

}  // namespace

Kernel::Kernel(const std::string& root) : root_(absolute(root)) {}

std::optional<View> Kernel::view(const std::string& tag) const {
  if (!korva::Registry::validViewTag(tag)) return std::nullopt;
  korva::Registry registry(root_);
  std::optional<korva::ViewEntry> entry;
  std::optional<std::string> view_root;
  {
    korva::Root::Lock lock(root_);
    if (!lock.held()) return std::nullopt;
    entry = registry.view(tag);
    view_root = registry.viewRoot(1);
  }
  View view;
  if (!entry || !view_root || qel_str_to_uuid(entry->uuid.c_str(), &view.uuid) != 0) return std::nullopt;
  view.tag = tag;
  view.storage = entry->storage_kernel.empty() ? entry->storage_user : entry->storage_kernel;
  view.cache_dir = keyValue(view.storage + "/.ostrel", "cltxt-cache-dir");
  view.mountpoint = *view_root + "/" + tag;
  view.socket_path = registry.socketPath(tag);
  return view;
}

bool Kernel::registered(const std::string& tag) const {
  // The registration file is replaced whole and removed at unregistration:
  // its presence answers without the state lock.
  struct stat st;
  return ::stat(korva::Registry(root_).viewDir(tag).append("/view").c_str(), &st) == 0;
}

std::vector<korva::VobEntry> Kernel::mounts(const std::string& tag) const {
  // The registry's files are replaced whole: read without the state lock.
  return korva::Registry(root_).mounts(tag);
}

std::optional<int> Kernel::forced(const char* call) const {
  // Most calls meet no inject line naming them: they need not take the
  // state lock.
  if (!korva::Injector(root_).mayForce(call)) return std::nullopt;
  std::optional<korva::Forced> forced;
  {
    korva::Root::Lock lock(root_);
    if (!lock.held()) return std::nullopt;
    forced = korva::Injector(root_).take(call);
  }
  if (!forced) return std::nullopt;
  return forced->call_error != 0 ? forced->call_error : errnoOf(forced->status);
}

std::vector<std::string> tagPath(const std::string& vob_tag) {
  std::vector<std::string> names;
  size_t start = !vob_tag.empty() && (vob_tag[0] == '/' || vob_tag[0] == '\\') ? 1 : 0;
  while (start <= vob_tag.size()) {
    size_t end = vob_tag.find('/', start);
    if (end == std::string::npos) end = vob_tag.size();
    if (end > start) names.push_back(vob_tag.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string keyValue(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=')
      return line.substr(key.size() + 1);
  }
  return "";
}

}  // namespace korva_fuse
