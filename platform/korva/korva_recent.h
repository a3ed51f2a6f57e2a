// A thread's last few findings about the simulated kernel's state, each
// kept with the state watch's generation it was made in (korva_watch.h) and
// good while that lasts: a call reads the same few files and directories
// each time, and finds them here without a lock. The oldest gives way.
#pragma once

#include <array>
#include <cstddef>

namespace korva {

template <typename Entry, size_t kEntries>
class RecentFindings {
 public:
  // The first entry that `matches`, or null.
  template <typename Matches>
  const Entry* find(Matches matches) const {
    for (const Entry& entry : entries_) {
      if (matches(entry)) return &entry;
    }
    return nullptr;
  }

  // The entry to overwrite with a new finding.
  Entry& next() {
    Entry& entry = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    return entry;
  }

 private:
  std::array<Entry, kEntries> entries_{};
  size_t next_ = 0;
};

}  // namespace korva
