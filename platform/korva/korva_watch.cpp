#include "platform/korva/korva_watch.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/korva/korva_recent.h"

namespace korva {

namespace {

// A file written counts once its writer closes it: every call appends to
// the journal, which must not make a generation of its own.
constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                              IN_DELETE_SELF | IN_MOVE_SELF;

// Room for every event that may be queued, and for the longest one.
constexpr size_t kEventsRoom = 16 * (sizeof(inotify_event) + NAME_MAX + 1);
constexpr size_t kLongestEvent = sizeof(inotify_event) + NAME_MAX + 1;

thread_local int t_fresh_depth = 0;
thread_local uint64_t t_fresh_generation = 0;

// The directories this thread found watched last, each with the generation
// it was found in: while that lasts, the watch stands (a change to the
// directory, or its going, makes another generation).
struct RecentWatch {
  std::string dir;
  uint64_t generation = 0;
};
thread_local RecentFindings<RecentWatch, 4> t_watched;

bool watchedRecently(const std::string& dir, uint64_t generation) {
  return t_watched.find([&](const RecentWatch& w) { return w.generation == generation && w.dir == dir; }) != nullptr;
}

void keepWatched(const std::string& dir, uint64_t generation) { t_watched.next() = RecentWatch{dir, generation}; }

// A process that ends (killed, say) releases its descriptors highest
// first, and the release of one that watches waits for a grace period of
// the system, some milliseconds. The watch therefore lives on a low
// descriptor held for it since the program started, so that those opened
// later (a view's lock among them) are released without that wait.
class LowDescriptor {
 public:
  LowDescriptor() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    ::close(ends[1]);
    struct stat st;
    if (::fstat(ends[0], &st) != 0) {
      ::close(ends[0]);
      return;
    }
    fd_ = ends[0];
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }

  // Moves `fd` onto the held number, once, while that number is still the
  // one held here (nothing closed and reused it): the number `fd` has now.
  int adopt(int fd) {
    const int low = fd_;
    fd_ = -1;
    struct stat st;
    if (low < 0 || ::fstat(low, &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_) return fd;
    if (::dup3(fd, low, O_CLOEXEC) < 0) return fd;
    ::close(fd);
    return low;
  }

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

LowDescriptor g_low_descriptor;

}  // namespace

StateWatch::StateWatch() = default;

StateWatch& StateWatch::process() {
  static StateWatch* const watch = [] {
    auto* made = new StateWatch;
    // The child must not read the parent's events: it watches on its own.
    pthread_atfork([] { process().mu_.lock(); }, [] { process().mu_.unlock(); }, [] { process().forked(); });
    return made;
  }();
  return *watch;
}

void StateWatch::forked() {
  if (fd_ >= 0) {
    // The parent's events stay the parent's: the child watches with an
    // instance of its own on the same number.
    int own = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (own < 0 || ::dup3(own, fd_, O_CLOEXEC) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (own >= 0) ::close(own);
  }
  unusable_ = false;
  watched_.clear();
  ++generation_;
  mu_.unlock();
}

uint64_t StateWatch::generation() {
  if (t_fresh_depth > 0) return t_fresh_generation;
  std::lock_guard<std::mutex> lock(mu_);
  drain();
  return unusable_ ? 0 : generation_.load();
}

void StateWatch::drain() {
  if (fd_ < 0) return;
  // Asked first how much is queued: nearly always nothing, and the answer
  // costs the system less than a read that finds nothing (which waits in
  // line for the queue's wake-ups).
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued == 0) return;
  alignas(inotify_event) char events[kEventsRoom];
  for (;;) {
    ssize_t got = ::read(fd_, events, sizeof events);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // EAGAIN: nothing more
    ++generation_;
    for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(got);) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->mask & IN_IGNORED) {
        // The directory went: copies of its files are not kept until it
        // is watched again.
        for (auto it = watched_.begin(); it != watched_.end();)
          it = it->second.wd == event->wd ? watched_.erase(it) : std::next(it);
      }
      at += sizeof(inotify_event) + event->len;
    }
    // A read that left room for the longest event took every event queued.
    if (static_cast<size_t>(got) + kLongestEvent <= sizeof events) return;
  }
}

bool StateWatch::watch(const std::string& dir) {
  if (watchedRecently(dir, generation_.load())) return true;
  std::lock_guard<std::mutex> lock(mu_);
  if (unusable_) return false;
  const uint64_t now = generation_.load();
  auto it = watched_.find(dir);
  if (it != watched_.end() && it->second.verified == now) {
    keepWatched(dir, now);
    return true;
  }
  // After a change the path may name another directory: a directory
  // removed is reported only once nothing holds it (this process keeps
  // files of the state open), and one made in its place is another.
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    forget(it);
    return false;
  }
  if (it != watched_.end() && it->second.dev == st.st_dev && it->second.ino == st.st_ino) {
    it->second.verified = now;
    keepWatched(dir, now);
    return true;
  }
  if (fd_ < 0) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
      unusable_ = true;
      return false;
    }
    fd_ = g_low_descriptor.adopt(fd_);
  }
  // Watched after the stat: what is watched is that directory or a newer
  // one, whose files are read from now on; a newer one shows at the next
  // look after a change.
  int wd = ::inotify_add_watch(fd_, dir.c_str(), kChanges | IN_ONLYDIR);
  if (wd < 0) {
    forget(it);
    return false;
  }
  if (it != watched_.end() && it->second.wd != wd) ::inotify_rm_watch(fd_, it->second.wd);
  watched_[dir] = Watched{wd, st.st_dev, st.st_ino, now};
  keepWatched(dir, now);
  return true;
}

void StateWatch::forget(std::map<std::string, Watched>::iterator it) {
  if (it == watched_.end()) return;
  ::inotify_rm_watch(fd_, it->second.wd);
  watched_.erase(it);
}

StateWatch::Fresh::Fresh() {
  // Also within another scope: a call made under the state lock must see
  // what others did before it got the lock.
  const int depth = t_fresh_depth;
  t_fresh_depth = 0;
  t_fresh_generation = process().generation();
  t_fresh_depth = depth + 1;
}

StateWatch::Fresh::~Fresh() { --t_fresh_depth; }

}  // namespace korva
