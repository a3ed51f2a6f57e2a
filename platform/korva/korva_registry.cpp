#include "platform/korva/korva_registry.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/korva/korva_fields.h"

namespace korva {

namespace {

std::vector<std::string> lines(const std::string& content) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (end > start) out.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// key=value lines with encoded values; nullopt when the key is absent.
std::optional<std::string> lookup(const std::string& content, std::string_view key) {
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + start, end - start);
    start = end + 1;
    if (line.size() > key.size() && line[key.size()] == '=' && line.compare(0, key.size(), key) == 0) {
      return decodeField(std::string(line.substr(key.size() + 1)));
    }
  }
  return std::nullopt;
}

std::string trimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool Registry::validViewTag(const std::string& tag) {
  if (tag.empty() || tag.size() > 255 || tag == "." || tag == "..") return false;
  return std::none_of(tag.begin(), tag.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return c == '/' || byte < 0x20 || byte == 0x7f;
  });
}

std::optional<ViewEntry> Registry::view(const std::string& tag) const {
  if (!validViewTag(tag)) return std::nullopt;
  int error = 0;
  std::shared_ptr<const std::string> content = readWholeFileCached(root_.file({"views", tag, "view"}), &error);
  if (!content) return std::nullopt;
  ViewEntry view;
  view.tag = tag;
  view.uuid = lookup(*content, "uuid").value_or("");
  view.storage_user = lookup(*content, "storage_user").value_or("");
  view.storage_kernel = lookup(*content, "storage_kernel").value_or("");
  view.host = lookup(*content, "host").value_or("");
  view.remote_path = lookup(*content, "remote_path").value_or("");
  view.windows = lookup(*content, "windows").value_or("0") == "1";
  return view;
}

std::vector<std::string> Registry::viewTags() const {
  std::vector<std::string> tags;
  DIR* dir = opendir(root_.file("views").c_str());
  if (dir == nullptr) return tags;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (validViewTag(name) && view(name)) tags.push_back(name);
  }
  closedir(dir);
  std::sort(tags.begin(), tags.end());
  return tags;
}

int Registry::putView(const ViewEntry& view) const {
  if (!validViewTag(view.tag)) return EINVAL;
  if (int error = makeDirectories(viewDir(view.tag))) return error;
  std::string content;
  content += "uuid=" + encodeField(view.uuid) + "\n";
  content += "storage_user=" + encodeField(view.storage_user) + "\n";
  content += "storage_kernel=" + encodeField(view.storage_kernel) + "\n";
  content += "host=" + encodeField(view.host) + "\n";
  content += "remote_path=" + encodeField(view.remote_path) + "\n";
  content += std::string("windows=") + (view.windows ? "1" : "0") + "\n";
  return writeFileAtomically(viewDir(view.tag) + "/view", content);
}

int Registry::removeView(const std::string& tag) const {
  if (!validViewTag(tag)) return EINVAL;
  std::string dir = viewDir(tag);
  for (const char* name : {"/lpc", "/mounts", "/view"}) {
    if (unlink((dir + name).c_str()) != 0 && errno != ENOENT) return errno;
  }
  // A process killed while it wrote a file left its temporary one: with the
  // state lock held nobody writes, so each is stale.
  if (DIR* entries = opendir(dir.c_str())) {
    while (dirent* entry = readdir(entries)) {
      if (isTemporaryName(entry->d_name)) unlink((dir + "/" + entry->d_name).c_str());
    }
    closedir(entries);
  }
  if (rmdir(dir.c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

std::vector<VobEntry> Registry::mounts(const std::string& view_tag) const {
  std::vector<VobEntry> mounts;
  if (!validViewTag(view_tag)) return mounts;
  int error = 0;
  std::shared_ptr<const std::string> content =
      readWholeFileCached(root_.file({"views", view_tag, "mounts"}), &error);
  if (!content) return mounts;
  for (const std::string& line : lines(*content)) {
    std::optional<std::vector<std::string>> f = splitFields(line);
    if (!f || f->size() != 6) continue;
    mounts.push_back(VobEntry{(*f)[0], (*f)[1], (*f)[2], (*f)[3], (*f)[4], (*f)[5]});
  }
  return mounts;
}

int Registry::putMounts(const std::string& view_tag, const std::vector<VobEntry>& mounts) const {
  if (!validViewTag(view_tag)) return EINVAL;
  std::string content;
  for (const VobEntry& m : mounts) {
    content += joinFields({m.vob_tag, m.vob_storage, m.host, m.view_storage, m.replica_uuid,
                           m.family_oid}) +
               "\n";
  }
  return writeFileAtomically(viewDir(view_tag) + "/mounts", content);
}

std::optional<std::string> Registry::configValue(std::string_view key) const {
  int error = 0;
  std::shared_ptr<const std::string> content = readWholeFileCached(root_.configFile(), &error);
  if (!content) return std::nullopt;
  return lookup(*content, key);
}

std::optional<std::string> Registry::viewRoot(int type) const {
  if (type != 0 && type != 1) return std::nullopt;
  if (std::optional<std::string> configured = configValue(type == 1 ? "root.1" : "root.0")) {
    return trimSlashes(*configured);
  }
  return root_.file(type == 1 ? "view" : "dynamic_view");
}

std::optional<std::string> Registry::namingSuffix(int type) const {
  if (type != 0 && type != 1) return std::nullopt;
  return configValue(type == 1 ? "suffix.1" : "suffix.0").value_or("@@");
}

bool Registry::hasView(const std::string& tag) const {
  if (!validViewTag(tag)) return false;
  int error = 0;
  return readWholeFileCached(root_.file({"views", tag, "view"}), &error) != nullptr;
}

std::optional<std::string> Registry::viewTagAtRoot(const std::string& path) const {
  std::optional<std::string> root = viewRoot(1);
  std::string p = trimSlashes(path);
  if (!root || p.size() <= root->size() + 1 || p.compare(0, root->size(), *root) != 0 ||
      p[root->size()] != '/') {
    return std::nullopt;
  }
  std::string tag = p.substr(root->size() + 1);
  if (!hasView(tag)) return std::nullopt;
  return tag;
}

}  // namespace korva
