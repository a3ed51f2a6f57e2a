#pragma once
// What korva_fuse knows of the view it serves, from the simulated kernel's
// registry and the view's storage: its tag and uuid, where its files live,
// where it is mounted, which VOBs it has mounted, and the results that the
// kernel's inject file forces on file calls.

#include <optional>
#include <string>
#include <vector>

#include "platform/korva/korva_registry.h"
#include "platform/korva/korva_root.h"
#include "platform/qel/qel.h"

namespace korva_fuse {

struct View {
  std::string tag;
  qel_uuid_s uuid = QEL_UUID_NULL;
  // The storage as the kernel sees it: view-private files' containers are
  // named relative to it.
  std::string storage;
  // The cleartext cache (the storage's ".ostrel" key "cltxt-cache-dir"):
  // cached versions are named relative to it.
  std::string cache_dir;
  // The view's root directory: the automatic view root + "/" + the tag.
  std::string mountpoint;
  std::string socket_path;
};

class Kernel {
 public:
  // The kernel state under `root` (made absolute).
  explicit Kernel(const std::string& root);

  const korva::Root& root() const { return root_; }

  // The registered view `tag`; nullopt while it is not registered (or its
  // registration does not read).
  std::optional<View> view(const std::string& tag) const;
  bool registered(const std::string& tag) const;
  // The VOBs mounted in the view.
  std::vector<korva::VobEntry> mounts(const std::string& tag) const;

  // A result the inject file forces on the file call `call` ("fuse_read",
  // taken by an open for reading and then failing each read of that file;
  // "fuse_write", "fuse_unlink", "fuse_rename", "fuse_setattr"), taking one
  // use of it: nullopt when none is forced, else the errno value the call
  // fails with (0: it succeeds without effect). A line's status is given as
  // its errno.
  std::optional<int> forced(const char* call) const;

 private:
  korva::Root root_;
};

// The names of the path leading to a VOB root: its tag less a leading "/"
// or "\", split at "/" (empty names dropped).
std::vector<std::string> tagPath(const std::string& vob_tag);

// The value of `key` in the "key=value" lines of `path`; empty when there is
// none.
std::string keyValue(const std::string& path, const std::string& key);

}  // namespace korva_fuse
