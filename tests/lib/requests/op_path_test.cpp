// The operation base's steps for the object a request names by its path,
// on a served view (real view database, namespace cache and simulated
// kernel, "/vobs/a" mounted, the server scripted): reading and checking the
// path, splitting it, the parent's status by a walk and the object's from
// the view database, the readdir-done question, name lists, and the
// flushes that drop stale copies afterwards.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/fetch/fetch_test_support.h"
#include "lib/requests/op_probe.h"

namespace {

using namespace fetch_test;
namespace S = OstrelAgent_Status;
using Lines = std::vector<std::vector<std::string>>;

using op_test::Probe;
using op_test::request;

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

class OpPath : public FetchTest {
protected:
    std::string view_root() { return OstrelAgent_View_Handler::get_view()->get_view_root(); }
    static bool same(const qel_oid_s& a, unsigned id) {
        const qel_oid_s expected = oid_of(id);
        return qel_oid_eq(&a, &expected);
    }
    Lines told_since(size_t from) {
        Lines all = invalidations();
        return Lines(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }
    std::string text(unsigned id) { return OstrelAgent_Util::id_text(oid_of(id)); }
    std::string vob_text() { return OstrelAgent_Util::id_text(vob_uuid); }
    // Fetches the listing of /vobs/a/d into the view database, once the
    // work that the walk queued has run.
    void list_d() {
        pool()->run_all();
        std::vector<ostrelagent_dirent> listing;
        ASSERT_EQ(0, Meta::readdir_obj(vob_uuid, static_cast<unsigned>(db_dbid(31)), listing));
        pool()->run_all();
    }
};

TEST_F(OpPath, RequestPathsMustLieBelowTheViewRoot) {
    struct Case {
        const char* inner;
        bool required;
        int status;
        const char* path;        // the path field afterwards
        bool missing_message;    // "path" named as missing before the parse error
    };
    const Case cases[] = {
        {"<path>/vobs/a/d/g.c</path>", true, 0, "/vobs/a/d/g.c", false},
        {"<path>/vobs/a/../b/x.c</path>", true, 0, "/vobs/a/../b/x.c", false},
        {"<path>/vobs/a/./d/..</path>", true, 0, "/vobs/a/./d/..", false},
        {"", false, 0, "", false},
        {"<path/>", false, 0, "", false},
        {"", true, S::MALFORMED_REQUEST, "", true},
        {"<path></path>", true, S::MALFORMED_REQUEST, "", true},
        // Joined to the view root these would name something beside it or
        // outside it.
        {"<path>vobs/a/d</path>", true, S::MALFORMED_REQUEST, "vobs/a/d", false},
        {"<path>vobs/a/d</path>", false, S::MALFORMED_REQUEST, "vobs/a/d", false},
        {"<path>/..</path>", true, S::MALFORMED_REQUEST, "/..", false},
        {"<path>/vobs/a/../../../other/view</path>", true, S::MALFORMED_REQUEST, "/vobs/a/../../../other/view",
         false},
        {"<path>/vobs/./../../x</path>", true, S::MALFORMED_REQUEST, "/vobs/./../../x", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inner);
        const std::string text = request(c.inner);
        Probe op(text);
        op.parse_path(op.root(), c.required);
        EXPECT_EQ(c.status, op.get_status());
        EXPECT_EQ(c.path, op.get_path());
        std::string message;
        if (c.missing_message) message = "\"path\" not found in XML request.\n";
        if (c.status != 0) message += parse_error(text);
        EXPECT_EQ(message, op.get_message());
    }
}

TEST_F(OpPath, APathSplitsIntoParentAndLeafUnderTheViewRoot) {
    struct Case {
        const char* path;
        int status;
        const char* parent;
        const char* leaf;
    };
    const Case cases[] = {
        {"/vobs/a/d/g.c", 0, "/vobs/a/d", "g.c"},
        {"/vobs/a/d/", 0, "/vobs/a", "d"},
        {"/x", 0, "", "x"},
        {"/", S::GENERAL_FAILURE, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Probe op(request(""));
        op.set_path(c.path);
        EXPECT_EQ(c.status, op.divide_path());
        EXPECT_EQ(c.leaf, op.get_leaf());
        EXPECT_EQ(c.parent, op.get_parent_dir());
        if (c.status != 0) {
            EXPECT_EQ("", op.get_parent_path());
            EXPECT_EQ("Unable to split path \"/\" into parent and leaf.\n", op.get_message());
            continue;
        }
        EXPECT_EQ(view_root() + c.parent, op.get_parent_path());
        EXPECT_EQ(view_root() + c.path, op.get_object_path());
        EXPECT_EQ("", op.get_message());
    }
}

TEST_F(OpPath, ParentAndObjectStatusesComeFromTheServerThroughTheViewDatabase) {
    Probe op(request(""));
    ASSERT_EQ(0, op.locate("/vobs/a/d/g.c")) << op.get_message();
    EXPECT_TRUE(same(op.get_parent_vstat().elem_oid, 30));
    EXPECT_TRUE(same(op.get_parent_vstat().obj_oid, 31));
    EXPECT_TRUE(qel_uuid_eq(&op.get_parent_vob_uuid(), &vob_uuid));
    EXPECT_GT(asked(), 0u);

    // The walk stored "d"; its names come with its listing.
    bool done = true;
    ASSERT_EQ(0, op.get_parent_readdir_done(done));
    EXPECT_FALSE(done);
    list_d();
    EXPECT_TRUE(listed(vob_uuid, db_dbid(31)));
    ASSERT_EQ(0, op.get_parent_readdir_done(done));
    EXPECT_TRUE(done);

    ostrel_vstat found{};
    ASSERT_EQ(0, op.get_obj_metadata_db(&found)) << op.get_message();
    EXPECT_TRUE(same(found.vstat.obj_oid, 41));
    EXPECT_TRUE(same(found.vstat.elem_oid, 40));
    EXPECT_EQ(0, std::memcmp(&found.vstat, &op.get_object_vstat(), sizeof found.vstat));
    EXPECT_TRUE(qel_uuid_eq(&op.get_object_vob_uuid(), &vob_uuid));
    EXPECT_EQ("", op.get_message());
    // A file version has no listing of its own.
    ASSERT_EQ(0, op.get_obj_readdir_done(done));
    EXPECT_FALSE(done);

    // A parent named through a symbolic link is the directory it names.
    Probe linked(request(""));
    ASSERT_EQ(0, linked.locate("/vobs/a/d/toe/f")) << linked.get_message();
    EXPECT_TRUE(same(linked.get_parent_vstat().obj_oid, 61));
}

TEST_F(OpPath, ObjectsTheViewDatabaseLacksOrHoldsAsNoVersion) {
    // An absent leaf is no failure: the caller's record is cleared, the
    // object status stays as it was.
    Probe absent(request(""));
    ASSERT_EQ(0, absent.locate("/vobs/a/nope")) << absent.get_message();
    absent.object_vstat().mtype = 99;
    ostrel_vstat record;
    std::memset(&record, 0xa5, sizeof record);
    EXPECT_EQ(0, absent.get_obj_metadata_db(&record));
    const ostrel_vstat zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &record, sizeof record));
    EXPECT_EQ(99u, absent.get_object_vstat().mtype);
    EXPECT_EQ(0, absent.get_obj_metadata_db(nullptr));

    // A symbolic link is not a version.
    Probe link(request(""));
    ASSERT_EQ(0, link.locate("/vobs/a/ln"));
    unsigned elem = 0, obj = 0;
    ostrel_vstat status{};
    ASSERT_EQ(0, Meta::lookup_obj(vob_uuid, root_dbid(vob_uuid), 0, "ln", elem, obj, status));
    EXPECT_EQ(S::GENERAL_FAILURE, link.get_obj_metadata_db(nullptr));
    EXPECT_EQ("Object \"" + view_root() + "/vobs/a/ln\" not a version: mtype 7\n", link.get_message());

    // A parent version the view database does not know.
    Probe unknown(request(""));
    ASSERT_EQ(0, unknown.locate("/vobs/a/d/g.c"));
    unknown.parent_vstat().obj_oid = oid_of(4242);
    EXPECT_EQ(S::GENERAL_FAILURE, unknown.get_obj_metadata_db(nullptr));
    EXPECT_EQ("Can't find dbid of parent dir \"" + view_root() + "/vobs/a/d\"\n", unknown.get_message());
    bool done = true;
    EXPECT_EQ(S::GENERAL_FAILURE, unknown.get_parent_readdir_done(done));
    EXPECT_TRUE(done);
    EXPECT_NE(std::string::npos,
              unknown.get_message().find("Internal error retrieving dbid for path '" + view_root() + "/vobs/a/d'"));
}

TEST_F(OpPath, AParentThatCannotBeFoundFailsWithTheWalksMessage) {
    struct Case {
        const char* path;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"/vobs/a/nope/x", S::NOT_FOUND, "could not look up \"nope\""},
        {"/vobs/c/x", S::VOB_NOT_MOUNTED, "No known mounted VOB found in \"/vobs/c\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Probe op(request(""));
        op.set_message("earlier. ");
        EXPECT_EQ(c.status, op.locate(c.path));
        EXPECT_EQ(0, op.get_status());  // left to the caller
        EXPECT_EQ(0u, op.get_message().rfind("earlier. ", 0));
        EXPECT_NE(std::string::npos, op.get_message().find(c.message)) << op.get_message();
    }
}

TEST_F(OpPath, TheKernelsStatusOfAPathThatItCannotResolve) {
    // The test's kernel has no channel to a daemon serving the view.
    Probe op(request(""));
    op.set_path("/vobs/a/d/g.c");
    ASSERT_EQ(0, op.divide_path());
    EXPECT_EQ(S::GENERAL_FAILURE, op.get_obj_metadata_korva());
    EXPECT_EQ(0u, op.get_message().rfind("Unable to lookup path \"" + view_root() + "/vobs/a/d/g.c\": ", 0))
        << op.get_message();
}

TEST_F(OpPath, FlushesDropTheObjectAndItsNameOrTheNameAlone) {
    Probe op(request(""));
    ASSERT_EQ(0, op.locate("/vobs/a/d/g.c"));
    list_d();

    // The object was never found: its name alone.
    size_t from = invalidations().size();
    EXPECT_EQ(0, op.flush_metadata(5));
    EXPECT_EQ(told_since(from), (Lines{{"inval_name", vob_text(), text(31), "g.c"}}));

    ASSERT_EQ(0, op.get_obj_metadata_db(nullptr));
    from = invalidations().size();
    EXPECT_EQ(0, op.flush_metadata(5));
    EXPECT_EQ(0, op.flush_parent_elem(6));
    EXPECT_EQ(told_since(from), (Lines{{"inval_obj", vob_text(), text(40), "5"},
                                       {"inval_name", vob_text(), text(31), "g.c"},
                                       {"inval_obj", vob_text(), text(30), "6"}}));

    // An object the kernel does not let go: its name stays.
    ASSERT_EQ(0, kernel().injector().add("inval_obj", std::to_string(QEL_ST_INTERNAL)));
    from = invalidations().size();
    EXPECT_EQ(S::GENERAL_FAILURE, op.flush_metadata(5));
    EXPECT_EQ(told_since(from), (Lines{{"inval_obj", vob_text(), text(40), "5"}}));
    EXPECT_EQ(0u, op.get_message().rfind("Unable to flush cached entry for \"" + view_root() + "/vobs/a/d/g.c\": ", 0))
        << op.get_message();

    // A parent that was never found has no element to drop.
    Probe none(request(""));
    from = invalidations().size();
    EXPECT_EQ(0, none.flush_parent_elem(6));
    EXPECT_EQ(0u, told_since(from).size());
}

TEST_F(OpPath, NameListsAndNamesWithSeparators) {
    struct Case {
        const char* inner;
        bool required;
        int status;
        std::vector<std::string> out;
    };
    const std::string list = "removed-leaves";
    const Case cases[] = {
        {"<removed-leaves><leaf>a</leaf><leaf>b.c</leaf></removed-leaves>", true, 0, {"old", "a", "b.c"}},
        {"<removed-leaves/>", true, 0, {"old"}},
        {"", false, 0, {"old"}},
        {"", true, S::MALFORMED_REQUEST, {"old"}},
        // What was read before the fault stays.
        {"<removed-leaves><leaf>a</leaf><path>b</path><leaf>c</leaf></removed-leaves>", true, S::MALFORMED_REQUEST,
         {"old", "a"}},
        {"<removed-leaves><leaf>a</leaf><leaf/></removed-leaves>", true, S::MALFORMED_REQUEST, {"old", "a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inner);
        const std::string text = request(c.inner);
        Probe op(text);
        op.set_message("earlier. ");
        std::vector<std::string> out = {"old"};
        op.parse_sub_list(op.root(), list.c_str(), "leaf", out, false, c.required);
        EXPECT_EQ(c.status, op.get_status());
        EXPECT_EQ(c.out, out);
        EXPECT_EQ(c.status == 0 ? "earlier. " : parse_error(text), op.get_message());
    }

    const std::string text = request("");
    Probe op(text);
    op.set_message("earlier. ");
    std::vector<std::string> fine = {"a", "b.c", ".."};
    op.check_no_separators(fine);
    EXPECT_EQ(0, op.get_status());
    std::vector<std::string> names = {"a", "b/c", "/d"};
    op.check_no_separators(names);
    EXPECT_EQ(S::MALFORMED_REQUEST, op.get_status());
    EXPECT_EQ(parse_error(text), op.get_message());
}

} // namespace
