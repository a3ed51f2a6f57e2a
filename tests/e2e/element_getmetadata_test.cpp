// GetMetadata end to end: what a client tool learns of a path of the view,
// compared with what a program sees of it through the mount and with what
// the server holds. The query changes nothing: no invalidation, nothing
// asked of the server for names the view holds.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "element_bench.h"

namespace e2e {
namespace {

const char* const NULL_OID = "00000000-0000-0000-0000-000000000000";

std::string flag(bool value) { return value ? "true" : "false"; }

// A time of the file status as the reply writes it: milliseconds.
std::string millis(const struct timespec& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%ld%03d", static_cast<long>(time.tv_sec), static_cast<int>(time.tv_nsec / 1000000));
    return text;
}

class E2eGetMetadata : public E2eElement {
protected:
    lib_test::Reply get_metadata(const std::string& path, const std::string& follow = "") {
        const std::string request = "<GetMetadata version=\"1\" tx-id=\"gm\"" +
                                    (follow.empty() ? std::string() : " follow=\"" + follow + "\"") + "><path>" +
                                    path + "</path></GetMetadata>";
        return call(request);
    }
    // The reply's result elements, "tag=text" in order.
    static Lines elements(const lib_test::Reply& reply) {
        Lines out;
        for (const lib_test::Reply_Element& element : results(reply)) out.push_back(element.tag + "=" + element.text);
        return out;
    }
    // The object elements of `path` as the mount shows its times and size
    // and the server its oids (`object_oid` when another is to be shown).
    struct Expected {
        bool checked_out = false;
        bool eclipsed = false;
        bool version_controlled = true;
        std::string element_oid;
        std::string object_oid;
        bool vob_root = false;
        std::string canonical;
    };
    Lines object_elements(const std::string& seen_path, const Expected& e) const {
        struct stat st {};
        EXPECT_EQ(0, ::lstat(in_view(seen_path).c_str(), &st)) << seen_path;
        Lines out = {"is-version-controlled=" + flag(e.version_controlled),
                     "is-checked-out=" + flag(e.checked_out),
                     "is-hijacked=false",
                     "is-eclipsed=" + flag(e.eclipsed),
                     "last-modified-time=" + millis(st.st_mtim),
                     "access-time=" + millis(st.st_atim),
                     "creation-time=" + millis(st.st_ctim),
                     "element-oid=" + e.element_oid,
                     "object-oid=" + e.object_oid,
                     "is-directory=" + flag(S_ISDIR(st.st_mode)),
                     "is-symlink=" + flag(S_ISLNK(st.st_mode))};
        if (S_ISLNK(st.st_mode)) out.push_back("symlink-target=" + file(seen_path).link);
        out.push_back("size=" + std::to_string(static_cast<long long>(st.st_size)));
        out.push_back(std::string("vob-tag=") + Served_Vob::TAG);
        out.push_back("is-vob-root=" + flag(e.vob_root));
        out.push_back("canonical-path=" + e.canonical);
        return out;
    }
    Expected loaded(const std::string& path) {
        Expected e;
        e.element_oid = vob().element_oid(path);
        e.object_oid = vob().oid(path);
        e.canonical = path;
        return e;
    }
};

// Files, directories, the VOB root and a symbolic link, by a path that
// begins with the VOB tag or by the full path through the view root: the
// object's elements in their fixed order, as the mount shows the object.
TEST_F(E2eGetMetadata, ObjectsAreReportedInTheFixedOrderAsTheMountShowsThem) {
    if (!mount_view()) return;
    ASSERT_EQ(vob_tree(), view_tree());
    // Requests, not log records: a request's end is logged only after its
    // answer has gone out, so it may come after the mark.
    const Lines asked = server_requests();
    const size_t mark = journal_mark();

    Expected root = loaded("/vob1");
    root.vob_root = true;
    root.canonical = "/vob1/";
    Expected link = loaded("/vob1/link");
    link.element_oid = NULL_OID;  // a symbolic link is its own version
    link.canonical = "/vob1/link";
    const struct {
        const char* name;
        std::string path;
        std::string follow;
        std::string seen;  // the path through the mount that shows the object
        Expected expected;
    } rows[] = {
        {"a file", "/vob1/a.c", "", "/vob1/a.c", loaded("/vob1/a.c")},
        {"by the full path", in_view("/vob1/sub/s.c"), "", "/vob1/sub/s.c", loaded("/vob1/sub/s.c")},
        {"a directory", "/vob1/dir", "", "/vob1/dir", loaded("/vob1/dir")},
        {"the VOB root", "/vob1", "", "/vob1", root},
        {"a link not followed", "/vob1/link", "", "/vob1/link", link},
        {"a link not followed: the flag is exact", "/vob1/link", "TRUE", "/vob1/link", link},
        {"a link followed", "/vob1/link", "true", "/vob1/a.c", loaded("/vob1/a.c")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const lib_test::Reply reply = get_metadata(row.path, row.follow);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_EQ("gm", reply.attrs.at("tx-id"));
        EXPECT_FALSE(reply.has_child("status-message"));
        EXPECT_EQ(object_elements(row.seen, row.expected), elements(reply));
    }
    EXPECT_EQ(Lines{}, without_op(invalidations_since(mark), CHECKIN)) << "the namespace's own reads only";
    EXPECT_EQ(asked, server_requests()) << "names the view holds are not asked for";
    EXPECT_EQ(vob_tree(), view_tree());
}

// The view's root: the view's identity and settings, nothing of an object.
// A path that only begins with the root's text is no path of the view.
TEST_F(E2eGetMetadata, TheViewRootIsReportedWithTheViewsSettings) {
    const std::string view_root = korva_root + "/view/" + tag();
    const lib_test::Reply reply = get_metadata(view_root);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ((Lines{"type=view", "is-tessel=false", "view-uuid=" + uuid_for(VIEW),
                     "shared-cltxt-path=" + cache_dir(VIEW), "preserve-vob-modified-time=false"}),
              elements(reply));

    const lib_test::Reply beside = get_metadata(view_root + "x/vob1/a.c");
    EXPECT_EQ("20047", status(beside));
    EXPECT_NE(std::string::npos, message(beside).find("No known mounted VOB found in")) << message(beside);
    EXPECT_TRUE(results(beside).empty());
}

// What the view's own state adds: a file checked out in the view (its
// checked-out version named), a file checked out on the server that the
// view has no file of (its checked-out version shown, read-only), a name a
// white-out checkout hides (answered from its directory version), and a
// view-private file that eclipses a VOB name made later. Names that are not
// there give the head alone.
TEST_F(E2eGetMetadata, CheckedOutHiddenEclipsedAndMissingNames) {
    if (!mount_view()) return;
    // Checked out through the view.
    const std::string co = vob().checkout("/vob1/a.c");
    const lib_test::Reply checkout = call(checkout_request("/vob1/a.c", co));
    ASSERT_EQ("0", status(checkout)) << message(checkout);
    Expected a_c = loaded("/vob1/a.c");
    a_c.checked_out = true;
    EXPECT_EQ(object_elements("/vob1/a.c", a_c), elements(get_metadata("/vob1/a.c")));

    // Checked out on the server alone and taken by an update: the view has
    // no file of it, and shows the checked-out version as it is.
    const std::string shown_co = vob().checkout("/vob1/sub/s.c");
    update();
    ASSERT_TRUE(eventually([&] { return listing("/vob1/sub") == Lines{"s.c"}; }));
    const View_File shown = file("/vob1/sub/s.c");
    EXPECT_EQ(vob().content("/vob1/sub/s.c"), shown.bytes);
    EXPECT_EQ(0444u, shown.mode);
    Expected s_c = loaded("/vob1/sub/s.c");
    s_c.checked_out = true;
    s_c.object_oid = shown_co;
    EXPECT_EQ(object_elements("/vob1/sub/s.c", s_c), elements(get_metadata("/vob1/sub/s.c")));

    // Checked out with a white-out: hidden, answered all the same.
    const std::string hidden_co = vob().checkout("/vob1/b.c");
    const lib_test::Reply whiteout = call(checkout_request("/vob1/b.c", hidden_co, "whiteout=\"true\""));
    ASSERT_EQ("0", status(whiteout)) << message(whiteout);
    ASSERT_TRUE(eventually([&] { return !file("/vob1/b.c").exists; }));
    const Lines hidden = elements(get_metadata("/vob1/b.c"));
    ASSERT_EQ(15u, hidden.size()) << "no link target for a file";
    EXPECT_EQ((Lines{"is-version-controlled=true", "is-checked-out=true", "is-hijacked=false", "is-eclipsed=false"}),
              Lines(hidden.begin(), hidden.begin() + 4));
    EXPECT_EQ("element-oid=" + vob().element_oid("/vob1/b.c"), hidden[7]);
    EXPECT_EQ("object-oid=" + hidden_co, hidden[8]);
    EXPECT_EQ((Lines{"is-directory=false", "is-symlink=false",
                     "size=" + std::to_string(vob().content("/vob1/b.c").size()), "vob-tag=/vob1",
                     "is-vob-root=false", "canonical-path=/vob1/b.c"}),
              Lines(hidden.begin() + 9, hidden.end()));

    // A view-private file, then a VOB element of that name.
    ASSERT_TRUE(write_file(in_view("/vob1/dir/new.c"), "private\n"));
    vob().mkelem("/vob1/dir/new.c");
    update();
    const Lines eclipsing = elements(get_metadata("/vob1/dir/new.c"));
    ASSERT_EQ(15u, eclipsing.size());
    EXPECT_EQ((Lines{"is-version-controlled=false", "is-checked-out=false", "is-hijacked=false", "is-eclipsed=true"}),
              Lines(eclipsing.begin(), eclipsing.begin() + 4));
    EXPECT_EQ("size=8", eclipsing[11]);
    EXPECT_EQ("private\n", file("/vob1/dir/new.c").bytes);

    const struct {
        const char* path;
        const char* text;
    } missing[] = {
        {"/vob1/nope", "Lookup of \"nope\" incomplete; could not look up \"nope\"\n"},
        {"/vob1/none/x.c", "Lookup of \"none/x.c\" incomplete; could not look up \"none/x.c\"\n"},
    };
    for (const auto& row : missing) {
        SCOPED_TRACE(row.path);
        const lib_test::Reply reply = get_metadata(row.path);
        EXPECT_EQ("20002", status(reply));
        EXPECT_EQ(row.text, message(reply));
        EXPECT_TRUE(results(reply).empty());
    }
}

} // namespace
} // namespace e2e
