#include "platform/korva/korva_control.h"

#include <algorithm>

namespace korva {

namespace {

// Runs `act` under the state lock, unless the inject file forces the result of
// `name`. `journal_line` (when not empty) is appended first in either case.
template <typename Act>
Outcome runLocked(const Root& root, const std::string& name,
                  const std::vector<std::string>& journal_line, Act act) {
  Outcome outcome;
  if (int error = root.prepare()) {
    outcome.call_error = error;
    return outcome;
  }
  Root::Lock lock(root);
  if (!lock.held()) {
    outcome.call_error = lock.error();
    return outcome;
  }
  std::optional<Forced> forced = Injector(root).take(name);
  if (!journal_line.empty()) {
    // Tests rely on the journal: a call that cannot be journaled fails.
    if (int error = Journal(root).append(journal_line)) {
      outcome.call_error = error;
      return outcome;
    }
  }
  if (forced) {
    outcome.call_error = forced->call_error;
    outcome.status = forced->status;
    return outcome;
  }
  outcome.status = act();
  return outcome;
}

}  // namespace

Control::Control(Root root) : root_(std::move(root)) {}

template <typename Act>
Outcome Control::call(const std::vector<std::string>& journal_line, Act act) const {
  return runLocked(root_, journal_line.front(), journal_line, act);
}

Outcome Control::openHandle(int type) const {
  return runLocked(root_, "open", {}, [&] { return type == 0 || type == 1 ? 0 : kStatusInvalid; });
}

Outcome Control::viewRoot(int type, std::string* out) const {
  return call({"view_root", std::to_string(type)}, [&] {
    std::optional<std::string> root = registry().viewRoot(type);
    if (!root) return kStatusInvalid;
    *out = *root;
    return 0;
  });
}

Outcome Control::namingSuffix(int type, std::string* out) const {
  return call({"naming_suffix", std::to_string(type)}, [&] {
    std::optional<std::string> suffix = registry().namingSuffix(type);
    if (!suffix) return kStatusInvalid;
    *out = *suffix;
    return 0;
  });
}

Outcome Control::registerView(const ViewEntry& view) const {
  return call({"register_view", view.tag, view.uuid, view.storage_user}, [&] {
    Registry reg = registry();
    if (!Registry::validViewTag(view.tag)) return kStatusInvalid;
    std::optional<ViewEntry> existing = reg.view(view.tag);
    if (existing && existing->uuid != view.uuid) return kStatusExists;
    return reg.putView(view) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::unregisterView(const std::string& view_tag) const {
  return call({"unregister_view", view_tag}, [&] {
    Registry reg = registry();
    if (!reg.view(view_tag)) return kStatusNoView;
    return reg.removeView(view_tag) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::mountVob(const std::string& view_tag, const VobEntry& vob) const {
  return call({"mount_vob", vob.vob_tag, vob.vob_storage, vob.replica_uuid, vob.family_oid}, [&] {
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

Outcome Control::umountVob(const std::string& view_tag, const std::string& vob_tag,
                           const std::string& replica_uuid) const {
  return call({"umount_vob", vob_tag, replica_uuid}, [&] {
    Registry reg = registry();
    if (!reg.view(view_tag)) return kStatusNoView;
    std::vector<VobEntry> mounts = reg.mounts(view_tag);
    auto it = std::find_if(mounts.begin(), mounts.end(),
                           [&](const VobEntry& m) { return m.vob_tag == vob_tag; });
    if (it == mounts.end()) return kStatusInvalid;
    mounts.erase(it);
    return reg.putMounts(view_tag, mounts) == 0 ? 0 : kStatusInternal;
  });
}

Outcome Control::invalidateView(const std::string& view_root_dir) const {
  // Journaled by tag when the path names a view root, else by the path itself.
  std::optional<ViewEntry> view = registry().viewAtRoot(view_root_dir);
  return call({"inval_view", view ? view->tag : view_root_dir}, [&] {
    return registry().viewAtRoot(view_root_dir) ? 0 : kStatusNoView;
  });
}

Outcome Control::invalidateObject(const std::string& view_root_dir, const std::string& vob_uuid,
                                  const std::string& oid, uint32_t vob_op) const {
  return call({"inval_obj", vob_uuid, oid, std::to_string(vob_op)}, [&] {
    return registry().viewAtRoot(view_root_dir) ? 0 : kStatusNoView;
  });
}

Outcome Control::invalidateName(const std::string& view_root_dir, const std::string& vob_uuid,
                                const std::string& dir_oid, const std::string& name) const {
  return call({"inval_name", vob_uuid, dir_oid, name}, [&] {
    return registry().viewAtRoot(view_root_dir) ? 0 : kStatusNoView;
  });
}

Outcome Control::getXstat(const std::string& path, bool follow, XstatAnswer* answer) const {
  *answer = XstatAnswer();
  return call({follow ? "get_xstat" : "lget_xstat", path}, [&] {
    Registry reg = registry();
    std::optional<std::string> root = reg.viewRoot(1);
    if (path.empty() || path[0] != '/') return kStatusInvalid;
    if (!root || path.compare(0, root->size(), *root) != 0 || path.size() <= root->size() + 1 ||
        path[root->size()] != '/') {
      return kStatusNameNotFound;
    }
    std::string rest = path.substr(root->size() + 1);
    std::string tag = rest.substr(0, rest.find('/'));
    if (!reg.view(tag)) return kStatusNameNotFound;
    return kStatusNotSupported;
  });
}

}  // namespace korva
