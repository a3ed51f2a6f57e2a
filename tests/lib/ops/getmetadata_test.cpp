// GetMetadata in process: how times are written, and on the served view the
// names the namespace hides (a white-out, a hijacked white-out), a
// hijacked file, sizes beyond 32 bits, the view root of another kind of
// view, a missing path, and names the view holds or lacks while offline.

#include <gtest/gtest.h>

#include <string>

#include "lib/core/ostrelagent_status.h"
#include "lib/ops/ops_test_support.h"
#include "lib/ops/ostrelagent_getmetadata.h"

namespace {

using namespace ops_test;

TEST(LibGetMetadata, TimesAreMillisecondsSinceTheEpoch) {
    struct Case {
        qel_fstat_time_s time;
        const char* text;
    };
    const Case cases[] = {
        {{2, 5000}, "2005"},      {{2, 999}, "2000"},   {{2, 123456}, "2123"},
        {{2, 999999}, "2999"},    {{0, 0}, "0000"},     {{1796890866, 930995}, "1796890866930"},
        {{4294967295u, 1000}, "4294967295001"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, OstrelAgent_Getmetadata::time_text(c.time)) << c.text;
}

class LibGetMetadataServed : public OpsTest {
protected:
    void SetUp() override {
        OpsTest::SetUp();
        // A file of more than 4 GiB at the root.
        dir(10, 11, {{"a.c", 20}, {"ln", 50}, {"d", 30}, {"big", 80}});
        file(80, 81);
        Scripted big = file_version(81, 80, 0444);
        big.fstat.size = (uint64_t{5} << 30) + 3;
        script(vob_uuid, big);
    }
    lib_test::Reply get_metadata(const std::string& path) {
        return run("<GetMetadata version=\"1\" tx-id=\"g\"><path>" + path + "</path></GetMetadata>");
    }
    // The reply's result elements, "tag=text" in order.
    static Lines elements(const lib_test::Reply& reply) {
        Lines out;
        for (const lib_test::Reply_Element& element : reply.elements)
            if (element.tag != "status-message") out.push_back(element.tag + "=" + element.text);
        return out;
    }
    static std::string value(const lib_test::Reply& reply, const std::string& tag) {
        for (const lib_test::Reply_Element& element : reply.elements)
            if (element.tag == tag) return element.text;
        return "(none)";
    }
    // The four state flags, "version controlled, checked out, hijacked,
    // eclipsed" as "tftf".
    static std::string states(const lib_test::Reply& reply) {
        std::string out;
        for (const char* tag : {"is-version-controlled", "is-checked-out", "is-hijacked", "is-eclipsed"})
            out += value(reply, tag) == "true" ? "t" : "f";
        return out;
    }
    // A view entry without an object over a.c: a white-out.
    void white_out(const char* name) {
        view_fhandle top = root();
        Ns_Cache_Lock lock;
        int ext = 0, status = 0;
        obj_entry* d = locate_validate_fhandle(&top, &ext, &status);
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(0, ostrel_db_link(nullptr, d, name, nullptr, 0));
        obj_free(d);
    }
};

// A name that the namespace hides but its directory version lists is
// answered from the view database: a plain white-out shows the name
// eclipsed, a hijacked one hijacked; a hijacked file is reported on the
// normal way with the status of the version it hijacked.
TEST_F(LibGetMetadataServed, HiddenNamesAreAnsweredFromTheirDirectoryVersion) {
    ASSERT_EQ("tfff", states(get_metadata("/vobs/a/a.c")));
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* states;
        unsigned object;  // the object oid reported
    };
    const Case cases[] = {
        {"a white-out", [&] { white_out("a.c"); }, "tfft", 21},
        {"a hijacked white-out",
         [&] {
             view_fhandle top = root();
             Found loaded = lookup(top, "a.c");
             ASSERT_EQ(0, loaded.status);
             ASSERT_EQ(0, ns_hijack_by_fh(&top, "a.c", &loaded.vstat));
         },
         "tftf", 21},
        {"a hijacked file",
         [&] {
             view_fhandle top = root();
             Found loaded = lookup(top, "a.c");
             ASSERT_EQ(0, loaded.status);
             ASSERT_EQ(0, ns_hijack_by_fh(&top, "a.c", &loaded.vstat));
             ASSERT_EQ(0, create(top, "a.c"));
         },
         "tftf", 21},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        const size_t mark = invalidations().size();
        const lib_test::Reply reply = get_metadata("/vobs/a/a.c");
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_EQ(c.states, states(reply));
        EXPECT_EQ(text(20), value(reply, "element-oid"));
        EXPECT_EQ(text(c.object), value(reply, "object-oid"));
        EXPECT_EQ("/vobs/a", value(reply, "vob-tag"));
        EXPECT_EQ("false", value(reply, "is-vob-root"));
        EXPECT_EQ("/vobs/a/a.c", value(reply, "canonical-path"));
        EXPECT_EQ(mark, invalidations().size()) << "a query drops nothing";
        // Back to the loaded file for the next case.
        view_fhandle top = root();
        view_vstat dir_vstat{};
        ns_remove(&top, "a.c", &dir_vstat, nullptr, nullptr);
        ns_unhijack_by_fh(&top, "a.c");
        ns_unwhite_out_by_fh(&top, "a.c", false);
        ASSERT_EQ("tfff", states(get_metadata("/vobs/a/a.c")));
    }
}

// A hidden name below a directory: the canonical path joins the walk's
// and the leaf with one separator.
TEST_F(LibGetMetadataServed, AHiddenNameBelowADirectoryHasOneCanonicalPath) {
    ASSERT_EQ("0", status(get_metadata("/vobs/a/d/g.c")));
    view_fhandle d = walk("d");
    Found loaded = lookup(d, "g.c");
    ASSERT_EQ(0, loaded.status);
    ASSERT_EQ(0, ns_hijack_by_fh(&d, "g.c", &loaded.vstat));
    const lib_test::Reply reply = get_metadata("/vobs/a/d/g.c");
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ("tftf", states(reply));
    EXPECT_EQ("/vobs/a/d/g.c", value(reply, "canonical-path"));
}

TEST_F(LibGetMetadataServed, SizesBeyondThirtyTwoBitsAreWrittenWhole) {
    const lib_test::Reply reply = get_metadata("/vobs/a/big");
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ("5368709123", value(reply, "size"));
}

// The view root of a change-management view that keeps the VOB's times.
TEST_F(LibGetMetadataServed, TheViewRootShowsTheViewsKindAndTimeSetting) {
    Other_View tessel("tessel", 1);
    const lib_test::Reply reply = get_metadata(view_root());
    EXPECT_EQ("0", status(reply)) << message(reply);
    const OstrelAgent_View* view = OstrelAgent_View_Handler::get_view();
    EXPECT_EQ((Lines{"type=view", "is-tessel=true", "view-uuid=" + view->get_view_uuid_str(),
                     "shared-cltxt-path=" + view->get_cltxt_cache_dir(), "preserve-vob-modified-time=true"}),
              elements(reply));
}

// Refusals give the head alone: no path; a path that names nothing.
TEST_F(LibGetMetadataServed, RefusedAndMissingPathsGiveTheHeadAlone) {
    const std::string no_path = "<GetMetadata version=\"1\" tx-id=\"g\" follow=\"true\"></GetMetadata>";
    const lib_test::Reply refused = run(no_path);
    EXPECT_EQ("20021", status(refused));
    EXPECT_EQ("\"path\" not found in XML request.\nParse error in \"" + no_path + "\".\n", message(refused));
    EXPECT_EQ(Lines{}, elements(refused));

    const lib_test::Reply missing = get_metadata("/vobs/a/d/nope");
    EXPECT_EQ("20002", status(missing));
    EXPECT_EQ("Lookup of \"d/nope\" incomplete; could not look up \"nope\"\n", message(missing));
    EXPECT_EQ(Lines{}, elements(missing));
}

// Offline, what the view holds is answered; what needs the server fails
// with the walk's status.
TEST_F(LibGetMetadataServed, OfflineTheViewsOwnNamesAreAnswered) {
    ASSERT_EQ("0", status(get_metadata("/vobs/a/d/g.c")));
    const unsigned asked_before = asked();
    Online offline(0);
    EXPECT_EQ("0", status(get_metadata("/vobs/a/d/g.c")));
    const lib_test::Reply unfetched = get_metadata("/vobs/a/d/e/f");
    EXPECT_NE("0", status(unfetched));
    EXPECT_NE("", message(unfetched));
    EXPECT_EQ(Lines{}, elements(unfetched));
    EXPECT_EQ(asked_before, asked());
}

} // namespace
