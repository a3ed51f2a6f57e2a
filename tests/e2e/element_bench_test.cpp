// The element operations' bench itself, with the requests the daemon
// answers already: the served VOB's steps change what the server holds; the
// view is filled from it (files, the link and the load rule's directory
// through the mount, the cleartext cache, the config spec, the server's
// log); each step acted out on the server shows in the view after an
// Update, an update by path takes only its path, and the kernel hears of
// what changed; inject lines fail the view's file calls as often as they
// say.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "element_bench.h"
#include "update_fixture.h"

namespace e2e {
namespace {

using Kind = Served_Vob::Kind;

TEST(ServedVob, ClientStepsChangeWhatTheServerHoldsAndPublishIt) {
    TempTree tree;
    Served_Vob vob(tree / "versions");
    std::vector<std::string> published;
    vob.on_change([&](const std::string& rules) { published.push_back(rules); });
    const auto served = [&](const std::string& oid) {
        return read_file(tree / ("versions/" + std::string(Served_Vob::REPLICA) + "/" + oid + "/transparent"));
    };

    EXPECT_EQ((Lines{"a.c", "b.c", "dir", "link", "sub"}), vob.names("/vob1"));
    EXPECT_EQ(Served_Vob::oid(2, 1), vob.oid("/vob1/a.c"));
    EXPECT_EQ("0e000000-0000-4000-8000-000002000001", vob.oid("/vob1/a.c"));
    EXPECT_EQ(Served_Vob::oid(2), vob.element_oid("/vob1/a.c"));
    EXPECT_EQ(Served_Vob::oid(1, 1), vob.parent_oid("/vob1/a.c"));
    EXPECT_EQ("/main/1", vob.version("/vob1/a.c"));
    EXPECT_EQ(vob.content("/vob1/a.c"), served(vob.oid("/vob1/a.c")));
    EXPECT_EQ(Kind::link, vob.kind("/vob1/link"));
    EXPECT_EQ("a.c", vob.content("/vob1/link"));
    EXPECT_EQ(Served_Vob::oid(6), vob.oid("/vob1/link")) << "a link is its own version";
    EXPECT_EQ((Lines{"s.c"}), vob.names("/vob1/sub"));
    EXPECT_EQ(0444u, vob.mode("/vob1/a.c"));
    EXPECT_EQ(2u, vob.gn());

    // A checkout, a checkin, a second checkout cancelled: each a version
    // object of its own, every one's contents still served.
    const std::string first = vob.oid("/vob1/a.c");
    const std::string co = vob.checkout("/vob1/a.c");
    EXPECT_EQ(Served_Vob::oid(2, 2), co);
    EXPECT_TRUE(vob.checked_out("/vob1/a.c"));
    EXPECT_EQ("/main/CHECKEDOUT", vob.version("/vob1/a.c"));
    EXPECT_EQ(served(first), served(co));
    EXPECT_NE(vob.mtime("/vob1/a.c"), 0);
    const std::string ci = vob.checkin("/vob1/a.c", std::string("two\n"));
    EXPECT_EQ(Served_Vob::oid(2, 3), ci);
    EXPECT_FALSE(vob.checked_out("/vob1/a.c"));
    EXPECT_EQ("/main/2", vob.version("/vob1/a.c"));
    EXPECT_EQ("two\n", served(ci));
    EXPECT_NE(served(first), "");
    vob.checkout("/vob1/a.c");
    EXPECT_EQ(ci, vob.uncheckout("/vob1/a.c"));
    EXPECT_EQ("/main/2", vob.version("/vob1/a.c"));
    // A directory's checkout keeps its names.
    vob.checkout("/vob1/dir");
    EXPECT_EQ((Lines{"c.c"}), vob.names("/vob1/dir"));

    // New elements, under new directories too; moves; a removed name; a
    // merge.
    vob.mkelem("/vob1/n1/n2/f.c", Kind::file, std::string("f\n"), {true, false});
    EXPECT_EQ(Kind::directory, vob.kind("/vob1/n1/n2"));
    EXPECT_EQ("f\n", vob.content("/vob1/n1/n2/f.c"));
    const std::string made_co = vob.mkelem("/vob1/dir/new.c", Kind::file, std::nullopt, {false, true});
    EXPECT_TRUE(vob.checked_out("/vob1/dir/new.c"));
    EXPECT_EQ(made_co, vob.oid("/vob1/dir/new.c"));
    vob.mkelem("/vob1/dir/ln", Kind::link, std::string("new.c"));
    vob.move("/vob1/b.c", "/vob1/b2.c");
    vob.move("/vob1/dir/c.c", "/vob1/sub/c.c");
    vob.rmname("/vob1/dir/ln");
    vob.merge("/vob1/dir", {{"m.c", "merged\n"}}, {"new.c"});
    EXPECT_EQ((Lines{"a.c", "b2.c", "dir", "link", "n1", "sub"}), vob.names("/vob1"));
    EXPECT_EQ((Lines{"m.c"}), vob.names("/vob1/dir"));
    EXPECT_EQ((Lines{"c.c", "s.c"}), vob.names("/vob1/sub"));
    EXPECT_EQ("merged\n", vob.content("/vob1/dir/m.c"));

    // Steps that no client could take.
    const std::function<void()> refused[] = {
        [&] { vob.checkout("/vob1/link"); },
        [&] { vob.uncheckout("/vob1/a.c"); },
        [&] { vob.mkelem("/vob1/a.c"); },
        [&] { vob.mkelem("/vob1/none/x.c"); },
        [&] { vob.move("/vob1/a.c", "/vob1/sub/s.c"); },
        [&] { vob.rmname("/vob1/none"); },
        [&] { vob.oid("/other/a.c"); },
    };
    for (const auto& step : refused) EXPECT_THROW(step(), std::invalid_argument);

    // Each change was published, one generation each, as rules that read.
    EXPECT_EQ(14u, vob.gn());
    ASSERT_EQ(12u, published.size());
    for (const std::string& rules : published) {
        const nlohmann::json parsed = nlohmann::json::parse("[" + rules + "]", nullptr, false);
        EXPECT_FALSE(parsed.is_discarded());
    }
}

// What the server is told to answer follows the model: a batch is one
// generation, a fault copies the procedure's rules before them, a load
// rule's id reaches the answers under it, a second VOB is served with what
// moved into it.
TEST(ServedVob, ItsRulesFollowTheChanges) {
    TempTree tree;
    Served_Vob vob(tree / "versions");
    nlohmann::json rules;
    vob.on_change([&](const std::string& text) { rules = nlohmann::json::parse("[" + text + "]"); });
    const auto answer = [&](const std::string& rpc, const std::map<std::string, std::string>& args) {
        for (const nlohmann::json& rule : rules) {
            if (rule["match"].value("rpc", "") != rpc || rule.contains("fault")) continue;
            bool matches = true;
            const nlohmann::json wanted = rule["match"].value("args", nlohmann::json::object());
            for (const auto& arg : wanted.items())
                matches = matches && args.count(arg.key()) != 0 && args.at(arg.key()) == arg.value();
            if (matches) return rule["reply"];
        }
        return nlohmann::json();
    };
    const auto scope_of = [&](const std::string& path) {
        return answer("Ostrel_Norvane::lookup_rpc", {{"VersionOid", vob.parent_oid(path)},
                                                     {"LeafName", path.substr(path.rfind('/') + 1)}})
            ["metadata"]["scope"]["scope_oid"];
    };
    const std::string sync = "Ostrel_Norvane::syncfetch_rpc";
    const auto stream_from = [&](unsigned gn) {
        Lines entries;
        const nlohmann::json reply = answer(sync, {{"UsePaths", "0"}, {"ViewGn", std::to_string(gn)}});
        for (const nlohmann::json& entry : reply["stream"]) {
            if (entry.contains("elem"))
                entries.push_back(entry["elem"]["replica"].get<std::string>().substr(0, 2) + " " +
                                  entry["elem"]["path"].get<std::string>() + (entry["elem"].contains("cur") ? "" : " gone"));
            else if (entry.contains("scope"))
                entries.push_back("scope " + entry["scope"].value("pname", ""));
        }
        return entries;
    };

    vob.batch([&] {
        vob.checkin("/vob1/a.c");
        vob.mkelem("/vob1/dir/x.c");
    });
    EXPECT_EQ(3u, vob.gn());
    EXPECT_EQ((Lines{"scope ", "9a /vob1/a.c", "9a /vob1/dir/x.c", "scope /vob1/sub"}), stream_from(2));
    EXPECT_EQ(nlohmann::json(Served_Vob::AUTO_SCOPE), scope_of("/vob1/sub/s.c"));
    vob.set_rule_scope(Served_Vob::LOAD_RULE, "5c000000-0000-4000-8000-0000000000aa");
    EXPECT_EQ(nlohmann::json("5c000000-0000-4000-8000-0000000000aa"), scope_of("/vob1/sub/s.c"));
    EXPECT_EQ(nlohmann::json(Served_Vob::AUTO_SCOPE), scope_of("/vob1/dir/c.c"));

    vob.add_fault(sync, R"({"hold": {"after_parts": 1, "gate": "g"}})", 2);
    ASSERT_FALSE(rules.empty());
    EXPECT_EQ(sync, rules[0]["match"]["rpc"]);
    EXPECT_EQ(2, rules[0]["times"]);
    EXPECT_EQ("g", rules[0]["fault"]["hold"]["gate"]);

    // A second VOB, a name moved into it: gone from the first VOB's part
    // of the stream, new in the second's, its contents served under the
    // second replica.
    const std::string replica2 = "8a000000-0000-4000-8000-0000000000b2";
    vob.add_vob("/vob2", replica2, "8f000000-0000-4000-8000-0000000000b2");
    vob.move("/vob1/b.c", "/vob2/b.c");
    EXPECT_EQ(replica2, vob.replica("/vob2/b.c"));
    EXPECT_EQ(replica2, vob.replica_of_oid(vob.oid("/vob2/b.c")));
    EXPECT_EQ(Served_Vob::REPLICA, vob.replica_of_oid(vob.element_oid("/vob1/a.c")));
    EXPECT_THROW(vob.replica_of_oid("9a000000-0000-4000-8000-0000000000b1"), std::invalid_argument);
    EXPECT_EQ(vob.content("/vob2/b.c"),
              read_file(tree / ("versions/" + replica2 + "/" + vob.oid("/vob2/b.c") + "/transparent")));
    EXPECT_EQ((Lines{"scope ", "9a /vob1/b.c gone", "8a /vob2/b.c", "scope /vob1/sub"}), stream_from(4));

    // A dropped load rule: its objects are the automatic scope's, loaded
    // anew there.
    vob.drop_load_rule(Served_Vob::LOAD_RULE);
    EXPECT_EQ(nlohmann::json(Served_Vob::AUTO_SCOPE), scope_of("/vob1/sub/s.c"));
    EXPECT_EQ((Lines{"scope ", "9a /vob1/sub", "9a /vob1/sub/s.c"}), stream_from(5));
}

TEST_F(E2eElement, TheViewIsFilledFromTheServedVob) {
    // The update loaded every name, in the load rule's scope too.
    Lines loaded;
    for (const update_log::Line& line : filled.actions) loaded.push_back(line.label + " " + line.value);
    EXPECT_EQ((Lines{"New /vob1 /main/1 ", "New /vob1/a.c /main/1 ", "New /vob1/b.c /main/1 ", "New /vob1/dir /main/1 ",
                     "New /vob1/dir/c.c /main/1 ", "New /vob1/link /main/1 SYMLINK", "New /vob1/sub /main/1 ",
                     "New /vob1/sub/s.c /main/1 "}),
              loaded);
    const std::vector<View_Update_Call> updates = view_updates();
    ASSERT_EQ(1u, updates.size());
    EXPECT_FALSE(updates[0].by_paths);
    EXPECT_EQ("1", updates[0].view_gn);
    EXPECT_EQ(Lines{Served_Vob::LOAD_RULE}, updates[0].paths);

    // Each file version was fetched once into a read-only cache file.
    const Lines files = {"/vob1/a.c", "/vob1/b.c", "/vob1/dir/c.c", "/vob1/sub/s.c"};
    std::map<std::string, std::string> expected;
    for (const std::string& path : files) {
        expected[vob().oid(path)] = vob().content(path);
        EXPECT_EQ(1u, gets(vob().oid(path))) << path;
        EXPECT_EQ(0400u, cached_mode(vob().oid(path))) << path;
    }
    EXPECT_EQ(expected, cached_versions());
    EXPECT_EQ(std::string(ELEMENT_RULES) + "\n", config_spec());

    // A client reads the config spec back: its results in order.
    const lib_test::Reply cspec = call(make_request("GetConfigSpec", "g1"));
    EXPECT_EQ("0", status(cspec)) << message(cspec);
    Lines tags;
    for (const lib_test::Reply_Element& result : results(cspec)) tags.push_back(result.tag);
    EXPECT_EQ((Lines{"element-rules", "tessel-element-rules", "load-rules"}), tags);
    ASSERT_EQ(3u, results(cspec).size());
    EXPECT_EQ("load /vob1/sub\n", results(cspec)[2].text);
    const lib_test::Reply unknown = call(make_request("NoSuchRequest", "g2"));
    EXPECT_NE("0", status(unknown));
    EXPECT_NE("", message(unknown));
    EXPECT_TRUE(results(unknown).empty());

    // Through the mount: the files' bytes and modes, the link, the load
    // rule's directory; the contents from the cache, fetched no more.
    if (!mount_view()) return;
    EXPECT_EQ(vob_tree(), view_tree());
    const View_File a_c = file("/vob1/a.c");
    EXPECT_EQ('f', a_c.type);
    EXPECT_EQ(vob().mode("/vob1/a.c"), a_c.mode);
    EXPECT_EQ(static_cast<long long>(vob().content("/vob1/a.c").size()), a_c.size);
    const View_File dir = file("/vob1/dir");
    EXPECT_EQ('d', dir.type);
    EXPECT_EQ(vob().mode("/vob1/dir"), dir.mode);
    EXPECT_EQ("a.c", file("/vob1/link").link);
    EXPECT_EQ(a_c.bytes, read_file(in_view("/vob1/link")));
    EXPECT_EQ((Lines{"s.c"}), listing("/vob1/sub"));
    for (const std::string& path : files) EXPECT_EQ(1u, gets(vob().oid(path))) << path;
}

// Each step of a client acted out on the server shows in the view after an
// Update, which takes only what changed since the one before; the kernel
// hears of a changed name.
TEST_F(E2eElement, StepsOnTheServerShowInTheViewAfterAnUpdate) {
    if (!mount_view()) return;
    const struct {
        const char* name;
        std::function<void()> step;
        Lines actions;  // of the update; none given: not compared
        // Whether the view then shows the server's tree (a checkout made on
        // the server alone leaves the view without the checked-out file).
        bool shown = true;
    } rows[] = {
        {"a checkin", [&] { vob().checkin("/vob1/a.c", std::string("checked in\n")); },
         {"Updated /vob1/a.c /main/1 /main/2 "}},
        {"new elements, one under new directories",
         [&] {
             vob().mkelem("/vob1/dir/new.c");
             vob().mkelem("/vob1/n1/n2/deep.c", Kind::file, std::string("deep\n"), {true, false});
         },
         {"New /vob1/dir/new.c /main/1 ", "New /vob1/n1 /main/1 ", "New /vob1/n1/n2 /main/1 ",
          "New /vob1/n1/n2/deep.c /main/1 "}},
        {"a move in place and one across directories into the load rule's",
         [&] {
             vob().move("/vob1/b.c", "/vob1/b2.c");
             vob().move("/vob1/dir/c.c", "/vob1/sub/c.c");
         },
         {}},
        {"a removed name", [&] { vob().rmname("/vob1/b2.c"); }, {"UnloadDeleted /vob1/b2.c"}},
        {"a merged directory",
         [&] {
             vob().checkout("/vob1/dir");
             vob().merge("/vob1/dir", {{"m.c", "merged\n"}}, {"new.c"});
         },
         {}},
        {"a checkout", [&] { vob().checkout("/vob1/sub/s.c"); }, {"Updated /vob1/sub/s.c /main/1 /main/CHECKEDOUT "},
         false},
        {"a cancelled checkout", [&] { vob().uncheckout("/vob1/sub/s.c"); },
         {"Updated /vob1/sub/s.c /main/CHECKEDOUT /main/1 "}},
        {"a load rule dropped",
         [&] {
             EXPECT_EQ("0", status(set_config_spec({})));
             vob().drop_load_rule(Served_Vob::LOAD_RULE);
         },
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.step();
        const size_t mark = journal_mark();
        const update_log::Log log = update();
        EXPECT_EQ("Succeeded", log.tail_value("Status"));
        if (!row.actions.empty()) {
            Lines actions;
            for (const update_log::Line& line : log.actions) actions.push_back(line.label + " " + line.value);
            EXPECT_EQ(row.actions, actions);
        }
        if (row.shown) {
            EXPECT_TRUE(eventually([&] { return view_tree() == vob_tree(); })) << "view:\n"
                                                                               << view_tree() << "server:\n"
                                                                               << vob_tree();
        }
        EXPECT_FALSE(invalidations_since(mark).empty());
    }

    // The checkin's version was fetched once; the checkout's too, and its
    // cancellation fetched nothing.
    const std::map<std::string, std::string> cached = cached_versions();
    EXPECT_EQ("checked in\n", cached.at(vob().oid("/vob1/a.c")));
    EXPECT_EQ(vob().content("/vob1/sub/s.c"), cached.at(Served_Vob::oid(8, 2)));
    EXPECT_EQ(1u, gets(vob().oid("/vob1/a.c")));
    EXPECT_EQ(1u, gets(Served_Vob::oid(8, 2)));
    EXPECT_EQ(1u, gets(vob().oid("/vob1/sub/s.c")));
}

// A second VOB, mounted by the view, takes what moves into it; a fault on
// the server's update holds it until the test opens its gate.
TEST_F(E2eElement, ASecondVobAndAHeldUpdateAreServedAsEdited) {
    const std::string replica2 = "8a000000-0000-4000-8000-0000000000b2";
    vob().add_vob("/vob2", replica2, "8f000000-0000-4000-8000-0000000000b2");
    const lib_test::Reply mounted = mount_vob("/vob2");
    ASSERT_EQ("0", status(mounted)) << message(mounted);
    vob().batch([&] {
        vob().move("/vob1/b.c", "/vob2/b.c");
        vob().mkelem("/vob2/d/e.c", Kind::file, std::string("e\n"), {true, false});
    });
    vob().add_fault(SYNC_RPC, R"({"hold": {"after_parts": 2, "gate": "update"}})");

    const lib_test::Reply reply = call(make_request("Update", "held"));
    ASSERT_EQ("0", status(reply)) << message(reply);
    // The server has the update's request (the second, after the bench's
    // own) and holds its answer.
    ASSERT_TRUE(server().wait_for_log([&](const std::vector<fakeserver::Json>&) { return view_updates().size() == 2; }));
    const long held = server_calls(SYNC_RPC).back()["seq"].as_long();
    for (const fakeserver::Json& record : server().log())
        EXPECT_FALSE(record["event"].as_string() == "request_end" && record["seq"].as_long() == held)
            << "the update went on before its gate opened";
    server().open_gate("update");
    EXPECT_EQ("Succeeded", finished_log(reply.children.at("log-file")).tail_value("Status"));

    if (!mount_view()) return;
    EXPECT_TRUE(eventually([&] { return view_tree("/vob2") == vob_tree("/vob2") && view_tree() == vob_tree(); }))
        << view_tree("/vob2") << view_tree();
    EXPECT_EQ(replica2, vob().replica_of_oid(vob().oid("/vob2/b.c")));
    EXPECT_EQ(1u, gets(vob().oid("/vob2/b.c")));
    EXPECT_EQ(1u, gets(vob().oid("/vob2/d/e.c")));
}

// The kernel's journal read from a mark: only what came after it, in order.
TEST_F(E2eElement, InvalidationsAreReadFromAMarkInOrder) {
    const Lines before = invalidations_since(0);
    EXPECT_TRUE(in_order(before, {inval_obj(vob().element_oid("/vob1/b.c"), CHECKIN),
                                  inval_name(vob().element_oid("/vob1"), "b.c")}))
        << joined(before);
    vob().checkin("/vob1/a.c");
    const size_t mark = journal_mark();
    EXPECT_EQ(Lines{}, invalidations_since(mark));
    update();
    const Lines after = invalidations_since(mark);
    EXPECT_TRUE(in_order(after, {inval_obj(vob().element_oid("/vob1/a.c"), CHECKIN),
                                 inval_name(vob().element_oid("/vob1"), "a.c")}))
        << joined(after);
    for (const std::string& line : after) EXPECT_EQ(std::string::npos, line.find(" b.c")) << line;
}

// An update by path takes that path from the server and nothing else.
TEST_F(E2eElement, AnUpdateByPathTakesOnlyItsPath) {
    if (!mount_view()) return;
    const std::string old_a = file("/vob1/a.c").bytes;
    const std::string s_c = vob().checkin("/vob1/sub/s.c", std::string("s.c again\n"));
    const std::string a_c = vob().checkin("/vob1/a.c", std::string("a.c again\n"));
    const lib_test::Reply reply =
        call(make_request("Update", "by-path", R"(<update-flags surgical="true"/><update-paths><path>/vob1/sub/s.c</path></update-paths>)"));
    EXPECT_EQ("0", status(reply)) << message(reply);
    const std::vector<View_Update_Call> updates = view_updates();
    ASSERT_EQ(2u, updates.size());
    EXPECT_TRUE(updates[1].by_paths);
    EXPECT_EQ(Lines{"/vob1/sub/s.c"}, updates[1].paths);
    EXPECT_TRUE(eventually([&] { return file("/vob1/sub/s.c").bytes == "s.c again\n"; }));
    EXPECT_EQ(old_a, file("/vob1/a.c").bytes);
    EXPECT_EQ(1u, gets(s_c));
    EXPECT_EQ(0u, gets(a_c));

    // The next full update takes the rest.
    update();
    EXPECT_TRUE(eventually([&] { return view_tree() == vob_tree(); })) << view_tree();
    EXPECT_EQ(1u, gets(s_c));
    EXPECT_EQ(1u, gets(a_c));
}

// Each inject line fails its call through the mount as often as it says,
// then the call works; what is left is what the same successful calls
// leave in a plain directory.
TEST_F(E2eElement, InjectLinesFailTheirCallsAsOftenAsTheySay) {
    if (!mount_view()) return;
    const std::string plain = tree / "plain";
    const std::string view_dir = in_view("/vob1/work");
    ASSERT_EQ(0, ::mkdir(plain.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(view_dir.c_str(), 0755));
    for (const std::string& dir : {plain, view_dir}) {
        ASSERT_TRUE(write_file(dir + "/f.txt", "x"));
        ASSERT_TRUE(write_file(dir + "/g.txt", "y"));
    }
    const auto outcome = [](int result) { return result == 0 ? 0 : errno; };
    const struct {
        const char* call;
        const char* result;
        int count;
        std::function<int(const std::string& dir)> act;
        int error;
    } rows[] = {
        {"fuse_read", "errno=5", 1,
         [&](const std::string& dir) {
             const int fd = ::open((dir + "/f.txt").c_str(), O_RDONLY | O_CLOEXEC);
             char byte = 0;
             const int result = outcome(::read(fd, &byte, 1) == 1 && byte == 'x' ? 0 : -1);
             ::close(fd);
             return result;
         },
         EIO},
        {"fuse_write", "errno=28", 1,
         [&](const std::string& dir) {
             const int fd = ::open((dir + "/f.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             const int result = outcome(::write(fd, "more", 4) == 4 ? 0 : -1);
             ::close(fd);
             return result;
         },
         ENOSPC},
        {"fuse_setattr", "errno=1", 2, [&](const std::string& dir) { return outcome(::chmod((dir + "/f.txt").c_str(), 0600)); },
         EPERM},
        {"fuse_rename", "errno=16", 1,
         [&](const std::string& dir) { return outcome(::rename((dir + "/g.txt").c_str(), (dir + "/h.txt").c_str())); },
         EBUSY},
        {"fuse_unlink", "1080", 2, [&](const std::string& dir) { return outcome(::unlink((dir + "/h.txt").c_str())); },
         EROFS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call);
        inject(row.call, row.result, row.count);
        for (int i = 0; i < row.count; ++i) EXPECT_EQ(row.error, row.act(view_dir)) << "call " << i;
        EXPECT_EQ(0, row.act(view_dir)) << "the line is used up";
        EXPECT_EQ(0, row.act(plain));
    }
    const auto shown = [](const std::string& dir) {
        struct stat st{};
        ::stat((dir + "/f.txt").c_str(), &st);
        return read_file(dir + "/f.txt") + " " + std::to_string(st.st_mode & 07777) + " " + std::to_string(list_dir(dir).size());
    };
    EXPECT_EQ(shown(plain), shown(view_dir));
    EXPECT_EQ("xmore", read_file(view_dir + "/f.txt"));
}

} // namespace
} // namespace e2e
