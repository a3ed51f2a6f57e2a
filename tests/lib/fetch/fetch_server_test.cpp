// Content fetch against the test server over TLS: the remote commands the
// miss handlers send, one directory listing for however many threads ask at
// once while the server holds its reply (and one failure for all of them),
// background listings that make one request, and a thread holding the
// namespace mutex that meets a listing queued or running elsewhere.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/server_fetch_support.h"
#include "lib/fetch/ostrelagent_metadata_rpc.h"
#include "lib/fetch/ostrelagent_readdir_sb_req.h"
#include "lib/thread_test_support.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Names = std::vector<std::string>;
using thread_test::Background;
using thread_test::eventually;

const char* const VIEW_UUID = "0a1b2c3d-4e5f-4617-8899-aabbccddeeff";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";
const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";

// What the server loads on demand goes to the automatic load scope.
const std::string SCOPE =
    R"({"scope_oid": ")" + OstrelAgent_Util::id_text(AUTOMATIC_LOAD_SCOPE_OID) + R"(", "pname": "", "gn": 0})";

// A version `n` of element `elem` named `name`, as a listing's entry.
std::string entry(const std::string& name, unsigned n, unsigned mtype, unsigned elem) {
    return R"({"dirent": {"name": ")" + name + R"(", "ver_oid": ")" + id(n) + R"(", "ver_mtype": )" +
           std::to_string(mtype) + R"(}, "scope": )" + SCOPE + R"(, "obj": )" + vstat(n, mtype, elem) +
           R"(, "elem": )" + vstat(elem, mtype == 3 ? 2 : 5) + "}";
}

class ServerFetch : public ServerFetchTest {
protected:
    void SetUp() override {
        ServerFetchTest::SetUp();
        // The remote commands, not the scripted server.
        OstrelAgent_Metadata_Rpc::install_for_test(nullptr);
    }

    // The server with the VOB's root (/vobs/a: a.c, d) and `rules` before
    // it; logged in.
    void start(const std::string& rules) {
        const std::string root = R"({"match": {"rpc": ")" + std::string(METADATA_RPC) +
                                 R"("}, "reply": {"metadata": {"scope": )" + SCOPE + R"(, "obj": )" + vstat(11, 3, 10) +
                                 R"(, "elem": )" + vstat(10, 2) + "}}}";
        start_remote(rules + (rules.empty() ? "" : ", ") + root);
    }
    // The root directory's listing, held until the gate "listing" opens.
    static std::string listing_rule(const std::string& fault = R"({"hold": {"after_parts": 0, "gate": "listing"}})",
                                    const std::string& status = "") {
        return R"({"match": {"rpc": ")" + std::string(DIRECTORY_RPC) + R"(", "args": {"VersionOid": ")" + id(11) +
               R"("}}, "fault": )" + fault + R"(, "reply": {"directory": [)" + entry("a.c", 21, 6, 20) + ", " +
               entry("d", 31, 3, 30) + "]" + status + "}}";
    }
    // The requests of procedure `rpc` the server received (of the version
    // `version` when given).
    static std::vector<fakeserver::Json> requests_in(const std::vector<fakeserver::Json>& log,
                                                     const std::string& rpc, const std::string& version = "") {
        std::vector<fakeserver::Json> found;
        for (const fakeserver::Json& r : log) {
            if (r["rpc"].as_string() != rpc) continue;
            bool named = version.empty();
            for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"]))
                named = named || (arg.size() == 2 && arg[0] == "VersionOid" && arg[1] == version);
            if (named) found.push_back(r);
        }
        return found;
    }
    std::vector<fakeserver::Json> requests_of(const std::string& rpc) const {
        return requests_in(remote->requests(), rpc);
    }
    // How many askers share the registered listing of the root.
    unsigned sharing(unsigned root) const {
        return OstrelAgent_Readdir_Scoreboard::refcnt_for_test(OstrelAgent_Readdir_SB_req(vob_uuid, root));
    }

    // Eight threads list the root at once while the server holds the reply,
    // which is let go once all eight share one fetch; each one's status and
    // names.
    struct Outcome {
        int status = -1;
        Names names;
    };
    std::vector<Outcome> eight_readers(unsigned root) {
        std::vector<Outcome> outcomes(8);
        {
            std::vector<std::thread> readers;
            for (Outcome& o : outcomes)
                readers.emplace_back([&, root] {
                    std::vector<ostrelagent_dirent> out;
                    o.status = Meta::readdir_obj(vob_uuid, root, out);
                    o.names = names(out);
                });
            EXPECT_TRUE(eventually([&] { return sharing(root) == 8; })) << "sharing " << sharing(root);
            remote->open_gate("listing");
            for (std::thread& t : readers) t.join();
        }
        return outcomes;
    }
};

TEST_F(ServerFetch, TheMissHandlersAskTheServerForWhatTheViewDatabaseLacks) {
    start(R"({"match": {"rpc": ")" + std::string(LOOKUP_RPC) + R"(", "args": {"LeafName": "a.c"}},
              "reply": {"metadata": {"scope": )" + SCOPE + R"(, "obj": )" + vstat(21, 6, 20) + R"(, "elem": )" +
          vstat(20, 5) + R"(}}},
             {"match": {"rpc": ")" + LOOKUP_RPC + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})");
    const unsigned root = root_dbid(vob_uuid);
    std::vector<fakeserver::Json> roots = requests_of(METADATA_RPC);
    ASSERT_EQ(1u, roots.size());
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"ViewUuid", VIEW_UUID},
                                                      {"VobUuid", OstrelAgent_Util::id_text(vob_uuid)}}),
              fakeserver::string_rows(roots[0]["rpcargs"]));

    unsigned elem = 0, obj = 0;
    ostrel_vstat out{};
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "a.c", elem, obj, out));
    EXPECT_EQ(static_cast<unsigned>(db_dbid(21)), obj);
    EXPECT_EQ(static_cast<unsigned>(db_dbid(20)), elem);
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "a.c", elem, obj, out));
    EXPECT_EQ(S::NOT_FOUND, Meta::lookup_obj(vob_uuid, root, 0, "b.c", elem, obj, out));
    std::vector<fakeserver::Json> lookups = requests_of(LOOKUP_RPC);
    ASSERT_EQ(2u, lookups.size());
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"ViewUuid", VIEW_UUID},
                                                      {"VobUuid", OstrelAgent_Util::id_text(vob_uuid)},
                                                      {"VersionOid", id(11)},
                                                      {"LeafName", "a.c"}}),
              fakeserver::string_rows(lookups[0]["rpcargs"]));
    EXPECT_EQ(1u, pool()->background_queued());
    EXPECT_EQ(1u, requests_of(METADATA_RPC).size());
}

TEST_F(ServerFetch, EightThreadsListingOneDirectoryMakeOneRequest) {
    start(listing_rule());
    const unsigned root = root_dbid(vob_uuid);
    for (const Outcome& o : eight_readers(root)) {
        EXPECT_EQ(0, o.status);
        EXPECT_EQ((Names{"a.c", "d"}), o.names);
    }
    EXPECT_EQ(1u, requests_of(DIRECTORY_RPC).size());
    EXPECT_EQ(0u, sharing(root));
    EXPECT_TRUE(listed(vob_uuid, root));
    // The next reader is answered by the view database.
    std::vector<ostrelagent_dirent> out;
    ASSERT_EQ(0, Meta::readdir_obj(vob_uuid, root, out));
    EXPECT_EQ(1u, requests_of(DIRECTORY_RPC).size());
}

TEST_F(ServerFetch, AFailedListingReachesEveryReaderWithItsStatus) {
    start(listing_rule(R"({"hold": {"after_parts": 0, "gate": "listing"}})",
                       R"(, "status": {"code": 5, "message": "no such directory"})"));
    const unsigned root = root_dbid(vob_uuid);
    for (const Outcome& o : eight_readers(root)) {
        EXPECT_EQ(S::RPC_SERVER_FAILURE, o.status);
        EXPECT_TRUE(o.names.empty());
    }
    EXPECT_EQ(1u, requests_of(DIRECTORY_RPC).size());
    EXPECT_FALSE(listed(vob_uuid, root));
}

TEST_F(ServerFetch, BackgroundListingsMakeOneRequest) {
    start(listing_rule("{}"));
    const unsigned root = root_dbid(vob_uuid);
    // Twice in the background: one listing.
    Meta::readdir_in_background(vob_uuid, root);
    Meta::readdir_in_background(vob_uuid, root);
    EXPECT_EQ(1u, pool()->background_queued());
    pool()->run_all();
    EXPECT_EQ(1u, requests_of(DIRECTORY_RPC).size());

    // A queued one and a reader: the reader runs it, the pool finds it done.
    OstrelAgent_View_db_version dir(root, vob_uuid);
    ASSERT_EQ(0, dir.load_data());
    ASSERT_EQ(0, dir.set_readdir_done(false));
    Meta::readdir_in_background(vob_uuid, root);
    std::vector<ostrelagent_dirent> out;
    ASSERT_EQ(0, Meta::readdir_obj(vob_uuid, root, out));
    EXPECT_EQ((Names{"a.c", "d"}), names(out));
    pool()->run_all();
    EXPECT_EQ(2u, requests_of(DIRECTORY_RPC).size());
}

// A thread that holds the namespace mutex (as a kernel request thread does)
// and lists a directory whose listing is queued runs it itself; one whose
// listing runs on another thread waits for it, which needs no namespace
// mutex, also when an entry cannot be stored (its flush goes to the pool).
TEST_F(ServerFetch, ANamespaceThreadNeverWaitsForThePoolNorDeadlocksWithIt) {
    // An entry whose element has a kind no element has cannot be stored.
    const std::string unstorable = R"({"dirent": {"name": "bad.c", "ver_oid": ")" + id(51) + R"(", "ver_mtype": 6},
                                       "scope": )" + SCOPE + R"(, "obj": )" + vstat(51, 6, 50) + R"(, "elem": )" +
                                   vstat(50, 9) + "}";
    start(R"({"match": {"rpc": ")" + std::string(DIRECTORY_RPC) + R"(", "args": {"VersionOid": ")" + id(31) +
          R"("}}, "fault": {"hold": {"after_parts": 0, "gate": "d"}}, "reply": {"directory": [)" +
          entry("g.c", 41, 6, 40) + ", " + unstorable + "]}}, " + listing_rule("{}"));
    const unsigned root = root_dbid(vob_uuid);
    Meta::readdir_in_background(vob_uuid, root);
    {
        Background kernel_thread([&] {
            Ns_Cache_Lock lock;
            std::vector<ostrelagent_dirent> out;
            EXPECT_EQ(0, Meta::readdir_obj(vob_uuid, root, out));
        });
        EXPECT_TRUE(kernel_thread.finished()) << "the reader waited for the pool";
    }

    unsigned elem = 0, d = 0;
    ostrel_vstat out{};
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root, 0, "d", elem, d, out));
    Meta::readdir_in_background(vob_uuid, d);
    Background pool_worker([&] { pool()->run_all(); });
    ASSERT_TRUE(remote->wait_for_log([&](const std::vector<fakeserver::Json>& log) {
        return !requests_in(log, DIRECTORY_RPC, id(31)).empty();
    }));
    Background kernel_thread([&] {
        Ns_Cache_Lock lock;
        std::vector<ostrelagent_dirent> listing;
        EXPECT_EQ(S::GENERAL_FAILURE, Meta::readdir_obj(vob_uuid, d, listing));
    });
    EXPECT_TRUE(eventually([&] {
        return OstrelAgent_Readdir_Scoreboard::refcnt_for_test(OstrelAgent_Readdir_SB_req(vob_uuid, d)) == 2;
    }));
    remote->open_gate("d");
    EXPECT_TRUE(kernel_thread.finished()) << "deadlocked";
    EXPECT_TRUE(pool_worker.finished());
    EXPECT_EQ(1u, requests_in(remote->requests(), DIRECTORY_RPC, id(31)).size());
    // The flush of the directory it queued ran on the pool.
    pool()->run_foreground();
    const std::vector<std::string> flushed = {"inval_obj", OstrelAgent_Util::id_text(vob_uuid), id(31), "13"};
    const std::vector<std::vector<std::string>> told = invalidations();
    EXPECT_NE(told.end(), std::find(told.begin(), told.end(), flushed));
}

} // namespace
