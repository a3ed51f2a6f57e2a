// Client interface of the kernel file system `korva`, simulated in user space:
// view-root handles, the query and message call `korva_cmd`, and control
// command blocks `korva_mcb_cmd`. Every control command acts on the registry
// under $KORVA_ROOT (see korva_control.h), appends one line to its journal
// and can have its result forced through its inject file. Registering a
// view opens its message channel in the registering process
// (korva_channel.h), which the message call serves.
//
// The records below are the simulator's own, 64-bit clean; they carry the
// fields that the callers fill, in the order the callers know them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/qel/qel.h"

// ---- view-root handles -----------------------------------------------------------

// Kind of view whose root a handle (and the queries through it) names.
enum korva_viewroot_type : int {
  KORVA_VIEWROOT_DYNAMIC = 0,
  KORVA_VIEWROOT_AUTOMATIC = 1,
};

struct korva_view_root;  // opaque
typedef korva_view_root* korva_handle_t;

// Opens a view-root handle of `type`. Null on failure with the base status in
// `*status` (1072 for an unknown type, or a result forced for the call "open"),
// after a message on standard error; 0 in `*status` on success.
korva_handle_t korva_view_root_open_type(int type, int* status);
// The same; with `silent` nonzero no message is written.
korva_handle_t korva_view_root_open_sil_type(int type, int* status, int silent);
// Closes a handle (the type argument is not needed to find it). 0, or 1072 for
// a null handle.
int korva_view_root_close_type(int type, korva_handle_t handle);
// Handles open in this process (tests check that every open was closed).
int korva_open_handle_count();

// ---- text descriptors ---------------------------------------------------------------

// Text descriptor: a NUL-terminated text, its length, its length plus one. A
// null text reads as empty.
struct korva_text {
  const char* text;
  uint32_t length;
  uint32_t size;
};

// Descriptor of `text` (null: an all-zero descriptor).
korva_text korva_text_of(const char* text);

// ---- korva_cmd -----------------------------------------------------------------------

// Commands of korva_cmd.
enum : int {
  KORVA_CMD_GET_VIEW_ROOT = 11,     // the handle type's view-root path
  KORVA_CMD_GET_NAMING_SUFFIX = 20, // the handle type's extended-naming suffix
  KORVA_CMD_LPC_MESSAGE = 65,       // the view's kernel requests (below)
};

// Output record of the two queries: the caller's text buffer and its size.
// The answer is written NUL-terminated; one that does not fit fails with
// ENAMETOOLONG and status 1084, leaving the buffer alone.
struct korva_query_out {
  char* buffer;
  uint32_t reserved;  // 0
  uint32_t size;      // bytes at `buffer`
};

// Input record of the message call: the view tag, twice.
struct korva_view_tag_record {
  korva_text tag;
  korva_text tag_again;
};

// Issues `command` on `handle`. `input` is the command's input record (ignored
// by the queries); `output` and `output_size` its output record, which must be
// at least a korva_query_out for the queries. The call result (0 when the call
// itself worked, else -1 with errno set) goes to `*call_result` and is
// returned; the kernel's base status (0: done) goes to `*kernel_status`.
// A null handle fails with EBADF and status 1001.
//
// KORVA_CMD_LPC_MESSAGE: `input` is a korva_view_tag_record, `output` the
// daemon thread's message buffer of `output_size` >= 8800 bytes (smaller, or
// null records: EFAULT, 1072). When its bytes 28-31 are 1 it carries a reply,
// which goes back to the client that sent the request; the call then waits
// for the view's next request, copies it into the buffer and answers 0. A
// view this process has no open channel for answers 1046 at once, and so do
// the waiting calls when the view is unregistered. The wait is
// interruptible: a signal that the waiting thread catches ends the call
// with -1 and errno EINTR (the reply has gone, no request is copied in). As
// a wait in epoll_wait, it also ends so when the process is stopped and
// continued or a tracer attaches: a caller that did not mean to interrupt
// it makes the call again.
// Other statuses, and call failures, come only when forced (inject call
// "lpc_message"); a forced call leaves the buffer, and the reply in it,
// alone.
int korva_cmd(korva_handle_t handle, int* call_result, int* kernel_status, int command, int zero,
              void* input, void* output, size_t output_size);

// The process a kernel request was made for, as the kernel side named it
// beside the request (by default the process that sent it): its id and its
// file-system user and group ids.
struct korva_caller {
  int32_t pid;
  uint32_t uid;
  uint32_t gid;
};

// The caller of the request that the calling thread's last
// KORVA_CMD_LPC_MESSAGE call copied in: 0, or -1 with ENOENT when this
// thread has taken no request yet.
int korva_lpc_caller(korva_caller* caller);

// ---- control command blocks ----------------------------------------------------------

// Commands of korva_mcb_cmd.
enum : uint32_t {
  KORVA_MCB_GET_XSTAT = 2,
  KORVA_MCB_INVALIDATE = 5,
  KORVA_MCB_REGISTER_VIEW = 7,
  KORVA_MCB_UNREGISTER_VIEW = 8,
  KORVA_MCB_MOUNT_VOB = 36,
  KORVA_MCB_UMOUNT_VOB = 37,
};

// Flags of a command block.
enum : uint32_t {
  KORVA_MCB_NOFOLLOW = 0x1,       // get_xstat: do not follow a final symbolic link
  KORVA_MCB_CASE_SENSITIVE = 0x2, // names are compared case-sensitively
};

struct korvacmd_block {
  uint32_t command;
  uint32_t flags;
  korva_text first_text;   // get_xstat: the path; invalidations: the view's root directory
  korva_text second_text;  // get_xstat: the path again; mount, unmount: the view tag (both texts)
  uint32_t record_size;    // sizeof the record below
  void* record;
  int32_t status;          // written by the kernel: the command's base status
};

// KORVA_MCB_REGISTER_VIEW. Texts and the flags word; the rest is zero.
struct korva_view_record {
  korva_text view_tag;
  korva_text storage_user;    // storage location as the user sees it
  korva_text storage_kernel;  // storage location as the kernel sees it
  korva_text host;
  korva_text remote_path;
  qel_uuid_s view_uuid;
  unsigned char reserved_a[16];
  unsigned char reserved_b[12];
  uint32_t flags;  // KORVA_VIEW_WINDOWS
};
enum : uint32_t { KORVA_VIEW_WINDOWS = 0x1 };

// KORVA_MCB_UNREGISTER_VIEW: the record is the view tag's korva_text.

// KORVA_MCB_INVALIDATE.
struct korva_inval_record {
  uint32_t magic;      // 5
  qel_uuid_s vob_uuid;  // null for the whole view
  uint32_t kind;        // KORVA_INVAL_*
  qel_oid_s oid;        // object, or directory of a name; null for the whole view
  korva_text name;      // KORVA_INVAL_NAME only
  // The operation (`vob_op_t`) that caused an object invalidation. The kernel
  // needs only `kind`; the simulator records the operation in its journal.
  uint32_t vob_op;
};
// Kinds. An object invalidation carries 2, or 5, 6 or 7 as the caller derives
// them from the operation; all four drop the object.
enum : uint32_t {
  KORVA_INVAL_NAME = 1,
  KORVA_INVAL_OBJECT = 2,
  KORVA_INVAL_VIEW = 3,
};

// KORVA_MCB_GET_XSTAT. The kernel fills the status buffer and the ids.
struct korva_xstat_record {
  void* vstat;          // the caller's object status buffer: a view_vstat_t
  uint32_t vstat_size;  // its size: sizeof(view_vstat_t), else 1072
  qel_oid_s object_oid;
  qel_uuid_s vob_uuid;
  uint32_t word;
  qel_uuid_s replica_uuid;
};

// KORVA_MCB_MOUNT_VOB. The constant words travel unchanged; the kernel does not
// interpret them.
struct korva_mount_record {
  uint16_t header_a;  // 12
  uint16_t header_b;  // 248
  uint32_t one;       // 1
  korva_text vob_tag;
  korva_text host;
  uint32_t zero;
  korva_text view_storage;        // the view's second storage-path text ...
  korva_text view_storage_again;  // ... carried twice
  korva_text vob_storage;
  qel_oid_s family_oid;
  uint32_t word_3000;
  uint32_t word_1;
  qel_uuid_s replica_uuid;
};

// KORVA_MCB_UMOUNT_VOB.
struct korva_umount_record {
  korva_text vob_tag;
  qel_uuid_s replica_uuid;
};

// Issues a command block on `handle`. The call's own error (0, or an errno
// value: EBADF for a null handle, EFAULT for a null block, EINTR or another
// value forced through the inject file) goes to `*error` and is returned. When
// it is 0 the command's base status is in `block->status`: 1007 for an unknown
// command, 1072 for a malformed record, else the control call's result.
int korva_mcb_cmd(korva_handle_t handle, korvacmd_block* block, int* error);

// Issues `count` command blocks on `handle` as one call, in order, each with
// the outcome korva_mcb_cmd would give it: its own error in `errors[i]`,
// its base status in `blocks[i].status` when that is 0. A block whose call
// fails (an error, forced EINTR included) ends the batch: the blocks after
// it are not issued and get ECANCELED. Invalidations that follow one
// another share one lock, one journal write and one pass of their notices
// (korva_control.h: Control::invalidate). The first nonzero error, or 0;
// EBADF for a null handle and EFAULT for null blocks, given to every block
// then (EFAULT alone for null errors).
int korva_mcb_cmd_batch(korva_handle_t handle, korvacmd_block* blocks, size_t count, int* errors);

// ---- base library ----------------------------------------------------------------

// The root directory of view `view_tag` of kind `type` (the kind's view root
// + "/" + the tag, as the kernel is configured) into `buf` of `size` bytes,
// NUL-terminated. 0; 1072 for an unknown kind or a tag that names no
// directory; 1084 when it does not fit; 1008 when the state directory is
// unusable; a status forced for the call "view_root_type". Not journaled.
int qel_view_root_type(int type, const char* view_tag, char* buf, size_t size);

// ---- version line ----------------------------------------------------------------------

// The library's version line, printed (message kind 0) or formatted into `buf`
// (IMSG_MAX_TEXT bytes at most).
void libhalvickorva_print_verid();
int libhalvickorva_sprintf_verid(char* buf);
