// The C calls of korva.h: handles, decoding of the query and command records,
// and the mapping of control outcomes to call results.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/imsg/imsg_verid.h"
#include "platform/korva/korva.h"
#include "platform/korva/korva_channel.h"
#include "platform/korva/korva_control.h"
#include "platform/korva/korva_fields.h"
#include "platform/korva/korva_message.h"

struct korva_view_root {
  int type;
};

namespace {

using korva::idText;

std::atomic<int> g_open_handles{0};

korva::ChannelTable* channels() { return &korva::ChannelTable::process(); }

std::string textOf(const korva_text& t) {
  if (t.text == nullptr) return std::string();
  return std::string(t.text, strnlen(t.text, t.length));
}

template <typename Record>
const Record* recordOf(const korvacmd_block* block) {
  if (block->record == nullptr || block->record_size != sizeof(Record)) return nullptr;
  return static_cast<const Record*>(block->record);
}

// The invalidation a KORVA_MCB_INVALIDATE block asks for; nullopt for a
// malformed record or an unknown kind.
std::optional<korva::Invalidation> invalidationOf(const korvacmd_block* block) {
  const auto* r = recordOf<korva_inval_record>(block);
  if (r == nullptr) return std::nullopt;
  korva::Invalidation item;
  item.view_root_dir = textOf(block->first_text);
  switch (r->kind) {
    case KORVA_INVAL_VIEW:
      item.target = korva::Invalidation::Target::kView;
      return item;
    case KORVA_INVAL_NAME:
      item.target = korva::Invalidation::Target::kName;
      item.name = textOf(r->name);
      break;
    case KORVA_INVAL_OBJECT:
    case 5:
    case 6:
    case 7:
      item.target = korva::Invalidation::Target::kObject;
      item.kind = r->kind;
      item.vob_op = r->vob_op;
      break;
    default:
      return std::nullopt;
  }
  item.vob_uuid = r->vob_uuid;
  item.oid = r->oid;
  return item;
}

// Control outcome of one command block.
korva::Outcome runBlock(const korva::Control& control, korvacmd_block* block) {
  korva::Outcome invalid;
  invalid.status = korva::kStatusInvalid;
  switch (block->command) {
    case KORVA_MCB_REGISTER_VIEW: {
      const auto* r = recordOf<korva_view_record>(block);
      if (r == nullptr) return invalid;
      korva::ViewEntry view;
      view.tag = textOf(r->view_tag);
      view.uuid = idText(r->view_uuid);
      view.storage_user = textOf(r->storage_user);
      view.storage_kernel = textOf(r->storage_kernel);
      view.host = textOf(r->host);
      view.remote_path = textOf(r->remote_path);
      view.windows = (r->flags & KORVA_VIEW_WINDOWS) != 0;
      return control.registerView(view, channels());
    }
    case KORVA_MCB_UNREGISTER_VIEW: {
      const auto* r = recordOf<korva_text>(block);
      if (r == nullptr) return invalid;
      return control.unregisterView(textOf(*r), channels());
    }
    case KORVA_MCB_MOUNT_VOB: {
      const auto* r = recordOf<korva_mount_record>(block);
      if (r == nullptr) return invalid;
      korva::VobEntry vob;
      vob.vob_tag = textOf(r->vob_tag);
      vob.vob_storage = textOf(r->vob_storage);
      vob.host = textOf(r->host);
      vob.view_storage = textOf(r->view_storage);
      vob.replica_uuid = idText(r->replica_uuid);
      vob.family_oid = idText(r->family_oid);
      return control.mountVob(textOf(block->first_text), vob);
    }
    case KORVA_MCB_UMOUNT_VOB: {
      const auto* r = recordOf<korva_umount_record>(block);
      if (r == nullptr) return invalid;
      return control.umountVob(textOf(block->first_text), textOf(r->vob_tag), idText(r->replica_uuid));
    }
    case KORVA_MCB_INVALIDATE: {
      std::optional<korva::Invalidation> item = invalidationOf(block);
      if (!item) return invalid;
      std::vector<korva::Invalidation> batch;
      batch.push_back(std::move(*item));
      return control.invalidate(batch, channels()).front();
    }
    case KORVA_MCB_GET_XSTAT: {
      auto* r = static_cast<korva_xstat_record*>(block->record);
      if (r == nullptr || block->record_size != sizeof(korva_xstat_record) || r->vstat == nullptr ||
          r->vstat_size != sizeof(view_vstat_t)) {
        return invalid;
      }
      korva::XstatAnswer answer;
      korva::Outcome outcome =
          control.getXstat(textOf(block->first_text), (block->flags & KORVA_MCB_NOFOLLOW) == 0, &answer);
      if (outcome.call_error == 0 && outcome.status == 0) {
        // A forced success leaves the answer empty: nothing stale is handed out.
        r->object_oid = answer.object_oid;
        r->vob_uuid = answer.vob_uuid;
        r->replica_uuid = answer.replica_uuid;
        r->word = answer.word;
        std::memcpy(r->vstat, &answer.vstat, sizeof answer.vstat);
      }
      return outcome;
    }
    default: {
      korva::Outcome unknown;
      unknown.status = korva::kStatusNotSupported;
      return unknown;
    }
  }
}

// The caller of the last request this thread took.
thread_local korva_caller t_caller{};
thread_local bool t_has_caller = false;

// The message call: a forced result, or the reply routed and the next
// request waited for on this process's channel of the view.
korva::Outcome message(const korva_view_tag_record* tag, unsigned char* buffer, size_t size) {
  korva::Outcome outcome;
  if (tag == nullptr || buffer == nullptr || size < korva::kMessageSize) {
    outcome.call_error = EFAULT;
    outcome.status = korva::kStatusInvalid;
    return outcome;
  }
  korva::Control control;
  if (std::optional<korva::Outcome> forced = control.forcedMessageResult()) return *forced;
  std::shared_ptr<korva::Channel> channel =
      korva::ChannelTable::process().find(korva::ChannelTable::key(control.root(), textOf(tag->tag)));
  ucred caller{};
  outcome.status = channel ? channel->exchange(buffer, size, &outcome.call_error, &caller) : korva::kStatusShutdown;
  if (outcome.status == 0 && outcome.call_error == 0) {
    t_caller.pid = caller.pid;
    t_caller.uid = caller.uid;
    t_caller.gid = caller.gid;
    t_has_caller = true;
  }
  return outcome;
}

korva_handle_t openHandle(int type, int* status, bool silent) {
  korva::Outcome outcome = korva::Control().openHandle(type);
  // Opening reports statuses only: a failed call is an internal error.
  int result = outcome.call_error != 0 ? korva::kStatusInternal : outcome.status;
  if (result == 0) {
    auto* handle = new (std::nothrow) korva_view_root{type};
    if (handle != nullptr) {
      g_open_handles.fetch_add(1);
      if (status != nullptr) *status = 0;
      return handle;
    }
    result = korva::kStatusNoHandle;
  }
  if (status != nullptr) *status = result;
  if (!silent) std::fprintf(stderr, "korva: cannot open the view root of type %d: status %d\n", type, result);
  return nullptr;
}

}  // namespace

korva_handle_t korva_view_root_open_type(int type, int* status) { return openHandle(type, status, false); }

korva_handle_t korva_view_root_open_sil_type(int type, int* status, int silent) {
  return openHandle(type, status, silent != 0);
}

int korva_view_root_close_type(int /*type*/, korva_handle_t handle) {
  if (handle == nullptr) return korva::kStatusInvalid;
  delete handle;
  g_open_handles.fetch_sub(1);
  return 0;
}

int korva_open_handle_count() { return g_open_handles.load(); }

korva_text korva_text_of(const char* text) {
  korva_text t{nullptr, 0, 0};
  if (text != nullptr) {
    size_t length = std::strlen(text);
    t.text = text;
    t.length = static_cast<uint32_t>(length);
    t.size = static_cast<uint32_t>(length + 1);
  }
  return t;
}

int korva_cmd(korva_handle_t handle, int* call_result, int* kernel_status, int command, int /*zero*/,
              void* input, void* output, size_t output_size) {
  int result = 0;
  int status = 0;
  int error = 0;
  if (handle == nullptr) {
    result = -1;
    error = EBADF;
    status = korva::kStatusNoHandle;
  } else if (command == KORVA_CMD_GET_VIEW_ROOT || command == KORVA_CMD_GET_NAMING_SUFFIX) {
    auto* out = static_cast<korva_query_out*>(output);
    if (out == nullptr || output_size < sizeof(korva_query_out) || out->buffer == nullptr) {
      result = -1;
      error = EFAULT;
      status = korva::kStatusInvalid;
    } else {
      korva::Control control;
      std::string answer;
      korva::Outcome outcome = command == KORVA_CMD_GET_VIEW_ROOT
                                   ? control.viewRoot(handle->type, &answer)
                                   : control.namingSuffix(handle->type, &answer);
      if (outcome.call_error != 0) {
        result = -1;
        error = outcome.call_error;
      } else if (outcome.status != 0) {
        result = -1;
        error = EIO;
        status = outcome.status;
      } else if (answer.size() + 1 > out->size) {
        result = -1;
        error = ENAMETOOLONG;
        status = korva::kStatusTooLong;
      } else {
        std::memcpy(out->buffer, answer.c_str(), answer.size() + 1);
      }
    }
  } else if (command == KORVA_CMD_LPC_MESSAGE) {
    korva::Outcome outcome = message(static_cast<const korva_view_tag_record*>(input),
                                     static_cast<unsigned char*>(output), output_size);
    status = outcome.status;
    if (outcome.call_error != 0) {
      result = -1;
      error = outcome.call_error;
    }
  } else {
    result = -1;
    error = EINVAL;
    status = korva::kStatusNotSupported;
  }
  if (call_result != nullptr) *call_result = result;
  if (kernel_status != nullptr) *kernel_status = status;
  if (result != 0) errno = error;
  return result;
}

int korva_lpc_caller(korva_caller* caller) {
  if (!t_has_caller || caller == nullptr) {
    errno = caller == nullptr ? EFAULT : ENOENT;
    return -1;
  }
  *caller = t_caller;
  return 0;
}

int korva_mcb_cmd_batch(korva_handle_t handle, korvacmd_block* blocks, size_t count, int* errors) {
  int refused = handle == nullptr ? EBADF : blocks == nullptr && count != 0 ? EFAULT : 0;
  if (errors == nullptr) return count != 0 ? EFAULT : refused;
  if (refused != 0) {
    std::fill(errors, errors + count, refused);
    return refused;
  }
  korva::Control control;
  int first_error = 0;
  // Until a call fails, each block is answered; from then on none is issued.
  std::fill(errors, errors + count, ECANCELED);
  auto answer = [&](size_t i, const korva::Outcome& outcome) {
    errors[i] = outcome.call_error;
    if (outcome.call_error == 0) blocks[i].status = outcome.status;
    if (first_error == 0) first_error = outcome.call_error;
  };
  std::vector<korva::Invalidation> run;
  std::vector<size_t> run_blocks;
  // The invalidations gathered so far go as one call.
  auto flush = [&] {
    if (run.empty()) return;
    std::vector<korva::Outcome> outcomes = control.invalidate(run, channels());
    for (size_t k = 0; k < outcomes.size() && outcomes[k].call_error != ECANCELED; ++k) {
      answer(run_blocks[k], outcomes[k]);
      if (outcomes[k].call_error != 0) break;
    }
    run.clear();
    run_blocks.clear();
  };
  for (size_t i = 0; i < count && first_error == 0; ++i) {
    std::optional<korva::Invalidation> item;
    if (blocks[i].command == KORVA_MCB_INVALIDATE && (item = invalidationOf(&blocks[i]))) {
      run.push_back(std::move(*item));
      run_blocks.push_back(i);
      continue;
    }
    flush();
    if (first_error == 0) answer(i, runBlock(control, &blocks[i]));
  }
  flush();
  return first_error;
}

int korva_mcb_cmd(korva_handle_t handle, korvacmd_block* block, int* error) {
  int call_error = 0;
  if (handle == nullptr) {
    call_error = EBADF;
  } else if (block == nullptr) {
    call_error = EFAULT;
  } else {
    korva::Outcome outcome = runBlock(korva::Control(), block);
    call_error = outcome.call_error;
    if (call_error == 0) block->status = outcome.status;
  }
  if (error != nullptr) *error = call_error;
  return call_error;
}

int qel_view_root_type(int type, const char* view_tag, char* buf, size_t size) {
  if (view_tag == nullptr || buf == nullptr) return korva::kStatusInvalid;
  std::string dir;
  korva::Outcome outcome = korva::Control().viewRootDir(type, view_tag, &dir);
  if (outcome.call_error != 0) return korva::kStatusInternal;
  if (outcome.status != 0) return outcome.status;
  if (dir.size() + 1 > size) return korva::kStatusTooLong;
  std::memcpy(buf, dir.c_str(), dir.size() + 1);
  return 0;
}

namespace {
const char* const kLibraryName = "libhalvickorva";
}  // namespace

void libhalvickorva_print_verid() {
  imsg_print_verid(kLibraryName);
}

int libhalvickorva_sprintf_verid(char* buf) {
  return imsg_sprintf_verid(buf, kLibraryName);
}
