// The simulator's journal: one line per kernel call, in the order the calls
// reached the kernel, for tests to read. A line is the call name and its
// arguments as encoded fields (korva_fields.h), for instance
//
//   register_view <view-tag> <view-uuid> <storage>
//   unregister_view <view-tag>
//   mount_vob <vob-tag> <vob-storage> <replica-uuid> <family-oid>
//   umount_vob <vob-tag> <replica-uuid>
//   inval_view <view-tag>
//   inval_obj <vob-uuid> <oid> <vob-op>
//   inval_name <vob-uuid> <directory-oid> <name>
//   get_xstat <path>            (lget_xstat when a final link is not followed)
//   view_root <type>
//   naming_suffix <type>
//
// Ids are in their 36-character text form. A call whose result was forced
// through the inject file is journaled like any other.
#pragma once

#include <string>
#include <vector>

#include "platform/korva/korva_root.h"

namespace korva {

class Journal {
 public:
  explicit Journal(Root root) : root_(std::move(root)) {}

  // Appends one line: the call name and its arguments. The caller holds the
  // root's lock. 0 or the errno value. The process keeps the journal open
  // (O_APPEND, one write per line) and opens it again when the path names
  // another file (removed or replaced meanwhile) or in a child process.
  int append(const std::vector<std::string>& call_and_arguments) const;
  // Appends several lines, in order, in one write.
  int append(const std::vector<std::vector<std::string>>& lines) const;

  // Every line so far, decoded into fields; empty when there is no journal.
  // Lines that do not decode are returned as a single field holding the raw line.
  std::vector<std::vector<std::string>> read() const;

  // Removes the journal (tests start afresh). 0 or the errno value.
  int clear() const;

  const std::string& path() const { return root_.journalFile(); }

 private:
  // Writes `text` (lines without their last newline) in one write.
  int appendText(std::string text) const;

  Root root_;
};

}  // namespace korva
