// Move, Rmname and MergeDirectory as a client tool uses them, on the
// element bench: the client changes a directory's names on the server
// (a move in place or across directories, in the automatic scope or in the
// load rule's, a removed name, a merge), then tells the view, which must
// show what the server holds. Each step of one table asserts the reply, the
// operation's own invalidations in their order (first in the journal, apart
// from the namespace's background drops of directories it reads again),
// the load-rule clean-up's after them, the update by path that an explicit
// load rule's directory gets, and the view through the mount; bad requests,
// an offline view and a server failing the update by path are rows of the
// same table.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "element_bench.h"
#include "update_fixture.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

// Whether `expected` occurs in `lines` in its order (other lines between).
bool in_order(const Lines& lines, const Lines& expected) {
    size_t next = 0;
    for (const std::string& line : lines)
        if (next < expected.size() && line == expected[next]) ++next;
    return next == expected.size();
}

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

class E2eNamespace : public E2eElement {
protected:
    // One client step: a change on the server, the request that tells the
    // view, and what must follow.
    struct Step {
        const char* name;
        std::function<void()> on_server;
        std::string request;
        std::string status = "0";
        // The whole message; with `message_part` set, a part of it.
        std::string message;
        bool message_part = false;
        // The operation's own invalidations: the first lines after the step,
        // once the background drops are left out.
        std::function<Lines()> told;
        // The load-rule clean-up's invalidations, after those.
        std::function<Lines()> cleaned;
        // The paths of the update by path the step makes (none when empty).
        Lines surgical;
        // Further effects.
        std::function<void()> shows;
        // Whether the view then shows what the server holds.
        bool follows = true;
    };

    void play(const std::vector<Step>& steps) {
        if (!mount_view()) return;
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            if (step.on_server) step.on_server();
            const size_t mark = journal_mark();
            const size_t updates_before = view_updates().size();
            const lib_test::Reply reply = call(step.request);
            EXPECT_EQ(step.status, status(reply)) << message(reply);
            if (step.message_part)
                EXPECT_NE(std::string::npos, message(reply).find(step.message)) << message(reply);
            else
                EXPECT_EQ(step.message, message(reply));

            // A refused request tells the kernel nothing at all.
            const Lines lines = invalidations_since(mark);
            const Lines own = step.told ? step.told() : Lines{};
            Lines first;
            for (const std::string& line : lines)
                if (!is_inval_obj_of(line, DROPPED) && (!step.told || first.size() < own.size()))
                    first.push_back(line);
            EXPECT_EQ(own, first) << joined(lines);
            if (step.cleaned) {
                Lines expected = own;
                for (const std::string& line : step.cleaned()) expected.push_back(line);
                EXPECT_TRUE(in_order(lines, expected)) << joined(lines);
            }

            const std::vector<View_Update_Call> updates = view_updates();
            Lines surgical;
            for (size_t i = updates_before; i < updates.size(); ++i) {
                EXPECT_TRUE(updates[i].by_paths);
                for (const std::string& path : updates[i].paths) surgical.push_back(path);
            }
            EXPECT_EQ(step.surgical, surgical);

            if (step.follows)
                EXPECT_TRUE(eventually([&] { return view_tree() == vob_tree(); })) << "view:\n"
                                                                                   << view_tree() << "server:\n"
                                                                                   << vob_tree();
            if (step.shows) step.shows();
        }
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
};

TEST_F(E2eNamespace, MovesMadeOnTheServerShowInTheView) {
    const std::string sub = Served_Vob::LOAD_RULE;
    play({
        {"in place, automatic scope", [&] { vob().move("/vob1/b.c", "/vob1/b2.c"); },
         move("/vob1", "b.c", "/vob1", "b2.c"), "0", "", false,
         [&] { return Lines{name_dropped("/vob1", "b.c"), name_dropped("/vob1", "b2.c"), dir_dropped("/vob1", RENAME)}; },
         nullptr, {}, [&] { EXPECT_EQ("load /vob1/sub\n", load_rules()); }},
        {"across directories, into the load rule's", [&] { vob().move("/vob1/dir/c.c", "/vob1/sub/c.c"); },
         move("/vob1/dir", "c.c", sub, "c.c", changed("/vob1/sub")), "0", "", false,
         [&] {
             return Lines{name_dropped("/vob1/dir", "c.c"), dir_dropped("/vob1/dir", RENAME),
                          name_dropped(sub, "c.c"), dir_dropped(sub, RENAME)};
         },
         nullptr, {"/vob1/sub/c.c"}},
        {"in place, in the load rule's directory", [&] { vob().move("/vob1/sub/s.c", "/vob1/sub/s2.c"); },
         move(sub, "s.c", sub, "s2.c"), "0", "", false,
         [&] { return Lines{name_dropped(sub, "s.c"), name_dropped(sub, "s2.c"), dir_dropped(sub, RENAME)}; },
         nullptr, {"/vob1/sub/s2.c"}},
        {"out of the load rule's directory", [&] { vob().move("/vob1/sub/c.c", "/vob1/dir/c2.c"); },
         move(sub, "c.c", "/vob1/dir", "c2.c"), "0", "", false,
         [&] {
             return Lines{name_dropped(sub, "c.c"), dir_dropped(sub, RENAME), name_dropped("/vob1/dir", "c2.c"),
                          dir_dropped("/vob1/dir", RENAME)};
         }},
        {"the load rule's directory itself, its rule removed",
         [&] {
             vob().batch([&] {
                 vob().move(sub, "/vob1/dir/sub");
                 vob().drop_load_rule(sub);
             });
         },
         move("/vob1", "sub", "/vob1/dir", "sub", changed("/vob1", {sub})), "0", "", false,
         [&] {
             return Lines{name_dropped("/vob1", "sub"), dir_dropped("/vob1", RENAME),
                          name_dropped("/vob1/dir", "sub"), dir_dropped("/vob1/dir", RENAME)};
         },
         [&] {
             return Lines{inval_obj(vob().element_oid("/vob1/dir/sub"), DROPPED),
                          inval_obj(vob().element_oid("/vob1/dir/sub/s2.c"), DROPPED)};
         },
         {}, [&] { EXPECT_EQ("", load_rules()); }},
    });
}

// A name moved into another VOB leaves the source directory, which is read
// again under its own VOB (the server's new version of it, which the view
// has not read yet, is asked of the server under that VOB).
TEST_F(E2eNamespace, AMoveIntoAnotherVobShowsInBoth) {
    const std::string replica2 = "8a000000-0000-4000-8000-0000000000b2";
    const std::string loaded = vob().oid("/vob1/dir");
    play({
        {"across VOBs",
         [&] {
             vob().add_vob("/vob2", replica2, "8f000000-0000-4000-8000-0000000000b2");
             ASSERT_EQ("0", status(mount_vob("/vob2")));
             EXPECT_EQ("/vob2/\n", view_tree("/vob2"));
             // The source directory's new version is one the view has not
             // read yet.
             vob().batch([&] {
                 vob().checkout("/vob1/dir");
                 vob().move("/vob1/dir/c.c", "/vob2/c.c");
                 vob().checkin("/vob1/dir");
             });
         },
         move("/vob1/dir", "c.c", "/vob2", "c.c"), "0", "", false,
         [&] {
             return Lines{inval_name(loaded, "c.c"), dir_dropped("/vob1/dir", RENAME), name_dropped("/vob2", "c.c"),
                          dir_dropped("/vob2", RENAME)};
         },
         nullptr, {},
         [&] {
             EXPECT_TRUE(eventually([&] { return view_tree("/vob2") == vob_tree("/vob2"); })) << view_tree("/vob2");
             EXPECT_EQ(vob().content("/vob2/c.c"), file("/vob2/c.c").bytes);
         }},
    });
}

// A file of the view's own under the old name goes to the new name, through
// the view; a name the server no longer has is not looked at.
TEST_F(E2eNamespace, AFileUnderTheOldNameIsCarriedOverToTheNewOne) {
    if (!mount_view()) return;
    ASSERT_TRUE(write_file(in_view("/vob1/dir/p.txt"), "mine\n"));
    play({
        {"the file renamed", nullptr, move("/vob1/dir", "p.txt", "/vob1/dir", "q.txt"), "0", "", false,
         [&] {
             return Lines{name_dropped("/vob1/dir", "p.txt"), name_dropped("/vob1/dir", "q.txt"),
                          dir_dropped("/vob1/dir", RENAME)};
         },
         nullptr, {},
         [&] {
             EXPECT_FALSE(file("/vob1/dir/p.txt").exists);
             EXPECT_EQ("mine\n", file("/vob1/dir/q.txt").bytes);
             EXPECT_EQ((Lines{"c.c", "q.txt"}), listing("/vob1/dir"));
         },
         false},
        {"a VOB file moved away on the server", [&] { vob().move("/vob1/a.c", "/vob1/dir/a.c"); },
         move("/vob1", "a.c", "/vob1/dir", "a.c"), "0", "", false,
         [&] {
             return Lines{name_dropped("/vob1", "a.c"), dir_dropped("/vob1", RENAME), name_dropped("/vob1/dir", "a.c"),
                          dir_dropped("/vob1/dir", RENAME)};
         },
         nullptr, {},
         [&] {
             EXPECT_FALSE(file("/vob1/a.c").exists);
             EXPECT_EQ(vob().content("/vob1/dir/a.c"), file("/vob1/dir/a.c").bytes);
             EXPECT_EQ((Lines{"a.c", "c.c", "q.txt"}), listing("/vob1/dir"));
         },
         false},
    });
}

TEST_F(E2eNamespace, RemovedNamesLeaveTheView) {
    const std::string sub = Served_Vob::LOAD_RULE;
    play({
        {"a file", [&] { vob().rmname("/vob1/b.c"); }, rmname("/vob1", {"b.c"}), "0", "", false,
         [&] { return Lines{name_dropped("/vob1", "b.c"), dir_dropped("/vob1", RMNAME)}; }},
        {"a name the view never loaded", nullptr, rmname("/vob1/dir", {"ghost"}), "0", "", false,
         [&] { return Lines{name_dropped("/vob1/dir", "ghost"), dir_dropped("/vob1/dir", RMNAME)}; }},
        {"the load rule's directory with its rule",
         [&] {
             vob().batch([&] {
                 vob().rmname(sub);
                 vob().drop_load_rule(sub);
             });
         },
         rmname("/vob1", {"sub"}, {sub}), "0", "", false,
         [&] { return Lines{name_dropped("/vob1", "sub"), dir_dropped("/vob1", RMNAME)}; },
         [&] { return Lines{inval_obj(Served_Vob::oid(7), DROPPED), inval_obj(Served_Vob::oid(8), DROPPED)}; }, {},
         [&] { EXPECT_EQ("", load_rules()); }},
    });
}

TEST_F(E2eNamespace, MergedDirectoriesAreReadAgain) {
    const std::string sub = Served_Vob::LOAD_RULE;
    const auto merged = [&](const std::string& dir, const std::map<std::string, std::string>& added,
                            const Lines& removed = {}) {
        vob().batch([&] {
            vob().checkout(dir);
            vob().merge(dir, added, removed);
        });
    };
    play({
        {"a directory of the automatic scope", [&] { merged("/vob1/dir", {{"m.c", "merged\n"}}, {"c.c"}); },
         merge("/vob1/dir"), "0", "", false, [&] { return Lines{dir_dropped("/vob1/dir", UNCHECKOUT)}; }},
        {"the load rule's directory", [&] { merged(sub, {{"m2.c", "merged too\n"}}); }, merge(sub), "0", "", false,
         [&] { return Lines{dir_dropped(sub, UNCHECKOUT)}; }, nullptr, {"/vob1/sub"}},
        {"the VOB root, the load rule's directory merged away",
         [&] {
             vob().batch([&] {
                 merged("/vob1", {{"r.c", "root\n"}}, {"sub"});
                 vob().drop_load_rule(sub);
             });
         },
         merge("/vob1", {sub}), "0", "", false, [&] { return Lines{dir_dropped("/vob1", UNCHECKOUT)}; },
         [&] { return Lines{inval_obj(Served_Vob::oid(7), DROPPED)}; }, {}, [&] { EXPECT_EQ("", load_rules()); }},
    });
}

// Requests that cannot be served change nothing; a server that fails the
// update by path fails the request after the view has been brought in line
// as far as it could.
TEST_F(E2eNamespace, RefusedRequestsAndFailuresAreReported) {
    const std::string sub = Served_Vob::LOAD_RULE;
    const auto refused = [](const std::string& request) {
        return "Parse error in \"" + request + "\".\n";
    };
    const Lines one_leaf = {"x"}, two_leaves = {"x", "y"}, none = {};
    const std::vector<std::string> bad = {
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
        make_request("MergeDirectory", "mg", changed("/vob1/dir", {}, &two_leaves, &two_leaves) + "<x/>"),
    };
    std::vector<Step> steps;
    for (const std::string& request : bad) steps.push_back({"a bad request", nullptr, request, "20021", refused(request)});
    steps.back().message = "";
    steps.back().status = "0";
    steps.back().told = [&] { return Lines{dir_dropped("/vob1/dir", UNCHECKOUT)}; };
    steps.push_back({"the update by path failing", [&] {
                         vob().move("/vob1/a.c", "/vob1/sub/a.c");
                         vob().add_fault(SYNC_RPC, R"({"http": 500})");
                     },
                     move("/vob1", "a.c", sub, "a.c"), "20048", "Unable to complete RPC to WAN server.Status code from RPC = 500", false,
                     [&] {
                         return Lines{name_dropped("/vob1", "a.c"), dir_dropped("/vob1", RENAME),
                                      name_dropped(sub, "a.c"), dir_dropped(sub, RENAME)};
                     },
                     nullptr, {"/vob1/sub/a.c"}});
    const std::string offline = "Client is disconnected from the server.\n";
    steps.push_back({"Move offline", [&] { ASSERT_EQ("0", status(call(make_request("Disconnect", "off")))); },
                     move("/vob1", "b.c", "/vob1", "b2.c"), "20033", offline, false, nullptr, nullptr, {}, nullptr,
                     false});
    steps.push_back({"Rmname offline", nullptr, rmname("/vob1", {"b.c"}), "20033", offline, false, nullptr, nullptr,
                     {}, nullptr, false});
    steps.push_back({"MergeDirectory offline", nullptr, merge("/vob1"), "20033", offline, false, nullptr, nullptr,
                     {}, nullptr, false});
    steps.push_back({"a bad request offline", nullptr, rmname("/vob1", none), "20021", refused(rmname("/vob1", none)),
                     false, nullptr, nullptr, {}, nullptr, false});
    play(steps);
}

}  // namespace
}  // namespace e2e
