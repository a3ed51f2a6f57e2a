// Move, Rmname, MergeDirectory and Uncheckout as a client tool uses them, on
// the element bench: the client changes a directory's names on the server
// (a move in place or across directories, in the automatic scope or in the
// load rule's, a removed name, a merge) or cancels a checkout there, then
// tells the view, which must show what the server holds. Each step of one table asserts the reply, the
// operation's own invalidations in their order (first in the journal, apart
// from the namespace's background drops of directories it reads again),
// the load-rule clean-up's after them, the update by path that an explicit
// load rule's directory gets, and the view through the mount; bad requests,
// an offline view and a server failing the update by path are rows of the
// same table.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "element_bench.h"
#include "update_fixture.h"

namespace e2e {
namespace {

std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The load-rule clean-up and the namespace's background drops of the
// directories it reads again both tell the kernel with this code.
constexpr unsigned DROPPED = 13;

bool is_inval_obj_of(const std::string& line, unsigned op) {
    const std::string tail = " " + std::to_string(op);
    return line.compare(0, 10, "inval_obj ") == 0 && line.size() > tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

std::string list(const char* tag, const char* item, const Lines& items) {
    std::string text = std::string("<") + tag + ">";
    for (const std::string& one : items) text += std::string("<") + item + ">" + one + "</" + item + ">";
    return text + "</" + tag + ">";
}

// "namespace-modified" of directory `path`, with the lists that are given
// (a list given empty is an empty element; `rules` always goes out).
std::string changed(const std::string& path, const Lines& rules = {}, const Lines* removed = nullptr,
                    const Lines* added = nullptr) {
    std::string text = "<namespace-modified><path>" + path + "</path>" + list("removed-load-rules", "path", rules);
    if (removed != nullptr) text += list("removed-leaves", "leaf", *removed);
    if (added != nullptr) text += list("new-leaves", "leaf", *added);
    return text + "</namespace-modified>";
}

std::string move(const std::string& src, const std::string& old_name, const std::string& dst,
                 const std::string& new_name, const std::string& change = "") {
    return make_request("Move", "mv", "<src-path>" + src + "</src-path><dst-path>" + dst + "</dst-path><old-name>" +
                                          old_name + "</old-name><new-name>" + new_name + "</new-name>" + change);
}

std::string rmname(const std::string& dir, const Lines& removed, const Lines& rules = {}) {
    return make_request("Rmname", "rm", changed(dir, rules, &removed));
}

std::string merge(const std::string& dir, const Lines& rules = {}) {
    return make_request("MergeDirectory", "mg", changed(dir, rules));
}

std::string uncheckout(const std::string& path, const std::string& change = "", const std::string& version = "1") {
    return make_request("Uncheckout", "unco", "<path>" + path + "</path>" + change, version);
}

std::string parse_error(const std::string& request) { return "Parse error in \"" + request + "\".\n"; }

// One client step: a change on the server, the request that tells the view,
// and what must follow. By default the reply is 0 without a message, the
// kernel is told nothing, no update by path runs, and the view shows what
// the server holds.
struct Step {
    Step(std::string name, std::function<void()> on_server, std::string request)
        : name(std::move(name)), on_server(std::move(on_server)), request(std::move(request)) {}

    // The reply: its status and its whole message (or, `part`, a part of it).
    Step& answers(std::string status_code, std::string text, bool part = false) {
        status = std::move(status_code);
        message = std::move(text);
        message_part = part;
        return *this;
    }
    // The operation's own invalidations, in order.
    Step& tells(std::function<Lines()> lines) {
        told = std::move(lines);
        return *this;
    }
    // The load-rule clean-up's invalidations, which never come before those.
    Step& cleans(std::function<Lines()> lines) {
        cleaned = std::move(lines);
        return *this;
    }
    // The paths of the update by path that the step makes.
    Step& updates(Lines paths) {
        surgical = std::move(paths);
        return *this;
    }
    Step& then(std::function<void()> check) {
        shows = std::move(check);
        return *this;
    }
    // The view holds more than the server: files of its own.
    Step& apart() {
        follows = false;
        return *this;
    }

    std::string name;
    std::function<void()> on_server;
    std::string request;
    std::string status = "0";
    std::string message;
    bool message_part = false;
    std::function<Lines()> told;
    std::function<Lines()> cleaned;
    Lines surgical;
    std::function<void()> shows;
    bool follows = true;
};

class E2eNamespace : public E2eElement {
protected:
    void play(const std::vector<Step>& steps) {
        if (!mount_view()) return;
        // Everything read once through the mount first: what the kernel
        // looks up by itself after mounting is then done before a step.
        EXPECT_EQ(vob_tree(), view_tree());
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            if (step.on_server) step.on_server();
            const size_t mark = journal_mark();
            const size_t updates_before = view_updates().size();
            const lib_test::Reply reply = call(step.request);
            EXPECT_EQ(step.status, status(reply)) << message(reply);
            if (step.message_part) {
                EXPECT_NE(std::string::npos, message(reply).find(step.message)) << message(reply);
            } else {
                EXPECT_EQ(step.message, message(reply));
            }
            expect_told(step, invalidations_since(mark));

            const std::vector<View_Update_Call> updates = view_updates();
            Lines surgical;
            for (size_t i = updates_before; i < updates.size(); ++i) {
                EXPECT_TRUE(updates[i].by_paths);
                for (const std::string& path : updates[i].paths) surgical.push_back(path);
            }
            EXPECT_EQ(step.surgical, surgical);

            if (step.follows) {
                EXPECT_TRUE(eventually([&] { return view_tree() == vob_tree(); }))
                    << "view:\n" << view_tree() << "server:\n" << vob_tree();
            }
            if (step.shows) step.shows();
        }
    }

    static void expect_told(const Step& step, const Lines& lines) {
        // A step that tells nothing tells the kernel nothing at all.
        const Lines own = step.told ? step.told() : Lines{};
        Lines first;
        for (const std::string& line : lines)
            if (!is_inval_obj_of(line, DROPPED) && (!step.told || first.size() < own.size())) first.push_back(line);
        EXPECT_EQ(own, first) << joined(lines);
        // Which elements the load-rule clean-up finds depends on what the
        // view has read again from the server by then (a name read again
        // after the server dropped the rule is the automatic scope's): its
        // own cases are the operation base's tests.
        if (!step.cleaned || own.empty()) return;
        const auto last_own = std::find(lines.begin(), lines.end(), own.back());
        for (const std::string& line : step.cleaned())
            EXPECT_TRUE(std::find(lines.begin(), last_own, line) == last_own) << line << "\n" << joined(lines);
    }

    // The load rules that a client reads back.
    std::string load_rules() {
        const lib_test::Reply reply = call(make_request("GetConfigSpec", "cs"));
        for (const lib_test::Reply_Element& result : results(reply))
            if (result.tag == "load-rules") return result.text;
        return "(none)";
    }

    std::string name_dropped(const std::string& dir, const std::string& name) {
        return inval_name(vob().oid(dir), name);
    }
    std::string dir_dropped(const std::string& dir, unsigned op) { return inval_obj(vob().element_oid(dir), op); }
    // What the load rule's scope loaded: its directory and its file.
    Lines rule_dropped() const {
        return {inval_obj(Served_Vob::oid(7), DROPPED), inval_obj(Served_Vob::oid(8), DROPPED)};
    }

    const std::string sub = Served_Vob::LOAD_RULE;
};

TEST_F(E2eNamespace, MovesMadeOnTheServerShowInTheView) {
    play({
        Step("in place, automatic scope", [&] { vob().move("/vob1/b.c", "/vob1/b2.c"); },
             move("/vob1", "b.c", "/vob1", "b2.c"))
            .tells([&] { return Lines{name_dropped("/vob1", "b.c"), name_dropped("/vob1", "b2.c"),
                                      dir_dropped("/vob1", RENAME)}; })
            .then([&] { EXPECT_EQ("load /vob1/sub\n", load_rules()); }),
        Step("across directories, into the load rule's", [&] { vob().move("/vob1/dir/c.c", "/vob1/sub/c.c"); },
             move("/vob1/dir", "c.c", sub, "c.c", changed("/vob1/sub")))
            .tells([&] { return Lines{name_dropped("/vob1/dir", "c.c"), dir_dropped("/vob1/dir", RENAME),
                                      name_dropped(sub, "c.c"), dir_dropped(sub, RENAME)}; })
            .updates({"/vob1/sub/c.c"}),
        Step("in place, in the load rule's directory", [&] { vob().move("/vob1/sub/s.c", "/vob1/sub/s2.c"); },
             move(sub, "s.c", sub, "s2.c"))
            .tells([&] { return Lines{name_dropped(sub, "s.c"), name_dropped(sub, "s2.c"), dir_dropped(sub, RENAME)}; })
            .updates({"/vob1/sub/s2.c"}),
        Step("out of the load rule's directory", [&] { vob().move("/vob1/sub/c.c", "/vob1/dir/c2.c"); },
             move(sub, "c.c", "/vob1/dir", "c2.c"))
            .tells([&] { return Lines{name_dropped(sub, "c.c"), dir_dropped(sub, RENAME),
                                      name_dropped("/vob1/dir", "c2.c"), dir_dropped("/vob1/dir", RENAME)}; }),
    });
}

// The load rule's directory moved away on the server takes its rule with it:
// the rule's scope goes and the kernel forgets what it loaded.
TEST_F(E2eNamespace, TheLoadRulesDirectoryMovedAwayTakesItsRuleAlong) {
    play({
        Step("the load rule's directory, its rule removed",
             [&] {
                 vob().batch([&] {
                     vob().move(sub, "/vob1/dir/sub");
                     vob().drop_load_rule(sub);
                 });
             },
             move("/vob1", "sub", "/vob1/dir", "sub", changed("/vob1", {sub})))
            .tells([&] { return Lines{name_dropped("/vob1", "sub"), dir_dropped("/vob1", RENAME),
                                      name_dropped("/vob1/dir", "sub"), dir_dropped("/vob1/dir", RENAME)}; })
            .cleans([&] { return rule_dropped(); })
            .then([&] { EXPECT_EQ("", load_rules()); }),
    });
}

// A name moved into another VOB leaves the source directory, which is read
// again under its own VOB (the server's new version of it, which the view
// has not read yet, is asked of the server under that VOB).
TEST_F(E2eNamespace, AMoveIntoAnotherVobShowsInBoth) {
    const std::string replica2 = "8a000000-0000-4000-8000-0000000000b2";
    const std::string loaded = vob().oid("/vob1/dir");
    play({
        Step("across VOBs",
             [&] {
                 vob().add_vob("/vob2", replica2, "8f000000-0000-4000-8000-0000000000b2");
                 ASSERT_EQ("0", status(mount_vob("/vob2")));
                 EXPECT_EQ("/vob2/\n", view_tree("/vob2"));
                 vob().batch([&] {
                     vob().checkout("/vob1/dir");
                     vob().move("/vob1/dir/c.c", "/vob2/c.c");
                     vob().checkin("/vob1/dir");
                 });
             },
             move("/vob1/dir", "c.c", "/vob2", "c.c"))
            .tells([&] { return Lines{inval_name(loaded, "c.c"), dir_dropped("/vob1/dir", RENAME),
                                      name_dropped("/vob2", "c.c"), dir_dropped("/vob2", RENAME)}; })
            .then([&] {
                EXPECT_TRUE(eventually([&] { return view_tree("/vob2") == vob_tree("/vob2"); })) << view_tree("/vob2");
                EXPECT_EQ(vob().content("/vob2/c.c"), file("/vob2/c.c").bytes);
            }),
    });
}

// A file of the view's own under the old name goes to the new name, through
// the view; a name the server no longer has is not looked at.
TEST_F(E2eNamespace, AFileUnderTheOldNameIsCarriedOverToTheNewOne) {
    play({
        Step("the file renamed", [&] { ASSERT_TRUE(write_file(in_view("/vob1/dir/p.txt"), "mine\n")); },
             move("/vob1/dir", "p.txt", "/vob1/dir", "q.txt"))
            .tells([&] { return Lines{name_dropped("/vob1/dir", "p.txt"), name_dropped("/vob1/dir", "q.txt"),
                                      dir_dropped("/vob1/dir", RENAME)}; })
            .then([&] {
                EXPECT_FALSE(file("/vob1/dir/p.txt").exists);
                EXPECT_EQ("mine\n", file("/vob1/dir/q.txt").bytes);
                EXPECT_EQ((Lines{"c.c", "q.txt"}), listing("/vob1/dir"));
            })
            .apart(),
        Step("the rename failing",
             [&] {
                 ASSERT_TRUE(write_file(in_view("/vob1/dir/p2.txt"), "mine too\n"));
                 inject("fuse_rename", "errno=16");
             },
             move("/vob1/dir", "p2.txt", "/vob1/dir", "q2.txt"))
            .answers("20001", "Unable to rename \"" + in_view("/vob1/dir/p2.txt") + "\" to \"" +
                                  in_view("/vob1/dir/q2.txt") + "\": " + std::strerror(EBUSY) + "\n")
            .tells([&] { return Lines{name_dropped("/vob1/dir", "p2.txt"), name_dropped("/vob1/dir", "q2.txt"),
                                      dir_dropped("/vob1/dir", RENAME)}; })
            .then([&] {
                EXPECT_EQ("mine too\n", file("/vob1/dir/p2.txt").bytes);
                EXPECT_FALSE(file("/vob1/dir/q2.txt").exists);
                ASSERT_EQ(0, ::unlink(in_view("/vob1/dir/p2.txt").c_str()));
            })
            .apart(),
        Step("the file gone when the rename comes",
             [&] {
                 ASSERT_TRUE(write_file(in_view("/vob1/dir/p3.txt"), "mine\n"));
                 inject("fuse_rename", "errno=2");
             },
             move("/vob1/dir", "p3.txt", "/vob1/dir", "q3.txt"))
            .tells([&] { return Lines{name_dropped("/vob1/dir", "p3.txt"), name_dropped("/vob1/dir", "q3.txt"),
                                      dir_dropped("/vob1/dir", RENAME)}; })
            .then([&] {
                EXPECT_FALSE(file("/vob1/dir/q3.txt").exists);
                ASSERT_EQ(0, ::unlink(in_view("/vob1/dir/p3.txt").c_str()));
            })
            .apart(),
        Step("a VOB file moved away on the server", [&] { vob().move("/vob1/a.c", "/vob1/dir/a.c"); },
             move("/vob1", "a.c", "/vob1/dir", "a.c"))
            .tells([&] { return Lines{name_dropped("/vob1", "a.c"), dir_dropped("/vob1", RENAME),
                                      name_dropped("/vob1/dir", "a.c"), dir_dropped("/vob1/dir", RENAME)}; })
            .then([&] {
                // The kernel drops its copies of the names as it is told.
                EXPECT_TRUE(eventually([&] {
                    return !file("/vob1/a.c").exists && listing("/vob1/dir") == Lines{"a.c", "c.c", "q.txt"};
                })) << joined(listing("/vob1/dir"));
                EXPECT_EQ(vob().content("/vob1/dir/a.c"), file("/vob1/dir/a.c").bytes);
            })
            .apart(),
    });
}

TEST_F(E2eNamespace, RemovedNamesLeaveTheView) {
    play({
        Step("the load rule's directory with its rule",
             [&] {
                 vob().batch([&] {
                     vob().rmname(sub);
                     vob().drop_load_rule(sub);
                 });
             },
             rmname("/vob1", {"sub"}, {sub}))
            .tells([&] { return Lines{name_dropped("/vob1", "sub"), dir_dropped("/vob1", RMNAME)}; })
            .cleans([&] { return rule_dropped(); })
            .then([&] { EXPECT_EQ("", load_rules()); }),
        Step("a file", [&] { vob().rmname("/vob1/b.c"); }, rmname("/vob1", {"b.c"}))
            .tells([&] { return Lines{name_dropped("/vob1", "b.c"), dir_dropped("/vob1", RMNAME)}; }),
        Step("a name the view never loaded", nullptr, rmname("/vob1/dir", {"ghost"}))
            .tells([&] { return Lines{name_dropped("/vob1/dir", "ghost"), dir_dropped("/vob1/dir", RMNAME)}; }),
    });
}

TEST_F(E2eNamespace, MergedDirectoriesAreReadAgain) {
    const auto merged = [&](const std::string& dir, const std::map<std::string, std::string>& added,
                            const Lines& removed) {
        vob().batch([&] {
            vob().checkout(dir);
            vob().merge(dir, added, removed);
        });
    };
    play({
        Step("the VOB root, the load rule's directory merged away",
             [&] {
                 vob().batch([&] {
                     merged("/vob1", {{"r.c", "root\n"}}, {"sub"});
                     vob().drop_load_rule(sub);
                 });
             },
             merge("/vob1", {sub}))
            .tells([&] { return Lines{dir_dropped("/vob1", UNCHECKOUT)}; })
            .cleans([&] { return rule_dropped(); })
            .then([&] { EXPECT_EQ("", load_rules()); }),
        Step("a directory of the automatic scope", [&] { merged("/vob1/dir", {{"m.c", "merged\n"}}, {"c.c"}); },
             merge("/vob1/dir"))
            .tells([&] { return Lines{dir_dropped("/vob1/dir", UNCHECKOUT)}; }),
    });
}

// A checkout cancelled on the server, after the view took it up: the view
// shows the version the server selects again. A file's version is fetched in
// the background, once however many ask; a directory is read again (and
// updated by path in the load rule's scope); a VOB root's element is only
// dropped, even with load rules named as removed.
TEST_F(E2eNamespace, CancelledCheckoutsShowTheSelectedVersionAgain) {
    std::string selected;
    const auto held_get = [&](const std::string& oid) {
        return R"({"match": {"method": "GET", "path": "/cltxt/)" + std::string(Served_Vob::REPLICA) + "/" + oid +
               R"(/transparent"}, "times": 1, "fault": {"hold": {"after_parts": 1, "gate": "cltxt"}}, "reply": {"cleartext": true}})";
    };
    const auto cancelled = [&](const std::string& path) {
        const std::string co = vob().checkout(path);
        EXPECT_EQ("Succeeded", update().tail_value("Status"));
        EXPECT_EQ(co, vob().oid(path));
        return vob().uncheckout(path);
    };
    play({
        Step("a file, asked twice while its fetch is held",
             [&] {
                 // The version selected again is one the view never had.
                 vob().checkin("/vob1/a.c", std::string("two\n"));
                 vob().checkout("/vob1/a.c");
                 EXPECT_EQ("Succeeded", update().tail_value("Status"));
                 selected = vob().uncheckout("/vob1/a.c");
                 vob().add_rule_before(held_get(selected));
             },
             uncheckout("/vob1/a.c"))
            .tells([&] { return Lines{dir_dropped("/vob1/a.c", UNCHECKOUT), name_dropped("/vob1", "a.c")}; })
            .then([&] {
                EXPECT_EQ("0", status(call(uncheckout("/vob1/a.c", changed("/vob1/a.c"), "2"))));
                server().open_gate("cltxt");
                EXPECT_TRUE(eventually([&] { return cached_versions().count(selected) != 0; }));
                EXPECT_EQ("two\n", cached_versions()[selected]);
                EXPECT_EQ("two\n", file("/vob1/a.c").bytes);
                EXPECT_EQ(1u, gets(selected));
            })
            .apart(),
        Step("a file not checked out: its version is in the cache", nullptr, uncheckout("/vob1/b.c"))
            .tells([&] { return Lines{dir_dropped("/vob1/b.c", UNCHECKOUT), name_dropped("/vob1", "b.c")}; })
            .then([&] { EXPECT_EQ(1u, gets(vob().oid("/vob1/b.c"))); }),
        Step("the load rule's directory", [&] { cancelled(sub); }, uncheckout(sub, changed(sub)))
            .tells([&] { return Lines{dir_dropped(sub, UNCHECKOUT), name_dropped("/vob1", "sub")}; })
            .updates({sub}),
        Step("a directory of the automatic scope", [&] { cancelled("/vob1/dir"); }, uncheckout("/vob1/dir"))
            .tells([&] { return Lines{dir_dropped("/vob1/dir", UNCHECKOUT), name_dropped("/vob1", "dir")}; }),
        Step("the VOB root", [&] { cancelled("/vob1"); }, uncheckout("/vob1", changed("/vob1", {sub})))
            .tells([&] { return Lines{dir_dropped("/vob1", UNCHECKOUT)}; })
            .then([&] { EXPECT_EQ("load /vob1/sub\n", load_rules()); }),
    });
}

// The update by path of a load rule's directory waits while a full update
// holds the view's update slot, and runs once it has ended: the request is
// never refused as busy.
TEST_F(E2eNamespace, AnUpdateByPathWaitsForARunningUpdate) {
    if (!mount_view()) return;
    vob().batch([&] {
        vob().checkout(sub);
        vob().merge(sub, {{"m.c", "merged\n"}});
    });
    vob().add_fault(SYNC_RPC, R"({"hold": {"after_parts": 2, "gate": "update"}})");
    const lib_test::Reply held = call(make_request("Update", "held"));
    ASSERT_EQ("0", status(held)) << message(held);
    ASSERT_TRUE(server().wait_for_log([&](const std::vector<fakeserver::Json>&) { return view_updates().size() == 2; }));

    std::unique_ptr<PipeClient> second = PipeClient::connect(storage(VIEW), "second");
    ASSERT_TRUE(second);
    const size_t mark = journal_mark();
    std::atomic<bool> answered{false};
    lib_test::Reply merged;
    std::thread client_thread([&] {
        merged = second->call(merge(sub));
        answered = true;
    });
    // The merge has dropped the directory and waits for the slot: the server
    // has not been asked for the path.
    const std::string dropped = dir_dropped(sub, UNCHECKOUT);
    EXPECT_TRUE(eventually([&] {
        const Lines lines = invalidations_since(mark);
        return std::find(lines.begin(), lines.end(), dropped) != lines.end();
    }));
    EXPECT_FALSE(answered);
    EXPECT_EQ(2u, view_updates().size());

    server().open_gate("update");
    client_thread.join();
    EXPECT_EQ("0", status(merged)) << message(merged);
    EXPECT_EQ("Succeeded", finished_log(held.children.at("log-file")).tail_value("Status"));
    const std::vector<View_Update_Call> updates = view_updates();
    ASSERT_EQ(3u, updates.size());
    EXPECT_TRUE(updates[2].by_paths);
    EXPECT_EQ(Lines{sub}, updates[2].paths);
    EXPECT_TRUE(eventually([&] { return view_tree() == vob_tree(); })) << view_tree();
}

// Requests that cannot be served change nothing; a server that fails the
// update by path fails the request after the view has been brought in line
// as far as it could.
TEST_F(E2eNamespace, RefusedRequestsAndFailuresAreReported) {
    const Lines one_leaf = {"x"}, two_leaves = {"x", "y"}, none = {};
    std::vector<Step> steps;
    for (const std::string& request : {
             move("vob1", "a.c", "/vob1", "b.c"),
             move("/vob1", "a.c", "vob1/dir", "b.c"),
             move("/vob1/../..", "a.c", "/vob1", "b.c"),
             move("/vob1", "a/c", "/vob1", "b.c"),
             move("/vob1", "a.c", "/vob1", "d/b.c"),
             move("/vob1", "a.c", "/vob1", "b.c", changed("/vob1", {}, nullptr, &one_leaf)),
             move("/vob1", "a.c", "/vob1", "b.c", "<namespace-modified><path>/vob1</path></namespace-modified>"),
             rmname("/vob1", two_leaves),
             rmname("/vob1", none),
             make_request("Rmname", "rm", changed("/vob1", {}, &one_leaf, &one_leaf)),
             rmname("/vob1", {"a/b"}),
             make_request("MergeDirectory", "mg"),
         })
        steps.push_back(Step("a bad request", nullptr, request).answers("20021", parse_error(request)));
    const std::string no_path = make_request("MergeDirectory", "mg", "<namespace-modified/>");
    steps.push_back(Step("a change without its path", nullptr, no_path)
                        .answers("20021", "\"path\" not found in XML request.\n" + parse_error(no_path)));
    // A merge's leaves are only checked.
    steps.push_back(
        Step("leaves of a merge", nullptr,
             make_request("MergeDirectory", "mg", changed("/vob1/dir", {}, &two_leaves, &two_leaves) + "<x/>"))
            .tells([&] { return Lines{dir_dropped("/vob1/dir", UNCHECKOUT)}; }));
    steps.push_back(Step("a link removed", nullptr, rmname("/vob1", {"link"}))
                        .answers("20001", "Object \"" + in_view("/vob1/link") + "\" not a version: mtype 7\n"));
    steps.push_back(Step("a link's checkout cancelled", nullptr, uncheckout("/vob1/link"))
                        .answers("20001", "Object \"" + in_view("/vob1/link") + "\" not a version: mtype 7\n"));
    const Lines slashed = {"a/b"};
    for (const std::string& request : {uncheckout("/vob1/a.c", changed("/vob1/b.c")), uncheckout("vob1/a.c"),
                                       uncheckout("/vob1/a.c", changed("/vob1/a.c", {}, nullptr, &slashed))})
        steps.push_back(Step("a bad cancelled checkout", nullptr, request).answers("20021", parse_error(request)));
    const std::string too_new = uncheckout("/vob1/a.c", "", "3");
    steps.push_back(Step("a cancelled checkout too new", nullptr, too_new).answers("20024", parse_error(too_new)));
    steps.push_back(Step("leaves of a cancelled checkout", nullptr,
                         uncheckout("/vob1/b.c", changed("/vob1/b.c", {}, &two_leaves, &one_leaf)))
                        .tells([&] { return Lines{dir_dropped("/vob1/b.c", UNCHECKOUT), name_dropped("/vob1", "b.c")}; }));
    const auto flush_failed = [&](const std::string& path) {
        return "Unable to flush cached entry for \"" + in_view(path) + "\": Internal error\n";
    };
    steps.push_back(Step("a name's flush failing: the move goes on",
                         [&] {
                             vob().move("/vob1/b.c", "/vob1/b3.c");
                             inject("inval_name", "1008");
                         },
                         move("/vob1", "b.c", "/vob1", "b3.c"))
                        .answers("0", flush_failed("/vob1/b.c"))
                        .tells([&] { return Lines{name_dropped("/vob1", "b.c"), name_dropped("/vob1", "b3.c"),
                                                  dir_dropped("/vob1", RENAME)}; }));
    steps.push_back(Step("a directory's flush failing: the removal stops",
                         [&] {
                             vob().rmname("/vob1/b3.c");
                             inject("inval_obj", "1008");
                         },
                         rmname("/vob1", {"b3.c"}))
                        .answers("20001", flush_failed("/vob1"))
                        .tells([&] { return Lines{name_dropped("/vob1", "b3.c"), dir_dropped("/vob1", RMNAME)}; }));
    steps.push_back(Step("the update by path failing",
                         [&] {
                             vob().move("/vob1/a.c", "/vob1/sub/a.c");
                             vob().add_fault(SYNC_RPC, R"({"http": 500})");
                         },
                         move("/vob1", "a.c", sub, "a.c"))
                        .answers("20048", "Unable to complete RPC to WAN server.\nStatus code from RPC = 500")
                        .tells([&] { return Lines{name_dropped("/vob1", "a.c"), dir_dropped("/vob1", RENAME),
                                                  name_dropped(sub, "a.c"), dir_dropped(sub, RENAME)}; })
                        .updates({"/vob1/sub/a.c"}));
    const std::string offline = "Client is disconnected from the server.\n";
    steps.push_back(Step("Move offline", [&] { ASSERT_EQ("0", status(call(make_request("Disconnect", "off")))); },
                         move("/vob1", "link", "/vob1", "link2"))
                        .answers("20033", offline));
    steps.push_back(Step("Rmname offline", nullptr, rmname("/vob1", {"a.c"})).answers("20033", offline));
    steps.push_back(Step("MergeDirectory offline", nullptr, merge("/vob1")).answers("20033", offline));
    steps.push_back(Step("Uncheckout offline", nullptr, uncheckout("/vob1/link")).answers("20033", offline));
    steps.push_back(Step("a bad request offline", nullptr, rmname("/vob1", none))
                        .answers("20021", parse_error(rmname("/vob1", none))));
    play(steps);
}

}  // namespace
}  // namespace e2e
