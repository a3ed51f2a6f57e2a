// The simulated kernel's side of every call: each one takes the state lock,
// takes a forced result from the inject file if one names it, appends its
// journal line, and otherwise acts on the registry. The C calls of korva.h
// decode their records into these; tests may call them directly.
//
// Results: `call_error` is nonzero (an errno value) when the call itself
// failed (state directory unusable, or forced); otherwise `status` is the
// kernel's base status:
//   0     done
//   1002  no such registered view
//   1007  not supported by the simulator (see getXstat)
//   1008  the registry could not be written
//   1052  name not found
//   1067  already there: a VOB already mounted; a view tag registered for
//         another view uuid
//   1072  invalid argument: bad view tag, unknown view kind; a VOB that is not
//         mounted, on unmount
//   1088  busy: on unmount, a VOB that the view's front end (korva_frontend.h)
//         says is in use
//
// Calls that take a ChannelTable act on the message channels of this
// process too (korva_channel.h): registering opens the view's channel,
// unregistering closes it, and an invalidation queues a notice to every
// connection of the view's channel. Without one they leave channels alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_inject.h"
#include "platform/korva/korva_journal.h"
#include "platform/korva/korva_registry.h"
#include "platform/korva/korva_root.h"
#include "platform/korva/korva_xstat.h"
#include "platform/qel/qel.h"

namespace korva {

struct Outcome {
  int call_error = 0;
  int status = 0;
  bool forced = false;  // the inject file decided; nothing was done
};

// Base statuses the simulator answers with.
constexpr int kStatusNoHandle = QEL_ST_NO_MEMORY;
constexpr int kStatusNoView = QEL_ST_NOT_FOUND;
constexpr int kStatusNotSupported = QEL_ST_NOT_SUPPORTED;
constexpr int kStatusInternal = QEL_ST_INTERNAL;
constexpr int kStatusNameNotFound = QEL_ST_NO_ENTRY;
constexpr int kStatusExists = QEL_ST_EXISTS;
constexpr int kStatusInvalid = QEL_ST_INVALID;
constexpr int kStatusTooLong = QEL_ST_TOO_LONG;
constexpr int kStatusShutdown = QEL_ST_SHUTDOWN;
constexpr int kStatusBusy = QEL_ST_BUSY;

// How long an unmount waits for the answer of the view's front end.
constexpr int kFrontEndAnswerMs = 10000;

// Whether a call changes the simulated kernel's state or only reads it.
enum class Access { kRead, kChange };

// One invalidation of a batch (Control::invalidate): of the whole view, of
// a name in a directory, or of an object with its notice kind (2, 5, 6, 7).
struct Invalidation {
  enum class Target { kView, kName, kObject };
  Target target = Target::kView;
  std::string view_root_dir;
  qel_uuid_s vob_uuid = QEL_UUID_NULL;
  qel_oid_s oid = QEL_OID_NULL;  // the object, or the name's directory
  std::string name;
  uint32_t kind = 0;    // an object's
  uint32_t vob_op = 0;  // an object's, journaled
};

class Control {
 public:
  explicit Control(Root root = Root::fromEnvironment());

  // Opening a view-root handle of `type` (0 dynamic, 1 automatic). Not
  // journaled; forced through the call name "open".
  Outcome openHandle(int type) const;

  // The view root and the extended-naming suffix of a view kind.
  Outcome viewRoot(int type, std::string* out) const;
  Outcome namingSuffix(int type, std::string* out) const;
  // The root directory of view `view_tag` of kind `type` (the kind's view
  // root + "/" + the tag). Not journaled; forced through "view_root_type".
  Outcome viewRootDir(int type, const std::string& view_tag, std::string* out) const;

  // Registers a view (and opens its channel, 1008 when that fails). A tag
  // already registered with the same uuid is registered again (a
  // restarted daemon), keeping its mounts.
  Outcome registerView(const ViewEntry& view, ChannelTable* channels = nullptr) const;
  // Removes a view and its mounts (and closes its channel, also when the
  // registry no longer knows the view).
  Outcome unregisterView(const std::string& view_tag, ChannelTable* channels = nullptr) const;

  // Mounts a VOB in a registered view (1067 when its tag or replica is
  // mounted there already).
  Outcome mountVob(const std::string& view_tag, const VobEntry& vob) const;
  // Unmounts a VOB by its tag; the uuid is journaled only. A VOB in use
  // stays mounted (1088): the view's front end is asked before the state
  // lock is taken, so that no other call waits for its answer.
  // `answer_ms` bounds the wait for the front end's answer.
  Outcome umountVob(const std::string& view_tag, const std::string& vob_tag, const std::string& replica_uuid,
                    int answer_ms = kFrontEndAnswerMs) const;

  // Invalidations; `view_root_dir` is the view's root directory (the
  // automatic view root + "/" + the view tag). The simulator caches nothing:
  // they are journaled, checked and passed on as notices. An object's
  // notice carries `kind` (2, 5, 6 or 7), its journal line the operation.
  Outcome invalidateView(const std::string& view_root_dir, ChannelTable* channels = nullptr) const;
  Outcome invalidateObject(const std::string& view_root_dir, const qel_uuid_s& vob_uuid,
                           const qel_oid_s& oid, uint32_t kind, uint32_t vob_op,
                           ChannelTable* channels = nullptr) const;
  Outcome invalidateName(const std::string& view_root_dir, const qel_uuid_s& vob_uuid,
                         const qel_oid_s& dir_oid, const std::string& name,
                         ChannelTable* channels = nullptr) const;
  // The invalidations of `batch` as one call, each one's outcome as the
  // three above would give it, in order. While no inject line may force
  // any of them, they share one lock, one journal write of all their lines
  // and one pass of their notices to each channel; else each is made as a
  // call of its own, so that forced results are taken one by one. A call
  // that fails (`call_error`) ends the batch: those after it are not made
  // and get ECANCELED.
  std::vector<Outcome> invalidate(const std::vector<Invalidation>& batch, ChannelTable* channels = nullptr) const;

  // Status of a path in a view. The registry knows views and VOBs but not the
  // objects in them: a path inside a registered view is walked through the
  // view's channel (korva_xstat.h), after the call's lock is released, so
  // that the daemon's answers may make control calls meanwhile. A path
  // outside every registered view gives 1052. A forced 0 leaves `answer`
  // empty.
  Outcome getXstat(const std::string& path, bool follow, XstatAnswer* answer) const;

  // A result forced for the message call (inject call "lpc_message"), or
  // nullopt. Looks at the inject file only when there is one.
  std::optional<Outcome> forcedMessageResult() const;

  const Root& root() const { return root_; }
  Journal journal() const { return Journal(root_); }
  Injector injector() const { return Injector(root_); }
  Registry registry() const { return Registry(root_); }

 private:
  // Runs one call: lock, forced result or journal line and `act`.
  template <typename Act>
  Outcome call(const std::vector<std::string>& journal_line, Access access, Act act) const;

  Root root_;
};

}  // namespace korva
