// The agent's message catalogs, formatted by 0-based position.

#include "lib/core/ostrelagent_bin_msg.h"
#include "lib/core/ostrelagent_lib_msg.h"

#include <string>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_util.h"

namespace {

using U = OstrelAgent_Util;

TEST(LibCatalogs, IdentityAndNumbering) {
    const _imsg_message_table_t& lib = _ostrela_lib_lib_msg_table;
    EXPECT_STREQ(lib.library, "lib_ostrel_agent");
    EXPECT_STREQ(lib.prefix, "ostrela_lib");
    EXPECT_EQ(lib.catalog_number, 111);
    ASSERT_EQ(lib.count, 132);
    EXPECT_EQ(lib.numbers[0], 1);
    EXPECT_EQ(lib.numbers[131], 139);
    for (int i = 1; i < lib.count; ++i) ASSERT_LT(lib.numbers[i - 1], lib.numbers[i]) << i;
    for (int unused : {17, 49, 70, 71, 72, 81, 96}) {
        for (int i = 0; i < lib.count; ++i) EXPECT_NE(lib.numbers[i], unused);
    }

    const _imsg_message_table_t& bin = _ostrela_bin_bin_msg_table;
    EXPECT_STREQ(bin.library, "bin_ostrel_agent");
    EXPECT_STREQ(bin.prefix, "ostrela_bin");
    EXPECT_EQ(bin.catalog_number, 1);
    ASSERT_EQ(bin.count, 6);
    for (int i = 0; i < bin.count; ++i) EXPECT_EQ(bin.numbers[i], i + 1);
}

TEST(LibCatalogs, FormatAddressesMessagesByPosition) {
    const void* lib = &_ostrela_lib_lib_msg_table;
    const void* bin = &_ostrela_bin_bin_msg_table;
    const struct {
        std::string got;
        std::string want;
    } cases[] = {
        // Position 72 is message number 78, not number 72.
        {U::format(lib, 72, "v1", 5, 6), "Unable to find VOB v1 obj 5 elem 6 in database\n"},
        {U::format(lib, 0, 13, "/s"), "Error \"13\" creating view storage directory \"/s\".\n"},
        {U::format(lib, 14), "View information not found."},
        {U::format(lib, 16), "Client is disconnected from the server.\n"},
        {U::format(lib, 27, "tag"), "\"tag\" not found in XML request.\n"},
        {U::format(lib, 38, "/c"),
         "Cleartext cache directories may not be nested. Ancestor of  \"/c\" is a cleartext cache "
         "location.\n"},
        {U::format(lib, 73), "ostrel_agent is shutting down; no new requests can be processed.\n"},
        {U::format(lib, 89, "/p"), "Internal error retrieving dbid for path '/p'"},
        {U::format(lib, 115, 1u, 4194304u),
         "Unable to set cache size to 1: minimum size is 4194304\n"},
        {U::format(lib, 123, "h"),
         "View started on wrong host.  This view is registered on host \"h\"."},
        {U::format(lib, 124, "o", "r", "e"), "Unable to flush cached entry for oid:o@replicauuid:r: e\n"},
        {U::format(lib, 125, 15999), "Request line longer than 15999 characters.\n"},
        {U::format(bin, 0, "/stg", "host"), "Using view \"/stg\", on host \"host\".\n"},
        {U::format(bin, 4, 0), "Exiting, status = 0.\n"},
        {U::format(bin, 5), "Interrupted...exiting.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(LibCatalogs, BadPositionGivesInternalErrorText) {
    const void* lib = &_ostrela_lib_lib_msg_table;
    const void* bin = &_ostrela_bin_bin_msg_table;
    EXPECT_EQ(U::format(lib, 132), "Internal error: could not load message 132");
    EXPECT_EQ(U::format(lib, -3), "Internal error: could not load message -3");
    EXPECT_EQ(U::format(bin, 6), "Internal error: could not load message 6");
}

TEST(LibCatalogs, OverlongMessageGivesTooLongText) {
    const void* lib = &_ostrela_lib_lib_msg_table;
    // Message 12 is "%s is already mounted.\n".
    const std::string suffix = " is already mounted.\n";
    const size_t limit = U::FORMAT_BUFFER_SIZE - 1;
    const std::string fits(limit - suffix.size(), 'v');
    std::string got = U::format(lib, 12, fits.c_str());
    EXPECT_EQ(got.size(), limit);
    EXPECT_TRUE(got == fits + suffix); // no dump of 150 KB on failure

    const std::string too_long(limit - suffix.size() + 1, 'v');
    got = U::format(lib, 12, too_long.c_str());
    EXPECT_EQ(got.substr(0, 80), "Internal error: message 12 is too long");
}

} // namespace
