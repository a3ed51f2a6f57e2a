// The view and VOB queries and GetCache, in process through the dispatcher,
// against a view registered with the simulated kernel: the answers from the
// mounted-VOB registry (tags compared byte for byte, the flags of mounted
// VOBs only), the update slot as it is when the reply is built, the
// namespace cache's statistics against the budgets of the configured size,
// and the result elements that every reply carries, also after a refusal.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/installed_view.h"
#include "lib/ns/ns_cache.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/ops/ostrelagent_getcache.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"

namespace {

namespace Status = OstrelAgent_Status;
using lib_test::Reply;
using lib_test::Reply_Element;
using Tags = std::vector<std::string>;

view_test::Installed_View* const environment = view_test::install_view("automatic");

const char* const REPLICA_A = "0a000000-0000-4000-8000-00000000000a";
const char* const REPLICA_B = "0a000000-0000-4000-8000-00000000000b";
const char* const REPLICA_C = "0a000000-0000-4000-8000-00000000000c";
const char* const FAMILY = "0f000000-0000-4000-8000-00000000000f";

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

// One request through the dispatcher, its reply built apart from its run
// so that a test can change the view in between.
class Asked {
public:
    explicit Asked(std::string text) : m_text(std::move(text)) {
        std::string storage;
        int status = -1;
        m_op.reset(OstrelAgent_AbstractOp::create_xml_request_handler(m_text, storage, status));
        EXPECT_NE(m_op, nullptr);
    }
    Asked& run() {
        m_op->process_request();
        return *this;
    }
    Reply reply() {
        m_raw = m_op->get_response();
        Reply parsed = lib_test::read_reply(m_raw);
        EXPECT_TRUE(parsed.parsed) << m_raw;
        return parsed;
    }
    const OstrelAgent_AbstractOp& op() const { return *m_op; }
    const std::string& text() const { return m_text; }
    const std::string& raw() const { return m_raw; }

private:
    std::string m_text;
    std::string m_raw;
    std::unique_ptr<OstrelAgent_AbstractOp> m_op;
};

std::string request(const std::string& root, const std::string& body = "",
                    const std::string& attrs = "version=\"1\" tx-id=\"q\"") {
    return "<" + root + " " + attrs + ">" + body + "</" + root + ">";
}

// The reply's elements after the envelope's status message.
std::vector<Reply_Element> results(const Reply& reply) {
    std::vector<Reply_Element> out;
    for (const Reply_Element& element : reply.elements)
        if (element.tag != "status-message") out.push_back(element);
    return out;
}

Tags listed(const Reply& reply) {
    Tags tags;
    const std::vector<Reply_Element> found = results(reply);
    EXPECT_EQ(1u, found.size());
    if (found.empty()) return tags;
    EXPECT_EQ("mounted-vob-list", found[0].tag);
    for (const Reply_Element& vob : found[0].children) {
        EXPECT_EQ("vob-tag", vob.tag);
        tags.push_back(vob.text);
    }
    return tags;
}

void record(const std::string& tag, const char* replica, int is_public, int is_project, int mounted = 1) {
    VOB_mount_info info;
    info.vob_tag = tag;
    info.replica_oid = lib_test::oid(replica);
    info.family_oid = lib_test::oid(FAMILY);
    info.mounted = mounted;
    info.is_public = is_public;
    info.is_project_vob = is_project;
    info.storage = "host:/store" + tag + ".vbs";
    ASSERT_EQ(0, OstrelAgent_Config::get_instance()->set_mount_state(info));
}

class LibViewQueries : public ::testing::Test {
protected:
    void SetUp() override {
        // Before any request is dispatched, on this thread alone.
        OstrelAgent_Element_Ops::install();
        view_test::Installed_View::clear_registry();
        ASSERT_FALSE(OstrelAgent_View_Base::update_in_progress()) << "a test left the update slot taken";
    }
    void TearDown() override { view_test::Installed_View::clear_registry(); }
};

// Registered in the order b, a, c: a project VOB, a public one, one both.
void register_three() {
    record("/vobs/b", REPLICA_B, 1, 0);
    record("/vobs/a", REPLICA_A, 0, 1);
    record("/vobs/c", REPLICA_C, 1, 1);
}

TEST_F(LibViewQueries, TheVobQuestionsAnswerFromTheRegistryByTheExactTag) {
    register_three();
    struct Case {
        const char* root;
        std::string body;
        int status;
        const char* answer_tag;
        const char* answer;
    };
    const Case cases[] = {
        {"IsVobMounted", "<vob-tag>/vobs/a</vob-tag>", 0, "mount-state", "true"},
        {"IsVobMounted", "<vob-tag>/vobs/d</vob-tag>", 0, "mount-state", "false"},
        // Tags are neither folded nor trimmed.
        {"IsVobMounted", "<vob-tag>/VOBS/A</vob-tag>", 0, "mount-state", "false"},
        {"IsVobMounted", "<vob-tag>/vobs/a/</vob-tag>", 0, "mount-state", "false"},
        {"IsVobMounted", "<vob-tag> /vobs/a</vob-tag>", 0, "mount-state", "false"},
        {"IsVobMounted", "<vob-tag>vobs/a</vob-tag>", 0, "mount-state", "false"},
        {"IsVobPublic", "<vob-tag>/vobs/b</vob-tag>", 0, "is-public", "true"},
        {"IsProjectVob", "<vob-tag>/vobs/b</vob-tag>", 0, "is-project-vob", "false"},
        {"IsVobPublic", "<vob-tag>/vobs/a</vob-tag>", 0, "is-public", "false"},
        {"IsProjectVob", "<vob-tag>/vobs/a</vob-tag>", 0, "is-project-vob", "true"},
        {"IsVobPublic", "<vob-tag>/vobs/c</vob-tag>", 0, "is-public", "true"},
        {"IsProjectVob", "<vob-tag>/vobs/c</vob-tag>", 0, "is-project-vob", "true"},
        {"IsVobPublic", "<vob-tag>/vobs/d</vob-tag>", 0, "is-public", "false"},
        {"IsProjectVob", "<vob-tag>/VOBS/C</vob-tag>", 0, "is-project-vob", "false"},
        // Other children are passed over; the first "vob-tag" counts.
        {"IsVobPublic", "<note>x</note><vob-tag>/vobs/c</vob-tag>", 0, "is-public", "true"},
        {"IsVobMounted", "<vob-tag>/vobs/d</vob-tag><vob-tag>/vobs/a</vob-tag>", 0, "mount-state", "false"},
        // A missing or empty tag refuses the request, which still answers.
        {"IsVobMounted", "<vob-tag></vob-tag>", Status::MALFORMED_REQUEST, "mount-state", "false"},
        {"IsVobPublic", "<vob-tag/>", Status::MALFORMED_REQUEST, "is-public", "false"},
        {"IsProjectVob", "", Status::MALFORMED_REQUEST, "is-project-vob", "false"},
        {"IsProjectVob", "<tag>/vobs/c</tag>", Status::MALFORMED_REQUEST, "is-project-vob", "false"},
    };
    for (const Case& c : cases) {
        Asked asked(request(c.root, c.body));
        SCOPED_TRACE(asked.text());
        const Reply reply = asked.run().reply();
        EXPECT_EQ(c.root, reply.root);
        EXPECT_EQ("q", reply.attrs.at("tx-id"));
        EXPECT_EQ(std::to_string(c.status), reply.attrs.at("status-code"));
        if (c.status == 0) {
            EXPECT_FALSE(reply.has_child("status-message")) << asked.raw();
        } else {
            EXPECT_EQ(parse_error(asked.text()), asked.op().get_message());
        }
        const std::vector<Reply_Element> answer = results(reply);
        ASSERT_EQ(1u, answer.size()) << asked.raw();
        EXPECT_EQ(c.answer_tag, answer[0].tag);
        EXPECT_EQ(c.answer, answer[0].text);
    }

    // A refused envelope leaves the answer "false", for a mounted VOB too.
    for (const char* root : {"IsVobMounted", "IsVobPublic", "IsProjectVob"}) {
        Asked asked(request(root, "<vob-tag>/vobs/c</vob-tag>", "version=\"2\" tx-id=\"q\""));
        const Reply reply = asked.run().reply();
        EXPECT_EQ(std::to_string(Status::UNSUPPORTED_VERSION), reply.attrs.at("status-code")) << root;
        ASSERT_EQ(1u, results(reply).size()) << root;
        EXPECT_EQ("false", results(reply)[0].text) << root;
    }
}

TEST_F(LibViewQueries, AnUnmountedVobIsNeitherMountedNorPublicNorAProjectVob) {
    record("/vobs/c", REPLICA_C, 1, 1);
    record("/vobs/c", REPLICA_C, 1, 1, 0);
    for (const char* root : {"IsVobMounted", "IsVobPublic", "IsProjectVob"}) {
        Asked asked(request(root, "<vob-tag>/vobs/c</vob-tag>"));
        const Reply reply = asked.run().reply();
        EXPECT_EQ("0", reply.attrs.at("status-code")) << root;
        ASSERT_EQ(1u, results(reply).size()) << root;
        EXPECT_EQ("false", results(reply)[0].text) << root;
    }
}

TEST_F(LibViewQueries, TheMountedVobListIsInByteOrderAsTheReplyIsBuilt) {
    EXPECT_EQ(Tags{}, listed(Asked(request("GetMountedVobList")).run().reply()));

    // Taken when the reply is built, not when the request ran.
    Asked asked(request("GetMountedVobList"));
    asked.run();
    register_three();
    record("/vobs/B", REPLICA_B, 0, 0);
    const Reply reply = asked.reply();
    EXPECT_EQ("0", reply.attrs.at("status-code"));
    EXPECT_EQ((Tags{"/vobs/B", "/vobs/a", "/vobs/b", "/vobs/c"}), listed(reply));

    // A refused request still lists them, after its message.
    Asked refused(request("GetMountedVobList", "", "version=\"1\""));
    const Reply without_txid = refused.run().reply();
    EXPECT_EQ(std::to_string(Status::MALFORMED_REQUEST), without_txid.attrs.at("status-code"));
    EXPECT_EQ("", without_txid.attrs.at("tx-id"));
    ASSERT_EQ(2u, without_txid.elements.size());
    EXPECT_EQ("status-message", without_txid.elements[0].tag);
    EXPECT_EQ(parse_error(refused.text()), without_txid.elements[0].text);
    EXPECT_EQ((Tags{"/vobs/B", "/vobs/a", "/vobs/b", "/vobs/c"}), listed(without_txid));
}

// Readers of the registry copy it: lists built while VOBs come and go are
// each one state of the registry, in order.
TEST_F(LibViewQueries, ListsBuiltWhileVobsComeAndGoAreEachOneState) {
    record("/vobs/a", REPLICA_A, 0, 0);
    std::atomic<bool> done{false};
    std::thread mounter([&] {
        for (int i = 0; i < 40; ++i) {
            record("/vobs/b", REPLICA_B, 0, 0, i % 2 == 0 ? 1 : 0);
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<int> odd{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const Tags tags = listed(Asked(request("GetMountedVobList")).run().reply());
                if (tags != Tags{"/vobs/a"} && tags != (Tags{"/vobs/a", "/vobs/b"})) ++odd;
            }
        });
    }
    mounter.join();
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(0, odd.load());
}

TEST_F(LibViewQueries, UpdateInProgressIsTheSlotWhenTheReplyIsBuilt) {
    const auto answer = [](Asked& asked) {
        const Reply reply = asked.reply();
        const std::vector<Reply_Element> found = results(reply);
        EXPECT_EQ(1u, found.size());
        EXPECT_EQ("is-update-in-progress", found.empty() ? "" : found[0].tag);
        return reply.attrs.at("status-code") + " " + (found.empty() ? "" : found[0].text);
    };
    int holder_token = 0;
    // The slot keeps the holder to compare, never calls it.
    OstrelAgent_Update* holder = reinterpret_cast<OstrelAgent_Update*>(&holder_token);
    unsigned int gn = 0;

    Asked before(request("IsUpdateInProgress"));
    EXPECT_EQ("0 false", answer(before.run()));
    Asked held(request("IsUpdateInProgress"));
    held.run();
    ASSERT_TRUE(OstrelAgent_View_Base::update_start(holder, gn, false));
    EXPECT_EQ("0 true", answer(held));
    Asked refused(request("IsUpdateInProgress", "", "tx-id=\"q\""));
    EXPECT_EQ(std::to_string(Status::MALFORMED_REQUEST) + " true", answer(refused.run()));
    OstrelAgent_View_Base::update_end(holder);
    Asked after(request("IsUpdateInProgress"));
    EXPECT_EQ("0 false", answer(after.run()));
}

// ---- GetCache ----------------------------------------------------------------------------

// The statistics of a GetCache reply by name, in the reply's order.
struct Cache_Reply {
    std::string status;
    std::string message;
    std::vector<std::pair<std::string, std::string>> rows;
    bool has_cache = false;
    std::string raw;

    long long value(const std::string& name) const {
        for (const auto& row : rows)
            if (row.first == name) return std::stoll(row.second);
        ADD_FAILURE() << "no statistic " << name;
        return -1;
    }
};

Cache_Reply get_cache(const std::string& attrs = "version=\"1\" tx-id=\"c\"") {
    Asked asked(request("GetCache", "", attrs));
    const Reply reply = asked.run().reply();
    Cache_Reply out;
    out.raw = asked.raw();
    out.status = reply.attrs.at("status-code");
    out.message = asked.op().get_message();
    const std::vector<Reply_Element> found = results(reply);
    EXPECT_EQ(1u, found.size()) << out.raw;
    if (found.empty()) return out;
    EXPECT_EQ("cache", found[0].tag);
    out.has_cache = found[0].tag == "cache";
    for (const Reply_Element& row : found[0].children) {
        EXPECT_EQ("cache-value", row.tag);
        EXPECT_EQ(2u, row.attrs.size());
        out.rows.emplace_back(row.attrs.at("name"), row.attrs.at("value"));
    }
    return out;
}

// The budgets a configured size gives: 40 % for listings, the rest in
// 392-byte units of 48 name, 144 status and 200 object bytes.
struct Budgets {
    long long name, dir, fstat, obj, whole;
};
Budgets budgets_of(uint32_t size) {
    const uint32_t dir = static_cast<uint32_t>(static_cast<unsigned long long>(size) * 4 / 10);
    const uint32_t units = (size - dir) / 392;
    // The reply writes each value as a signed 32-bit number.
    const auto as_sent = [](uint32_t value) { return static_cast<long long>(static_cast<int32_t>(value)); };
    return {as_sent(units * 48), as_sent(dir), as_sent(units * 144), as_sent(units * 200), as_sent(size)};
}

TEST_F(LibViewQueries, GetCacheGivesTheFortyOneStatisticsOfTheConfiguredSize) {
    ASSERT_EQ(0, cache_init());
    const uint32_t sizes[] = {NS_CACHE_MIN_SIZE, 8388608, 3221225472u, 0};
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        ASSERT_EQ(0, ns_cache_set_size(size, false));
        const Cache_Reply reply = get_cache();
        EXPECT_EQ("0", reply.status);
        EXPECT_EQ("", reply.message);
        ASSERT_EQ(41u, reply.rows.size()) << reply.raw;
        // In number order (the names themselves are checked end to end).
        for (uint32_t i = 0; i < reply.rows.size(); ++i)
            EXPECT_EQ(OstrelAgent_GetCache::statistic_name(i), reply.rows[i].first) << i;
        const Budgets expected = budgets_of(size);
        EXPECT_EQ(expected.name, reply.value("VIEW_STATS_TYPE_LUP_CAPACITY"));
        EXPECT_EQ(expected.dir, reply.value("VIEW_STATS_TYPE_RDDIR_CAPACITY"));
        EXPECT_EQ(expected.fstat, reply.value("VIEW_STATS_TYPE_FSTAT_CAPACITY"));
        EXPECT_EQ(expected.obj, reply.value("VIEW_STATS_TYPE_OBJ_CAPACITY"));
        EXPECT_EQ(expected.whole, reply.value("VIEW_STATS_TYPE_TOTAL_SIZE"));
        // Nothing has used the caches: every other figure is 0.
        for (const auto& row : reply.rows) {
            const std::string& name = row.first;
            if (name.find("CAPACITY") == std::string::npos && name != "VIEW_STATS_TYPE_TOTAL_SIZE") {
                EXPECT_EQ("0", row.second) << name;
            }
        }
        // Each row names, then values: as clients parse it.
        EXPECT_NE(std::string::npos,
                  reply.raw.find("<cache-value name=\"VIEW_STATS_TYPE_TOTAL_SIZE\" value=\"" +
                                 std::to_string(expected.whole) + "\"/>"))
            << reply.raw;
    }
    // 3 GiB goes out as a negative number.
    EXPECT_EQ(-1073741824LL, budgets_of(3221225472u).whole);
    // Two requests with nothing in between agree.
    EXPECT_EQ(get_cache().rows, get_cache().rows);
}

TEST_F(LibViewQueries, GetCacheAnswersAFailedCopyAndARefusalWithAnEmptyCache) {
    ASSERT_EQ(0, cache_init());
    // A copy that could not allocate its rows is a failure, not a cache
    // without statistics; the next copy works again.
    ns_cache_fail_stats_copies(1);
    const Cache_Reply failed = get_cache();
    EXPECT_EQ(std::to_string(Status::GENERAL_FAILURE), failed.status);
    EXPECT_TRUE(failed.has_cache);
    EXPECT_TRUE(failed.rows.empty()) << failed.raw;
    EXPECT_EQ(41u, get_cache().rows.size());

    struct Case {
        const char* attrs;
        int status;
    };
    const Case refusals[] = {
        {"version=\"1\"", Status::MALFORMED_REQUEST},
        {"tx-id=\"c\"", Status::MALFORMED_REQUEST},
        {"version=\"2\" tx-id=\"c\"", Status::UNSUPPORTED_VERSION},
    };
    for (const Case& c : refusals) {
        const Cache_Reply refused = get_cache(c.attrs);
        EXPECT_EQ(std::to_string(c.status), refused.status) << c.attrs;
        EXPECT_TRUE(refused.has_cache) << c.attrs;
        EXPECT_TRUE(refused.rows.empty()) << c.attrs;
    }
    EXPECT_STREQ("VIEW_STATS_TYPE_LUP_COUNT", OstrelAgent_GetCache::statistic_name(0));
    EXPECT_STREQ("VIEW_STATS_TYPE_TOTAL_SIZE", OstrelAgent_GetCache::statistic_name(40));
    EXPECT_STREQ("Unknown", OstrelAgent_GetCache::statistic_name(41));
}

} // namespace
