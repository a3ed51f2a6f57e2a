#pragma once
// The files that hold objects' contents, as the daemon names them: a path
// relative to the view's storage (a view-private file's container) or to
// its cleartext cache (a cached version). The storage is its owner's to
// change, so a name there may have been replaced with a link or a special
// file: a contents file is opened beneath its directory without following
// any link, and only when it is a regular file; anything else is refused
// with EIO and one line on standard error, never opened for reading or
// writing.

#include <sys/stat.h>

#include <string>

namespace korva_fuse {

// A contents file: which directory it lies beneath and its path there.
struct ContentsFile {
  bool cached = false;
  std::string relative;
};

// How a path is followed beneath a directory: by openat2 (which the kernel
// may lack), or by a walk of one name at a time.
enum class Resolve { kAny, kWalk };

// Opens `relative` beneath the directory `dir` as O_PATH, following no link
// on the way (also not the last name) and never leaving the directory
// ("..", an absolute path). 0 with `*fd`, ELOOP for a link, EXDEV for a
// path that leaves, or the errno value of the failure. kAny uses openat2
// and walks only where the kernel lacks it.
int openPathBeneath(int dir, const std::string& relative, Resolve how, int* fd);

class Contents {
 public:
  Contents(std::string storage, std::string cache_dir);

  // Opens `file` with `access` (O_RDONLY, O_WRONLY or O_RDWR): 0 with
  // `*fd`, EIO when it is not a regular file or a link is on its way, or
  // the errno value of the failure (ENOENT when it is not there).
  int open(const ContentsFile& file, int access, int* fd) const;
  // The status of `file`, on the same terms as open().
  int status(const ContentsFile& file, struct stat* st) const;

  // The directory `file` lies beneath, and its full path, for messages.
  const std::string& directory(const ContentsFile& file) const { return file.cached ? cache_dir_ : storage_; }
  std::string shown(const ContentsFile& file) const { return directory(file) + "/" + file.relative; }

  // For tests: how paths are followed (kAny by default).
  void resolveBy(Resolve how) { how_ = how; }

 private:
  // An O_PATH descriptor of the regular file `file`, with its status.
  int regular(const ContentsFile& file, int* fd, struct stat* st) const;

  const std::string storage_;
  const std::string cache_dir_;
  Resolve how_ = Resolve::kAny;
};

}  // namespace korva_fuse
