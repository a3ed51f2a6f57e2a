// Crash tests of the engine: an I/O table that can end the process at any
// write or synchronisation, optionally losing what a power failure would
// lose; running a piece of work in a child process; and saving and
// restoring the files of a directory between runs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kesto_test {

// Replaces the engine's I/O table while it lives. Every write, every
// synchronisation and every rename is an event, numbered from 1; a trigger
// may end the process (with exit status kCrashExit, no clean-up) before or
// after any event.
//
// PROCESS: each write reaches its file at once; a crash only ends the
// process, as a kill would. LOSE_ALL and LOSE_SOME: a write stays in memory
// (reads see it) until its file is synchronised; a crash keeps none of the
// unsynchronised writes, or a random part of them, as a machine that loses
// power would. A rename is kept in every mode.
class CrashIo {
 public:
  enum Mode { PROCESS, LOSE_ALL, LOSE_SOME };
  enum Kind { OPEN, WRITE, SYNC, RENAME };
  struct Event {
    Kind kind;
    int number;  // 0 for an open
    std::string path;  // for a rename, the old name
    off_t offset;
    size_t length;
  };
  // Called before (after == false) and after every numbered event: true
  // ends the process there.
  using Trigger = std::function<bool(const Event &, bool after)>;

  static constexpr int kCrashExit = 77;

  explicit CrashIo(Mode mode, unsigned seed = 1);
  // Restores the plain table; writes still in memory reach their files, as
  // they would when the process ends normally.
  ~CrashIo();
  CrashIo(const CrashIo &) = delete;
  CrashIo &operator=(const CrashIo &) = delete;

  void crash_when(Trigger trigger);
  // The nth event does not happen.
  void crash_before(int nth);
  // Ends the process here, between two events, as the mode says: LOSE_ALL
  // drops every write not yet synchronised (a power failure at a point the
  // test chooses), LOSE_SOME keeps a random part of them, PROCESS keeps
  // them all (a kill).
  [[noreturn]] void crash_now();
  const std::vector<Event> &events() const;
  int event_count() const;
};

// Runs `body` in a child process; its result becomes the exit status.
// Returns the child's wait status. A child still running after `seconds`
// is killed (the result then shows SIGKILL or SIGALRM). The child's
// standard error goes to `stderr_path` when one is given.
int run_in_child(const std::function<int()> &body, int seconds = 60, const std::string &stderr_path = "");

// Describes a wait status for test messages.
std::string describe_status(int status);

// The regular files of a directory and their contents.
using FileSet = std::map<std::string, std::vector<unsigned char>>;
FileSet save_files(const std::string &dir);
// Makes the directory hold exactly `files` (other regular files removed).
void restore_files(const std::string &dir, const FileSet &files);

bool ends_with(const std::string &text, const std::string &tail);

}  // namespace kesto_test
