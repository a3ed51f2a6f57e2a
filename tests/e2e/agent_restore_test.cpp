// Restores of a serving daemon against the test server: without flags (the
// client as master) a restore is refused but logged; while an update holds
// the slot, and offline, a restore of the whole view is refused; a whole
// view is dropped from every cache and taken again from the server, its
// config spec frozen under the server's scope ids (also when an id
// changed), its update from the first generation, and the reply waits for
// the update's cleartext fetches; repair paths are repaired one by one,
// a failing one not stopping the next, and a directory is read again.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuse_view.h"
#include "update_fixture.h"

namespace e2e {
namespace {

const char* const CONFIG_SPEC_RPC = "Ostrel_Norvane::getconfigspec_rpc";
const char* const METADATA_RPC = "Ostrel_Norvane::getmetadata_rpc";
const char* const DIRECTORY_RPC = "Ostrel_Norvane::get_directory_contents_rpc";
const char* const SCOPE_D1 = "5c000000-0000-4000-8000-0000000000d1";
const char* const SCOPE_D2 = "5c000000-0000-4000-8000-0000000000d2";

std::string restore_request(const std::string& txid, const std::string& flags, const Lines& paths = {}) {
    std::string body = flags;
    if (!paths.empty()) {
        body += "<repair-paths>";
        for (const std::string& path : paths) body += "<path>" + path + "</path>";
        body += "</repair-paths>";
    }
    return make_request("Restore", txid, body);
}

// The server's config spec once, with the load rule "/vobs/a/d" frozen
// under `scope`.
std::string frozen_config_spec(const std::string& scope) {
    return R"({"match": {"rpc": ")" + std::string(CONFIG_SPEC_RPC) +
           R"(", "args": {"FreezeLoadScopes": "1"}}, "times": 1, "reply": {"parts": [)"
           R"({"id": "CspecElementRules", "body_text": "element * /main/LATEST"}, )"
           R"({"id": "CspecLoadRules", "body_text": "load /vobs/a/d"}, )"
           R"({"id": "CspecFrzLoadScopes", "blob": ["scope", {"scope_oid": ")" +
           scope + R"(", "pname": "/vobs/a/d", "gn": 0}]}]}})";
}

// What the server says of "/vobs/a" outside an update: its root, the names
// "a.c" (at version `a_c`), "d", "b.c" and "d/e.c" (any other name is not
// there), and the listings of the root and of "d". A test whose updates
// change "a.c" gives the version they leave, so that a listing or look-up
// the kernel's calls cause afterwards agrees with them.
std::string names_rules(unsigned a_c = 21) {
    return R"({"match": {"rpc": ")" + std::string(METADATA_RPC) + R"("}, "reply": )" + served_metadata(11, 3, 10) +
           R"(}, {"match": {"rpc": ")" + LOOKUP_RPC + R"(", "args": {"LeafName": "a.c"}}, "reply": )" +
           served_metadata(a_c, 6, 20) +
           R"(}, {"match": {"rpc": ")" + LOOKUP_RPC + R"(", "args": {"LeafName": "d"}}, "reply": )" +
           served_metadata(41, 3, 40) + R"(}, {"match": {"rpc": ")" + LOOKUP_RPC +
           R"(", "args": {"LeafName": "b.c"}}, "reply": )" + served_metadata(31, 6, 30) + R"(}, {"match": {"rpc": ")" +
           LOOKUP_RPC + R"(", "args": {"LeafName": "e.c"}}, "reply": )" + served_metadata(51, 6, 50) + R"(}, {"match": {"rpc": ")" +
           LOOKUP_RPC + R"("}, "reply": {"status": {"code": 1052, "message": "no such name"}}}, {"match": {"rpc": ")" +
           DIRECTORY_RPC + R"(", "args": {"VersionOid": ")" + id(11) + R"("}}, "reply": {"directory": [)" +
           served_entry("a.c", a_c, 6, 20) + ", " + served_entry("b.c", 31, 6, 30) + ", " +
           served_entry("d", 41, 3, 40) + R"(]}}, {"match": {"rpc": ")" + DIRECTORY_RPC + R"(", "args": {"VersionOid": ")" +
           id(41) + R"("}}, "reply": {"directory": [)" + served_entry("e.c", 51, 6, 50) + "]}}";
}

// The first load with a.c at version `a_c`, as a restore's update gets it.
Stream reload(unsigned a_c) {
    Stream s(2);
    s.load("/vobs/a", 0, 11, 3, 10)
        .load("/vobs/a/a.c", 10, a_c, 6, 20)
        .load("/vobs/a/b.c", 10, 31, 6, 30)
        .load("/vobs/a/d", 10, 41, 3, 40)
        .load("/vobs/a/d/e.c", 40, 51, 6, 50);
    return s;
}

class E2eRestore : public E2eUpdate {
protected:
    lib_test::Reply restore(const std::string& txid, const std::string& flags, const Lines& paths = {}) {
        return client->call(restore_request(txid, flags, paths));
    }
    // The restore log that `reply` names, read at once: a restore answers
    // after its tail.
    update_log::Log log_of(const lib_test::Reply& reply) {
        const std::string path = reply.children.count("log-file") ? reply.children.at("log-file") : "";
        EXPECT_EQ(0u, path.rfind(storage("u") + "/log/update.", 0)) << path;
        const update_log::Log log = update_log::read(path);
        EXPECT_TRUE(log.malformed.empty()) << log.malformed.front();
        return log;
    }
    static std::string message_of(const lib_test::Reply& reply) {
        return reply.children.count("status-message") ? reply.children.at("status-message") : "";
    }
    void end_view() {
        EXPECT_EQ("0", client->call(make_request("EndView", "end")).attrs["status-code"]);
        EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    }
};

TEST_F(E2eRestore, ARestoreIsRefusedWithoutFlagsWhileAnUpdateRunsAndOffline) {
    serve({sync_rule(first_load(), hold(Stream::HEAD_PARTS + 2, "first"))});
    // The view's start asked for its config spec.
    const size_t config_specs = asked(CONFIG_SPEC_RPC);

    // No flags: the client would be master. Refused, yet logged.
    const lib_test::Reply unflagged = restore("r1", "");
    EXPECT_EQ("Restore", unflagged.root);
    EXPECT_EQ("20042", unflagged.attrs.at("status-code"));
    const update_log::Log refused = log_of(unflagged);
    EXPECT_EQ("client", refused.head_value("RestoreMaster"));
    // The whole view: its root.
    EXPECT_EQ(Lines{korva_root + "/view/tag-u"}, refused.head.at("RestorePath"));
    EXPECT_EQ("Failed", refused.tail_value("Status"));
    EXPECT_EQ("20042", refused.tail_value("ErrorStatus"));
    EXPECT_EQ(0u, refused.tail.count("Cancelled"));
    EXPECT_TRUE(refused.actions.empty());

    // An update holds the slot: the whole view is not touched.
    const lib_test::Reply running = update("u1");
    ASSERT_EQ("0", running.attrs.at("status-code"));
    const Lines kernel_calls = journal_calls("tag-u");
    const lib_test::Reply busy = restore("r2", R"(<restore-flags master="server"/>)");
    EXPECT_EQ("20044", busy.attrs.at("status-code"));
    EXPECT_EQ("A view update operation is already in progress.\n", message_of(busy));
    EXPECT_EQ("20044", log_of(busy).tail_value("ErrorStatus"));
    EXPECT_EQ(config_specs, asked(CONFIG_SPEC_RPC));
    EXPECT_EQ(kernel_calls, journal_calls("tag-u"));
    server().open_gate("first");
    const update_log::Log update_log = finished_log(running.children.at("log-file"));
    EXPECT_EQ("Succeeded", update_log.tail_value("Status"));
    EXPECT_EQ(5u, update_log.actions.size());

    ASSERT_EQ("0", client->call(make_request("Disconnect", "off")).attrs["status-code"]);
    const lib_test::Reply offline = restore("r3", R"(<restore-flags master="server"/>)");
    EXPECT_EQ("20033", offline.attrs.at("status-code"));
    EXPECT_EQ("Client is disconnected from the server.\n", message_of(offline));
    EXPECT_EQ("", offline.children.at("log-file"));
    EXPECT_EQ(config_specs, asked(CONFIG_SPEC_RPC));
    end_view();
}

// Two restores of the whole view after a first update: each takes the
// config spec from the server with its load scopes frozen, drops the view
// from the kernel, and updates from the first generation with the scope
// under the server's id, the second after the server changed that id. The
// first restore's update cannot fetch a.c's new version, and the server
// takes its time to say so: the reply waits for that fetch and fails with
// it.
TEST_F(E2eRestore, AWholeViewIsTakenAgainFromTheServerUnderItsScopeIds) {
    serve({sync_rule(first_load()), sync_rule(reload(22)), sync_rule(reload(22))},
          frozen_config_spec(SCOPE_D1) + ", " + frozen_config_spec(SCOPE_D2) + ", " + names_rules(22) +
              R"(, {"match": {"method": "GET", "path": ")" + get_path(22) +
              R"("}, "times": 1, "fault": {"http": 500, "delay_ms": 300}, "reply": {"cleartext": true}})");
    run_update("u1");
    const size_t inval_before = journal_calls("tag-u").size();

    const lib_test::Reply first = restore("r1", R"(<restore-flags master="server" hijack-treatment="overwrite"/>)");
    EXPECT_NE("0", first.attrs.at("status-code"));
    // The failed fetch is in the log before the reply.
    const update_log::Log first_log = log_of(first);
    EXPECT_EQ("server", first_log.head_value("RestoreMaster"));
    EXPECT_EQ("TRUE", first_log.head_value("UpdateHijackedFiles"));
    size_t errors = 0;
    for (const update_log::Line& line : first_log.actions) errors += line.label == "Error";
    EXPECT_EQ(1u, errors) << read_file(first.children.at("log-file"));
    EXPECT_EQ("Failed", first_log.tail_value("Status"));
    EXPECT_EQ(first.attrs.at("status-code"), first_log.tail_value("ErrorStatus"));
    EXPECT_EQ(1u, gets(22));

    const lib_test::Reply second = restore("r2", R"(<restore-flags master="server"/>)");
    EXPECT_EQ("0", second.attrs.at("status-code")) << message_of(second);
    const update_log::Log second_log = log_of(second);
    EXPECT_EQ("Succeeded", second_log.tail_value("Status"));
    EXPECT_EQ(2u, gets(22));
    EXPECT_EQ(body(22), read_file(cached(22)));

    // Each asked for the config spec with its scopes frozen, then updated
    // from generation 1 with the server's scope ids.
    size_t frozen = 0;
    for (const fakeserver::Json& r : server().requests())
        for (const std::vector<std::string>& arg : fakeserver::string_rows(r["rpcargs"]))
            frozen += r["rpc"].as_string() == CONFIG_SPEC_RPC && arg.size() == 2 && arg[0] == "FreezeLoadScopes" &&
                      arg[1] == "1";
    EXPECT_EQ(2u, frozen);
    const auto args = sync_args();
    ASSERT_EQ(3u, args.size());
    EXPECT_EQ("1", args[1].at("ViewGn"));
    EXPECT_EQ("1", args[2].at("ViewGn"));
    const auto sent = scopes_sent(server().requests());
    using Scopes = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ((Scopes{{"/vobs/a/d", SCOPE_D1}}), sent.at(1));
    EXPECT_EQ((Scopes{{"/vobs/a/d", SCOPE_D2}}), sent.at(2));
    EXPECT_EQ("element * /main/LATEST\n", read_file(storage("u") + "/.config_spec"));

    // The kernel was told to drop the whole view once per restore.
    size_t whole_view = 0;
    const Lines calls = journal_calls("tag-u");
    for (size_t i = inval_before; i < calls.size(); ++i) whole_view += calls[i] == "inval_view tag-u";
    EXPECT_EQ(2u, whole_view);
    std::unique_ptr<Kernel_Side> side = kernel();
    EXPECT_EQ(id(22), oid_at(*side, {"a.c"}));
    EXPECT_EQ(id(51), oid_at(*side, {"d", "e.c"}));
    end_view();
}

// Repair paths: one in a VOB that is not mounted fails, the next is
// repaired all the same; a path naming a directory reads it again from the
// server.
TEST_F(E2eRestore, RepairPathsAreRepairedOneByOne) {
    serve({sync_rule(first_load())}, names_rules());
    run_update("u1");

    const lib_test::Reply pair =
        restore("p1", R"(<restore-flags master="server"/>)", {"vobs/none/x.c", "vobs/a/b.c"});
    EXPECT_EQ("20001", pair.attrs.at("status-code"));
    const std::string message = message_of(pair);
    EXPECT_NE(std::string::npos, message.find("/vobs/none")) << message;
    EXPECT_EQ(std::string::npos, message.find("b.c")) << message;
    const update_log::Log pair_log = log_of(pair);
    EXPECT_EQ((Lines{"vobs/none/x.c", "vobs/a/b.c"}), pair_log.head.at("RestorePath"));
    EXPECT_EQ("Failed", pair_log.tail_value("Status"));
    EXPECT_EQ("20001", pair_log.tail_value("ErrorStatus"));
    std::unique_ptr<Kernel_Side> side = kernel();
    EXPECT_EQ(id(31), oid_at(*side, {"b.c"}));

    const size_t listings = asked(DIRECTORY_RPC);
    const lib_test::Reply dir = restore("p2", R"(<restore-flags master="server"/>)", {"vobs/a/d"});
    EXPECT_EQ("0", dir.attrs.at("status-code")) << message_of(dir);
    EXPECT_EQ("Succeeded", log_of(dir).tail_value("Status"));
    EXPECT_EQ(listings + 1, asked(DIRECTORY_RPC));
    EXPECT_EQ(id(51), oid_at(*side, {"d", "e.c"}));
    end_view();
}

} // namespace
} // namespace e2e
