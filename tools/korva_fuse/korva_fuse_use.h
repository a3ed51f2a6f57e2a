#pragma once
// Whether a VOB of the view korva_fuse serves is in use, as the kernel asks
// before it unmounts the VOB (platform/korva/korva_frontend.h): a file or
// directory of the VOB that the kernel holds open here, or a process whose
// working directory, root directory or open file lies in the VOB's
// directory under the mount.

#include <string>

#include "tools/korva_fuse/korva_fuse_fs.h"
#include "tools/korva_fuse/korva_fuse_view.h"

namespace korva_fuse {

class VobUse {
 public:
  // `mountpoint` is where the view is mounted, its links resolved (found
  // before the mount: resolving a path through the mount would ask the
  // mount itself).
  VobUse(const Kernel& kernel, const View& view, std::string mountpoint, Filesystem& fs);

  bool inUse(const std::string& vob_tag) const;

 private:
  const Kernel& kernel_;
  const std::string tag_;
  const std::string mountpoint_;
  Filesystem& fs_;
};

// Whether a process other than this one has its working directory, its
// root directory or an open file at `path` or beneath it.
bool processHolds(const std::string& path);

}  // namespace korva_fuse
