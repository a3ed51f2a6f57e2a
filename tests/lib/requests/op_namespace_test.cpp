// The operation base's steps for a namespace change that a request reports,
// on a served view (real view database, namespace cache and simulated
// kernel, "/vobs/a" mounted, metadata from the scripted server) with the
// test server answering the surgical updates: the change read with each
// user's flags, the VOB-root test, removed load rules dropped with what they
// loaded, and a changed directory re-read, then updated surgically when a
// load rule holds it. No element operation that reports changes is served
// yet, so these run in process.

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/server_fetch_support.h"
#include "lib/ns/ostrelagent_view_db.h"
#include "lib/ostreladb/ostrel_db.h"
#include "lib/requests/op_probe.h"
#include "lib/requests/ostrelagent_update.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Names = std::vector<std::string>;

const char* const SYNC_RPC = "Ostrel_Norvane::syncfetch_rpc";

using op_test::Probe;
using op_test::request;


bool same(const qel_oid_s& a, const qel_oid_s& b) { return qel_oid_eq(&a, &b); }

// A surgical update's stream that loads the directory version `n` of
// element 30 at /vobs/a/d (under the root element 10).
std::string dir_stream_rule(unsigned n) {
    return R"({"match": {"rpc": ")" + std::string(SYNC_RPC) + R"("}, "times": 1, "reply": {"stream": [{"begin": 2},
               {"elem": {"path": "/vobs/a/d", "parent": ")" + id(10) + R"(", "replica": ")" +
           OstrelAgent_Util::id_text(ns_test::uuid_of(1)) + R"(", "oid": ")" + id(n) +
           R"(", "prev": "", "cur": "/main/2", "obj": )" + vstat(n, 3, 30) + R"(, "elem": )" + vstat(30, 2) +
           R"(}}, {"end": "operation"}]}})";
}

class OpNamespace : public ServerFetchTest {
protected:
    void SetUp() override {
        ServerFetchTest::SetUp();
        const qel_uuid_s view = uuid_of(0x71e);
        ASSERT_EQ(0, ostrel_db_create_vns_view(&view, 1));
    }
    void start(const std::string& rules) { start_remote(rules); }

    // The paths of the server's sync fetches, one list per request.
    std::vector<Names> surgical_paths() const {
        std::vector<Names> out;
        for (const fakeserver::Json& r : remote->requests()) {
            if (r["rpc"].as_string() != SYNC_RPC) continue;
            out.emplace_back();
            for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"]))
                if (arg.size() == 2 && arg[0] == "ScopePath") out.back().push_back(arg[1]);
        }
        return out;
    }
    // The scope of the view database's directory version `n` (its dbid).
    qel_oid_s scope_of(unsigned n) { return scope_of_dbid(static_cast<unsigned>(db_dbid(n))); }
    qel_oid_s scope_of_dbid(unsigned dbid) {
        OstrelAgent_View_db_version dir(dbid, vob_uuid);
        dir.load_data();
        qel_oid_s scope = QEL_OID_NULL;
        unsigned gn = 0;
        EXPECT_EQ(0, dir.get_scope(scope, gn));
        return scope;
    }
    // The load rule "/vobs/a/d" as a scope of its own, and d loaded into it
    // by a surgical update (the first of the server's sync rules).
    qel_oid_s load_rule_d() {
        ostrel_scope scope{};
        scope.scope_oid = oid_of(0x5c09e);
        EXPECT_EQ(0, ostrel_db_create_lr_scope(&scope.scope_oid, 1, "/vobs/a/d"));
        root_dbid(vob_uuid);
        OstrelAgent_Update update;
        update.set_paths({"/vobs/a/d"});
        update.set_scope(scope);
        update.do_surgical_update();
        EXPECT_EQ(0, update.get_status()) << update.get_message();
        pool()->run_all();
        return scope.scope_oid;
    }
    size_t journal_size() { return invalidations().size(); }
    Names told_since(size_t from) {
        Names out;
        const auto all = invalidations();
        for (size_t i = from; i < all.size(); ++i) {
            std::string line;
            for (const std::string& word : all[i]) line += (line.empty() ? "" : " ") + word;
            out.push_back(line);
        }
        return out;
    }
};

TEST_F(OpNamespace, EachUserReadsTheChangeWithItsOwnFlags) {
    struct Flags {
        bool required, path_from_element, rules, removed, added;
    };
    const Flags uncheckout{false, false, false, false, false};
    const Flags merge{true, true, false, false, false};
    const Flags move{false, true, true, false, false};
    const Flags rmname{true, true, false, true, false};
    struct Case {
        const char* name;
        Flags flags;
        const char* op_path; // the request's own path, for the users that compare
        std::string inner;
        int status;
        const char* path;
        Names rules, removed, added;
    };
    const std::string d = "<path>/vobs/a/d</path>";
    const Case cases[] = {
        {"uncheckout without a change", uncheckout, "/vobs/a/d", "", 0, "/vobs/a/d", {}, {}, {}},
        {"uncheckout, same path", uncheckout, "/vobs/a/d", "<namespace-modified>" + d + "</namespace-modified>", 0,
         "/vobs/a/d", {}, {}, {}},
        {"uncheckout, other path", uncheckout, "/vobs/a/d",
         "<namespace-modified><path>/vobs/a/e</path></namespace-modified>", S::MALFORMED_REQUEST, "/vobs/a/d", {},
         {}, {}},
        {"merge without a change", merge, "", "", S::MALFORMED_REQUEST, "", {}, {}, {}},
        {"merge without a path", merge, "", "<namespace-modified/>", S::MALFORMED_REQUEST, "", {}, {}, {}},
        {"merge, relative path", merge, "", "<namespace-modified><path>vobs/a</path></namespace-modified>",
         S::MALFORMED_REQUEST, "vobs/a", {}, {}, {}},
        {"move", move, "",
         "<namespace-modified>" + d +
             "<removed-load-rules><path>/vobs/a/d/x</path><path>/vobs/a/y</path></removed-load-rules>"
             "<new-leaves><leaf>n</leaf></new-leaves></namespace-modified>",
         0, "/vobs/a/d", {"/vobs/a/d/x", "/vobs/a/y"}, {}, {"n"}},
        {"move without removed rules", move, "", "<namespace-modified>" + d + "</namespace-modified>",
         S::MALFORMED_REQUEST, "/vobs/a/d", {}, {}, {}},
        {"rmname", rmname, "",
         "<namespace-modified>" + d +
             "<removed-load-rules/><removed-leaves><leaf>a</leaf><leaf>b</leaf></removed-leaves></namespace-modified>",
         0, "/vobs/a/d", {}, {"a", "b"}, {}},
        {"rmname without removed leaves", rmname, "", "<namespace-modified>" + d + "</namespace-modified>",
         S::MALFORMED_REQUEST, "/vobs/a/d", {}, {}, {}},
        {"rmname, a leaf with a separator", rmname, "",
         "<namespace-modified>" + d + "<removed-leaves><leaf>a/b</leaf></removed-leaves></namespace-modified>",
         S::MALFORMED_REQUEST, "/vobs/a/d", {}, {"a/b"}, {}},
        {"a new leaf with a separator", uncheckout, "/vobs/a/d",
         "<namespace-modified>" + d + "<new-leaves><leaf>../x</leaf></new-leaves></namespace-modified>",
         S::MALFORMED_REQUEST, "/vobs/a/d", {}, {}, {"../x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = request(c.inner);
        Probe op(text);
        op.set_path(c.op_path);
        op.parse_namespace_modified(op.root(), c.flags.required, c.flags.path_from_element, c.flags.rules,
                                    c.flags.removed, c.flags.added);
        EXPECT_EQ(c.status, op.get_status()) << op.get_message();
        if (c.status != 0) {
            EXPECT_NE(std::string::npos, op.get_message().find("Parse error in"));
        }
        EXPECT_EQ(c.path, op.get_path());
        EXPECT_EQ(c.rules, op.get_removed_load_rules());
        EXPECT_EQ(c.removed, op.get_removed_leaves());
        EXPECT_EQ(c.added, op.get_new_leaves());
    }
}

TEST_F(OpNamespace, OnlyAVobRootCountsAsOne) {
    const struct {
        const char* path;
        bool root;
    } cases[] = {{"/vobs/a", true}, {"/vobs/a/d", false}, {"/vobs/a/nope", false}, {"/vobs/none", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Probe op(request(""));
        op.set_path(c.path);
        bool is_root = !c.root;
        EXPECT_EQ(0, op.check_is_vobroot(is_root));
        EXPECT_EQ(c.root, is_root);
        EXPECT_EQ(0, op.get_status());
        if (c.root) {
            // The root stands where a parent's status stands.
            EXPECT_TRUE(same(op.get_parent_vstat().obj_oid, oid_of(11)));
            EXPECT_TRUE(qel_uuid_eq(&op.get_parent_vob_uuid(), &vob_uuid));
        }
    }
}

// A surgical update of one path writes its object into the update's scope
// and leaves the rest of the view as it was; the directory of a load rule
// changed on the server is then re-read and updated again, while one of the
// automatic scope is only re-read, and one the view does not know fails.
TEST_F(OpNamespace, AChangedDirectoryIsReReadAndUpdatedWhenALoadRuleHoldsIt) {
    start(dir_stream_rule(31) + ", " + dir_stream_rule(32));
    const qel_oid_s rule = load_rule_d();
    EXPECT_TRUE(same(rule, scope_of(31)));
    EXPECT_EQ(std::vector<Names>{{"/vobs/a/d"}}, surgical_paths());
    const unsigned root = static_cast<unsigned>(db_dbid(11));
    EXPECT_TRUE(same(AUTOMATIC_LOAD_SCOPE_OID, scope_of(11)));

    // d belongs to its load rule: read again, then updated by its path.
    Probe d_change(request(""));
    d_change.namespace_change_dir_update(vob_uuid, static_cast<unsigned>(db_dbid(31)), "/vobs/a/d", true);
    EXPECT_EQ(0, d_change.get_status()) << d_change.get_message();
    EXPECT_EQ((std::vector<Names>{{"/vobs/a/d"}, {"/vobs/a/d"}}), surgical_paths());
    unsigned updated = 0;
    ASSERT_TRUE(OstrelAgent_View_db::obj_oid_to_dbid(oid_of(32), vob_uuid, updated));
    EXPECT_TRUE(same(rule, scope_of_dbid(updated)));

    // The root belongs to the automatic scope: read again, no update.
    Probe root_change(request(""));
    root_change.namespace_change_dir_update(vob_uuid, root, "/vobs/a", true);
    EXPECT_EQ(0, root_change.get_status()) << root_change.get_message();
    EXPECT_EQ(2u, surgical_paths().size());

    // A directory version the view does not know cannot be re-read.
    Probe unknown(request(""));
    unknown.namespace_change_dir_update(vob_uuid, 0x7ffff, "/vobs/a/gone", true);
    EXPECT_NE(0, unknown.get_status());
    EXPECT_NE(std::string::npos,
              unknown.get_message().find("Readdir on \"/vobs/a/gone\" after namespace change operation failed"))
        << unknown.get_message();
    EXPECT_EQ(2u, surgical_paths().size());
}

TEST_F(OpNamespace, RemovedLoadRulesGoWithWhatTheyLoaded) {
    start(dir_stream_rule(31));
    load_rule_d();
    ostrel_scope found{};
    ASSERT_EQ(0, ostrel_db_get_scope_by_name("/vobs/a/d", &found));

    // No removed rule: nothing changes.
    size_t before = journal_size();
    Probe none(request(""));
    none.clean_removed_load_rules();
    EXPECT_EQ(0, none.get_status());
    EXPECT_EQ(Names{}, told_since(before));

    // The rule's scope goes, and the kernel forgets the element it loaded.
    Probe removed(request(""));
    removed.set_removed_load_rules({"/vobs/a/d"});
    removed.clean_removed_load_rules();
    EXPECT_EQ(0, removed.get_status()) << removed.get_message();
    EXPECT_NE(0, ostrel_db_get_scope_by_name("/vobs/a/d", &found));
    const std::string vob = OstrelAgent_Util::id_text(vob_uuid);
    EXPECT_EQ(Names{"inval_obj " + vob + " " + id(30) + " 13"}, told_since(before));

    // A rule that names no scope: the whole view is flushed instead.
    before = journal_size();
    Probe unknown(request(""));
    unknown.set_removed_load_rules({"/vobs/a/none"});
    unknown.clean_removed_load_rules();
    EXPECT_EQ(0, unknown.get_status()) << unknown.get_message();
    const Names told = told_since(before);
    ASSERT_EQ(1u, told.size());
    EXPECT_EQ(0u, told[0].rfind("inval_view", 0)) << told[0];
}

} // namespace
