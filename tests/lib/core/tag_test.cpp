// The client protocol's names: exact texts, no two constants alike.

#include "lib/core/ostrelagent_tag.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using T = OstrelAgent_Tag;

TEST(LibTag, EveryNameIsSpelledExactly) {
    const std::vector<std::pair<const std::string*, const char*>> names = {
        {&T::STATUS, "status"},
        {&T::STATUS_CODE, "status-code"},
        {&T::STATUS_MESSAGE, "status-message"},
        {&T::VERSION, "version"},
        {&T::TRANS_ID, "tx-id"},
        {&T::CHECKIN, "Checkin"},
        {&T::CHECKOUT, "Checkout"},
        {&T::CONNECT, "Connect"},
        {&T::DISCONNECT, "Disconnect"},
        {&T::ENDVIEW, "EndView"},
        {&T::GETAGGREGATEDSTATE, "GetAggregatedState"},
        {&T::GETCACHE, "GetCache"},
        {&T::GETCHILDREN, "GetChildren"},
        {&T::GETCONFIGSPEC, "GetConfigSpec"},
        {&T::GETMETADATA, "GetMetadata"},
        {&T::GETMOUNTEDVOBLIST, "GetMountedVobList"},
        {&T::HIJACK, "Hijack"},
        {&T::INVALIDATECHECKOUTS, "InvalidateCheckouts"},
        {&T::ISPROJECTVOB, "IsProjectVob"},
        {&T::ISUPDATEINPROGRESS, "IsUpdateInProgress"},
        {&T::ISVOBMOUNTED, "IsVobMounted"},
        {&T::ISVOBPUBLIC, "IsVobPublic"},
        {&T::LOAD, "Load"},
        {&T::MERGEDIRECTORY, "MergeDirectory"},
        {&T::MKELEM, "Mkelem"},
        {&T::MKVIEW, "MkView"},
        {&T::MOUNTVOB, "MountVob"},
        {&T::MOVE, "Move"},
        {&T::RMNAME, "Rmname"},
        {&T::RESTORE, "Restore"},
        {&T::SETCACHE, "SetCache"},
        {&T::SETCONFIGSPEC, "SetConfigSpec"},
        {&T::STARTVIEW, "StartView"},
        {&T::UNCHECKOUT, "Uncheckout"},
        {&T::UNHIJACK, "Unhijack"},
        {&T::UPDATE, "Update"},
        {&T::UNKNOWN, "Unknown"},
        {&T::XMLERROR, "XMLError"},
        {&T::SHUTDOWN_IN_PROGRESS, "ShutdownInProgress"},
        {&T::RESOURCE_TYPE, "type"},
        {&T::IS_TESSEL, "is-tessel"},
        {&T::CLTXT_CACHE, "shared-cltxt-path"},
        {&T::ONLINE, "online"},
        {&T::TRUE_STRING, "true"},
        {&T::FALSE_STRING, "false"},
        {&T::ACCESS_TIME, "access-time"},
        {&T::CANONICAL_PATH, "canonical-path"},
        {&T::CREATION_TIME, "creation-time"},
        {&T::ELEMENT_OID, "element-oid"},
        {&T::IS_CHECKED_OUT, "is-checked-out"},
        {&T::IS_DIRECTORY, "is-directory"},
        {&T::IS_ECLIPSED, "is-eclipsed"},
        {&T::IS_HIJACKED, "is-hijacked"},
        {&T::IS_SYMLINK, "is-symlink"},
        {&T::IS_VERSION_CONTROLLED, "is-version-controlled"},
        {&T::IS_VOB_ROOT, "is-vob-root"},
        {&T::LAST_MODIFIED_TIME, "last-modified-time"},
        {&T::MTYPE, "mtype"},
        {&T::OBJECT_OID, "object-oid"},
        {&T::PATH, "path"},
        {&T::SIZE, "size"},
        {&T::SYMLINK_TARGET, "symlink-target"},
        {&T::VERSION_NAME, "version-name"},
        {&T::VOB_TAG, "vob-tag"},
    };
    ASSERT_EQ(names.size(), 64u);
    std::set<std::string> seen;
    for (const auto& [constant, text] : names) {
        EXPECT_EQ(*constant, text);
        // No two constants share a text.
        EXPECT_TRUE(seen.insert(*constant).second) << *constant;
    }
    EXPECT_NE(T::MKVIEW, T::MKELEM);
}

} // namespace
