// Checkout end to end: a client checks an element out on the server, then
// tells the view. A file's checked-out contents come through the view's
// mount (the daemon serving its own copy through its kernel threads),
// writable; a directory or VOB root gets its checkout recorded and nothing
// copied; a white-out checkout copies nothing. Each case asserts the reply,
// the kernel's invalidations in the operation's order and what the view,
// the cleartext cache and the server's log show.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "element_bench.h"

namespace e2e {
namespace {

std::string leaf_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class E2eCheckout : public E2eElement {
protected:
    // Checks `path` out on the server and then in the view; the reply.
    lib_test::Reply check_out(const std::string& path, const std::string& flags = "") {
        co = vob().checkout(path);
        mark = journal_mark();
        return call(checkout_request(path, co, flags));
    }
    // What a Checkout drops first: the element, then its name.
    Lines flushed(const std::string& path) {
        return {inval_obj(vob().element_oid(path), CHECKOUT), inval_name(vob().parent_oid(path), leaf_of(path))};
    }
    // The invalidations since the Checkout was sent, but for the parent
    // directories that the namespace drops in the background: the
    // operation's own, in its order.
    Lines own_invalidations() const { return without_op(invalidations_since(mark), CHECKIN); }
    // The cache file of version `oid`.
    std::string cache_file(const std::string& oid) const {
        const std::map<std::string, std::string> files = cleartext_files(VIEW);
        const auto found = files.find(oid + "-" + Served_Vob::TEXT_MODE);
        return found != files.end() ? found->second : std::string();
    }
    // A GetMetadata reply's value of `tag`.
    std::string metadata(const std::string& path, const std::string& tag) {
        const lib_test::Reply reply = call(make_request("GetMetadata", "gm", "<path>" + path + "</path>"));
        for (const lib_test::Reply_Element& element : results(reply))
            if (element.tag == tag) return element.text;
        return "(none: " + status(reply) + " " + message(reply) + ")";
    }

    std::string co;
    size_t mark = 0;
};

// The checked-out contents are copied onto the file's path through the
// mount, writable; its times are the version's as the view showed them only
// when asked for; preserving a hijack of a file that is not hijacked
// copies it all the same.
TEST_F(E2eCheckout, AFileGetsTheCheckedOutContentsWritableAtItsPath) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        const char* path;
        const char* flags;
        bool times_kept;
    } rows[] = {
        {"a file", "/vob1/a.c", "", false},
        {"its times kept", "/vob1/b.c", R"(ptime="true")", true},
        {"a hijack kept where there is none", "/vob1/dir/c.c", R"(preserve-hijack="true")", false},
        {"flags count only when exactly true", "/vob1/sub/s.c", R"(ptime="TRUE" whiteout="1")", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const View_File before = file(row.path);
        ASSERT_TRUE(before.exists);
        ASSERT_EQ(0444u, before.mode);
        const time_t sent = ::time(nullptr);
        const lib_test::Reply reply = check_out(row.path, row.flags);
        EXPECT_EQ("0", status(reply)) << message(reply);
        EXPECT_FALSE(reply.has_child("status-message"));
        EXPECT_EQ(flushed(row.path), own_invalidations());

        const View_File after = file(row.path);
        EXPECT_EQ(vob().content(row.path), after.bytes);
        EXPECT_EQ(0644u, after.mode);
        if (row.times_kept) {
            EXPECT_EQ(before.mtime, after.mtime);
            EXPECT_EQ(before.atime, after.atime);
        } else {
            // A loaded file's access time is the server's, long past.
            EXPECT_GE(after.atime, sent);
            EXPECT_GE(after.mtime, sent);
        }
        EXPECT_EQ(1u, gets(co));
        EXPECT_EQ(vob().content(row.path), cached_versions().at(co));
    }
    // The last one sent again, as a client retries: the checked-out file
    // is copied over once more.
    const auto& last = rows[std::size(rows) - 1];
    const lib_test::Reply again = call(checkout_request(last.path, co, last.flags));
    EXPECT_EQ("0", status(again)) << message(again);
    EXPECT_EQ(vob().content(last.path), file(last.path).bytes);
    EXPECT_EQ(vob_tree(), view_tree());
    // A file that is not hijacked is the usual case, no failure to log.
    EXPECT_EQ(std::string::npos, log_text(VIEW).find("ERROR::")) << log_text(VIEW);
}

// A directory's checkout, and a VOB root's, is recorded in the view; nothing
// is copied or fetched.
TEST_F(E2eCheckout, ADirectoryOrAVobRootIsRecordedCheckedOutAndNothingIsCopied) {
    if (!mount_view()) return;
    const std::string shown = view_tree();
    const size_t asked = server().requests().size();

    const lib_test::Reply dir = check_out("/vob1/dir");
    EXPECT_EQ("0", status(dir)) << message(dir);
    EXPECT_FALSE(dir.has_child("status-message"));
    EXPECT_EQ(flushed("/vob1/dir"), own_invalidations());
    EXPECT_EQ("true", metadata("/vob1/dir", "is-checked-out"));
    EXPECT_EQ(co, metadata("/vob1/dir", "object-oid"));

    // A VOB root has no name of its own to drop.
    const lib_test::Reply root = check_out("/vob1");
    EXPECT_EQ("0", status(root)) << message(root);
    EXPECT_EQ(Lines{inval_obj(vob().element_oid("/vob1"), CHECKOUT)}, own_invalidations());
    EXPECT_EQ("true", metadata("/vob1", "is-checked-out"));
    EXPECT_EQ(co, metadata("/vob1", "object-oid"));

    // The root's new version is listed anew (under load, once seen empty
    // for a moment right after the checkout).
    EXPECT_TRUE(eventually([&] { return view_tree() == shown; })) << view_tree();
    const std::vector<fakeserver::Json> requests = server().requests();
    EXPECT_GT(requests.size(), asked) << "the flushed names are read again from the server";
    for (size_t i = asked; i < requests.size(); ++i) {
        const std::string path = requests[i]["path"].as_string();
        EXPECT_EQ(std::string::npos, path.find("/cltxt/")) << path;
    }
}

// A VOB root checked out and listed at once: the root's new version takes
// the place of the one the view had, and is listed (the kernel may still
// hold the version it replaced for a moment), then resolved by its path.
TEST_F(E2eCheckout, AVobRootListedRightAfterItsCheckoutShowsItsNames) {
    if (!mount_view()) return;
    const std::string shown = view_tree();
    const lib_test::Reply root = check_out("/vob1");
    EXPECT_EQ("0", status(root)) << message(root);
    EXPECT_TRUE(eventually([&] { return view_tree() == shown; })) << view_tree();
    EXPECT_EQ(co, metadata("/vob1", "object-oid"));
}

// A hijacked file checked out: its hijack mark is cleared, and its edited
// contents either stay as the checked-out file (preserve-hijack) or are
// replaced by the checked-out version's.
TEST_F(E2eCheckout, AHijackedFileIsKeptOrReplacedAndNoLongerHijacked) {
    if (!mount_view()) return;
    const struct {
        const char* path;
        const char* flags;
        bool kept;
    } rows[] = {
        {"/vob1/a.c", R"(preserve-hijack="true")", true},
        {"/vob1/b.c", "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const lib_test::Reply hijacked =
            call(make_request("Hijack", "hijack", std::string("<path>") + row.path + "</path>"));
        ASSERT_EQ("0", status(hijacked)) << message(hijacked);
        const std::string edited = file(row.path).bytes + "a local change\n";
        ASSERT_TRUE(write_file(in_view(row.path), edited));
        ASSERT_EQ("true", metadata(row.path, "is-hijacked"));

        const lib_test::Reply reply = check_out(row.path, row.flags);
        EXPECT_EQ("0", status(reply)) << message(reply);
        Lines expected = flushed(row.path);
        if (row.kept) expected.push_back(inval_name(vob().parent_oid(row.path), leaf_of(row.path)));
        EXPECT_EQ(expected, own_invalidations());
        const View_File after = file(row.path);
        EXPECT_EQ(row.kept ? edited : vob().content(row.path), after.bytes);
        EXPECT_EQ(row.kept ? 0u : 1u, gets(co));
        EXPECT_EQ("false", metadata(row.path, "is-hijacked"));
    }
}

// "whiteout" never copies, whatever the hijack flags say: the name is
// dropped once more, from the kernel, and the view then hides it (checked
// out, with no file of its own).
TEST_F(E2eCheckout, AWhiteOutCheckoutCopiesNothing) {
    if (!mount_view()) return;
    const struct {
        const char* path;
        const char* flags;
    } rows[] = {
        {"/vob1/a.c", R"(whiteout="true")"},
        {"/vob1/b.c", R"(whiteout="true" preserve-hijack="true" ptime="true")"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flags);
        const lib_test::Reply reply = check_out(row.path, row.flags);
        EXPECT_EQ("0", status(reply)) << message(reply);
        Lines expected = flushed(row.path);
        expected.push_back(inval_name(vob().parent_oid(row.path), leaf_of(row.path)));
        EXPECT_EQ(expected, own_invalidations());
        EXPECT_EQ(0u, gets(co));
        EXPECT_EQ(0u, cached_versions().count(co));
        const std::string leaf = leaf_of(row.path);
        EXPECT_TRUE(eventually([&] {
            const Lines names = listing("/vob1");
            return std::find(names.begin(), names.end(), leaf) == names.end();
        }));
        EXPECT_EQ("true", metadata(row.path, "is-checked-out"));
    }
}

// A file checked out on the server that the view was never told of (by
// another tool, or by a client whose daemon died before its Checkout ended)
// shows the checked-out version, read-only, and is listed. The view's
// Checkout then copies it onto the name; a write through the mount makes
// the view's checked-out file of it, starting with the version's bytes; a
// cancelled checkout shows the loaded version again.
TEST_F(E2eCheckout, ACheckoutTheViewWasNotToldOfShowsItsVersionUntilTheViewGivesItAFile) {
    if (!mount_view()) return;
    const std::string a_co = vob().checkout("/vob1/a.c");
    vob().checkout("/vob1/b.c");
    vob().checkout("/vob1/dir/c.c");
    update();
    for (const char* path : {"/vob1/a.c", "/vob1/b.c", "/vob1/dir/c.c"}) {
        SCOPED_TRACE(path);
        const View_File shown = file(path);
        ASSERT_TRUE(shown.exists);
        EXPECT_EQ(vob().content(path), shown.bytes);
        EXPECT_EQ(0444u, shown.mode);
        EXPECT_EQ("true", metadata(path, "is-checked-out"));
    }
    EXPECT_EQ(vob_tree(), view_tree());

    const lib_test::Reply copied = call(checkout_request("/vob1/a.c", a_co));
    EXPECT_EQ("0", status(copied)) << message(copied);
    const View_File a = file("/vob1/a.c");
    EXPECT_EQ(vob().content("/vob1/a.c"), a.bytes);
    EXPECT_EQ(0644u, a.mode);

    // Appended to, not truncated: the new file starts with the version's bytes.
    const std::string added = "written in the view\n";
    const int fd = ::open(in_view("/vob1/b.c").c_str(), O_WRONLY | O_APPEND);
    ASSERT_LE(0, fd) << std::strerror(errno);
    EXPECT_EQ(static_cast<ssize_t>(added.size()), ::write(fd, added.data(), added.size()));
    EXPECT_EQ(0, ::close(fd));
    const View_File b = file("/vob1/b.c");
    EXPECT_EQ(vob().content("/vob1/b.c") + added, b.bytes);
    EXPECT_NE(0u, b.mode & 0200u);
    EXPECT_EQ("true", metadata("/vob1/b.c", "is-checked-out"));

    vob().uncheckout("/vob1/dir/c.c");
    const lib_test::Reply cancelled =
        call(make_request("Uncheckout", "unco", "<path>/vob1/dir/c.c</path>"));
    EXPECT_EQ("0", status(cancelled)) << message(cancelled);
    EXPECT_TRUE(eventually([&] { return metadata("/vob1/dir/c.c", "is-checked-out") == "false"; }));
    const View_File c = file("/vob1/dir/c.c");
    EXPECT_EQ(vob().content("/vob1/dir/c.c"), c.bytes);
    EXPECT_EQ(0444u, c.mode);
}

// The kernel may still hold the file's name as it was before the checkout
// (the daemon's notices not yet applied; here none is sent): the copy is
// written all the same, korva_fuse finding that the name changed and the
// kernel walking the path again.
TEST_F(E2eCheckout, ACopyOverANameTheKernelStillHoldsFromBeforeIsWritten) {
    if (!mount_view()) return;
    ASSERT_EQ(0444u, file("/vob1/a.c").mode);
    inject("inval_obj", "0");
    inject("inval_name", "0");
    const lib_test::Reply reply = check_out("/vob1/a.c");
    EXPECT_EQ("0", status(reply)) << message(reply);
    EXPECT_EQ(flushed("/vob1/a.c"), own_invalidations());
    const View_File after = file("/vob1/a.c");
    EXPECT_EQ(vob().content("/vob1/a.c"), after.bytes);
    EXPECT_EQ(0644u, after.mode);
}

// What fails is reported with its status and texts; the steps before it
// stay done. Without the mount the copy fails as on a kernel without the
// view; paths that leave the view are refused before any file call.
TEST_F(E2eCheckout, FailedStepsAreReportedAndWhatWasDoneStays) {
    const lib_test::Reply unmounted = check_out("/vob1/a.c");
    EXPECT_EQ("20001", status(unmounted));
    EXPECT_EQ("Unable to copy to \"" + in_view("/vob1/a.c") + "\" from \"" + cache_file(co) +
                  "\": No such file or directory\n",
              message(unmounted));
    EXPECT_EQ(1u, gets(co)) << "fetched before the copy";
    EXPECT_EQ(flushed("/vob1/a.c"), own_invalidations());

    if (!mount_view()) return;
    vob().batch([&] {
        for (const char* name : {"f1.c", "f2.c", "f3.c"}) vob().mkelem(std::string("/vob1/dir/") + name);
    });
    update();
    const std::string replica = Served_Vob::REPLICA;
    const struct {
        const char* name;
        const char* path;
        const char* flags;
        std::function<void()> fault;
        const char* status;
        std::function<std::string(const std::string& dest)> message;
        std::function<void(const View_File& before, const View_File& after)> effect;
    } rows[] = {
        {"the copy cannot be written", "/vob1/dir/c.c", "", [&] { inject("fuse_write", "errno=28"); }, "20001",
         [&](const std::string& dest) {
             return "Unable to copy to \"" + dest + "\" from \"" + cache_file(co) + "\": No space left on device\n";
         },
         nullptr},
        {"the mode cannot be set, the times still are", "/vob1/dir/f1.c", R"(ptime="true")",
         [&] { inject("fuse_setattr", "errno=1"); }, "20001",
         [&](const std::string& dest) { return "Unable to change the mode of \"" + dest + "\": Operation not permitted\n"; },
         [&](const View_File& before, const View_File& after) {
             EXPECT_EQ(vob().content("/vob1/dir/f1.c"), after.bytes);
             EXPECT_EQ(before.atime, after.atime);
         }},
        {"neither mode nor times can be set", "/vob1/dir/f2.c", R"(ptime="true")",
         [&] { inject("fuse_setattr", "errno=1", 2); }, "20001",
         [&](const std::string& dest) {
             return "Unable to change the mode of \"" + dest + "\": Operation not permitted\n" +
                    "Unable to preserve time on \"" + dest + "\": Operation not permitted.\n";
         },
         [&](const View_File&, const View_File& after) { EXPECT_EQ(vob().content("/vob1/dir/f2.c"), after.bytes); }},
        // Last: the rule stays for every later step.
        {"the contents cannot be fetched", "/vob1/b.c", "",
         [&] {
             vob().add_rule_before(R"({"match": {"method": "GET", "path": "/cltxt/*"}, "times": 1,)"
                                   R"( "fault": {"http": 500}, "reply": {"cleartext": true}})");
         },
         nullptr,
         [&](const std::string&) { return "Error fetching cleartext for \"oid:" + co + "@replicauuid:" + replica + "\".\n"; },
         // Checked out with no file of its own, the name shows the
         // checked-out version as it is, read-only.
         [&](const View_File& before, const View_File& after) {
             EXPECT_EQ(before.bytes, after.bytes);
             EXPECT_EQ(0444u, after.mode);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const View_File before = file(row.path);
        row.fault();
        const lib_test::Reply reply = check_out(row.path, row.flags);
        if (row.status != nullptr) {
            EXPECT_EQ(row.status, status(reply));
        } else {
            EXPECT_NE("0", status(reply));
        }
        const std::string text = row.message(in_view(row.path));
        EXPECT_EQ(text, message(reply).substr(0, text.size())) << message(reply);
        EXPECT_EQ(flushed(row.path), own_invalidations());
        if (row.effect) row.effect(before, file(row.path));
    }

    // Refused by the path check, or by the walk of the parent: no file call.
    const struct {
        const char* path;
        const char* status;
        const char* text;
    } refused[] = {
        {"/vob1/../../outside.c", "20021", "Parse error in"},
        {"/vob1/../outside.c", "20047", "No known mounted VOB found in \"/\""},
        {"/vob9/x.c", "20047", "No known mounted VOB found in \"/vob9\""},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.path);
        mark = journal_mark();
        const std::string request = make_request(
            "Checkout", "refused",
            std::string("<path>") + row.path + "</path><replica-uuid>" + replica + "</replica-uuid><co-ver-oid>" +
                vob().oid("/vob1/dir/f3.c") + "</co-ver-oid><co-flags/>");
        const lib_test::Reply answer = call(request);
        EXPECT_EQ(row.status, status(answer));
        EXPECT_NE(std::string::npos, message(answer).find(row.text)) << message(answer);
        EXPECT_EQ(Lines{}, own_invalidations());
        EXPECT_FALSE(file("/outside.c").exists);
        EXPECT_FALSE(file_exists(korva_root + "/view/outside.c"));
    }
}

// A checkout that the server dropped and that the client then told the view
// is invalid is gone from what the view reports of the file, at once: as a
// listing of its directory (or a restart) would show it.
TEST_F(E2eCheckout, AnInvalidatedCheckoutIsGoneFromWhatTheViewReports) {
    if (!mount_view()) return;
    const std::string path = "/vob1/a.c";
    const lib_test::Reply reply = check_out(path);
    ASSERT_EQ("0", status(reply)) << message(reply);
    ASSERT_EQ("true", metadata(path, "is-checked-out"));
    ASSERT_EQ(co, metadata(path, "object-oid"));
    vob().uncheckout(path);

    const lib_test::Reply invalidated =
        call(make_request("InvalidateCheckouts", "ic",
                          "<invalid-checkouts><element>" + vob().element_oid(path) + "@" + Served_Vob::REPLICA +
                              "</element></invalid-checkouts>"));
    EXPECT_EQ("0", status(invalidated)) << message(invalidated);
    EXPECT_EQ("false", metadata(path, "is-checked-out"));
    EXPECT_NE(co, metadata(path, "object-oid"));
    const std::string told = metadata(path, "is-version-controlled") + " " + metadata(path, "is-eclipsed") + " " +
                             metadata(path, "object-oid");
    // A listing reads the directory's names again: nothing changes.
    listing("/vob1");
    EXPECT_EQ(told, metadata(path, "is-version-controlled") + " " + metadata(path, "is-eclipsed") + " " +
                        metadata(path, "object-oid"));
    EXPECT_EQ("false", metadata(path, "is-checked-out"));
}

// A checkout cancelled while the checked-out copy still stands at its path
// (Uncheckout leaves it there): the path shows the view's own copy, which no
// server holds, so nothing of it is asked of the server. A background fetch
// that does fail is logged with its messages apart.
TEST_F(E2eCheckout, AnUncheckoutOverTheCheckedOutCopyAsksTheServerNothingOfIt) {
    if (!mount_view()) return;
    const lib_test::Reply reply = check_out("/vob1/a.c");
    ASSERT_EQ("0", status(reply)) << message(reply);
    vob().uncheckout("/vob1/a.c");
    const size_t asked = server().requests().size();
    const lib_test::Reply cancelled = call(make_request("Uncheckout", "unco", "<path>/vob1/a.c</path>"));
    EXPECT_EQ("0", status(cancelled)) << message(cancelled);
    EXPECT_FALSE(cancelled.has_child("status-message"));

    // A fetch queued after it, which the server refuses: its failure is
    // the one logged.
    const std::string other = vob().oid("/vob1/b.c");
    const std::string suffix = "/cltxt/" + std::string(Served_Vob::REPLICA) + "/" + other + "/transparent";
    ASSERT_EQ(0, ::unlink(cache_file(other).c_str()));
    vob().add_rule_before(R"({"match": {"method": "GET", "path": ")" + suffix +
                          R"("}, "times": 1, "reply": {"http": 404, "status": {"code": 2, "message": "no such version"}}})");
    EXPECT_EQ("0", status(call(make_request("Uncheckout", "unco-b", "<path>/vob1/b.c</path>"))));
    const std::string failed = "::Background cleartext fetch failed (";
    EXPECT_TRUE(eventually([&] { return log_text(VIEW).find(failed) != std::string::npos; }));

    Lines errors;
    const std::string log = log_text(VIEW);
    for (size_t at = 0; (at = log.find("ERROR::", at)) != std::string::npos; ++at)
        if (log.find(failed, at) < log.find('\n', at)) errors.push_back(log.substr(at, log.find('\n', at) - at));
    ASSERT_EQ(1u, errors.size()) << log;
    const std::string record = errors[0];
    EXPECT_NE(std::string::npos,
              record.find("(20048): Unable to complete RPC to WAN server.\\nno such version\\nNot found.\\n"
                          "Error fetching cleartext for \"" + suffix + "\"."))
        << record;
    const std::vector<fakeserver::Json> requests = server().requests();
    for (size_t i = asked; i < requests.size(); ++i) {
        const std::string at = requests[i]["path"].as_string();
        if (at.find("/cltxt/") != std::string::npos) {
            EXPECT_NE(std::string::npos, at.find(suffix)) << at;
        }
    }
    EXPECT_EQ(vob().content("/vob1/a.c"), file("/vob1/a.c").bytes);
    EXPECT_EQ(vob().content("/vob1/b.c"), file("/vob1/b.c").bytes);
}

// Checkouts whose copies all go through the daemon's kernel request
// threads at once, more of them than there are such threads: each finishes,
// since no operation holds an agent lock while its copy is written.
class E2eCheckoutFewKernelThreads : public E2eCheckout {
protected:
    E2eCheckoutFewKernelThreads() { agent_settings = "ostrelNumKorva=2\n"; }
};

TEST_F(E2eCheckoutFewKernelThreads, MoreCheckoutsAtOnceThanKernelRequestThreadsAllFinish) {
    if (!mount_view()) return;
    Lines paths = {"/vob1/a.c", "/vob1/b.c", "/vob1/dir/c.c", "/vob1/sub/s.c"};
    vob().batch([&] {
        for (int i = 1; i <= 4; ++i) {
            paths.push_back("/vob1/dir/m" + std::to_string(i) + ".c");
            vob().mkelem(paths.back());
        }
    });
    update();
    ASSERT_EQ(vob_tree(), view_tree());
    std::map<std::string, std::string> checked_out;
    vob().batch([&] {
        for (const std::string& path : paths) checked_out[path] = vob().checkout(path);
    });

    std::vector<std::unique_ptr<PipeClient>> clients;
    for (size_t i = 0; i < paths.size(); ++i) {
        clients.push_back(PipeClient::connect(storage(VIEW), "many" + std::to_string(i)));
        ASSERT_TRUE(clients.back());
    }
    std::vector<lib_test::Reply> replies(paths.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < paths.size(); ++i)
        threads.emplace_back([&, i] { replies[i] = clients[i]->call(checkout_request(paths[i], checked_out[paths[i]])); });
    for (std::thread& thread : threads) thread.join();

    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ("0", status(replies[i])) << message(replies[i]);
        const View_File copied = file(paths[i]);
        EXPECT_EQ(vob().content(paths[i]), copied.bytes);
        EXPECT_EQ(0644u, copied.mode);
        EXPECT_EQ(1u, gets(checked_out[paths[i]]));
    }
}

} // namespace
} // namespace e2e
