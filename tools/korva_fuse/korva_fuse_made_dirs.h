#pragma once
// The directories korva_fuse made itself (mkdir), and every name that may
// have come into each since: new names come into such a directory only
// through the mount, or by another route the daemon tells of with a
// notice. So a look-up of any other name there is answered missing without
// asking the daemon, while no notice came since the directory was made and
// the connection to the daemon is the same one.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "tools/korva_fuse/korva_fuse_nodes.h"

namespace korva_fuse {

class MadeDirs {
 public:
  // Directory `dir` was made, empty, by a call sent when `notices` notices
  // had been seen on connection `connection`.
  void made(Ino dir, uint64_t notices, uint64_t connection);
  // `name` may be in `dir` from now on: told before the call that may put
  // it there is sent.
  void mayHave(Ino dir, const std::string& name);
  // Whether `name` is surely not in `dir`, `notices` notices having been
  // seen on connection `connection` by now.
  bool lacks(Ino dir, const std::string& name, uint64_t notices, uint64_t connection);
  // The kernel forgot `dir`.
  void forget(Ino dir);

 private:
  // Names kept for one directory at most; beyond, it is no longer known.
  static constexpr size_t kMaxNames = 100000;
  struct Dir {
    std::unordered_set<std::string> names;
    uint64_t notices = 0;
    uint64_t connection = 0;
  };
  std::mutex mu_;
  std::unordered_map<Ino, Dir> dirs_;
};

}  // namespace korva_fuse
