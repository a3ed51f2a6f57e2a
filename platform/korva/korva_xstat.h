// The status query of a path in a view, answered as a kernel answers it:
// through the view's message channel, by the daemon that serves the view.
// The VOB is found by its tag among the view's mounts; a Root request (105)
// gives its root directory, Lookups (107) walk the rest of the path, and a
// symbolic link met on the way (the last component's only when it is to be
// followed) is read (Readlink, 29) and its target walked instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/korva/korva_registry.h"
#include "platform/qel/qel.h"
#include "xdr/ostrelxdr_view.h"

namespace korva {

// What the query finds: the object's status, its object oid, the VOB uuid of
// its handle (also given as the replica uuid) and its name state.
struct XstatAnswer {
  view_vstat_t vstat{};
  qel_oid_s object_oid = QEL_OID_NULL;
  qel_uuid_s vob_uuid = QEL_UUID_NULL;
  qel_uuid_s replica_uuid = QEL_UUID_NULL;
  uint32_t word = 0;
};

// A path inside a registered view, with what the registry says of the view.
struct XstatPlan {
  std::string view_root_dir;  // automatic view root + "/" + tag
  std::string socket_path;
  qel_uuid_s view_uuid = QEL_UUID_NULL;
  std::vector<VobEntry> mounts;
  std::string rest;  // the path after the view's root directory
};

// Walks `plan` through the channel. 0, or:
//   1007  no channel is open for the view, or a link leads out of it
//   1008  the channel failed, a reply did not decode, or a reply (any single
//         one) did not come within the time limit
//   1052  the path names no object of a mounted VOB
//   1083  more than kMaxLinks symbolic links
//   the status of the Root, Lookup or Readlink that failed.
int resolveXstat(const XstatPlan& plan, bool follow, XstatAnswer* answer);

constexpr int kMaxLinks = 40;

// How long the query waits for any one reply: 30 s unless a test sets less.
void setXstatTimeout(int milliseconds);
int xstatTimeout();

}  // namespace korva
