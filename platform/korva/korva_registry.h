// What the simulated kernel knows: registered views, the VOBs mounted in each,
// and the view roots and extended-naming suffixes of the two view kinds.
//
//   views/<view-tag>/view     key=value lines of the registration
//   views/<view-tag>/mounts   one line per mounted VOB (encoded fields)
//   views/<view-tag>/lpc      the view's message channel (korva_channel.h),
//                             while the registering process serves it
//   config                    optional lines root.0=, root.1=, suffix.0=, suffix.1=
//
// Files are rewritten whole (temporary file, sync, rename). Every operation
// expects the caller to hold the root's lock.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/korva/korva_root.h"

namespace korva {

struct ViewEntry {
  std::string tag;
  std::string uuid;  // text form
  std::string storage_user;
  std::string storage_kernel;
  std::string host;
  std::string remote_path;
  bool windows = false;
};

struct VobEntry {
  std::string vob_tag;
  std::string vob_storage;
  std::string host;
  std::string view_storage;
  std::string replica_uuid;  // text form
  std::string family_oid;    // text form
};

class Registry {
 public:
  explicit Registry(Root root) : root_(std::move(root)) {}

  // A view tag names a directory: not empty, at most 255 bytes, no '/', no
  // control character, not "." or "..".
  static bool validViewTag(const std::string& tag);

  std::optional<ViewEntry> view(const std::string& tag) const;
  std::vector<std::string> viewTags() const;
  // Writes (or replaces) a registration. 0 or the errno value.
  int putView(const ViewEntry& view) const;
  // Removes a registration, its mounts and its channel's socket file. 0 or
  // the errno value.
  int removeView(const std::string& tag) const;

  // The socket of a view's message channel, and the directory it lives in.
  std::string socketPath(const std::string& tag) const { return root_.file({"views", tag, "lpc"}); }
  std::string viewDir(const std::string& tag) const { return root_.file({"views", tag}); }

  std::vector<VobEntry> mounts(const std::string& view_tag) const;
  int putMounts(const std::string& view_tag, const std::vector<VobEntry>& mounts) const;

  // The view root of a kind (config "root.<type>", else $KORVA_ROOT/view for
  // the automatic kind and $KORVA_ROOT/dynamic_view for the dynamic one) and
  // its extended-naming suffix (config "suffix.<type>", else "@@"). nullopt
  // for an unknown kind.
  std::optional<std::string> viewRoot(int type) const;
  std::optional<std::string> namingSuffix(int type) const;

  // Whether view `tag` is registered (its registration reads), without
  // decoding it.
  bool hasView(const std::string& tag) const;
  // The tag of the registered view whose root directory (automatic view
  // root + "/" + tag) is `path`, ignoring trailing slashes.
  std::optional<std::string> viewTagAtRoot(const std::string& path) const;

 private:
  std::optional<std::string> configValue(std::string_view key) const;

  Root root_;
};

}  // namespace korva
