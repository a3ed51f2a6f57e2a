#pragma once
// The agent library's message catalog ("lib_ostrel_agent", prefix
// "ostrela_lib", number 111, 130 texts) and the positions that the code
// addresses. Messages are addressed by their 0-based position in the
// catalog, never by their message number; format them with
// OstrelAgent_Util::format or the log's catalog write_log. A position is
// named here once, when code first uses it.

#include <string>

#include "lib/core/ostrelagent_util.h"
#include "platform/imsg/imsg.h"

extern const _imsg_message_table_t _ostrela_lib_lib_msg_table;

namespace OstrelAgent_Lib_Msg {

constexpr int STORAGE_MKDIR = 0;          // Error "%d" creating view storage directory "%s".
constexpr int NO_VIEW_UUID = 1;           // View uuid not found for "%s".
constexpr int NO_VIEW_TYPE = 2;           // View type not found for "%s".
constexpr int NO_CLTXT_CACHE_DIR = 3;     // Cleartext cache directory not found for "%s".
constexpr int BAD_SERVER_INFO = 4;        // Server information is incomplete or invalid for "%s".
constexpr int NO_SERVER_TAG = 5;          // Server view tag not found for "%s".
constexpr int VIEW_EXISTS = 6;            // View at "%s" exists.
constexpr int PARSE_ERROR = 7;            // Parse error in "%s".
constexpr int KORVA_PARSE_ERROR = 8;      // Error parsing KORVA request "%d".
constexpr int KORVA_REPLY_ERROR = 9;      // Error sending reply to KORVA request "%d".
constexpr int OUT_OF_MEMORY = 10;         // Out of memory.
constexpr int NO_TEXT_MODE = 11;          // Interop textmode not found for "%s".
constexpr int ALREADY_MOUNTED = 12;       // %s is already mounted.
constexpr int NOT_MOUNTED = 13;           // %s is not currently mounted.
constexpr int NO_VIEW_INFO = 14;          // View information not found.
constexpr int CLTXT_FETCH_FAILED = 15;    // Error fetching cleartext for "%s".
constexpr int DISCONNECTED = 16;          // Client is disconnected from the server.
constexpr int CONNECT_FAILED = 17;        // Unable to connect to server :"%s".
constexpr int MOUNT_FAILED = 18;          // Failed to mount VOB %s.
constexpr int FILE_EXISTS = 19;           // File "%s" already exists.
constexpr int BAD_VIEW_UUID = 21;         // View uuid "%s" not valid for "%s".
constexpr int UNRECOGNIZED = 22;          // Unrecognized IPC: "%s".
constexpr int REMOUNT_FAILED = 23;        // VOB remount failed.
constexpr int NOT_IN_REQUEST = 27;        // "%s" not found in XML request.
constexpr int NO_MOUNTED_VOB = 28;        // No known mounted VOB found in "%s" (origi...
constexpr int VOB_ROOT_FAILED = 29;       // Cannot resolve VOB root "%s" for "%s": %s
constexpr int LOOKUP_FAILED = 30;         // Cannot look up object "%s" in VOB "%s": %s
constexpr int LOOKUP_INCOMPLETE = 31;     // Lookup of "%s" incomplete; could not look up "%s"
constexpr int READLINK_FAILED = 32;       // Readlink of "%s" failed: %s
constexpr int PATH_LOOKUP_FAILED = 33;    // Unable to lookup path "%s": %s
constexpr int FLUSH_FAILED = 34;          // Unable to flush cached entry for "%s": %s
constexpr int CLTXT_TMPFILE_FAILED = 35;  // Unable to create temporary file in directory "%s" for ...
constexpr int CLTXT_RENAME_FAILED = 36;   // Unable to rename temporary file "%s" to cleartext file ...
constexpr int CACHE_DIR_INVALID = 37;     // Validation failed for cleartext cache directory "%s".
constexpr int CACHE_DIR_NESTED = 38;      // Cleartext cache directories may not be nested. ...
constexpr int PATH_SPLIT_FAILED = 39;     // Unable to split path "%s" into parent and...
constexpr int NO_PARENT_DBID = 40;        // Can't find dbid of parent dir "%s"
constexpr int NOT_A_VERSION = 41;         // Object "%s" not a version: mtype %d
constexpr int VIEW_PRIVATE_DIR_NOT_CONVERTED = 43; // Can't convert view-private directory "%s" to an ...
constexpr int DB_INIT_FAILED = 42;        // View database initialization failed (%d).
constexpr int BACKGROUND_READDIR_FAILED = 45;// Background directory read of vobuuid:%s ...
constexpr int RULES_NOT_CACHED = 46;      // Error caching element rules.
constexpr int LOAD_RULES_UNREAD = 48;     // Failed to retrieve load rules from cache.
constexpr int UNKNOWN_OBJECT_OID = 49;    // Unknown object OID "%s" (VOB "%s")
constexpr int DB_ENTRY_NOT_ADDED = 50;    // Unable to add "%s" (in directory OID "%s"): %s.
constexpr int UNKNOWN_SCOPE = 51;         // Unknown scope OID "%s" in update stream.
constexpr int LOAD_RULE_NOT_ADDED = 52;   // Failed to add load rule "%s"
constexpr int LOAD_RULE_NOT_REMOVED = 53; // Failed to remove load rule "%s"
constexpr int SCOPE_BEGIN_FAILED = 54;    // Unable to start update of scope "%s": %s.
constexpr int SCOPE_VOB_BEGIN_FAILED = 55;// Unable to start update of scope "%s", VOB "%s": %s.
constexpr int SCOPE_END_FAILED = 56;      // Unable to finish update of scope "%s": %s.
constexpr int SCOPE_VOB_END_FAILED = 57;  // Unable to finish update of scope "%s", VOB "%s": %s.
constexpr int MARK_REMOVED_FAILED = 58;   // Unable to mark vobuuid:%s diroid:%s (pathname:"%s") as ...
constexpr int UPDATE_BEGIN_FAILED = 59;   // Unable to start update operation (fetch old generation ...
constexpr int DIR_IN_TWO_LOAD_RULES = 61; // Directory element "%s" is loaded in at least two ...
constexpr int UPDATE_LOG_TITLE = 65;      // Update log for Norvane automatic view
constexpr int VIEW_DB_ACCESS_FAILED = 66; // Error accessing view database.
constexpr int SCOPES_UNREAD = 67;         // Failed to retried load scopes from cache.
constexpr int CLTXT_NOT_QUEUED = 69;      // Unable to queue background cleartext fetch for version ...
constexpr int VOB_ROOT_NOT_UPDATED = 70;  // Unable to update VOB root directory "%s".
constexpr int NO_PARENT_VERSION = 71;     // Unable to find parent version for "%s" (p...
constexpr int NOT_IN_DATABASE = 72;       // Unable to find VOB %s obj %d elem %d in d...
constexpr int SHUTTING_DOWN = 73;         // ostrel_agent is shutting down; no new requests ...
constexpr int UPDATE_IN_PROGRESS = 74;    // A view update operation is already in progress.
constexpr int UNMOUNT_FAILED = 75;        // Unable to unmount VOB "%s": %s.
constexpr int UNMOUNTED = 76;             // Unmounted VOB "%s".
constexpr int SOME_NOT_UNMOUNTED = 77;    // Some VOB(s) could not be unmounted.  Check for ...
constexpr int TIME_NOT_PRESERVED = 78;    // Unable to preserve time on "%s": %s.
constexpr int HIJACK_NOT_VERSIONED = 79;  // Cannot hijack "%s": object is not version controlled.
constexpr int HIJACK_CHECKED_OUT = 81;    // Cannot hijack "%s": object is checked out.
constexpr int HIJACK_NOT_PLAIN_FILE = 82; // Cannot hijack "%s": object is not a plain file.
constexpr int HIJACK_FAILED = 83;         // Unable to hijack "%s": %s.
constexpr int UNHIJACK_VOB_ROOT = 84;     // Cannot unhijack VOB root element "%s".
constexpr int UNHIJACK_FAILED = 85;       // Unable to unhijack "%s": %s.
constexpr int UNREGISTER_FAILED = 86;     // Unable to unregister view from KORVA: %s
constexpr int REMOUNT_VOB_FAILED = 87;    // Unable to remount VOB "%s": error %d
constexpr int REMOUNTED = 88;             // Remounted VOB "%s" (to restore mounted state after ...
constexpr int READDIR_DBID_UNKNOWN = 89;  // Internal error retrieving dbid for path '%s'
constexpr int INVALID_AGGREGATED_STATE = 90; // Invalid aggregated state request "%s".
constexpr int HIJACK_NOT_HANDLED = 91;    // Can't handle hijack for %s (parent %s): %s.
constexpr int HIDDEN_METADATA_FAILED = 92; // Unable to get metadata on view-hidden file at '%s': %s
constexpr int HIJACK_PATHS_FAILED = 93;   // Unable to get list of hijack paths: %s.
constexpr int HAS_HIJACKS_FAILED = 94;    // Unable to determine whether view has hijacks: %s.
constexpr int CHECKOUT_PATHS_FAILED = 95; // Unable to get list of checkout paths: %s.
constexpr int HAS_CHECKOUTS_FAILED = 96;  // Unable to determine whether view has checkouts: %s.
constexpr int CHECKOUT_NOT_CLEARED = 100; // Unable to remove checkout state for element "%s" in re...
constexpr int RESTORE_READDIR_FAILED = 101; // Readdir on "%s" during restore operation failed
constexpr int NS_CHANGE_READDIR_FAILED = 102; // Readdir on "%s" after namespace change operation failed
constexpr int MOVE_SOURCE_READDIR_FAILED = 103; // Readdir on source parent "%s" after move operation failed
constexpr int RESTORE_LOG_TITLE = 104;    // Restore log for Norvane automatic view
constexpr int RESTORE_STATUS = 105;       // Restore status
constexpr int LOAD_RULES_NESTED = 106;    // Load rules may not be identical or nested: "%s" and "%s".
constexpr int IOCTL_UNAVAILABLE = 107;    // Internal error flushing KORVA metadata (ioctl unavailable)
constexpr int VIEW_FLUSH_FAILED = 108;    // Unable to flush entire view cache: %s
constexpr int BG_CLTXT_FAILED = 110;      // Background cleartext fetch failed (%d): %s
constexpr int CLTXT_SAVE_FAILED = 111;    // I/O error saving cleartext "%s".
constexpr int NO_CACHED_CLTXT = 114;      // No cached cleartext available for "%s".
constexpr int CACHE_SIZE_MINIMUM = 115;   // Unable to set cache size to %u: minimum size is %u
constexpr int CACHE_SIZE_FAILED = 116;    // Unable to set cache size to %u: %s
constexpr int CACHE_SIZE_NOT_SAVED = 117; // Unable to save cache size to metadata file
constexpr int LOAD_RULE_DOT_DOT = 118;    // Invalid use of ".." in load rule "%s".
constexpr int PRIVATE_PATHS_FAILED = 119; // Unable to get list of view private paths: %s.
constexpr int NOT_A_VOB_ROOT = 120;       // Specified path "%s" is not a VOB root.
constexpr int LOAD_RULE_COMMENT = 121;    // Comments are not supported in load rules for automatic views.
constexpr int CACHE_DIR_MKDIR = 122;      // Error "%s" creating cleartext cache directory "%s".
constexpr int WRONG_HOST = 123;           // View started on wrong host. ...
constexpr int OID_FLUSH_FAILED = 124;     // Unable to flush cached entry for oid:%s@r...
constexpr int REQUEST_LINE_TOO_LONG = 125;// Request line longer than %d characters.
constexpr int UNSAFE_NAMES_SKIPPED = 126; // Skipped %u name(s) from the server that cannot be ...
constexpr int UNSAFE_PATH_SKIPPED = 127;  // Skipped "%s" of the update from the server: ...
constexpr int INVALID_VALUE = 128;        // Value of "%s" is not valid: "%s".
constexpr int CONNECTION_REFUSED = 129;   // Connection of client "%s" refused: %d client ...
constexpr int STORAGE_LOCKED = 130;       // The view storage "%s" is locked by process %d, ...
constexpr int STORAGE_LOCKED_ENDING = 131;// The view storage "%s" is still locked by process %d, which is ending; ...

// The text at `position`, its arguments put in.
template <typename... Args>
std::string text(int position, Args... args) {
    return OstrelAgent_Util::format(&_ostrela_lib_lib_msg_table, position, args...);
}

} // namespace OstrelAgent_Lib_Msg
