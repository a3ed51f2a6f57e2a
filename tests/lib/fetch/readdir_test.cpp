// The directory fetch above the scripted server: a listing fetched once,
// stored and marked complete, then read from the view database; offline the
// names stored so far; an entry that cannot be stored; background listings
// queued once, and a foreground reader that runs a queued one itself; a
// directory named again by its parent's listing stays listed.

#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Names = std::vector<std::string>;

class DirectoryFetch : public FetchTest {
protected:
    int readdir(unsigned dir, std::vector<ostrelagent_dirent>& out) { return Meta::readdir_obj(vob_uuid, dir, out); }
    // A listing the caller held before: a failure leaves it alone.
    static std::vector<ostrelagent_dirent> held() {
        ostrelagent_dirent d{};
        std::snprintf(d.name, sizeof d.name, "%s", "held");
        return {d};
    }
};

TEST_F(DirectoryFetch, AListingIsFetchedOnceStoredCompleteAndThenReadFromTheViewDatabase) {
    // The server's listing names "." and ".." too.
    dir(10, 11, {{".", 10}, {"..", 10}, {"a.c", 20}, {"ln", 50}, {"d", 30}});
    const unsigned root = root_dbid(vob_uuid);
    const size_t flushes = pool()->foreground_queued();
    std::vector<ostrelagent_dirent> out = held();
    ASSERT_EQ(0, readdir(root, out));
    EXPECT_EQ((Names{"a.c", "ln", "d"}), names(out));
    // Each name with its element (a link is its own).
    std::vector<unsigned> dbids;
    for (const ostrelagent_dirent& d : out) dbids.push_back(d.dbid);
    EXPECT_EQ((std::vector<unsigned>{static_cast<unsigned>(db_dbid(20)), static_cast<unsigned>(db_dbid(50)),
                                     static_cast<unsigned>(db_dbid(30))}),
              dbids);
    EXPECT_TRUE(listed(vob_uuid, root));
    EXPECT_EQ(1u, server.calls(Server::LISTING));
    // The complete mark changed what the kernel shows of the directory.
    EXPECT_EQ(flushes + 1, pool()->foreground_queued());

    // Read again, offline too: the view database answers.
    OstrelAgent_Server::g_online = 0;
    std::vector<ostrelagent_dirent> again;
    ASSERT_EQ(0, readdir(root, again));
    EXPECT_EQ(names(out), names(again));
    EXPECT_EQ(1u, server.calls(Server::LISTING));
    // So are its names, without a look-up.
    unsigned elem = 0, obj = 0;
    ostrel_vstat status{};
    EXPECT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "d", elem, obj, status));
    EXPECT_EQ(S::NOT_FOUND, Meta::lookup_obj(vob_uuid, root, 0, "nope", elem, obj, status));
    EXPECT_EQ(0u, server.calls(Server::LOOKUP));
}

TEST_F(DirectoryFetch, OfflineAnUnlistedDirectoryGivesTheNamesStoredSoFar) {
    const unsigned root = root_dbid(vob_uuid);
    unsigned elem = 0, d = 0;
    ostrel_vstat status{};
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "d", elem, d, status));
    OstrelAgent_Server::g_online = 0;
    std::vector<ostrelagent_dirent> out = held();
    ASSERT_EQ(0, readdir(root, out));
    EXPECT_EQ((Names{"d"}), names(out));
    // A directory with no name stored is an empty listing.
    std::vector<ostrelagent_dirent> none = held();
    ASSERT_EQ(0, readdir(d, none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(listed(vob_uuid, root));
    EXPECT_EQ(0u, server.calls(Server::LISTING));
}

TEST_F(DirectoryFetch, AnEntryThatCannotBeStoredLeavesTheDirectoryUnlisted) {
    // An element of a kind no element has, which the view database
    // refuses, among good ones.
    element(vob_uuid, 90, 9, 91, 0644);
    script(91, FILE_VER, 90, 0644);
    dir(10, 11, {{"a.c", 20}, {"bad.c", 90}, {"d", 30}});
    const unsigned root = root_dbid(vob_uuid);
    const size_t flushes = pool()->foreground_queued();
    std::vector<ostrelagent_dirent> out = held();
    EXPECT_EQ(S::GENERAL_FAILURE, readdir(root, out));
    EXPECT_EQ((Names{"held"}), names(out));
    EXPECT_FALSE(listed(vob_uuid, root));
    // The good names were stored.
    unsigned elem = 0, obj = 0;
    ostrel_vstat status{};
    EXPECT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "d", elem, obj, status));
    EXPECT_EQ(0u, server.calls(Server::LOOKUP));
    // The caches' copies of the directory go, on the pool: the namespace
    // cache's and the kernel's.
    ASSERT_EQ(flushes + 1, pool()->foreground_queued());
    const size_t told = invalidations().size();
    pool()->run_foreground();
    const std::vector<std::vector<std::string>> lines = invalidations();
    ASSERT_EQ(told + 1, lines.size());
    EXPECT_EQ((std::vector<std::string>{"inval_obj", OstrelAgent_Util::id_text(vob_uuid),
                                        OstrelAgent_Util::id_text(oid_of(11)), "13"}),
              lines.back());
    // The next listing fetches again.
    EXPECT_EQ(S::GENERAL_FAILURE, readdir(root, out));
    EXPECT_EQ(2u, server.calls(Server::LISTING));
}

TEST_F(DirectoryFetch, AFailedFetchGivesItsStatusAndTheListingStaysAsItWas) {
    const unsigned root = root_dbid(vob_uuid);
    for (int status : {S::RPC_INCOMPLETE, S::RPC_SERVER_FAILURE}) {
        server.fail(Server::LISTING, status, QEL_ST_INTERNAL, 1);
        std::vector<ostrelagent_dirent> out = held();
        EXPECT_EQ(status, readdir(root, out));
        EXPECT_EQ((Names{"held"}), names(out));
        EXPECT_FALSE(listed(vob_uuid, root));
    }
    // A VOB the view database does not know, a directory without oid.
    std::vector<ostrelagent_dirent> out = held();
    EXPECT_EQ(S::NOT_FOUND, Meta::readdir_obj(uuid_of(9), root, out));
    EXPECT_EQ(S::MALFORMED_REQUEST, readdir(7777, out));
    EXPECT_EQ((Names{"held"}), names(out));
}

TEST_F(DirectoryFetch, BackgroundListingsAreQueuedOnceAndAForegroundReaderRunsAQueuedOneItself) {
    const unsigned root = root_dbid(vob_uuid);
    Meta::readdir_in_background(vob_uuid, root);
    Meta::readdir_in_background(vob_uuid, root);
    Meta::readdir_in_background(vob_uuid, oid_of(11));
    Meta::readdir_in_background(vob_uuid, oid_of(99));  // no such version: nothing
    EXPECT_EQ(1u, pool()->background_queued());
    EXPECT_EQ(0u, server.calls(Server::LISTING));

    // A reader does not wait for the pool: it runs the queued listing, and
    // the pool's run later finds it done.
    std::vector<ostrelagent_dirent> out;
    ASSERT_EQ(0, readdir(root, out));
    EXPECT_EQ((Names{"a.c", "ln", "d"}), names(out));
    EXPECT_EQ(1u, server.calls(Server::LISTING));
    EXPECT_EQ(1u, pool()->background_queued());
    pool()->run_all();
    EXPECT_EQ(1u, server.calls(Server::LISTING));

    // Done and released, the next background listing is queued again (and
    // then answered from the view database).
    Meta::readdir_in_background(vob_uuid, root);
    EXPECT_EQ(1u, pool()->background_queued());
    pool()->run_all();
    EXPECT_EQ(1u, server.calls(Server::LISTING));
}

// A directory listed whole and then named again, unchanged, by its
// parent's listing (a background listing that a look-up in the parent
// queued, say) stays listed: a checkin of the directory reads the new
// version's listing only while the old one's is complete.
TEST_F(DirectoryFetch, AParentsListingKeepsTheListingOfADirectoryItNamesAgain) {
    const unsigned root = root_dbid(vob_uuid);
    unsigned elem = 0, d = 0;
    ostrel_vstat status{};
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "d", elem, d, status));
    std::vector<ostrelagent_dirent> out;
    ASSERT_EQ(0, readdir(d, out));
    ASSERT_TRUE(listed(vob_uuid, d));
    ASSERT_EQ(0, readdir(root, out));
    EXPECT_EQ(2u, server.calls(Server::LISTING));
    EXPECT_TRUE(listed(vob_uuid, d)) << "the parent's listing forgot the directory's";
    pool()->run_all();
    ASSERT_EQ(0, readdir(d, out));
    EXPECT_EQ(2u, server.calls(Server::LISTING));
}

TEST_F(DirectoryFetch, ACancelledBackgroundListingFetchesNothing) {
    const unsigned root = root_dbid(vob_uuid);
    Meta::readdir_in_background(vob_uuid, root);
    pool()->cancel_all();
    EXPECT_EQ(0u, pool()->background_queued());
    EXPECT_EQ(0u, server.calls(Server::LISTING));
    // Its entry went with it: a listing now runs.
    std::vector<ostrelagent_dirent> out;
    ASSERT_EQ(0, readdir(root, out));
    EXPECT_EQ(1u, server.calls(Server::LISTING));
}

} // namespace
