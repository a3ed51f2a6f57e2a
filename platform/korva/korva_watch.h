// What a process may keep of the simulated kernel's state files between
// calls. Tests, tools and other processes change those files at any time
// (some by hand, without the state lock), so a copy is good only while
// nothing in its directory changed. The watch asks the system to report
// every such change (inotify, one instance for the process): each change
// seen makes a new generation, and a copy read in a watched directory is
// good while the generation it was read in lasts. A call then costs one
// read of the event queue (empty, usually) instead of a stat of each file.
//
// Changes that count: a name made, removed or renamed in a watched
// directory, a file written or closed after writing, the directory itself
// removed or moved. A file written in place counts once its writer closes
// it, so that the journal's appends (one a call) do not. A directory
// reached through a parent that is replaced by another of the same name is
// not seen to change: state directories are made and removed whole.
//
// Without inotify (the system's limits reached), generation() is 0 and
// nothing is kept. A forked child starts a watch of its own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace korva {

class StateWatch {
 public:
  // The process's watch; it lives until the process ends.
  static StateWatch& process();

  // The generation now: reads the changes reported since the last look,
  // unless a Fresh scope of this thread did so at its start. 0: nothing
  // may be kept.
  uint64_t generation();

  // Watches the directory `dir` from now on; after a change, the
  // directory the path names then. True when it is watched: copies of its
  // files read from now on are good while the generation lasts. False when
  // it cannot be (it does not exist, or no watch can be had).
  bool watch(const std::string& dir);

  // A scope within which this thread's looks at the generation take the
  // one read when the scope began: one call of the simulated kernel is one
  // moment of the state, whatever number of files it reads.
  class Fresh {
   public:
    Fresh();
    ~Fresh();
    Fresh(const Fresh&) = delete;
    Fresh& operator=(const Fresh&) = delete;
  };

  StateWatch(const StateWatch&) = delete;
  StateWatch& operator=(const StateWatch&) = delete;

 private:
  StateWatch();
  struct Watched {
    int wd;
    dev_t dev;
    ino_t ino;
    uint64_t verified;  // the generation in which the path last named it
  };

  // Reads the event queue; mu_ is held.
  void drain();
  // Stops watching `it`'s directory (none at the end); mu_ is held.
  void forget(std::map<std::string, Watched>::iterator it);
  void forked();

  std::mutex mu_;
  int fd_ = -1;
  bool unusable_ = false;  // inotify could not be had: nothing is kept
  std::atomic<uint64_t> generation_{1};
  std::map<std::string, Watched> watched_;
};

}  // namespace korva
