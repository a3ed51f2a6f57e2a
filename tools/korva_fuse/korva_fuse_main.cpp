// korva_fuse: the kernel side of a view that ordinary programs use.
//
//   korva_fuse VIEW-TAG [-f] [--kept SECONDS] [--missing SECONDS]
//
// Waits (at most 30 s) until view VIEW-TAG is registered with the kernel
// under $KORVA_ROOT and its message channel answers, mounts a FUSE file
// system on the view's root directory (the automatic view root + "/" + the
// tag) and serves it: one directory per mounted VOB, and every file-system
// call turned into a kernel request to the daemon that serves the view.
// Without -f it goes into the background once the view is mounted. The
// kernel keeps names and attributes found for --kept seconds (default 60:
// the daemon's notices drop what changes sooner) and names found missing
// for --missing seconds (default 1).
//
// Run as root, it serves every user (the kernel checking permissions) and
// acts as the view's owner (korva_fuse_owner.h): the owner of $KORVA_ROOT,
// who must own the view's storage too. It refuses to mount (one line on
// standard error, exit status 1) when the configuration that names the view
// root is neither root's nor the owner's alone, or when the view's root
// directory is not a directory the owner owns.
//
// Before the kernel unmounts a VOB it asks korva_fuse whether the VOB is in
// use (platform/korva/korva_frontend.h): korva_fuse answers from the files
// it holds open and from the processes working in the VOB.
//
// It ends, unmounting the view lazily, when the view is unregistered or on
// TERM, INT or HUP, with exit status 0; 1 when it cannot start (usage, no
// view within the time, a refusal, the mount failed).
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/korva/korva_frontend.h"
#include "platform/korva/korva_root.h"
#include "platform/korva/korva_socket.h"
#include "tools/korva_fuse/korva_fuse_fs.h"
#include "tools/korva_fuse/korva_fuse_owner.h"
#include "tools/korva_fuse/korva_fuse_use.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWaitForView = std::chrono::seconds(30);
constexpr auto kRegistryPoll = std::chrono::milliseconds(100);

int usage() {
  std::fprintf(stderr, "usage: korva_fuse VIEW-TAG [-f] [--kept SECONDS] [--missing SECONDS]\n");
  return 1;
}

// A time in seconds: a number from 0 to a day.
bool seconds(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  double read = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(read >= 0 && read <= 86400)) return false;
  *value = read;
  return true;
}

// The view once it is registered and its channel takes a connection.
std::optional<korva_fuse::View> waitForView(const korva_fuse::Kernel& kernel, const std::string& tag,
                                            Clock::time_point deadline) {
  for (;;) {
    std::optional<korva_fuse::View> view = kernel.view(tag);
    if (view) {
      int fd = korva::connectSeqpacket(view->socket_path);
      if (fd >= 0) {
        ::close(fd);
        return view;
      }
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The owner of the kernel state once its directory is there: 0 or an errno
// value.
int waitForOwner(const std::string& root, Clock::time_point deadline, korva_fuse::Owner* owner) {
  for (;;) {
    int error = korva_fuse::ownerOf(root, owner);
    if (error != ENOENT || Clock::now() >= deadline) return error;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Prepares the mount point: made when missing; a mount left by a
// korva_fuse that died is taken away first.
int prepareMountpoint(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOTCONN) ::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
  return korva::makeDirectories(path);
}

// Whether the mount may serve other users than the one mounting it: always
// when started by root, else when the fuse configuration allows it.
bool othersMayUse(bool privileged) {
  if (privileged) return true;
  FILE* config = std::fopen("/etc/fuse.conf", "re");
  if (config == nullptr) return false;
  bool allowed = false;
  char line[256];
  while (!allowed && std::fgets(line, sizeof line, config) != nullptr)
    allowed = std::strncmp(line, "user_allow_other", 16) == 0;
  std::fclose(config);
  return allowed;
}

// Goes into the background: the parent waits until the child says whether
// it is serving, and exits with that. Returns in the child the descriptor
// to say it on (-1 without a parent to tell).
int daemonize() {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    ::close(ready[1]);
    char result = 1;
    ssize_t n;
    do {
      n = ::read(ready[0], &result, 1);
    } while (n < 0 && errno == EINTR);
    ::_exit(n == 1 ? result : 1);
  }
  ::close(ready[0]);
  ::setsid();
  if (::chdir("/") != 0) {
    // The paths in use are absolute: the working directory matters not.
  }
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) ::close(null);
  }
  return ready[1];
}

void tellParent(int& fd, char result) {
  if (fd < 0) return;
  if (::write(fd, &result, 1) != 1) {
    // The parent went: nobody waits for the answer.
  }
  ::close(fd);
  fd = -1;
}

// Ends the service once, from whichever thread sees the reason first.
class Stopper {
 public:
  Stopper(korva_fuse::Filesystem& fs, fuse_session* session, std::string mountpoint)
      : fs_(fs), session_(session), mountpoint_(std::move(mountpoint)) {}

  void stop() {
    std::call_once(once_, [&] {
      fs_.stop();
      fuse_session_exit(session_);
      // The kernel ends the session's reads once the mount is gone.
      unmounted_ = ::umount2(mountpoint_.c_str(), MNT_DETACH) == 0;
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
      changed_.notify_all();
    });
  }
  bool unmounted() const { return unmounted_; }

  // Wakes the watcher early (the daemon's connection ended).
  void nudge() {
    std::lock_guard<std::mutex> lock(mu_);
    nudged_ = true;
    changed_.notify_all();
  }
  // Waits until stopped, nudged or `period` passed; true when stopped.
  bool wait(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, period, [&] { return stopped_ || finished_ || nudged_; });
    nudged_ = false;
    return stopped_ || finished_;
  }
  void finish() {
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = true;
    changed_.notify_all();
  }

 private:
  korva_fuse::Filesystem& fs_;
  fuse_session* session_;
  const std::string mountpoint_;
  std::once_flag once_;
  bool unmounted_ = false;
  std::mutex mu_;
  std::condition_variable changed_;
  bool stopped_ = false;
  bool finished_ = false;
  bool nudged_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::string tag;
  bool foreground = false;
  korva_fuse::CacheTimes times;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-f") {
      foreground = true;
    } else if (arg == "--kept" || arg == "--missing") {
      if (++i == argc || !seconds(argv[i], arg == "--kept" ? &times.kept : &times.missing)) return usage();
    } else if (tag.empty() && !arg.empty() && arg[0] != '-') {
      tag = arg;
    } else {
      return usage();
    }
  }
  if (tag.empty()) return usage();

  korva_fuse::Kernel kernel(korva::Root::fromEnvironment().path());
  const Clock::time_point deadline = Clock::now() + kWaitForView;
  // Started by root: the view's owner from now on, before any file of
  // theirs is read, and before any thread is made (each thread keeps the
  // identity of the one that made it).
  const bool privileged = ::geteuid() == 0;
  korva_fuse::Owner owner;
  // The kernel's FUSE device may be root's alone: opened while korva_fuse is.
  int fuse_fd = -1;
  if (privileged && (fuse_fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC)) < 0) {
    std::fprintf(stderr, "korva_fuse: /dev/fuse: %s\n", std::strerror(errno));
    return 1;
  }
  if (privileged) {
    int error = waitForOwner(kernel.root().path(), deadline, &owner);
    if (error == 0 && owner.uid != 0) error = korva_fuse::becomeOwner(owner);
    if (error != 0) {
      std::fprintf(stderr, "korva_fuse: %s: %s\n", kernel.root().path().c_str(), std::strerror(error));
      return 1;
    }
  }
  std::optional<korva_fuse::View> view = waitForView(kernel, tag, deadline);
  if (!view) {
    std::fprintf(stderr, "korva_fuse: view \"%s\" is not served under %s\n", tag.c_str(),
                 kernel.root().path().c_str());
    return 1;
  }
  korva_fuse::Owner storage_owner;
  if (int error = korva_fuse::ownerOf(view->storage, &storage_owner)) {
    std::fprintf(stderr, "korva_fuse: %s: %s\n", view->storage.c_str(), std::strerror(error));
    return 1;
  }
  if (privileged && storage_owner.uid != owner.uid) {
    std::fprintf(stderr,
                 "korva_fuse: %s: owned by user %u, not by the owner of %s (user %u): the view is not mounted\n",
                 view->storage.c_str(), storage_owner.uid, kernel.root().path().c_str(), owner.uid);
    return 1;
  }
  const std::string refusal = korva_fuse::configRefusal(kernel.root().configFile(), storage_owner.uid);
  if (!refusal.empty()) {
    std::fprintf(stderr, "korva_fuse: %s\n", refusal.c_str());
    return 1;
  }
  if (int error = prepareMountpoint(view->mountpoint)) {
    std::fprintf(stderr, "korva_fuse: %s: %s\n", view->mountpoint.c_str(), std::strerror(error));
    return 1;
  }
  // The mount point as processes' links under /proc name it, found while
  // nothing is mounted there.
  std::string resolved = view->mountpoint;
  if (char* real = ::realpath(view->mountpoint.c_str(), nullptr)) {
    resolved = real;
    std::free(real);
  }
  // The kernel's calls run as the owner of the view's storage.
  const uid_t kernel_user = storage_owner.uid;
  // Mounted on the directory just checked, through its descriptor, whatever
  // its name leads to by then (and unmounted so); fusermount, which mounts
  // for a user without root's rights, takes the path.
  int mountpoint_fd = -1;
  std::string why_not;
  if (korva_fuse::openMountpoint(view->mountpoint, storage_owner.uid, &mountpoint_fd, &why_not) != 0) {
    std::fprintf(stderr, "korva_fuse: %s\n", why_not.c_str());
    return 1;
  }
  const std::string mount_at = privileged ? "/proc/self/fd/" + std::to_string(mountpoint_fd) : view->mountpoint;

  // No thread exists before this point, so the process may go into the
  // background; every thread made later keeps the termination signals
  // blocked for the one that waits for them.
  int parent = foreground ? -1 : daemonize();
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<Stopper> stopper;
  // The daemon's end may be seen on the channel's threads before the
  // stopper exists: they find it through this.
  std::atomic<Stopper*> nudged{nullptr};
  korva_fuse::Filesystem fs(kernel, *view, times, [&] {
    if (Stopper* to_nudge = nudged.load()) to_nudge->nudge();
  });

  // Every user reaches the view, the kernel checking permissions; a user
  // other than root may open the mount to others only where fuse allows.
  std::string options = "default_permissions,fsname=korva,subtype=korva";
  if (othersMayUse(privileged)) options += ",allow_other";
  char* fuse_argv[] = {argv[0], const_cast<char*>("-o"), &options[0]};
  fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
  fuse_session* session = fuse_session_new(&args, &korva_fuse::Filesystem::operations(),
                                           sizeof(fuse_lowlevel_ops), &fs);
  fuse_opt_free_args(&args);
  // Started by root, korva_fuse mounts on its own (the session then takes
  // the device it opened); otherwise the library has fusermount mount.
  int mount_error = session == nullptr ? EINVAL : 0;
  if (mount_error == 0 && privileged) {
    mount_error = korva_fuse::mountOn(fuse_fd, mountpoint_fd);
    if (mount_error == 0 && fuse_session_mount(session, ("/dev/fd/" + std::to_string(fuse_fd)).c_str()) != 0) {
      ::umount2(mount_at.c_str(), MNT_DETACH);
      mount_error = EIO;
    }
  } else if (mount_error == 0 && fuse_session_mount(session, mount_at.c_str()) != 0) {
    mount_error = EIO;
  }
  if (mount_error != 0) {
    std::fprintf(stderr, "korva_fuse: cannot mount %s: %s\n", view->mountpoint.c_str(), std::strerror(mount_error));
    if (session != nullptr) fuse_session_destroy(session);
    tellParent(parent, 1);
    return 1;
  }
  if (fs.channel().connect() != 0) {
    // The daemon went meanwhile: served once it is back, or ended by the
    // registry's watch.
  }
  fs.attach(session);
  stopper.reset(new Stopper(fs, session, mount_at));
  nudged.store(stopper.get());
  // The kernel asks, before it unmounts a VOB, whether the VOB is in use.
  korva_fuse::VobUse use(kernel, *view, resolved, fs);
  korva::VobUseService use_service(
      korva::frontendSocketPath(kernel.root(), tag), [&](const std::string& vob_tag) { return use.inUse(vob_tag); },
      kernel_user);
  if (int error = use_service.start()) {
    std::fprintf(stderr, "korva_fuse: cannot answer whether a VOB is in use: %s\n", std::strerror(error));
  }

  std::thread signal_waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    if (sig != SIGUSR1) stopper->stop();
  });
  // The registry says when the view goes; the end of the daemon's
  // connection is the moment to look at once. A daemon back serves at once:
  // the connection made to it drops what the kernel kept meanwhile.
  std::thread watcher([&] {
    while (!stopper->wait(kRegistryPoll)) {
      if (!kernel.registered(tag)) {
        stopper->stop();
      } else {
        fs.channel().reconnect();
      }
    }
  });
  tellParent(parent, 0);

  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 16);
  int result = fuse_session_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);

  stopper->finish();
  use_service.stop();
  watcher.join();
  pthread_kill(signal_waiter.native_handle(), SIGUSR1);
  signal_waiter.join();
  fs.stop();
  // The session's unmount also releases what it holds; when the mount is
  // gone already, its complaint about that says nothing.
  int saved = stopper->unmounted() ? ::dup(STDERR_FILENO) : -1;
  int null = saved >= 0 ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  if (null >= 0) ::dup2(null, STDERR_FILENO);
  fuse_session_unmount(session);
  if (saved >= 0) ::dup2(saved, STDERR_FILENO);
  for (int fd : {saved, null})
    if (fd >= 0) ::close(fd);
  fuse_session_destroy(session);
  return result == 0 || stopper->unmounted() ? 0 : 1;
}
