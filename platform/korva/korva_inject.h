// Forced results. The file $KORVA_ROOT/inject holds lines
//
//   <call> <result> [<count>]
//
// where <call> is a journal call name (korva_journal.h) or "open" (opening a
// view-root handle), <result> is the base status the kernel answers (0 is a
// success without effect) or "errno=<n>" for a call that itself fails with
// errno n (errno=4, EINTR, makes the caller repeat the call), and <count>
// (default 1) is how many calls it applies to. The first line that names a
// call decides its result and loses one from its count; a line that reaches 0
// is removed. A forced call does not act on the registry. Blank lines and
// lines starting with '#' are kept as they are; a malformed line is reported
// on standard error and otherwise ignored.
#pragma once

#include <optional>
#include <string>

#include "platform/korva/korva_root.h"

namespace korva {

// A forced result: either a call error (errno value) or a kernel status.
struct Forced {
  int call_error = 0;
  int status = 0;
};

class Injector {
 public:
  explicit Injector(Root root) : root_(std::move(root)) {}

  // Consumes one use of the first line that names `call`. The caller holds
  // the root's lock. nullopt when no line names it (or the file cannot be
  // read or rewritten: the call then runs normally).
  std::optional<Forced> take(const std::string& call) const;

  // Whether a well-formed line names `call`, or the file cannot be read for
  // another reason than its absence: a look without the lock, so that calls
  // that change nothing need not take it when nothing forces them.
  bool mayForce(const std::string& call) const;

  // Appends a line (for tests); takes the root's lock itself. `result` as in
  // the file: a status number or "errno=<n>". 0 or the errno value; EINVAL
  // for a malformed result or a count below 1.
  int add(const std::string& call, const std::string& result, int count = 1) const;

  const std::string& path() const { return root_.injectFile(); }

 private:
  Root root_;
};

}  // namespace korva
