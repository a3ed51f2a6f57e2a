// The queries GetChildren and GetAggregatedState as a client tool sends
// them to the daemon serving the element bench's view: each answer beside
// what a program sees through the korva_fuse mount (and a plain directory
// made the same way), with no invalidation and no server request of their
// own.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "element_bench.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/online_scope.h"
#include "lib/ostreladb/ostrel_db.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

class E2eChildrenState : public E2eElement {
protected:
    // The view root as the kernel names it.
    std::string view_root() const { return korva_root + "/view/" + tag(); }

    // GetChildren of `path`: "name type" per child in the reply's order.
    struct Children {
        std::string status;
        std::string message;
        Lines children;
        Lines names;  // sorted
    };
    Children children(const std::string& path) {
        const lib_test::Reply reply = call(make_request("GetChildren", "c", "<path>" + path + "</path>"));
        Children out;
        out.status = status(reply);
        out.message = message(reply);
        for (const lib_test::Reply_Element& child : results(reply)) {
            EXPECT_EQ("child", child.tag);
            out.children.push_back(child.text + " " + child.attrs.at("type"));
            out.names.push_back(child.text);
        }
        std::sort(out.names.begin(), out.names.end());
        return out;
    }

    // GetAggregatedState: its status, "has-state" ("" when absent) and
    // paths (sorted).
    struct State {
        std::string status;
        std::string message;
        std::string has_state;
        Lines paths;
    };
    State aggregated(const std::string& state, const std::string& get_paths, const std::string& path = "") {
        const lib_test::Reply reply =
            call(make_request("GetAggregatedState", "a",
                              "<state>" + state + "</state><get-paths>" + get_paths + "</get-paths>" +
                                  (path.empty() ? "" : "<path>" + path + "</path>")));
        State out;
        out.status = status(reply);
        out.message = message(reply);
        for (const lib_test::Reply_Element& result : results(reply)) {
            if (result.tag == "has-state") out.has_state = result.text;
            else if (result.tag == "path") out.paths.push_back(result.text);
            else ADD_FAILURE() << "unexpected element " << result.tag;
        }
        std::sort(out.paths.begin(), out.paths.end());
        return out;
    }

    // The reply's kind of what a program sees at `path` through the mount.
    std::string kind_in_view(const std::string& path) const {
        switch (file(path).type) {
        case 'd': return "directory";
        case 'l': return "symlink";
        case 'f': return "file";
        default: return "unknown";
        }
    }

    size_t server_requests_now() { return server().requests().size(); }

    // A journal mark once the daemon's background work has settled: what
    // earlier reads queued (the flushes after a directory's listing came
    // in) is journaled before the mark, not after it. Settled: no new line
    // for a quarter of a second.
    size_t settled_journal_mark() {
        size_t seen = journal_mark();
        auto since = std::chrono::steady_clock::now();
        EXPECT_TRUE(wait_until(
            [&] {
                const size_t now = journal_mark();
                if (now != seen) {
                    seen = now;
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(250);
            },
            Millis(10000)));
        return seen;
    }

    // Ends the daemon, runs `step` in this process on the view it left (its
    // database, offline), then serves the view again: what Checkout records
    // for a directory, made through the call it uses.
    void between_daemons(const std::function<void()>& step) {
        mount.reset();
        EXPECT_EQ("0", status(call(make_request("EndView", "end"))));
        EXPECT_EQ(std::optional<int>(0), agent->wait_exit());
        client.reset();

        char cwd[4096];
        ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
        ASSERT_EQ(0, ::chdir(storage(VIEW).c_str()));
        ::setenv("NORVANE_SERVER_DIR", OSTREL_TEST_SERVER_DIR, 1);
        {
            const lib_test::Online_Scope offline(0);
            int created = -1;
            EXPECT_EQ(0, ostrel_db_init(&created));
            step();
            EXPECT_EQ(0, ostrel_db_close());
        }
        ASSERT_EQ(0, ::chdir(cwd));

        agent = start_with_request(storage(VIEW), "<StartView version=\"1\">" + server_element("p", "true") +
                                                      "</StartView>");
        const std::optional<std::string> reply = agent->read_framed_reply();
        ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
        ASSERT_EQ("0", lib_test::read_reply(*reply).attrs["status-code"]) << *reply;
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(VIEW)); }, kStartTimeout));
        client = PipeClient::connect(storage(VIEW), "bench");
        ASSERT_TRUE(client);
    }
};

// A directory's children, each with its kind, are what a program sees in
// it through the mount; the view root lists the mounted VOBs.
TEST_F(E2eChildrenState, GetChildrenListsWhatTheMountShows) {
    if (!mount_view()) return;
    for (const std::string& dir : {std::string("/vob1"), std::string("/vob1/dir"), std::string("/vob1/sub")}) {
        SCOPED_TRACE(dir);
        const Children listed = children(dir);
        EXPECT_EQ("0", listed.status) << listed.message;
        EXPECT_EQ(vob().names(dir), listed.names);
        EXPECT_EQ(listing(dir), listed.names);
        for (const std::string& child : listed.children) {
            const std::string name = child.substr(0, child.find(' '));
            EXPECT_EQ(name + " " + kind_in_view(dir + "/" + name), child);
        }
    }
    // The same directory named under the view root.
    EXPECT_EQ(children("/vob1").children, children(view_root() + "/vob1").children);

    // The view root: the mounted VOBs, by tag.
    EXPECT_EQ(Lines{"vob1 directory"}, children(view_root()).children);
    vob().add_vob("/vob2", "8a000000-0000-4000-8000-0000000000b2", "8f000000-0000-4000-8000-0000000000b2");
    ASSERT_EQ("0", status(mount_vob("/vob2")));
    EXPECT_EQ((Lines{"vob1 directory", "vob2 directory"}), children(view_root()).children);

    // A file, a missing name, no mounted VOB: refused with the reason.
    const Children file_listed = children("/vob1/a.c");
    EXPECT_EQ("20001", file_listed.status);
    EXPECT_EQ(qel_strerror(QEL_ST_NOT_DIRECTORY), file_listed.message);
    EXPECT_EQ(Lines{}, file_listed.children);
    EXPECT_EQ("20002", children("/vob1/none").status);
    EXPECT_EQ("20047", children("/elsewhere/x").status);

    // Once the directories are read, listing them again changes nothing and
    // asks the server nothing.
    const size_t mark = settled_journal_mark();
    const size_t asked = server_requests_now();
    EXPECT_EQ(vob().names("/vob1"), children("/vob1").names);
    EXPECT_EQ(vob().names("/vob1/dir"), children("/vob1/dir").names);
    EXPECT_EQ(Lines{}, invalidations_since(mark));
    EXPECT_EQ(asked, server_requests_now());
}

// A directory larger than one batch is listed whole, each name once, as a
// plain directory holding the same names lists it; a name the view hides
// (a white-out checkout) is left out as the mount leaves it out, and a
// checkout made on the server alone is listed as the mount shows it.
TEST_F(E2eChildrenState, GetChildrenListsALargeDirectoryWholeAndLeavesHiddenNamesOut) {
    if (!mount_view()) return;
    const std::string plain = tree / "plain";
    ASSERT_EQ(0, ::mkdir(plain.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(in_view("/vob1/many").c_str(), 0755));
    Lines made;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "a-view-private-file-with-a-long-name-" + std::to_string(i);
        ASSERT_TRUE(write_file(in_view("/vob1/many/" + name), "x")) << name;
        ASSERT_TRUE(write_file(plain + "/" + name, "x")) << name;
        made.push_back(name);
    }
    std::sort(made.begin(), made.end());
    const Children listed = children("/vob1/many");
    EXPECT_EQ("0", listed.status) << listed.message;
    EXPECT_EQ(made, listed.names);
    Lines plain_names = list_dir(plain);
    std::sort(plain_names.begin(), plain_names.end());
    EXPECT_EQ(plain_names, listed.names);
    EXPECT_EQ(listing("/vob1/many"), listed.names);
    for (const std::string& child : listed.children) EXPECT_EQ(" file", child.substr(child.find(' '))) << child;

    vob().checkout("/vob1/sub/s.c");
    update();
    EXPECT_EQ(Lines{"s.c"}, listing("/vob1/sub"));
    EXPECT_EQ(Lines{"s.c"}, children("/vob1/sub").names);

    const std::string co = vob().checkout("/vob1/dir/c.c");
    const lib_test::Reply whiteout = call(checkout_request("/vob1/dir/c.c", co, "whiteout=\"true\""));
    ASSERT_EQ("0", status(whiteout)) << message(whiteout);
    ASSERT_TRUE(eventually([&] { return listing("/vob1/dir").empty(); })) << listing("/vob1/dir").size();
    EXPECT_EQ(Lines{}, children("/vob1/dir").children);
}

// The view's checkouts, hijacked and view-private files: none after the
// first update; then a checkout taken in by an update and view-private
// files made through the mount are reported and listed.
TEST_F(E2eChildrenState, GetAggregatedStateReportsCheckoutsAndViewPrivateFiles) {
    if (!mount_view()) return;
    for (const char* state : {"CHECKOUTS", "HIJACKS"}) {
        const State none = aggregated(state, "false");
        EXPECT_EQ("0", none.status) << state;
        EXPECT_EQ("false", none.has_state) << state;
        EXPECT_EQ(Lines{}, aggregated(state, "true").paths) << state;
    }
    EXPECT_EQ(Lines{}, aggregated("OTHERS", "true").paths);

    vob().checkout("/vob1/dir");
    vob().checkout("/vob1/sub/s.c");
    update();
    ASSERT_TRUE(write_file(in_view("/vob1/notes.txt"), "notes\n"));
    ASSERT_TRUE(write_file(in_view("/vob1/dir/build.log"), "log\n"));
    ASSERT_EQ(0, ::mkdir(in_view("/vob1/work").c_str(), 0755));
    ASSERT_TRUE(write_file(in_view("/vob1/work/w.c"), "w\n"));

    const size_t mark = settled_journal_mark();
    const size_t asked = server_requests_now();
    EXPECT_EQ("true", aggregated("CHECKOUTS", "false").has_state);
    const State checkouts = aggregated("CHECKOUTS", "true");
    EXPECT_EQ("0", checkouts.status) << checkouts.message;
    EXPECT_EQ((Lines{"/vob1/dir", "/vob1/sub/s.c"}), checkouts.paths);
    const Lines privates = {"/vob1/dir/build.log", "/vob1/notes.txt", "/vob1/work", "/vob1/work/w.c"};
    EXPECT_EQ(privates, aggregated("OTHERS", "true").paths);
    EXPECT_EQ(privates, aggregated("OTHERS", "true", "/vob1").paths);
    const State not_root = aggregated("OTHERS", "true", "/vob1/dir");
    EXPECT_EQ("20021", not_root.status);
    EXPECT_EQ("Specified path \"/vob1/dir\" is not a VOB root.\n", not_root.message);
    EXPECT_EQ("20021", aggregated("OTHERS", "false").status);
    EXPECT_EQ(Lines{}, invalidations_since(mark));
    EXPECT_EQ(asked, server_requests_now());
    // The files listed are there through the mount.
    for (const std::string& path : privates) EXPECT_TRUE(file(path).exists) << path;
}

// A directory checkout recorded as Checkout records it, a file hijacked by
// the Hijack request and then written through the mount: both are reported
// and listed, beside the view-private files.
TEST_F(E2eChildrenState, GetAggregatedStateReportsAHijackAndADirectoryCheckout) {
    const std::string co = vob().checkout("/vob1/dir");
    between_daemons([&] {
        std::string message;
        qel_uuid_s replica{};
        qel_oid_s element{}, version{};
        ASSERT_EQ(0, qel_str_to_uuid(Served_Vob::REPLICA, &replica));
        ASSERT_EQ(0, qel_str_to_oid(vob().element_oid("/vob1/dir").c_str(), &element));
        ASSERT_EQ(0, qel_str_to_oid(co.c_str(), &version));
        ASSERT_EQ(0, OstrelAgent_View_db_element::set_elem_co_ver_oid(replica, element, version, message)) << message;
    });
    if (!mount_view()) return;
    const lib_test::Reply hijacked = call(make_request("Hijack", "h", "<path>/vob1/a.c</path>"));
    ASSERT_EQ("0", status(hijacked)) << message(hijacked);
    ASSERT_TRUE(write_file(in_view("/vob1/a.c"), "hijacked\n"));
    ASSERT_TRUE(write_file(in_view("/vob1/notes.txt"), "notes\n"));

    const size_t mark = settled_journal_mark();
    const size_t asked = server_requests_now();
    EXPECT_EQ("true", aggregated("HIJACKS", "false").has_state);
    EXPECT_EQ(Lines{"/vob1/a.c"}, aggregated("HIJACKS", "true").paths);
    EXPECT_EQ("true", aggregated("CHECKOUTS", "false").has_state);
    EXPECT_EQ(Lines{"/vob1/dir"}, aggregated("CHECKOUTS", "true").paths);
    EXPECT_EQ(Lines{"/vob1/notes.txt"}, aggregated("OTHERS", "true").paths);
    EXPECT_EQ(Lines{}, invalidations_since(mark));
    EXPECT_EQ(asked, server_requests_now());
    EXPECT_EQ("hijacked\n", file("/vob1/a.c").bytes);
    EXPECT_EQ(vob().content("/vob1/b.c"), file("/vob1/b.c").bytes);
}

} // namespace
} // namespace e2e
