#include "tools/korva_fuse/korva_fuse_made_dirs.h"

namespace korva_fuse {

void MadeDirs::made(Ino dir, uint64_t notices, uint64_t connection) {
  std::lock_guard<std::mutex> lock(mu_);
  Dir& made = dirs_[dir];
  made.names.clear();
  made.notices = notices;
  made.connection = connection;
}

void MadeDirs::mayHave(Ino dir, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = dirs_.find(dir);
  if (it == dirs_.end()) return;
  if (it->second.names.size() >= kMaxNames) {
    dirs_.erase(it);
    return;
  }
  it->second.names.insert(name);
}

bool MadeDirs::lacks(Ino dir, const std::string& name, uint64_t notices, uint64_t connection) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = dirs_.find(dir);
  if (it == dirs_.end()) return false;
  // A notice may tell of a name come by another route; a new connection
  // may be to a daemon that lost or rebuilt what it had.
  if (it->second.notices != notices || it->second.connection != connection) {
    dirs_.erase(it);
    return false;
  }
  return it->second.names.count(name) == 0;
}

void MadeDirs::forget(Ino dir) {
  std::lock_guard<std::mutex> lock(mu_);
  dirs_.erase(dir);
}

}  // namespace korva_fuse
