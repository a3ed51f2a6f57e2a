#include "lib/ns/ns_msg.h"

// Users read these texts in the operations log and on standard error, and the
// code addresses them by position: change neither. A new text takes a free
// position.

namespace {

constexpr int VIEW_COUNT = 63;

struct ViewTexts {
    const char* at[VIEW_COUNT] = {};
    unsigned short numbers[VIEW_COUNT] = {};
    constexpr ViewTexts() {
        for (int i = 0; i < VIEW_COUNT; ++i) numbers[i] = static_cast<unsigned short>(i + 1);
        at[NS_MSG_UNEXPECTED_MTYPE] = "Unexpected mtype(%ld) for object %s\n";
        at[NS_MSG_TROUBLE_COVER] = "Trouble fetching cover object for %s name %s: %s\n";
        at[NS_MSG_LOOKUP_FAILED] = "Lookup of %s in %s': %s\n";
        at[NS_MSG_LOOKUP_FROM_VIEW] = "Lookup %s->%s rule %ld, from view to ver 0x%lx\n";
        at[NS_MSG_LOOKUP_NOT_FOUND] = "Lookup %s->%s rule %ld, not found\n";
        at[NS_MSG_FLUSHING_DIR] = "Flushing directory %s\n";
        at[NS_MSG_CACHED] = "cached %s->%s state %lx rule %ld session %lx to 0x%lx\n";
        at[NS_MSG_CACHED_NOT_FOUND] = "cached %s->%s, state %lx rule %ld, session %lx to not found\n";
        at[NS_MSG_FLUSHING_OBJ] = "Flushing obj %s\n";
        at[NS_MSG_FLUSHING_OBJ_OID] = "Flushing obj by oid %s\n";
        at[NS_MSG_INVALIDATE_VOB] = "view_invalidate vob '%s'\n";
        at[NS_MSG_INVALIDATE_VIEW] = "view_invalidate view\n";
        at[NS_MSG_INVALIDATE_NAME] = "view_invalidate vob '%s' dir '%s' leaf '%s'\n";
        at[NS_MSG_INVALIDATE_OBJ] = "view_invalidate vob '%s' object '%s'\n";
        at[NS_MSG_ESTALE] = "Returning ESTALE for object %s\n";
        at[NS_MSG_GPATH] = "view_cm_gpath of %s: %s\n";
        at[NS_MSG_CHECKOUT] = "Checkout of %s->%s\n";
        at[NS_MSG_STALE_PURGING] = "Vob stale 0x%lx: Purging %s in %s!\n";
        at[NS_MSG_STALE_FLUSHING] = "Vob stale %s: Flushing\n";
        at[NS_MSG_STALE_WHITEOUT] = "Vob stale 0x%lx: Creating white-out record of %s in %s\n";
        at[NS_MSG_VOB_ERROR] = "Unexpected error in VOB \"%s\" op %s:%s\nSee %s on host %s\n";
        at[NS_MSG_VOB_ERROR_OBJ] = "Unexpected error in VOB \"%s\" op %s (%s):%s\nSee %s on host %s\n";
        at[NS_MSG_CLTXT_VOB] = "Unable to construct cleartext for object in VOB \"%s\": %s\n";
        at[NS_MSG_CLTXT_NAME] = "Unable to get cleartext name for object \"%s\" in VOB \"%s\": %s\n";
        at[NS_MSG_CLTXT_OBJ] = "Unable to construct cleartext for object \"%s\" in VOB \"%s\": %s\n";
        at[NS_MSG_NO_MEMORY] = "Unable to malloc storage.\n";
        at[NS_MSG_LVUT_OBJ] = "updated LVUT mtype: %d  otype: %d  vob: %s from %d\n";
        at[NS_MSG_LVUT_VOB] = "updated LVUT vob %s from %d\n";
        at[NS_MSG_HASH_FREE] = "Failure freeing entry in hash table.\n";
        at[NS_MSG_HASH_ADD] = "Failure adding entry to hash table.\n";
        at[NS_MSG_PARENT_NO_VOB] = "Stale or invalid VOB UUID found in local database object entry: Unable to find "
                                   "registered VOB with UUID %s: %s\n";
        at[NS_MSG_PARENT_NO_ELEMENT] = "Stale or invalid element OID found in local database object entry: Unable to "
                                       "lookup/find element with OID %s in VOB %s\n";
        at[NS_MSG_PARENT_NO_VERSION] = "Unable to find any loaded version of element oid %s in VOB %s: %s\n";
        at[NS_MSG_PARENT_NO_OBJECT] = "Unable to find cache object for loaded version of element oid %s in VOB %s: %s\n";
        at[NS_MSG_PARENT_NO_PATH] = "Unable to construct full path for loaded version of element oid %s in VOB %s: %s\n";
    }
};

constexpr ViewTexts view_texts;

} // namespace

const _imsg_message_table_t _ostrela_lib_view_msg_table = {
    "lib_ostrel_agent", "view", 3, VIEW_COUNT, view_texts.at, view_texts.numbers,
};

bool ns_should_note(int verbosity) {
    return imsg_should_trace(NS_MSG_CATEGORY, verbosity, imsg_get_desired_verbosity()) != 0;
}
