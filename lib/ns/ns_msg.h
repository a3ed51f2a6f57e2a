#pragma once
// The namespace cache's message catalogue (category "view"), addressed by
// 0-based position, and the two ways the namespace layer writes its
// messages: errors (but see ns_error), notes only at the trace verbosity of
// "view" that each note names.

#include "lib/ns/ns_server_wait.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

extern const _imsg_message_table_t _ostrela_lib_view_msg_table;

// The category that leads internal-error reports and selects the notes.
inline constexpr const char* NS_MSG_CATEGORY = "view";

// Positions in the catalogue.
enum : int {
    NS_MSG_UNEXPECTED_MTYPE = 0,
    NS_MSG_TROUBLE_COVER = 4,
    NS_MSG_LOOKUP_FAILED = 7,
    NS_MSG_LOOKUP_FROM_VIEW = 12,
    NS_MSG_LOOKUP_NOT_FOUND = 13,
    NS_MSG_FLUSHING_DIR = 15,
    NS_MSG_CACHED = 17,
    NS_MSG_CACHED_NOT_FOUND = 18,
    NS_MSG_FLUSHING_OBJ = 20,
    NS_MSG_FLUSHING_OBJ_OID = 21,
    NS_MSG_INVALIDATE_VOB = 23,
    NS_MSG_INVALIDATE_VIEW = 24,
    NS_MSG_INVALIDATE_NAME = 25,
    NS_MSG_INVALIDATE_OBJ = 26,
    NS_MSG_ESTALE = 29,
    NS_MSG_GPATH = 30,
    NS_MSG_CHECKOUT = 33,
    NS_MSG_STALE_PURGING = 34,
    NS_MSG_STALE_FLUSHING = 35,
    NS_MSG_STALE_WHITEOUT = 36,
    NS_MSG_VOB_ERROR = 41,
    NS_MSG_VOB_ERROR_OBJ = 42,
    NS_MSG_CLTXT_VOB = 43,
    NS_MSG_CLTXT_NAME = 44,
    NS_MSG_CLTXT_OBJ = 45,
    NS_MSG_NO_MEMORY = 46,
    NS_MSG_LVUT_OBJ = 49,
    NS_MSG_LVUT_VOB = 50,
    NS_MSG_HASH_FREE = 51,
    NS_MSG_HASH_ADD = 52,
    NS_MSG_PARENT_NO_VOB = 58,
    NS_MSG_PARENT_NO_ELEMENT = 59,
    NS_MSG_PARENT_NO_VERSION = 60,
    NS_MSG_PARENT_NO_OBJECT = 61,
    NS_MSG_PARENT_NO_PATH = 62,
};

// Writes message `index` as an error, unless the operation gave up to wait
// for the server (its failures are then not real).
template <typename... Args>
void ns_error(int index, Args... args) {
    if (Ns_Server_Wait::given_up()) return;
    imsg_print(IMSG_KIND_ERR, &_ostrela_lib_view_msg_table, index, args...);
}

// True when notes of `verbosity` are wanted for "view".
bool ns_should_note(int verbosity);

// Writes message `index` as a note when "view" is traced at `verbosity`.
template <typename... Args>
void ns_note(int verbosity, int index, Args... args) {
    if (ns_should_note(verbosity)) imsg_print(IMSG_KIND_TRACE, &_ostrela_lib_view_msg_table, index, args...);
}

// Reports an internal error of `source` ("lib/ns/ns_cache" and the like)
// with message `index`, through the base library's report.
template <typename... Args>
void ns_int_error(const char* source, int line, int index, Args... args) {
    qel_log_int_error(NS_MSG_CATEGORY, source, line, &_ostrela_lib_view_msg_table, index, args...);
}
