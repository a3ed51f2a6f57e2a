// A slow server never stalls the rest of the view. While the test server
// holds a version's cleartext, a directory's listing or a name's look-up
// (each a row), kernel calls on other names (look-up, status, listing,
// create, the write of a view-private file, the cleartext of a cached file)
// are answered at once on another connection; once the server goes on, the
// held call ends with its answer, and when the server closes the connection
// instead, with the failure that a failed transfer gives.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "fuse_view.h"
#include "pipe_client.h"
#include "tools/korva_sim/kernel_side.h"

namespace e2e {
namespace {

using korva_sim::json;
using korva_sim::ordered_json;
using korva_sim_test::Kernel_Side;
using korva_sim_test::replied;
using Names = std::vector<std::string>;

const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const LOOKUP_RPC = "Ostrel_Norvane::lookup_rpc";

std::string id(unsigned n) { return served_oid(n); }

// A hold of the reply at `gate` after `parts` parts; `cut` closes the
// connection there instead of going on.
std::string hold(const std::string& gate, unsigned parts, bool cut) {
    return R"({"hold": {"after_parts": )" + std::to_string(parts) + R"(, "gate": ")" + gate + R"(")" +
           (cut ? R"(, "then_close": true)" : "") + "}}";
}

// The VOB's root (version 11 of 10) lists the files a.c, b.c and c.c
// (versions 21, 23, 25) and the directories d, e, f and k (versions 31, 33,
// 35, 37). The server holds: a.c's and b.c's cleartext, d's and e's
// listings (d lists x.c, 51), and the look-ups of g.c in f (41) and of h.c
// in k (43); those of b.c, e and h.c end with the connection closed.
std::string rules(const Vob& vob) {
    const auto cleartext = [&](unsigned n, const std::string& fault) {
        return R"({"match": {"method": "GET", "path": "/cltxt/)" + vob.replica + "/" + id(n) +
               R"(/transparent"}, "fault": )" + fault + R"(, "reply": {"cleartext": true}})";
    };
    const auto listing = [](unsigned n, const std::string& fault, const std::string& entries) {
        return R"({"match": {"rpc": ")" + std::string(DIRECTORY_RPC) + R"(", "args": {"VersionOid": ")" + id(n) +
               R"("}}, "fault": )" + fault + R"(, "reply": {"directory": [)" + entries + "]}}";
    };
    const auto lookup = [](const std::string& name, const std::string& fault, unsigned n) {
        return R"({"match": {"rpc": ")" + std::string(LOOKUP_RPC) + R"(", "args": {"LeafName": ")" + name +
               R"("}}, "fault": )" + fault + R"(, "reply": )" + served_metadata(n, 6, n - 1) + "}";
    };
    const std::string root_entries = served_entry("a.c", 21, 6, 20) + ", " + served_entry("b.c", 23, 6, 22) + ", " +
                                     served_entry("c.c", 25, 6, 24) + ", " + served_entry("d", 31, 3, 30) + ", " +
                                     served_entry("e", 33, 3, 32) + ", " + served_entry("f", 35, 3, 34) + ", " +
                                     served_entry("k", 37, 3, 36);
    return vobinfo_rule(vob) + R"(, {"match": {"rpc": ")" + METADATA_RPC + R"("}, "reply": )" +
           served_metadata(11, 3, 10) + "}, " + listing(11, "{}", root_entries) + ", " +
           listing(31, hold("listing", 0, false), served_entry("x.c", 51, 6, 50)) + ", " +
           listing(33, hold("listing-cut", 0, true), served_entry("y.c", 53, 6, 52)) + ", " +
           R"({"match": {"rpc": ")" + DIRECTORY_RPC + R"("}, "reply": {"status": {"code": 5, "message": "refused"}}}, )" +
           lookup("g.c", hold("lookup", 0, false), 41) + ", " + lookup("h.c", hold("lookup-cut", 0, true), 43) + ", " +
           cleartext(21, hold("cltxt", 1, false)) + ", " + cleartext(23, hold("cltxt-cut", 0, true)) + ", " +
           R"({"match": {"rpc": ")" + LOOKUP_RPC + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}})";
}

class E2eSlowServer : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        server_rules = rules(vob);
        server_cleartext_dir = tree / "versions";
        ASSERT_EQ(0, ::mkdir(server_cleartext_dir.c_str(), 0700));
        ASSERT_EQ(0, ::mkdir((server_cleartext_dir + "/" + vob.replica).c_str(), 0700));
        for (unsigned n : {21u, 23u, 25u}) {
            const std::string dir = server_cleartext_dir + "/" + vob.replica + "/" + id(n);
            ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
            ASSERT_TRUE(write_file(dir + "/transparent", body(n)));
        }
    }
    static std::string body(unsigned n) { return "contents of version " + std::to_string(n) + "\n"; }

    std::unique_ptr<Kernel_Side> kernel() {
        std::unique_ptr<Kernel_Side> side(new Kernel_Side);
        EXPECT_EQ(0, side->connect(korva_root, "tag-s", uuid_for("s")));
        return side;
    }
    static json fh_of(const ordered_json& reply) { return korva_sim_test::field_of(reply, "fh"); }
    static json lookup(const json& dir, const std::string& name) {
        return {{"call", "lookup"}, {"dir", dir}, {"name", name}};
    }
    static json readdir(const json& dir) { return {{"call", "readdir"}, {"dir", dir}, {"offset", 0u}, {"max_size", 8744u}}; }
    static json cleartext(const json& file) { return {{"call", "getcleartext"}, {"fh", file}, {"buf_len", 1024u}}; }
    static Names names_of(const ordered_json& listing) {
        Names names;
        for (const auto& e : listing["entries"]) names.push_back(e["name"].get<std::string>());
        return names;
    }
    // A reply that names the cache file of version `n`, with its contents.
    ::testing::AssertionResult gives_cleartext(const ordered_json& reply, unsigned n) {
        if (!replied(reply) || !reply.value("cache_path", false))
            return ::testing::AssertionFailure() << reply.dump();
        const std::string path = cache_dir("s") + "/" + reply.value("path", "");
        if (read_file(path) != body(n)) return ::testing::AssertionFailure() << path << " does not hold version " << n;
        return ::testing::AssertionSuccess();
    }

    // Serves view "s" with the VOB mounted; its root listed and the names
    // below it looked up, c.c's cleartext in the cache.
    void serve() {
        agent = serve_new_view("s");
        std::unique_ptr<PipeClient> client = PipeClient::connect(storage("s"), "tool");
        ASSERT_TRUE(client);
        ASSERT_EQ("0", client->call(make_request("MountVob", "m", "<vob-tag mount-state=\"true\">" + vob.tag +
                                                                      "</vob-tag>"))
                           .attrs["status-code"]);
        side = kernel();
        const ordered_json root_reply = side->call({{"call", "root"}, {"replica_uuid", vob.replica}});
        ASSERT_TRUE(replied(root_reply)) << root_reply.dump();
        root = fh_of(root_reply);
        ASSERT_TRUE(replied(side->call(readdir(root))));
        for (const char* name : {"a.c", "b.c", "c.c", "d", "e", "f", "k"}) {
            const ordered_json found = side->call(lookup(root, name));
            ASSERT_TRUE(replied(found)) << name << ": " << found.dump();
            fh[name] = fh_of(found);
        }
        ASSERT_TRUE(gives_cleartext(side->call(cleartext(fh["c.c"])), 25));
    }

    // Whether a held reply went on by itself (its gate's time ran out)
    // instead of when the test opened its gate.
    bool hold_ran_out() {
        for (const fakeserver::Json& r : server().log())
            if (r["event"].as_string() == "request_end" && r["gate"].as_string() == "timeout") return true;
        return false;
    }

    // Whether the server received the request that `matches` picks within
    // the start time-out.
    bool arrived(const std::function<bool(const fakeserver::Json&)>& matches) {
        return server().wait_for_log(
            [&](const std::vector<fakeserver::Json>& log) {
                for (const fakeserver::Json& r : log)
                    if (r["event"].as_string() == "request" && matches(r)) return true;
                return false;
            },
            kStartTimeout);
    }

    // Calls on other names than the held one, each answered while the
    // server still holds it: a look-up, a status, a listing, a create and a
    // write of a view-private file, the cleartext of a cached file. `n`
    // tells this round's new names apart.
    void others_answer_at_once(int n) {
        std::unique_ptr<Kernel_Side> other = kernel();
        // A call that waited for the server would be answered only once the
        // held reply went on: when the test opens its gate, after these
        // calls, or when the gate's time runs out.
        const auto in_time = [&](const char* what, const json& request) {
            ordered_json reply = other->call(request);
            EXPECT_TRUE(replied(reply)) << what;
            EXPECT_FALSE(hold_ran_out()) << what << " was answered only after the held reply went on";
            return reply;
        };
        in_time("lookup", lookup(root, "c.c"));
        in_time("getattr", {{"call", "getattr"}, {"fh", fh["d"]}});
        const Names listed = names_of(in_time("readdir", readdir(root)));
        EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "c.c"));
        const std::string name = "new" + std::to_string(n);
        const ordered_json made = in_time("create", {{"call", "create"}, {"dir", root}, {"name", name},
                                                     {"attr", {{"mask", 0x2u}, {"type", 1u}, {"mode", 0644u}}},
                                                     {"cont_path_len", 1024u}});
        ASSERT_TRUE(made.contains("cont_path")) << made.dump();
        ASSERT_TRUE(write_file(storage("s") + "/" + made["cont_path"].get<std::string>(), "written\n"));
        in_time("write", {{"call", "setattr"}, {"fh", fh_of(made)}, {"attr", {{"mask", 0x80u}, {"size", 8u}}}});
        EXPECT_TRUE(gives_cleartext(in_time("getcleartext", cleartext(fh["c.c"])), 25));
    }

    const Vob vob;
    std::unique_ptr<Process> agent;
    std::unique_ptr<Kernel_Side> side;
    json root;
    std::map<std::string, json> fh;
};

TEST_F(E2eSlowServer, CallsOnOtherNamesAreAnsweredWhileTheServerHoldsOne) {
    const auto cleartext_of = [](const std::string& subpath) {
        return [subpath](const fakeserver::Json& r) { return r["subpath"].as_string() == subpath; };
    };
    const auto rpc_naming = [](const char* rpc, const std::string& value) {
        return [rpc, value](const fakeserver::Json& r) {
            if (r["rpc"].as_string() != rpc) return false;
            for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"]))
                if (arg.size() == 2 && arg[1] == value) return true;
            return false;
        };
    };
    const std::string get = "/cltxt/" + vob.replica + "/";
    const struct Row {
        const char* what;
        const char* gate;
        std::function<json()> held;
        std::function<bool(const fakeserver::Json&)> asked;
        std::function<::testing::AssertionResult(const ordered_json&)> answer;
    } rows[] = {
        {"a cleartext", "cltxt", [&] { return cleartext(fh["a.c"]); }, cleartext_of(get + id(21) + "/transparent"),
         [&](const ordered_json& r) { return gives_cleartext(r, 21); }},
        {"a cleartext whose connection is closed", "cltxt-cut", [&] { return cleartext(fh["b.c"]); },
         cleartext_of(get + id(23) + "/transparent"), [](const ordered_json& r) { return replied(r, QEL_ST_NO_CLEARTEXT); }},
        {"a listing", "listing", [&] { return readdir(fh["d"]); }, rpc_naming(DIRECTORY_RPC, id(31)),
         [](const ordered_json& r) {
             if (!replied(r)) return replied(r);
             if (names_of(r) != Names{".", "..", "x.c"}) return ::testing::AssertionFailure() << r.dump();
             return ::testing::AssertionSuccess();
         }},
        {"a listing whose connection is closed", "listing-cut", [&] { return readdir(fh["e"]); },
         rpc_naming(DIRECTORY_RPC, id(33)), [](const ordered_json& r) { return replied(r, QEL_ST_NO_MEMORY); }},
        {"a look-up", "lookup", [&] { return lookup(fh["f"], "g.c"); }, rpc_naming(LOOKUP_RPC, "g.c"),
         [](const ordered_json& r) {
             if (!replied(r)) return replied(r);
             if (r["attr"].value("obj_oid", "") != id(41)) return ::testing::AssertionFailure() << r.dump();
             return ::testing::AssertionSuccess();
         }},
        {"a look-up whose connection is closed", "lookup-cut", [&] { return lookup(fh["k"], "h.c"); },
         rpc_naming(LOOKUP_RPC, "h.c"), [](const ordered_json& r) {
             if (r.value("rpc_status", -1) == 0 && r.value("status", 0) != 0) return ::testing::AssertionSuccess();
             return ::testing::AssertionFailure() << "not a failed look-up: " << r.dump();
         }},
    };
    serve();
    int round = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::unique_ptr<Kernel_Side> held = kernel();
        held->send(row.held());
        ASSERT_TRUE(arrived(row.asked));
        others_answer_at_once(round++);
        server().open_gate(row.gate);
        EXPECT_TRUE(row.answer(held->receive()));
    }
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("s"), "ender");
    ASSERT_TRUE(client);
    EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
}

} // namespace
} // namespace e2e
