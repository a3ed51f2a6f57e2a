// The view and VOB queries and GetCache as a client tool sees them, on the
// element bench: the answers follow the VOBs the view mounts and unmounts
// and the update slot while an Update is held on the server; GetCache shows
// the namespace cache as the test has filled it through the kernel's
// channel. The queries change nothing: no invalidation reaches the kernel
// and the server hears of none of them.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "element_bench.h"
#include "tools/korva_sim/kernel_side.h"
#include "update_fixture.h"

namespace e2e {
namespace {

using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;

const char* const REPLICA2 = "8a000000-0000-4000-8000-0000000000b2";
const char* const FAMILY2 = "8f000000-0000-4000-8000-0000000000b2";

class E2eQueries : public E2eElement {
protected:
    // A query's one result element, as "<tag> <text>" ("status-code" first).
    std::string ask(const std::string& root, const std::string& body = "") {
        const lib_test::Reply reply = call(make_request(root, "q-" + root, body));
        const std::vector<lib_test::Reply_Element> found = results(reply);
        EXPECT_EQ(1u, found.size()) << root;
        return status(reply) + (found.empty() ? std::string() : " " + found[0].tag + " " + found[0].text);
    }
    std::string about(const std::string& root, const std::string& vob_tag) {
        return ask(root, "<vob-tag>" + vob_tag + "</vob-tag>");
    }
    Lines mounted() {
        const lib_test::Reply reply = call(make_request("GetMountedVobList", "q-list"));
        EXPECT_EQ("0", status(reply)) << message(reply);
        const std::vector<lib_test::Reply_Element> found = results(reply);
        Lines tags;
        if (found.size() != 1 || found[0].tag != "mounted-vob-list") {
            ADD_FAILURE() << "no list of mounted VOBs";
            return tags;
        }
        for (const lib_test::Reply_Element& vob : found[0].children) tags.push_back(vob.tag + " " + vob.text);
        return tags;
    }
    // Every answer about a VOB: mounted, public, project VOB.
    std::string answers(const std::string& vob_tag) {
        return about("IsVobMounted", vob_tag) + ", " + about("IsVobPublic", vob_tag) + ", " +
               about("IsProjectVob", vob_tag);
    }
    size_t server_heard() { return server().requests().size(); }
};

TEST_F(E2eQueries, TheVobQueriesFollowTheMountedVobsOneAndTwo) {
    // A second VOB that the server gives as a project VOB, not public.
    vob().add_vob("/vob2", REPLICA2, FAMILY2);
    vob().add_rule_before(R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc", "args": {"VobTag": "/vob2"}},
        "reply": {"vobinfo": {"VobFamilyUuid": ")" + std::string(FAMILY2) + R"(", "VobReplicaUuid": ")" + REPLICA2 +
                          R"(", "VobStorage": "host:/store/vob2.vbs", "IsPublic": "0", "IsProject": "1"}}})");
    const std::string yes_public = "0 mount-state true, 0 is-public true, 0 is-project-vob false";
    const std::string project = "0 mount-state true, 0 is-public false, 0 is-project-vob true";
    const std::string absent = "0 mount-state false, 0 is-public false, 0 is-project-vob false";
    const struct {
        const char* name;
        std::function<void()> step;
        Lines listed;
        std::map<std::string, std::string> answered;
    } rows[] = {
        {"one VOB", [] {}, {"vob-tag /vob1"},
         {{"/vob1", yes_public}, {"/vob2", absent}, {"/VOB1", absent}, {"/vob1/", absent}}},
        {"a second VOB mounted", [&] { ASSERT_EQ("0", status(mount_vob("/vob2"))); },
         {"vob-tag /vob1", "vob-tag /vob2"}, {{"/vob1", yes_public}, {"/vob2", project}}},
        {"the second VOB unmounted",
         [&] {
             const lib_test::Reply reply =
                 call(make_request("MountVob", "unmount", "<vob-tag mount-state=\"false\">/vob2</vob-tag>"));
             ASSERT_EQ("0", status(reply)) << message(reply);
         },
         {"vob-tag /vob1"}, {{"/vob1", yes_public}, {"/vob2", absent}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.step();
        const size_t mark = journal_mark();
        const size_t heard = server_heard();
        EXPECT_EQ(row.listed, mounted());
        for (const auto& answer : row.answered) EXPECT_EQ(answer.second, answers(answer.first)) << answer.first;
        EXPECT_EQ(Lines{}, invalidations_since(mark));
        EXPECT_EQ(heard, server_heard());
    }

    // A question without its VOB is refused, and still answered "false".
    const lib_test::Reply refused = call(make_request("IsVobPublic", "q-empty", "<vob-tag></vob-tag>"));
    EXPECT_EQ("20021", status(refused));
    EXPECT_NE(std::string::npos, message(refused).find("Parse error in")) << message(refused);
    ASSERT_EQ(1u, results(refused).size());
    EXPECT_EQ("false", results(refused)[0].text);
}

TEST_F(E2eQueries, AnUpdateIsInProgressWhileTheServerHoldsItAndNotAfter) {
    EXPECT_EQ("0 is-update-in-progress false", ask("IsUpdateInProgress"));
    vob().checkin("/vob1/a.c", std::string("held\n"));
    vob().add_fault(SYNC_RPC, R"({"hold": {"after_parts": 1, "gate": "update"}})");
    const lib_test::Reply reply = call(make_request("Update", "held"));
    ASSERT_EQ("0", status(reply)) << message(reply);
    ASSERT_TRUE(server().wait_for_log([&](const std::vector<fakeserver::Json>&) { return view_updates().size() == 2; }));

    // Held: in progress, and the other queries are answered meanwhile.
    EXPECT_EQ("0 is-update-in-progress true", ask("IsUpdateInProgress"));
    EXPECT_EQ(Lines{"vob-tag /vob1"}, mounted());
    EXPECT_EQ("0 mount-state true", about("IsVobMounted", "/vob1"));
    EXPECT_EQ("0 is-update-in-progress true", ask("IsUpdateInProgress"));

    server().open_gate("update");
    EXPECT_EQ("Succeeded", finished_log(reply.children.at("log-file")).tail_value("Status"));
    EXPECT_TRUE(eventually([&] { return ask("IsUpdateInProgress") == "0 is-update-in-progress false"; }));
    if (!mount_view()) return;
    EXPECT_TRUE(eventually([&] { return file("/vob1/a.c").bytes == "held\n"; }));
}

// ---- GetCache ---------------------------------------------------------------------------

// A GetCache reply: its status and its statistics by name, in order.
struct Statistics {
    std::string status;
    Lines names;
    std::map<std::string, long long> values;

    // The value of "VIEW_STATS_TYPE_<name>".
    long long operator[](const std::string& name) const {
        const auto it = values.find("VIEW_STATS_TYPE_" + name);
        if (it != values.end()) return it->second;
        ADD_FAILURE() << "no statistic " << name;
        return -1;
    }
};

const char* const CACHES[] = {"LUP", "RDDIR", "FSTAT", "OBJ"};

// What every reply shows, whatever the state: the names in their order,
// the budgets of the total size, whole entries of the object and status
// caches, each period's figures equal to their totals (nothing prints the
// statistics), and the name cache's bucket misses never counted.
void expect_consistent(const Statistics& s) {
    EXPECT_EQ("0", s.status);
    const Lines names = {
        "LUP_COUNT",   "LUP_SIZE",      "LUP_CAPACITY",  "LUP_REQS",       "LUP_HITS",      "LUP_REQS_ALL",
        "LUP_HITS_ALL", "LUP_MISSBH",   "LUP_MISSBH_ALL", "RDDIR_COUNT",   "RDDIR_SIZE",    "RDDIR_CAPACITY",
        "RDDIR_REQS",  "RDDIR_HITS",    "RDDIR_REQS_ALL", "RDDIR_HITS_ALL", "FSTAT_COUNT",  "FSTAT_SIZE",
        "FSTAT_CAPACITY", "FSTAT_REQS", "FSTAT_HITS",    "FSTAT_REQS_ALL", "FSTAT_HITS_ALL", "OBJ_COUNT",
        "OBJ_SIZE",    "OBJ_CAPACITY",  "OBJ_REQS",      "OBJ_HITS",       "OBJ_REQS_ALL",  "OBJ_HITS_ALL",
        "OBJ_RECLAIMS", "OBJ_RECLAIMS_ALL", "LUP_FLUSH", "LUP_EJECT",      "RDDIR_FLUSH",   "RDDIR_EJECT",
        "FSTAT_FLUSH", "FSTAT_EJECT",   "OBJ_FLUSH",     "OBJ_EJECT",      "TOTAL_SIZE"};
    Lines expected;
    for (const std::string& name : names) expected.push_back("VIEW_STATS_TYPE_" + name);
    EXPECT_EQ(expected, s.names);
    const long long total = s["TOTAL_SIZE"];
    const long long dir = total * 4 / 10;
    const long long units = (total - dir) / 392;
    EXPECT_EQ(units * 48, s["LUP_CAPACITY"]);
    EXPECT_EQ(dir, s["RDDIR_CAPACITY"]);
    EXPECT_EQ(units * 144, s["FSTAT_CAPACITY"]);
    EXPECT_EQ(units * 200, s["OBJ_CAPACITY"]);
    EXPECT_EQ(100 * s["OBJ_COUNT"], s["OBJ_SIZE"]);
    EXPECT_EQ(144 * s["FSTAT_COUNT"], s["FSTAT_SIZE"]);
    for (const std::string cache : CACHES) {
        EXPECT_EQ(s[cache + "_REQS_ALL"], s[cache + "_REQS"]) << cache;
        EXPECT_EQ(s[cache + "_HITS_ALL"], s[cache + "_HITS"]) << cache;
        EXPECT_LE(s[cache + "_HITS_ALL"], s[cache + "_REQS_ALL"]) << cache;
    }
    EXPECT_EQ(s["OBJ_RECLAIMS_ALL"], s["OBJ_RECLAIMS"]);
    EXPECT_EQ(0, s["LUP_MISSBH"]);
    EXPECT_EQ(0, s["LUP_MISSBH_ALL"]);
}

// The change of each statistic from `before` to `after`, for those named.
std::map<std::string, long long> change(const Statistics& before, const Statistics& after, const Lines& names) {
    std::map<std::string, long long> out;
    for (const std::string& name : names) out[name] = after[name] - before[name];
    return out;
}

TEST_F(E2eQueries, GetCacheShowsTheCacheStateTheTestBuilt) {
    const auto get_cache = [&] {
        const lib_test::Reply reply = call(make_request("GetCache", "q-cache"));
        Statistics out;
        out.status = status(reply);
        const std::vector<lib_test::Reply_Element> found = results(reply);
        if (found.size() != 1 || found[0].tag != "cache") {
            ADD_FAILURE() << "no cache element";
            return out;
        }
        for (const lib_test::Reply_Element& row : found[0].children) {
            out.names.push_back(row.attrs.at("name"));
            out.values[row.attrs.at("name")] = std::stoll(row.attrs.at("value"));
        }
        expect_consistent(out);
        return out;
    };
    std::unique_ptr<Kernel_Side> kernel(new Kernel_Side);
    ASSERT_EQ(0, kernel->connect(korva_root, tag(), uuid_for(VIEW)));
    const auto fh_of = [](const ordered_json& reply) { return korva_sim_test::field_of(reply, "fh"); };
    const auto lookup = [&](const json& dir, const std::string& name) {
        const ordered_json reply = kernel->call({{"call", "lookup"}, {"dir", dir}, {"name", name}});
        EXPECT_EQ(0, reply.value("rpc_status", -1)) << reply.dump();
        return reply;
    };
    const auto readdir = [&](const json& dir) {
        const ordered_json reply =
            kernel->call({{"call", "readdir"}, {"dir", dir}, {"offset", 0u}, {"max_size", 8744u}});
        EXPECT_TRUE(replied(reply)) << reply.dump();
    };
    const auto flush_all = [&] { ASSERT_TRUE(replied(kernel->call({{"call", "invalidate"}, {"kind", 1u}}))); };
    const auto vob_root = [&] {
        const ordered_json reply = kernel->call({{"call", "root"}, {"replica_uuid", Served_Vob::REPLICA}});
        EXPECT_TRUE(replied(reply)) << reply.dump();
        return reply;
    };
    const Lines holdings = {"LUP_COUNT", "LUP_SIZE", "RDDIR_COUNT", "RDDIR_SIZE",
                            "FSTAT_COUNT", "FSTAT_SIZE", "OBJ_COUNT", "OBJ_SIZE"};
    const Lines names = {"LUP_COUNT", "LUP_SIZE", "LUP_REQS_ALL", "LUP_HITS_ALL"};

    // What the test reads is read once first, until the VOB root's listing
    // is cached: the view database then holds it all, whatever the server
    // had to be asked for (and the flushes that its answers bring are over).
    EXPECT_TRUE(eventually([&] {
        readdir(fh_of(vob_root()));
        return get_cache()["RDDIR_COUNT"] > 0;
    }));
    lookup(fh_of(vob_root()), "absent.c");
    lookup(fh_of(vob_root()), "dir");

    // The kernel drops the whole view: every cache is empty. From here on
    // the view database answers everything, the server nothing.
    const size_t heard = server_heard();
    flush_all();
    const Statistics empty = get_cache();
    for (const std::string& name : holdings) EXPECT_EQ(0, empty[name]) << name;
    const ordered_json root = vob_root();

    // A name the VOB lacks is remembered as such (41 bytes and its name's),
    // and then answered from the cache.
    const Statistics before = get_cache();
    EXPECT_TRUE(replied(lookup(fh_of(root), "absent.c"), 1052));
    const Statistics missed = get_cache();
    EXPECT_EQ((std::map<std::string, long long>{{"LUP_COUNT", 1}, {"LUP_SIZE", 41 + 8}, {"LUP_REQS_ALL", 1},
                                                {"LUP_HITS_ALL", 0}}),
              change(before, missed, names));
    EXPECT_TRUE(replied(lookup(fh_of(root), "absent.c"), 1052));
    const Statistics hit = get_cache();
    EXPECT_EQ((std::map<std::string, long long>{{"LUP_COUNT", 0}, {"LUP_SIZE", 0}, {"LUP_REQS_ALL", 1},
                                                {"LUP_HITS_ALL", 1}}),
              change(missed, hit, names));

    // A directory found: its name is held, and objects (100 bytes each)
    // and statuses (144 bytes each) for it.
    const ordered_json dir = lookup(fh_of(root), "dir");
    ASSERT_TRUE(replied(dir)) << dir.dump();
    const Statistics found = get_cache();
    EXPECT_EQ((std::map<std::string, long long>{{"LUP_COUNT", 1}, {"LUP_SIZE", 41 + 3}, {"LUP_REQS_ALL", 1},
                                                {"LUP_HITS_ALL", 0}}),
              change(hit, found, names));
    EXPECT_LT(hit["OBJ_COUNT"], found["OBJ_COUNT"]);
    EXPECT_LT(hit["FSTAT_COUNT"], found["FSTAT_COUNT"]);

    // The VOB root's listing, which the view database holds whole: 32
    // bytes, and 17 and its name's for each entry.
    readdir(fh_of(root));
    const Statistics listed = get_cache();
    EXPECT_EQ(1, listed["RDDIR_COUNT"]);
    long long listing_size = 32;
    for (const std::string& name : vob().names(Served_Vob::TAG)) listing_size += 17 + static_cast<long long>(name.size());
    EXPECT_EQ(listing_size, listed["RDDIR_SIZE"]);
    EXPECT_EQ(1, listed["RDDIR_REQS_ALL"] - found["RDDIR_REQS_ALL"]);

    // A larger budget keeps what is held; two replies without work between
    // them agree.
    ASSERT_EQ("0", status(call(make_request("SetCache", "s", "<cache-size value=\"8388608\"/>"))));
    const Statistics larger = get_cache();
    EXPECT_EQ(8388608, larger["TOTAL_SIZE"]);
    EXPECT_EQ(616272, larger["LUP_CAPACITY"]);
    for (const std::string& name : holdings) EXPECT_EQ(listed[name], larger[name]) << name;
    EXPECT_EQ(larger.values, get_cache().values);

    // Dropping the view again flushes everything held, counted per cache.
    flush_all();
    const Statistics flushed = get_cache();
    for (const std::string& name : holdings) EXPECT_EQ(0, flushed[name]) << name;
    for (const std::string cache : CACHES)
        EXPECT_LE(larger[cache + "_COUNT"], flushed[cache + "_FLUSH"] - larger[cache + "_FLUSH"]) << cache;
    EXPECT_EQ(heard, server_heard());
}

} // namespace
} // namespace e2e
