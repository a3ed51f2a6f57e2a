// The requests that change the local state of loaded elements, through the
// daemon. Hijack and Unhijack: a loaded file hijacked becomes an editable
// view-private copy of the loaded bytes, kept across a restart of the view,
// and Unhijack puts the loaded version back (bytes, mode, times), also for
// a hijacked name whose file was deleted or never fully written; refusals,
// a cleartext that cannot be had, and view file calls failing through the
// mount. InvalidateCheckouts: the checkouts named are cleared, unknown
// elements passed over, and one malformed item refuses the whole list.

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>

#include "element_bench.h"

namespace e2e {
namespace {

class E2eLocalState : public E2eElement {
protected:
    lib_test::Reply hijack(const std::string& path) { return by_path("Hijack", path); }
    lib_test::Reply unhijack(const std::string& path) { return by_path("Unhijack", path); }
    lib_test::Reply by_path(const std::string& root, const std::string& path) {
        return call(make_request(root, "tx-" + root, "<path>" + path + "</path>"));
    }

    // The kernel's invalidations since `mark`, without the notices of
    // directory listings that finished in the background meanwhile (a name
    // the server was asked for has its directory listed after it).
    Lines invalidations(size_t mark) {
        Lines lines;
        for (const std::string& line : invalidations_since(mark))
            if (line.rfind("inval_obj ", 0) != 0 || line.compare(line.size() - 3, 3, " 13") != 0)
                lines.push_back(line);
        return lines;
    }
    // The kernel's invalidation of `path`'s name in its directory.
    Lines name_dropped(const std::string& path) {
        return {inval_name(vob().parent_oid(path), path.substr(path.rfind('/') + 1))};
    }
    // The cache file of the version the path selects.
    std::string cache_file(const std::string& path) {
        const auto files = cleartext_files(VIEW);
        const auto it = files.find(vob().oid(path) + "-" + Served_Vob::TEXT_MODE);
        return it != files.end() ? it->second : "";
    }
    // A file of the view as a program sees it, with times of its own
    // (utimes through the mount).
    bool set_times(const std::string& path, long seconds) const {
        const struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
        return ::utimes(in_view(path).c_str(), times) == 0;
    }
    bool append(const std::string& at, const std::string& text) const {
        return write_file(at, read_file(at) + text);
    }

    // Ends the view with EndView and serves it again with StartView (the
    // view comes back offline), mounted anew.
    void restart_view() {
        mount.reset();
        ASSERT_EQ("0", status(call(make_request("EndView", "end"))));
        ASSERT_EQ(std::optional<int>(0), agent->wait_exit());
        client.reset();
        agent = start_with_request(storage(VIEW), startview_request());
        const std::optional<std::string> reply = agent->read_framed_reply();
        ASSERT_TRUE(reply.has_value()) << agent->stderr_text(Millis(0));
        ASSERT_EQ("0", lib_test::read_reply(*reply).attrs["status-code"]) << *reply;
        ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe(VIEW)); }, kStartTimeout));
        client = PipeClient::connect(storage(VIEW), "bench-again");
        ASSERT_TRUE(client);
        ASSERT_TRUE(mount_view());
    }
};

using E2eHijack = E2eLocalState;
using E2eInvalidateCheckouts = E2eLocalState;

// Hijack a loaded file, write it through the mount as a plain file is
// written, keep it across EndView and StartView, then Unhijack: the loaded
// version is back as it was.
TEST_F(E2eHijack, AHijackedFileIsAnEditableCopyUntilUnhijackPutsTheLoadedVersionBack) {
    if (!mount_view()) return;
    const std::string path = "/vob1/a.c";
    const View_File loaded = file(path);
    ASSERT_EQ('f', loaded.type);
    const size_t fetched = gets(vob().oid(path));

    size_t mark = journal_mark();
    const long before = std::time(nullptr);
    lib_test::Reply reply = hijack(path);
    const long after = std::time(nullptr);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message"));
    EXPECT_EQ(name_dropped(path), invalidations(mark));
    // The copy holds the loaded bytes, with the cache file's permission
    // bits and the time it was made; the cached cleartext served it.
    View_File hijacked = file(path);
    EXPECT_EQ(loaded.bytes, hijacked.bytes);
    EXPECT_EQ(cached_mode(vob().oid(path)), hijacked.mode);
    EXPECT_GE(hijacked.mtime, before);
    EXPECT_LE(hijacked.mtime, after);
    EXPECT_EQ(fetched, gets(vob().oid(path)));

    // Written like a file of a plain directory.
    const std::string plain = tree / "plain.c";
    ASSERT_TRUE(write_file(plain, loaded.bytes));
    ASSERT_TRUE(append(in_view(path), "a local change\n"));
    ASSERT_TRUE(append(plain, "a local change\n"));
    EXPECT_EQ(read_file(plain), file(path).bytes);
    EXPECT_EQ(listing("/vob1"), vob().names("/vob1"));

    restart_view();
    if (HasFatalFailure()) return;
    EXPECT_EQ(read_file(plain), file(path).bytes) << "the hijacked file went with the view";

    // A user's own times on the file, which go with it.
    ASSERT_TRUE(set_times(path, 1000000000));
    mark = journal_mark();
    reply = unhijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message"));
    EXPECT_EQ(name_dropped(path), invalidations(mark));
    const View_File back = file(path);
    EXPECT_EQ(loaded.bytes, back.bytes);
    EXPECT_EQ(loaded.mode, back.mode);
    EXPECT_EQ(loaded.mtime, back.mtime);
    EXPECT_EQ(vob_tree(), view_tree());

    // Nothing is hijacked any more.
    reply = unhijack(path);
    EXPECT_EQ("20002", status(reply));
    EXPECT_EQ("Unable to unhijack \"/vob1/a.c\": Not found.\n", message(reply));
}

// The kernel still knows the name as the loaded file when the copy is
// written (the daemon's word that the name changed has no effect here):
// the open finds the name stale, the kernel looks it up again and the copy
// lands in the hijacked file.
TEST_F(E2eHijack, TheCopyReachesTheHijackedFileWhileTheKernelKnowsTheOldName) {
    if (!mount_view()) return;
    const std::string path = "/vob1/dir/c.c";
    const View_File loaded = file(path);
    ASSERT_EQ('f', loaded.type);
    inject("inval_name", "0");
    const lib_test::Reply reply = hijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(loaded.bytes, file(path).bytes);
    ASSERT_TRUE(append(in_view(path), "changed\n"));
    EXPECT_EQ(loaded.bytes + "changed\n", file(path).bytes);
}

// A second Hijack of a hijacked file only gives it the current time: its
// bytes stay, nothing is fetched and the kernel is told nothing.
TEST_F(E2eHijack, HijackingAHijackedFileAgainOnlyTouchesIt) {
    if (!mount_view()) return;
    const std::string path = "/vob1/b.c";
    ASSERT_EQ("0", status(hijack(path)));
    ASSERT_TRUE(append(in_view(path), "mine\n"));
    const std::string mine = file(path).bytes;
    ASSERT_TRUE(set_times(path, 1000000000));
    const size_t fetched = gets(vob().oid(path));

    const size_t mark = journal_mark();
    const long before = std::time(nullptr);
    const lib_test::Reply reply = hijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message"));
    EXPECT_EQ(Lines{}, invalidations(mark));
    const View_File touched = file(path);
    EXPECT_EQ(mine, touched.bytes);
    EXPECT_GE(touched.mtime, before);
    EXPECT_GE(touched.atime, before);
    EXPECT_EQ(fetched, gets(vob().oid(path)));
}

// What cannot be hijacked or unhijacked is refused with the reason; the
// view and the kernel are left alone.
TEST_F(E2eHijack, RefusalsLeaveTheViewAsItWas) {
    if (!mount_view()) return;
    ASSERT_TRUE(write_file(in_view("/vob1/private.txt"), "view-private\n"));
    const struct {
        const char* op;
        const char* path;
        const char* status;
        const char* message;
    } rows[] = {
        {"Hijack", "/vob1/dir", "20001", "Cannot hijack \"/vob1/dir\": object is not a plain file.\n"},
        {"Hijack", "/vob1", "20001", "Cannot hijack \"/vob1\": object is not a plain file.\n"},
        // A final symbolic link is judged as the link.
        {"Hijack", "/vob1/link", "20001", "Cannot hijack \"/vob1/link\": object is not a plain file.\n"},
        {"Hijack", "/vob1/private.txt", "20001",
         "Cannot hijack \"/vob1/private.txt\": object is not version controlled.\n"},
        {"Hijack", "/vob1/none.c", "20002", "Lookup of \"none.c\" incomplete; could not look up \"none.c\"\n"},
        {"Unhijack", "/vob1", "20001", "Cannot unhijack VOB root element \"/vob1\"."},
        {"Unhijack", "/vob1/dir", "20002", "Unable to unhijack \"/vob1/dir\": Not found.\n"},
        {"Unhijack", "/vob1/b.c", "20002", "Unable to unhijack \"/vob1/b.c\": Not found.\n"},
        {"Unhijack", "/vob1/private.txt", "20002", "Unable to unhijack \"/vob1/private.txt\": Not found.\n"},
        {"Unhijack", "/vob1/none/x.c", "20002",
         "Lookup of \"none\" incomplete; could not look up \"none\"\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.op) + " " + row.path);
        const size_t mark = journal_mark();
        const lib_test::Reply reply = by_path(row.op, row.path);
        EXPECT_EQ(row.op, reply.root);
        EXPECT_EQ("tx-" + std::string(row.op), reply.attrs.at("tx-id"));
        EXPECT_EQ(row.status, status(reply));
        EXPECT_EQ(row.message, message(reply));
        EXPECT_EQ(Lines{}, invalidations(mark));
    }
    ASSERT_EQ(0, ::unlink(in_view("/vob1/private.txt").c_str()));
    EXPECT_EQ(vob_tree(), view_tree());
}

// The copy fails part-way: it never took the name, which is not hijacked
// and still shows the loaded version whole; a second Hijack makes the
// whole copy, and Unhijack gives the loaded version back.
TEST_F(E2eHijack, ACopyFailingPartWayLeavesTheLoadedVersionAndARetryHijacksIt) {
    if (!mount_view()) return;
    const std::string path = "/vob1/a.c";
    const View_File loaded = file(path);
    const std::string source = cache_file(path);
    ASSERT_NE("", source);

    inject("fuse_write", "errno=28");
    const size_t mark = journal_mark();
    lib_test::Reply reply = hijack(path);
    EXPECT_EQ("20001", status(reply));
    EXPECT_EQ("Unable to copy to \"" + in_view(path) + "\" from \"" + source + "\": No space left on device\n",
              message(reply));
    EXPECT_EQ(Lines{}, invalidations(mark));
    View_File left = file(path);
    EXPECT_TRUE(left.exists);
    EXPECT_EQ(loaded.bytes, left.bytes);
    EXPECT_EQ(loaded.mode, left.mode);
    EXPECT_EQ(std::string::npos, joined(listing("/vob1")).find(".ostrel-copy")) << joined(listing("/vob1"));

    reply = hijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(loaded.bytes, file(path).bytes) << "a retried hijack ends as an uninterrupted one";

    reply = unhijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(loaded.bytes, file(path).bytes);
    EXPECT_EQ(loaded.mode, file(path).mode);
}

// A copy left under the temporary name beside a hijacked file (a crash
// stopped it before it took the name, perhaps part-written) is dropped by
// the next Hijack: the user's bytes stay.
TEST_F(E2eHijack, ACopyLeftBesideAHijackedFileNeverReplacesIt) {
    if (!mount_view()) return;
    const std::string path = "/vob1/a.c";
    lib_test::Reply reply = hijack(path);
    ASSERT_EQ("0", status(reply)) << message(reply);
    const std::string edited = "the user's own edit\n";
    ASSERT_TRUE(write_file(in_view(path), edited));
    ASSERT_TRUE(write_file(in_view("/vob1/.a.c.ostrel-copy"), "part of a cop"));

    reply = hijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(edited, file(path).bytes);
    EXPECT_EQ(std::string::npos, joined(listing("/vob1")).find(".ostrel-copy")) << joined(listing("/vob1"));
}

// A hijacked file deleted through the mount leaves its name hijacked
// without a file: the name is gone from the view, a Hijack cannot find it,
// and Unhijack brings the loaded version back.
TEST_F(E2eHijack, AHijackedNameWithoutItsFileIsUnhijackedWhole) {
    if (!mount_view()) return;
    const std::string path = "/vob1/b.c";
    const View_File loaded = file(path);
    const lib_test::Reply hijacked = hijack(path);
    ASSERT_EQ("0", status(hijacked)) << message(hijacked);
    ASSERT_EQ(0, ::unlink(in_view(path).c_str()));
    EXPECT_FALSE(file(path).exists);
    EXPECT_EQ((Lines{"a.c", "dir", "link", "sub"}), listing("/vob1"));

    lib_test::Reply reply = hijack(path);
    EXPECT_EQ("20002", status(reply));
    EXPECT_EQ("Lookup of \"b.c\" incomplete; could not look up \"b.c\"\n", message(reply));

    const size_t mark = journal_mark();
    reply = unhijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(name_dropped(path), invalidations(mark));
    // The kernel kept the name as missing until the daemon's notice came.
    EXPECT_TRUE(eventually([&] { return file(path).exists; }));
    const View_File back = file(path);
    EXPECT_EQ(loaded.bytes, back.bytes);
    EXPECT_EQ(loaded.mode, back.mode);
    EXPECT_EQ(loaded.mtime, back.mtime);
    EXPECT_EQ(vob_tree(), view_tree());
}

// Unhijack removes the hijacked file through the kernel first: when that
// fails, the hijack stays as it was, and a later Unhijack finishes.
TEST_F(E2eHijack, AFailedRemovalOfTheHijackedFileKeepsTheHijack) {
    if (!mount_view()) return;
    const std::string path = "/vob1/a.c";
    const View_File loaded = file(path);
    ASSERT_EQ("0", status(hijack(path)));
    ASSERT_TRUE(append(in_view(path), "mine\n"));
    const std::string mine = file(path).bytes;

    inject("fuse_unlink", "errno=16");
    const size_t mark = journal_mark();
    lib_test::Reply reply = unhijack(path);
    EXPECT_EQ("20001", status(reply));
    EXPECT_EQ("Unable to remove \"" + in_view(path) + "\": Device or resource busy\n", message(reply));
    EXPECT_EQ(Lines{}, invalidations(mark));
    EXPECT_EQ(mine, file(path).bytes);

    reply = unhijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(loaded.bytes, file(path).bytes);
}

// Hijack and Unhijack reach the file through the view's root: without the
// mount, a Hijack is refused before the name is marked, and an Unhijack
// fails and keeps the hijack and the hijacked file.
TEST_F(E2eHijack, WithoutTheMountNothingIsMarkedOrCleared) {
    const auto hijacked = [&](const std::string& path) {
        const lib_test::Reply reply = call(make_request("GetMetadata", "gm", "<path>" + path + "</path>"));
        for (const lib_test::Reply_Element& element : results(reply))
            if (element.tag == "is-hijacked") return element.text;
        return "(none: " + status(reply) + " " + message(reply) + ")";
    };
    const std::string path = "/vob1/a.c";
    size_t mark = journal_mark();
    lib_test::Reply reply = hijack(path);
    EXPECT_EQ("20001", status(reply));
    EXPECT_EQ("Unable to get the status of \"" + in_view(path) + "\": No such file or directory\n", message(reply));
    EXPECT_EQ(Lines{}, invalidations(mark));
    EXPECT_EQ("false", hijacked(path));

    if (!mount_view()) return;
    const View_File loaded = file(path);
    EXPECT_EQ(vob().content(path), loaded.bytes);
    ASSERT_EQ("0", status(hijack(path)));
    ASSERT_TRUE(append(in_view(path), "mine\n"));
    const std::string mine = file(path).bytes;
    mount.reset();

    mark = journal_mark();
    reply = unhijack(path);
    EXPECT_EQ("20001", status(reply));
    EXPECT_EQ("Unable to remove \"" + in_view(path) + "\": No such file or directory\n", message(reply));
    EXPECT_EQ(Lines{}, invalidations(mark));
    EXPECT_EQ("true", hijacked(path));

    ASSERT_TRUE(mount_view());
    EXPECT_EQ(mine, file(path).bytes);
    reply = unhijack(path);
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ("false", hijacked(path));
    EXPECT_EQ(loaded.bytes, file(path).bytes);
}

// The loaded version's cleartext cannot be had (its cache file gone, and
// the server failing or the view offline): nothing is marked or copied, and
// the reply says why.
TEST_F(E2eHijack, ACleartextThatCannotBeHadLeavesTheFileLoaded) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        const char* path;
        std::function<void()> cut_off;
        const char* status;
        bool offline;
    } rows[] = {
        {"the server fails", "/vob1/a.c",
         [&] {
             vob().add_rule_before(R"({"match": {"method": "GET", "path": "/cltxt/)" + std::string(Served_Vob::REPLICA) +
                                   "/" + vob().oid("/vob1/a.c") +
                                   R"(/transparent"}, "times": 1, "fault": {"http": 500}, "reply": {"cleartext": true}})");
         },
         "20048", false},
        {"offline", "/vob1/b.c", [&] { ASSERT_EQ("0", status(call(make_request("Disconnect", "off")))); }, "20033",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const View_File loaded = file(row.path);
        const std::string cached = cache_file(row.path);
        ASSERT_NE("", cached);
        ASSERT_EQ(0, ::unlink(cached.c_str()));
        row.cut_off();

        const size_t mark = journal_mark();
        const lib_test::Reply reply = hijack(row.path);
        EXPECT_EQ(row.status, status(reply));
        const std::string head = "No cached cleartext available for \"" + std::string(row.path) + "\".\n" +
                                 (row.offline ? "Client is disconnected from the server.\n" : "") +
                                 "Error fetching cleartext for \"" + cached + "\".\n\n";
        EXPECT_EQ(0u, message(reply).rfind(head, 0)) << message(reply);
        EXPECT_GT(message(reply).size(), head.size()) << "the fetch's own reason follows";
        if (!row.offline) {
            // The failed call is named in the operations log.
            const std::string log = log_text(VIEW);
            EXPECT_NE(std::string::npos, log.find("::WAN RPC \"Get_ClearText\" failed : ")) << log;
            EXPECT_EQ(std::string::npos, log.find("WAN RPC \"\"")) << log;
        }
        EXPECT_EQ(Lines{}, invalidations(mark));
        // Not hijacked: Unhijack finds nothing to give up.
        EXPECT_EQ("20002", status(unhijack(row.path)));
        if (!row.offline) {
            EXPECT_EQ(loaded.bytes, file(row.path).bytes);
        }
    }
}

// "<element oid>@<replica uuid>" of the element at `path`.
std::string item_of(const std::string& element_oid, const std::string& replica = Served_Vob::REPLICA) {
    return "<element>" + element_oid + "@" + replica + "</element>";
}

std::string invalidate_request(const std::string& items) {
    return make_request("InvalidateCheckouts", "tx-ic", "<invalid-checkouts>" + items + "</invalid-checkouts>");
}

// Checkouts made on the server and taken by an update, then invalidated:
// the view stops treating the elements as checked out; an element the
// view does not hold, or of a VOB it does not hold, is passed over; an
// element named twice is dropped twice. The server is not asked.
TEST_F(E2eInvalidateCheckouts, TheCheckoutsNamedAreClearedAndUnknownElementsPassedOver) {
    if (!mount_view()) return;
    vob().batch([&] {
        vob().checkout("/vob1/dir");
        vob().checkout("/vob1/a.c");
    });
    update();
    lib_test::Reply reply = hijack("/vob1/dir");
    EXPECT_EQ("Cannot hijack \"/vob1/dir\": object is checked out.\n", message(reply));
    // The view has no file of the checkout: the checked-out version shows,
    // read-only.
    const View_File shown = file("/vob1/a.c");
    EXPECT_EQ(vob().content("/vob1/a.c"), shown.bytes);
    EXPECT_EQ(0444u, shown.mode);

    const std::string a_c = vob().element_oid("/vob1/a.c"), dir = vob().element_oid("/vob1/dir");
    const size_t asked = server_requests().size();
    const size_t mark = journal_mark();
    reply = call(invalidate_request(item_of(a_c) + item_of(Served_Vob::oid(99)) + item_of(dir) + item_of(a_c) +
                                    item_of(a_c, "8a000000-0000-4000-8000-0000000000c3")));
    EXPECT_EQ("InvalidateCheckouts", reply.root);
    EXPECT_EQ("tx-ic", reply.attrs.at("tx-id"));
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_FALSE(reply.has_child("status-message"));
    EXPECT_EQ((Lines{inval_obj(a_c, UNCHECKOUT), inval_obj(dir, UNCHECKOUT), inval_obj(a_c, UNCHECKOUT)}),
              invalidations(mark));
    EXPECT_EQ(asked, server_requests().size());

    // Neither is checked out for the view any more: the directory is
    // judged as a directory, the file shows the version the view loaded.
    reply = hijack("/vob1/dir");
    EXPECT_EQ("Cannot hijack \"/vob1/dir\": object is not a plain file.\n", message(reply));
    EXPECT_TRUE(eventually([&] { return file("/vob1/a.c").exists; }));
    EXPECT_EQ(vob().content("/vob1/a.c"), file("/vob1/a.c").bytes);
}

// One malformed item refuses the whole request before anything is done,
// also for the items before it.
TEST_F(E2eInvalidateCheckouts, AMalformedItemRefusesTheWholeList) {
    vob().checkout("/vob1/dir");
    update();
    const std::string first = item_of(vob().element_oid("/vob1/dir"));
    const std::string oid = vob().element_oid("/vob1/b.c");
    const struct {
        const char* name;
        std::string list;
    } rows[] = {
        {"an item without \"@\"", "<invalid-checkouts>" + first + "<element>" + oid + "</element></invalid-checkouts>"},
        {"a malformed oid", "<invalid-checkouts>" + first + item_of("0e00-nonsense") + "</invalid-checkouts>"},
        {"a malformed uuid", "<invalid-checkouts>" + first + item_of(oid, "9a00-nonsense") + "</invalid-checkouts>"},
        {"a second \"@\" in the uuid", "<invalid-checkouts>" + first + item_of(oid, std::string(Served_Vob::REPLICA) + "@x") +
                                           "</invalid-checkouts>"},
        {"an empty item", "<invalid-checkouts>" + first + "<element/></invalid-checkouts>"},
        {"another child", "<invalid-checkouts>" + first + "<path>/vob1/b.c</path></invalid-checkouts>"},
        {"an empty list", "<invalid-checkouts/>"},
        {"no list", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string request = make_request("InvalidateCheckouts", "tx-bad", row.list);
        const size_t mark = journal_mark();
        const lib_test::Reply reply = call(request);
        EXPECT_EQ("tx-bad", reply.attrs.at("tx-id"));
        EXPECT_EQ("20021", status(reply));
        EXPECT_EQ("Parse error in \"" + request + "\".\n", message(reply));
        EXPECT_EQ(Lines{}, invalidations(mark));
        EXPECT_EQ("Cannot hijack \"/vob1/dir\": object is checked out.\n", message(hijack("/vob1/dir")));
    }
}

} // namespace
} // namespace e2e
