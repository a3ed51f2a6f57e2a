#include "platform/korva/korva_control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <utility>

#include "platform/korva/korva_fields.h"
#include "platform/korva/korva_frontend.h"
#include "platform/korva/korva_message.h"
#include "platform/korva/korva_recent.h"
#include "platform/korva/korva_watch.h"

namespace korva {

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The calls that this thread found unforced, with the state directory
// there and watched, each with the generation it was found in: while that
// lasts, neither the inject file nor the directory changed (both lie in
// the watched directory).
struct RecentUnforced {
  std::string root;
  std::string call;
  uint64_t generation = 0;
};
thread_local RecentFindings<RecentUnforced, 8> t_unforced;

// Whether no inject line may force `call` and the state directory is there,
// as this call's moment of the state watch sees it (a stat where it cannot
// be watched).
bool unforcedWithState(const Root& root, const std::string& call) {
  StateWatch& watch = StateWatch::process();
  const uint64_t generation = watch.generation();
  if (generation != 0 && t_unforced.find([&](const RecentUnforced& u) {
        return u.generation == generation && u.call == call && u.root == root.path();
      }) != nullptr) {
    return true;
  }
  // Watched before the inject file is read: a change after the read makes
  // another generation.
  if (generation != 0 && watch.watch(root.path())) {
    if (Injector(root).mayForce(call)) return false;
    t_unforced.next() = RecentUnforced{root.path(), call, generation};
    return true;
  }
  return !Injector(root).mayForce(call) && isDirectory(root.path());
}

// Runs `act` as a call that only reads the state, under this process's
// lock alone, when no inject line may force any of the calls `names` and
// the state directory is there, as one moment of the state watch: the
// registry's files are replaced whole, so a reader sees one version or the
// other, and the journal takes each write whole. False, with nothing done,
// when any may be forced: the call then takes the state lock.
template <typename Act>
bool runUnforced(const Root& root, const std::vector<const char*>& names, Act act) {
  StateWatch::Fresh moment;
  for (const char* name : names) {
    if (!unforcedWithState(root, name)) return false;
  }
  Root::ThreadLock lock(root);
  act();
  return true;
}

// Appends `journal_line` (when not empty) for `outcome`'s call: false, with
// the call failed, when it cannot be (tests rely on the journal).
bool journaled(const Root& root, const std::vector<std::string>& journal_line, Outcome* outcome) {
  if (journal_line.empty()) return true;
  outcome->call_error = Journal(root).append(journal_line);
  return outcome->call_error == 0;
}

// Runs `act` as one call named `name`, appending `journal_line` (when not
// empty) first. A call that changes the state, or whose result the inject
// file may force, runs under the state lock, where a forced result is
// taken instead of acting. A call that only reads the state (kRead) and
// that no inject line names runs as runUnforced() runs it.
template <typename Act>
Outcome runLocked(const Root& root, const std::string& name, const std::vector<std::string>& journal_line,
                  Access access, Act act) {
  Outcome outcome;
  if ((outcome.call_error = root.checkDefault()) != 0) return outcome;
  if (access == Access::kRead && runUnforced(root, {name.c_str()}, [&] {
        if (journaled(root, journal_line, &outcome)) outcome.status = act();
      })) {
    return outcome;
  }
  Root::Lock lock(root);
  if (!lock.held()) {
    outcome.call_error = lock.error();
    return outcome;
  }
  // What other processes did before the lock came is seen now.
  StateWatch::Fresh moment;
  std::optional<Forced> forced = Injector(root).take(name);
  if (!journaled(root, journal_line, &outcome)) return outcome;
  if (forced) {
    outcome.call_error = forced->call_error;
    outcome.status = forced->status;
    outcome.forced = true;
    return outcome;
  }
  outcome.status = act();
  return outcome;
}

// The mount of `vob_tag` among `mounts`, or their end.
std::vector<VobEntry>::const_iterator findMount(const std::vector<VobEntry>& mounts, const std::string& vob_tag) {
  return std::find_if(mounts.begin(), mounts.end(), [&](const VobEntry& m) { return m.vob_tag == vob_tag; });
}

// Queues `notice` to the connections of the channel of the view at
// `view_root_dir`, when this process serves one.
void notify(const Root& root, ChannelTable* channels, const std::string& view_tag, const Notice& notice) {
  if (channels == nullptr) return;
  std::shared_ptr<Channel> channel = channels->find(ChannelTable::key(root, view_tag));
  // A notice nobody would read is not made.
  if (channel && channel->connectionCount() != 0) channel->broadcast(makeNoticePacket(notice));
}

const char* callName(Invalidation::Target target) {
  switch (target) {
    case Invalidation::Target::kView: return "inval_view";
    case Invalidation::Target::kName: return "inval_name";
    case Invalidation::Target::kObject: return "inval_obj";
  }
  return "";
}

// The notices of one view's channel gathered from a batch, queued together;
// none are made for a channel that no one is connected to.
struct PendingNotices {
  std::string view_tag;
  std::shared_ptr<Channel> channel;
  std::vector<std::vector<unsigned char>> packets;
};

}  // namespace

Control::Control(Root root) : root_(std::move(root)) {}

template <typename Act>
Outcome Control::call(const std::vector<std::string>& journal_line, Access access, Act act) const {
  return runLocked(root_, journal_line.front(), journal_line, access, act);
}

Outcome Control::openHandle(int type) const {
  return runLocked(root_, "open", {}, Access::kRead, [&] { return type == 0 || type == 1 ? 0 : kStatusInvalid; });
}

Outcome Control::viewRoot(int type, std::string* out) const {
  return call({"view_root", std::to_string(type)}, Access::kRead, [&] {
    std::optional<std::string> root = registry().viewRoot(type);
    if (!root) return kStatusInvalid;
    *out = *root;
    return 0;
  });
}

Outcome Control::namingSuffix(int type, std::string* out) const {
  return call({"naming_suffix", std::to_string(type)}, Access::kRead, [&] {
    std::optional<std::string> suffix = registry().namingSuffix(type);
    if (!suffix) return kStatusInvalid;
    *out = *suffix;
    return 0;
  });
}

Outcome Control::viewRootDir(int type, const std::string& view_tag, std::string* out) const {
  return runLocked(root_, "view_root_type", {}, Access::kRead, [&] {
    std::optional<std::string> root = registry().viewRoot(type);
    if (!root || !Registry::validViewTag(view_tag)) return kStatusInvalid;
    *out = *root + "/" + view_tag;
    return 0;
  });
}

Outcome Control::registerView(const ViewEntry& view, ChannelTable* channels) const {
  return call({"register_view", view.tag, view.uuid, view.storage_user}, Access::kChange, [&] {
    Registry reg = registry();
    if (!Registry::validViewTag(view.tag)) return kStatusInvalid;
    std::optional<ViewEntry> existing = reg.view(view.tag);
    if (existing && existing->uuid != view.uuid) return kStatusExists;
    if (channels != nullptr) {
      // Under the lock: no other registration of the tag replaces the socket meanwhile.
      if (makeDirectories(reg.viewDir(view.tag)) != 0 ||
          channels->open(ChannelTable::key(root_, view.tag), reg.socketPath(view.tag)) != 0) {
        return kStatusInternal;
      }
    }
    if (reg.putView(view) == 0) return 0;
    if (channels != nullptr) channels->close(ChannelTable::key(root_, view.tag));
    return kStatusInternal;
  });
}

Outcome Control::unregisterView(const std::string& view_tag, ChannelTable* channels) const {
  return call({"unregister_view", view_tag}, Access::kChange, [&] {
    if (channels != nullptr) channels->close(ChannelTable::key(root_, view_tag));
    Registry reg = registry();
    if (!reg.view(view_tag)) return kStatusNoView;
    return reg.removeView(view_tag) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::mountVob(const std::string& view_tag, const VobEntry& vob) const {
  return call({"mount_vob", vob.vob_tag, vob.vob_storage, vob.replica_uuid, vob.family_oid}, Access::kChange, [&] {
    Registry reg = registry();
    if (!reg.view(view_tag)) return kStatusNoView;
    if (vob.vob_tag.empty()) return kStatusInvalid;
    std::vector<VobEntry> mounts = reg.mounts(view_tag);
    bool mounted = std::any_of(mounts.begin(), mounts.end(), [&](const VobEntry& m) {
      return m.vob_tag == vob.vob_tag || m.replica_uuid == vob.replica_uuid;
    });
    if (mounted) return kStatusExists;
    mounts.push_back(vob);
    return reg.putMounts(view_tag, mounts) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::umountVob(const std::string& view_tag, const std::string& vob_tag, const std::string& replica_uuid,
                           int answer_ms) const {
  // A VOB that programs still use stays mounted, as a kernel keeps it: its
  // users are not cut off. The front end is asked before the state lock is
  // taken: its answer may take seconds, and every call that changes the
  // state waits for that lock. The answer may be stale by the time the lock
  // comes, as it could be with the question asked under the lock (the front
  // end serves programs without it): a program that starts to use the VOB
  // in between finds it unmounted as after a lazy unmount, what it holds
  // open still served, names through the view no longer leading into it.
  // Asked only while the registry shows the VOB mounted.
  VobUse use = VobUse::kUnknown;
  const Registry before = registry();
  const std::vector<VobEntry> mounted_before = before.view(view_tag) ? before.mounts(view_tag) : std::vector<VobEntry>();
  if (findMount(mounted_before, vob_tag) != mounted_before.end()) {
    use = askVobUse(root_, view_tag, vob_tag, answer_ms);
  }
  return call({"umount_vob", vob_tag, replica_uuid}, Access::kChange, [&] {
    Registry reg = registry();
    if (!reg.view(view_tag)) return kStatusNoView;
    std::vector<VobEntry> mounts = reg.mounts(view_tag);
    auto it = findMount(mounts, vob_tag);
    if (it == mounts.end()) return kStatusInvalid;
    if (use == VobUse::kInUse) return kStatusBusy;
    mounts.erase(it);
    return reg.putMounts(view_tag, mounts) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::invalidateView(const std::string& view_root_dir, ChannelTable* channels) const {
  // Journaled by tag when the path names a view root, else by the path itself.
  std::optional<std::string> view = registry().viewTagAtRoot(view_root_dir);
  return call({"inval_view", view ? *view : view_root_dir}, Access::kRead, [&] {
    std::optional<std::string> now = registry().viewTagAtRoot(view_root_dir);
    if (!now) return kStatusNoView;
    notify(root_, channels, *now, Notice());
    return 0;
  });
}

Outcome Control::invalidateObject(const std::string& view_root_dir, const qel_uuid_s& vob_uuid,
                                  const qel_oid_s& oid, uint32_t kind, uint32_t vob_op,
                                  ChannelTable* channels) const {
  return call({"inval_obj", idText(vob_uuid), idText(oid), std::to_string(vob_op)}, Access::kRead, [&] {
    std::optional<std::string> view = registry().viewTagAtRoot(view_root_dir);
    if (!view) return kStatusNoView;
    notify(root_, channels, *view, Notice{kind, vob_uuid, oid, std::string()});
    return 0;
  });
}

Outcome Control::invalidateName(const std::string& view_root_dir, const qel_uuid_s& vob_uuid,
                                const qel_oid_s& dir_oid, const std::string& name,
                                ChannelTable* channels) const {
  return call({"inval_name", idText(vob_uuid), idText(dir_oid), name}, Access::kRead, [&] {
    std::optional<std::string> view = registry().viewTagAtRoot(view_root_dir);
    if (!view) return kStatusNoView;
    notify(root_, channels, *view, Notice{kNoticeName, vob_uuid, dir_oid, name});
    return 0;
  });
}

std::vector<Outcome> Control::invalidate(const std::vector<Invalidation>& batch, ChannelTable* channels) const {
  std::vector<Outcome> outcomes(batch.size());
  if (batch.empty()) return outcomes;
  // The batch ends at item `from`, whose call failed with `error` (0: at
  // the one before): the rest are not made.
  auto failedFrom = [&](size_t from, int error) {
    for (size_t i = from; i < outcomes.size(); ++i) {
      outcomes[i].call_error = i == from && error != 0 ? error : ECANCELED;
    }
    return outcomes;
  };
  auto oneByOne = [&] {
    for (size_t i = 0; i < batch.size(); ++i) {
      const Invalidation& item = batch[i];
      switch (item.target) {
        case Invalidation::Target::kView:
          outcomes[i] = invalidateView(item.view_root_dir, channels);
          break;
        case Invalidation::Target::kName:
          outcomes[i] = invalidateName(item.view_root_dir, item.vob_uuid, item.oid, item.name, channels);
          break;
        case Invalidation::Target::kObject:
          outcomes[i] =
              invalidateObject(item.view_root_dir, item.vob_uuid, item.oid, item.kind, item.vob_op, channels);
          break;
      }
      if (outcomes[i].call_error != 0) return failedFrom(i + 1, 0);
    }
    return outcomes;
  };
  if (int error = root_.checkDefault()) return failedFrom(0, error);
  // The calls the batch makes, each named once.
  std::vector<const char*> names;
  for (const Invalidation& item : batch) {
    const char* name = callName(item.target);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  const bool together = runUnforced(root_, names, [&] {
    Registry reg = registry();
    // The view tag of each root directory named, looked up once.
    // (Room for every item: a reference handed out stays good.)
    std::vector<std::pair<std::string, std::optional<std::string>>> tags;
    tags.reserve(batch.size());
    auto tagAt = [&](const std::string& dir) -> const std::optional<std::string>& {
      for (const auto& known : tags) {
        if (known.first == dir) return known.second;
      }
      tags.emplace_back(dir, reg.viewTagAtRoot(dir));
      return tags.back().second;
    };
    std::vector<std::vector<std::string>> lines;
    lines.reserve(batch.size());
    for (const Invalidation& item : batch) {
      switch (item.target) {
        case Invalidation::Target::kView: {
          const std::optional<std::string>& view = tagAt(item.view_root_dir);
          lines.push_back({"inval_view", view ? *view : item.view_root_dir});
          break;
        }
        case Invalidation::Target::kName:
          lines.push_back({"inval_name", idText(item.vob_uuid), idText(item.oid), item.name});
          break;
        case Invalidation::Target::kObject:
          lines.push_back({"inval_obj", idText(item.vob_uuid), idText(item.oid), std::to_string(item.vob_op)});
          break;
      }
    }
    if (int error = Journal(root_).append(lines)) {
      failedFrom(0, error);
      return;
    }
    std::vector<PendingNotices> pending;
    for (size_t i = 0; i < batch.size(); ++i) {
      const Invalidation& item = batch[i];
      const std::optional<std::string>& view = tagAt(item.view_root_dir);
      if (!view) {
        outcomes[i].status = kStatusNoView;
        continue;
      }
      if (channels == nullptr) continue;
      Notice notice;
      if (item.target == Invalidation::Target::kName) {
        notice = Notice{kNoticeName, item.vob_uuid, item.oid, item.name};
      }
      if (item.target == Invalidation::Target::kObject) notice = Notice{item.kind, item.vob_uuid, item.oid, {}};
      auto it = std::find_if(pending.begin(), pending.end(),
                             [&](const PendingNotices& p) { return p.view_tag == *view; });
      if (it == pending.end()) {
        std::shared_ptr<Channel> channel = channels->find(ChannelTable::key(root_, *view));
        if (channel && channel->connectionCount() == 0) channel.reset();
        it = pending.insert(pending.end(), PendingNotices{*view, std::move(channel), {}});
      }
      if (it->channel) it->packets.push_back(makeNoticePacket(notice));
    }
    for (const PendingNotices& notices : pending) {
      if (notices.channel) notices.channel->broadcast(notices.packets);
    }
  });
  if (together) return outcomes;
  return oneByOne();
}

Outcome Control::getXstat(const std::string& path, bool follow, XstatAnswer* answer) const {
  *answer = XstatAnswer();
  std::optional<XstatPlan> plan;
  Outcome outcome = call({follow ? "get_xstat" : "lget_xstat", path}, Access::kRead, [&] {
    Registry reg = registry();
    std::optional<std::string> root = reg.viewRoot(1);
    if (path.empty() || path[0] != '/') return kStatusInvalid;
    if (!root || path.compare(0, root->size(), *root) != 0 || path.size() <= root->size() + 1 ||
        path[root->size()] != '/') {
      return kStatusNameNotFound;
    }
    std::string rest = path.substr(root->size() + 1);
    size_t slash = rest.find('/');
    std::string tag = rest.substr(0, slash);
    std::optional<ViewEntry> view = reg.view(tag);
    if (!view) return kStatusNameNotFound;
    XstatPlan p;
    p.view_root_dir = *root + "/" + tag;
    p.socket_path = reg.socketPath(tag);
    if (qel_str_to_uuid(view->uuid.c_str(), &p.view_uuid) != 0) return kStatusInternal;
    p.mounts = reg.mounts(tag);
    p.rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    plan = std::move(p);
    return 0;
  });
  if (plan && outcome.call_error == 0 && outcome.status == 0 && !outcome.forced) {
    outcome.status = resolveXstat(*plan, follow, answer);
  }
  return outcome;
}

std::optional<Outcome> Control::forcedMessageResult() const {
  // Checked on every message call: no lock unless a line names the call.
  if (!injector().mayForce("lpc_message")) return std::nullopt;
  Outcome outcome = runLocked(root_, "lpc_message", {}, Access::kRead, [] { return 0; });
  if (!outcome.forced && outcome.call_error == 0) return std::nullopt;
  return outcome;
}

}  // namespace korva
