// The directory that holds the simulated kernel's state ($KORVA_ROOT), its
// lock and whole-file writes.
//
//   journal   one line per call, appended (korva_journal.h)
//   inject    forced results (korva_inject.h)
//   config    optional view roots and naming suffixes (korva_registry.h)
//   views/    registered views and their mounted VOBs (korva_registry.h)
//   view/     the automatic view root, unless config names another
//   lock      taken around every call that changes the state or whose result
//             is forced, so that calls from several threads and processes (the
//             daemon and the test that drives it) apply whole and in journal
//             order; a call that only reads the state needs it not (a process
//             orders its own calls with its ThreadLock)
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korva {

class Root {
 public:
  // $KORVA_ROOT, or /tmp/korva-<uid> when it is unset or empty.
  static Root fromEnvironment();

  explicit Root(std::string path);

  const std::string& path() const { return paths_->root; }
  // The state's files kept at the top: file("inject"), file("journal"),
  // file("config").
  const std::string& injectFile() const { return paths_->inject; }
  const std::string& journalFile() const { return paths_->journal; }
  const std::string& configFile() const { return paths_->config; }
  // 0, or EPERM (with a line on standard error, once) when this is the
  // default root and it exists as anything but a private directory of the
  // user (checkPrivateDirectory): anyone may make a name in /tmp.
  int checkDefault() const;
  // path() + "/" + name.
  std::string file(std::string_view name) const { return file({name}); }
  // path() and each of `names`, joined by "/".
  std::string file(std::initializer_list<std::string_view> names) const;

  // Creates the directory, "views" and "view" when missing (mode 0700 for
  // what it creates). 0, or the errno value of the failure.
  int prepare() const;

  // Exclusive lock of the state, across threads and processes; blocks until
  // taken. held() is false when the lock file could not be opened or locked.
  // The directories are made (prepare) when the lock file is first opened,
  // or opened again because the state was removed meanwhile.
  //
  // A process keeps one descriptor of each root's lock file: its threads
  // take a mutex of their own, then flock the shared descriptor. The
  // descriptor is opened again when the file was removed (checked once the
  // lock is held) and in a child process, which must not share its
  // parent's open file description.
  class Lock {
   public:
    explicit Lock(const Root& root);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const { return fd_ >= 0; }
    int error() const { return error_; }

    struct File;

   private:
    File* file_ = nullptr;
    int fd_ = -1;
    int error_ = 0;
  };

  // The lock of this process's threads alone, which Lock takes first: held
  // by the calls that change nothing, so that the process's calls still
  // journal and act in one order.
  class ThreadLock {
   public:
    explicit ThreadLock(const Root& root);
    ~ThreadLock();
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

   private:
    Lock::File* file_;
  };

 private:
  // Shared by the copies: every call copies its root a few times.
  struct Paths {
    std::string root, inject, journal, config;
    bool is_default = false;  // made by fromEnvironment from no $KORVA_ROOT
  };
  explicit Root(std::shared_ptr<const Paths> paths) : paths_(std::move(paths)) {}
  static std::shared_ptr<const Paths> pathsOf(std::string path, bool is_default);

  std::shared_ptr<const Paths> paths_;
};

// 0 when `path` is missing or a directory (not a symbolic link) owned by
// the process's user with no group or other write bit; EPERM otherwise, or
// the errno value of a failed lstat.
int checkPrivateDirectory(const std::string& path);

// Replaces `path` whole: writes a temporary file in the same directory
// (`path` + TEMP_MARK + the pid, made anew: O_EXCL and O_NOFOLLOW, one left
// by a process that ended is removed first), synchronises it and renames it
// over the old one. 0, or the errno value of the first failure (the old
// file is then unchanged).
constexpr const char* TEMP_MARK = ".tmp.";
int writeFileAtomically(const std::string& path, const std::string& content);
// Whether `name` is a temporary file of writeFileAtomically.
bool isTemporaryName(const std::string& name);

// Contents of `path`; nullopt with `*error` set to the errno value when it
// cannot be read (ENOENT when it does not exist).
std::optional<std::string> readWholeFile(const std::string& path, int* error);

// The same, from a copy this process kept (null, with `*error` set, when
// the file cannot be read): while the state watch's generation lasts
// (korva_watch.h; the file's absence is kept too), or, where the directory
// cannot be watched, while one stat shows the file unchanged: the same
// file (device and inode), size, modification and change times. A copy of the second kind is kept only of a file whose
// change time lay well before the read, so that a later change in place
// cannot leave all of those equal (file times advance by clock ticks); a
// replaced file is a new inode with its own times.
std::shared_ptr<const std::string> readWholeFileCached(const std::string& path, int* error);

// Appends `line` and a newline to `path` (created 0644 when missing) in one
// write. 0 or the errno value.
int appendLine(const std::string& path, std::string line);

// Writes `line` and a newline to `fd` in one write (whole on a descriptor
// opened O_APPEND). 0 or the errno value.
int writeLine(int fd, std::string line);

// mkdir of `path` and its missing parents, mode 0700. 0 or the errno value.
int makeDirectories(const std::string& path);

}  // namespace korva
