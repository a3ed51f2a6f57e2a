// SetConfigSpec in process: the load rules a request's text gives (their
// normal form and the refusals), and the request on a served view (real
// view database, namespace cache and simulated kernel, "/vobs/a" and
// "/vobs/b" mounted, walks answered by the scripted server) against the
// test server over TLS: dropped rules marked, new ones added, mounted and
// resolved, kept ones untouched; what a busy update slot, a failed read of
// the cached scopes, the server's refusal and later local failures leave
// behind; and the restore entry.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakeserver/fake_server.h"
#include "lib/client/http_client_base.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/ostrelagent_configspec.h"
#include "lib/fetch/server_fetch_support.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_setconfigspec.h"
#include "lib/requests/ostrelagent_update.h"
#include "lib/view/ostrelagent_view.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Names = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;

const char* const SET_RPC = "Ostrel_Norvane::setconfigspec_rpc";

TEST(LibSetConfigSpec, LoadRulesAreNormalisedOrRefused) {
    const std::string nested = "Load rules may not be identical or nested: ";
    struct Case {
        const char* text;
        int status;
        Names rules;  // accepted (before a refusal)
        std::string message;
    } cases[] = {
        {"", 0, {}, ""},
        {" \r\n\t\n", 0, {}, ""},
        // Blank lines and CRs go; repeated separators and "." components too.
        {"load /vobs/a\r\n\r\n  load\t/vobs//b/./c/  \r\nload /vobs/d", 0,
         {"load /vobs/a", "load /vobs/b/c", "load /vobs/d"}, ""},
        {"load /vobs/a\n# load /vobs/b\n", S::LOAD_RULE_COMMENT, {"load /vobs/a"},
         "Comments are not supported in load rules for automatic views.\n"},
        {"load /vobs/a#x", S::LOAD_RULE_COMMENT, {}, "Comments are not supported in load rules for automatic views.\n"},
        {"load /vobs/a/../b", S::LOAD_RULE_OVERLAP, {}, "Invalid use of \"..\" in load rule \"/vobs/a/../b\".\n"},
        {"load ../x", S::LOAD_RULE_OVERLAP, {}, "Invalid use of \"..\" in load rule \"../x\".\n"},
        {"load /vobs/a/..", S::LOAD_RULE_OVERLAP, {}, "Invalid use of \"..\" in load rule \"/vobs/a/..\".\n"},
        {"load ..", S::LOAD_RULE_OVERLAP, {}, "Invalid use of \"..\" in load rule \"..\".\n"},
        // "..." is a name, not a climb.
        {"load /vobs/a/...", 0, {"load /vobs/a/..."}, ""},
        {"load /vobs/a\nload  /vobs/a/b ", S::LOAD_RULE_OVERLAP, {"load /vobs/a"},
         nested + "\"load /vobs/a\" and \"load  /vobs/a/b\".\n"},
        {"load /vobs/a/b\nload /vobs/a", S::LOAD_RULE_OVERLAP, {"load /vobs/a/b"},
         nested + "\"load /vobs/a/b\" and \"load /vobs/a\".\n"},
        {"load /vobs/a\nload /vobs//a/.", S::LOAD_RULE_OVERLAP, {"load /vobs/a"},
         nested + "\"load /vobs/a\" and \"load /vobs//a/.\".\n"},
        // Siblings whose names share a prefix are not nested.
        {"load /vobs/a\nload /vobs/ab", 0, {"load /vobs/a", "load /vobs/ab"}, ""},
        // A line that is no load rule would reach the server without a path.
        {"load /vobs/a\n/vobs/b", S::MALFORMED_REQUEST, {"load /vobs/a"}, "Parse error in \"/vobs/b\".\n"},
        {"load", S::MALFORMED_REQUEST, {}, "Parse error in \"load\".\n"},
        {"loader /vobs/a", S::MALFORMED_REQUEST, {}, "Parse error in \"loader /vobs/a\".\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Names rules;
        std::string message = "before. ";
        EXPECT_EQ(OstrelAgent_SetConfigSpec::format_load_rules(c.text, rules, message), c.status);
        EXPECT_EQ(rules, c.rules);
        EXPECT_EQ(message, "before. " + c.message);
    }
}

// The served view, logged in to a test server whose answer to the rules is
// given by each test.
class SetCs : public ServerFetchTest {
protected:
    void start(const std::string& rules) { start_remote(rules); }
    // The answer to the rules: the VOB tags of the load rules and the
    // parts and status given.
    static std::string answer(const Names& tags, const std::string& more_parts = "",
                              const std::string& status = "") {
        std::string parts;
        for (const std::string& tag : tags)
            parts += std::string(parts.empty() ? "" : ", ") + R"({"id": "LoadRuleVobTag", "items": {"VobTag": ")" +
                     tag + R"("}})";
        if (!more_parts.empty()) parts += (parts.empty() ? "" : ", ") + more_parts;
        return R"({"match": {"rpc": ")" + std::string(SET_RPC) + R"("}, "reply": {"parts": [)" + parts + "]" +
               (status.empty() ? "" : R"(, "status": )" + status) + "}}";
    }
    // The rules requests the server received, each as its arguments.
    std::vector<Rows> sent() const {
        std::vector<Rows> found;
        for (const fakeserver::Json& r : remote->requests())
            if (r["rpc"].as_string() == SET_RPC) found.push_back(fakeserver::string_rows(r["rpcargs"]));
        return found;
    }

    // Runs a SetConfigSpec request; its status, message in `message`.
    int run(const std::string& element_rules, const std::string& load_rules, std::string* message = nullptr,
            const std::string& load_attrs = "") {
        std::string text = R"(<SetConfigSpec version="1.0" tx-id="t"><element-rules>)" + element_rules +
                           "</element-rules><load-rules" + load_attrs + ">" + load_rules +
                           "</load-rules></SetConfigSpec>";
        std::string store = storage;
        int dispatched = -1;
        std::unique_ptr<OstrelAgent_AbstractOp> op(
            OstrelAgent_AbstractOp::create_xml_request_handler(text, store, dispatched));
        EXPECT_EQ(dispatched, 0);
        op->process_request();
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        EXPECT_EQ(reply.root, "SetConfigSpec");
        EXPECT_EQ(reply.attrs.at("status-code"), std::to_string(op->get_status()));
        EXPECT_EQ(reply.children.count("status-message") != 0, !op->get_message().empty());
        if (message != nullptr) *message = op->get_message();
        return op->get_status();
    }

    // The scopes `which` lists, by name, sorted; with their ids in `ids`.
    static Names scopes(OstrelAgent_View_db::ScopeListType which, std::vector<ostrel_scope>* all = nullptr) {
        std::vector<ostrel_scope> list;
        EXPECT_EQ(OstrelAgent_View_db::get_scopes(which, list), 0);
        Names names;
        for (const ostrel_scope& s : list) names.push_back(s.pname);
        std::sort(names.begin(), names.end());
        if (all != nullptr) *all = list;
        return names;
    }
    static qel_oid_s id_of(const std::string& pname) {
        std::vector<ostrel_scope> list;
        EXPECT_EQ(OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::ALL_LR_SCOPES, list), 0);
        for (const ostrel_scope& s : list)
            if (pname == s.pname) return s.scope_oid;
        return QEL_OID_NULL;
    }
    static ostrel_scope scope(unsigned id, const char* pname) {
        ostrel_scope s{};
        s.scope_oid = oid_of(id);
        std::strcpy(s.pname, pname);
        return s;
    }
    std::string rules_file() const { return lib_test::read_file(storage + "/.config_spec"); }
    size_t journal_size() const { return kernel().journal().read().size(); }
    // Whether the kernel was told to forget the whole view since `from`.
    bool view_flushed_since(size_t from) const {
        const auto lines = kernel().journal().read();
        for (size_t i = from; i < lines.size(); ++i)
            if (!lines[i].empty() && lines[i][0] == "inval_view") return true;
        return false;
    }
    static bool slot_free() {
        OstrelAgent_Update probe;
        unsigned gn = 0;
        if (!OstrelAgent_View::update_start(&probe, gn, false)) return false;
        OstrelAgent_View::update_end(&probe);
        return true;
    }
};

TEST_F(SetCs, NewRulesAreAddedDroppedOnesMarkedAndKeptOnesLeftAlone) {
    start(answer({"/vobs/a", "\\\\vobs/b"}));
    ASSERT_EQ(OstrelAgent_View_db::add_lr_scope("/vobs/a/d"), 0);
    ASSERT_EQ(OstrelAgent_View_db::add_lr_scope("/vobs/a/old"), 0);
    const qel_oid_s kept = id_of("/vobs/a/d");
    const size_t before = journal_size();

    std::string message;
    EXPECT_EQ(run("element * /main/LATEST\nelement /x/... A\n", "load /vobs/a/d\n\n load /vobs//b/.\n", &message,
                  R"( force-update="false")"),
              0);
    EXPECT_EQ(message, "");
    EXPECT_EQ(sent(), (std::vector<Rows>{{{"ViewUuid", "0a1b2c3d-4e5f-4617-8899-aabbccddeeff"},
                                          {"NumElemRules", "2"},
                                          {"ElemRule", "element * /main/LATEST"},
                                          {"ElemRule", "element /x/... A"},
                                          {"NumLoadRules", "2"},
                                          {"LoadRule", "load /vobs/a/d"},
                                          {"LoadRule", "load /vobs/b"},
                                          {"ForceUpdate", "0"}}}));
    EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES), (Names{"/vobs/a/d", "/vobs/b"}));
    EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES_FOR_DELETE), Names{"/vobs/a/old"});
    const qel_oid_s after = id_of("/vobs/a/d");
    EXPECT_TRUE(qel_oid_eq(&kept, &after));
    EXPECT_EQ(rules_file(), "element * /main/LATEST\nelement /x/... A\n\n");
    EXPECT_TRUE(view_flushed_since(before));
    // The new rule was resolved once: the VOB root of /vobs/b is known.
    EXPECT_NE(db_dbid(other_uuid, 101), 0);
    EXPECT_TRUE(slot_free());

    // The same rules again: nothing to mark or add, the rest as before.
    const size_t again = journal_size();
    EXPECT_EQ(run("element * B", "load /vobs/b\nload /vobs/a/d"), 0);
    EXPECT_EQ(sent().size(), 2u);
    EXPECT_EQ(scopes(OstrelAgent_View_db::ALL_LR_SCOPES), (Names{"/vobs/a/d", "/vobs/a/old", "/vobs/b"}));
    EXPECT_EQ(rules_file(), "element * B\n");
    EXPECT_TRUE(view_flushed_since(again));
}

TEST_F(SetCs, ForcedRulesGiveTheViewTheServersOperationNumber) {
    start(answer({}, R"({"id": "ViewInfo", "items": {"CurrentOperationGN": "41", "ViewGN": "40"}})"));
    EXPECT_EQ(run("element * A", "", nullptr, R"( force-update="true")"), 0);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].back(), (std::vector<std::string>{"ForceUpdate", "1"}));
    OstrelAgent_Update probe;
    unsigned gn = 0;
    ASSERT_TRUE(OstrelAgent_View::update_start(&probe, gn, false));
    OstrelAgent_View::update_end(&probe);
    EXPECT_EQ(gn, 41u);
}

// Each failure: its status and message, and what it leaves behind.
TEST_F(SetCs, FailuresLeaveWhatTheyMust) {
    struct Case {
        const char* name;
        std::string server;     // the answer to the rules
        std::string load_rules; // with "/vobs/a/d" cached before
        int status;
        std::string message;    // a part of it
        bool sent;              // the rules reached the server
        bool cached;            // the element rules file was written
        Names scopes;           // active scopes after
    } cases[] = {
        {"no element rules", answer({}), "load /vobs/b", S::MALFORMED_REQUEST, "Parse error in", false, false,
         {"/vobs/a/d"}},
        {"nested rules", answer({}), "load /vobs/a\nload /vobs/a/d", S::LOAD_RULE_OVERLAP, "nested", false, false,
         {"/vobs/a/d"}},
        {"update running", answer({}), "load /vobs/b", S::UPDATE_IN_PROGRESS,
         "A view update operation is already in progress.\n", false, false, {"/vobs/a/d"}},
        {"scopes unreadable", answer({}), "load /vobs/b", -1, "Failed to retrieve load rules from cache.\n", false,
         false, {"/vobs/a/d"}},
        {"server refuses", answer({}, "", R"({"code": 77, "message": "no such rule"})"), "load /vobs/b",
         S::RPC_SERVER_FAILURE, "no such rule", true, false, {"/vobs/a/d"}},
        // Later failures leave the server's rules and the local changes made.
        {"rule does not resolve", answer({}), "load /vobs/a/d\nload /vobs/a/nope", S::NOT_FOUND,
         "Unable to lookup path \"/vobs/a/nope\"", true, true, {"/vobs/a/d", "/vobs/a/nope"}},
        {"VOB cannot be mounted", answer({"/vobs/c"}), "load /vobs/c", S::VOB_INFO_MISSING, "", true, true,
         {"/vobs/c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.server);
        std::vector<ostrel_scope> all;
        ASSERT_EQ(OstrelAgent_View_db::get_scopes(OstrelAgent_View_db::ALL_LR_SCOPES, all), 0);
        for (const ostrel_scope& s : all) ASSERT_EQ(OstrelAgent_View_db::delete_lr_scope(s.scope_oid), 0);
        ASSERT_EQ(OstrelAgent_View_db::add_lr_scope("/vobs/a/d"), 0);
        std::remove((storage + "/.config_spec").c_str());
        const std::string element_rules = std::string(c.name) == "no element rules" ? "" : "element * A";

        OstrelAgent_Update holder;
        unsigned gn = 0;
        const bool hold = std::string(c.name) == "update running";
        if (hold) {
            ASSERT_TRUE(OstrelAgent_View::update_start(&holder, gn, false));
        }
        const bool unreadable = std::string(c.name) == "scopes unreadable";
        if (unreadable) ostrel_db_close();

        std::string message;
        const int status = run(element_rules, c.load_rules, &message);
        if (unreadable) {
            ASSERT_EQ(0, reopen());
            EXPECT_NE(status, 0);
        } else {
            EXPECT_EQ(status, c.status);
        }
        if (hold) OstrelAgent_View::update_end(&holder);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(sent().size(), c.sent ? 1u : 0u);
        EXPECT_EQ(access((storage + "/.config_spec").c_str(), F_OK) == 0, c.cached);
        EXPECT_EQ(scopes(OstrelAgent_View_db::LR_SCOPES), c.scopes);
        EXPECT_TRUE(slot_free());
        drop_session();
    }
}

TEST_F(SetCs, RestoreBringsTheScopesToTheServersWithoutAskingIt) {
    start("");
    // Cached: d (id 1), a.c (id 2), ln (id 3). Restored: d as it is, a.c
    // under a new id, /vobs/b new; ln goes.
    OstrelAgent_ConfigSpec store(storage);
    ASSERT_EQ(store.add_load_scopes({scope(1, "/vobs/a/d"), scope(2, "/vobs/a/a.c"), scope(3, "/vobs/a/ln")}), 0);
    const size_t before = invalidations().size();

    OstrelAgent_SetConfigSpec op;
    op.set_view(OstrelAgent_View_Handler::get_view());
    op.set_element_rules("element * R");
    op.set_restore_scopes({scope(1, "/vobs/a/d"), scope(9, "/vobs/a/a.c"), scope(4, "/vobs/b")});
    op.restore_config_spec(0);
    EXPECT_EQ(op.get_status(), 0) << op.get_message();
    EXPECT_EQ(op.get_message(), "");

    std::vector<ostrel_scope> all;
    EXPECT_EQ(scopes(OstrelAgent_View_db::ALL_LR_SCOPES, &all), (Names{"/vobs/a/a.c", "/vobs/a/d", "/vobs/b"}));
    for (const auto& expected : {std::make_pair("/vobs/a/d", 1u), {"/vobs/a/a.c", 9u}, {"/vobs/b", 4u}}) {
        const qel_oid_s want = oid_of(expected.second);
        const qel_oid_s have = id_of(expected.first);
        EXPECT_TRUE(qel_oid_eq(&want, &have)) << expected.first;
    }
    EXPECT_EQ(rules_file(), "element * R\n");
    // The deleted scopes' roots (ln, and a.c under its old id) were
    // flushed from the kernel; the server was not asked.
    EXPECT_EQ(invalidations().size() - before, 2u);
    EXPECT_TRUE(sent().empty());
}

} // namespace
