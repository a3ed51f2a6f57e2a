// The view's session with the server and its VOBs, as a client sees them:
// MkView fetches the config spec into the rules files (a failed fetch logs
// out again); Connect and Disconnect switch the view online and offline
// (login and logout in the server's log); GetConfigSpec answers from the
// server or the cache; MountVob asks the server for a VOB and mounts it (the kernel's journal),
// unmounts it, and records both in ".mounted_vobs", which the next start
// mounts again; EndView and a termination signal unmount every VOB, giving
// up (a client's EndView) or going on (a signal) when one stays busy; and a
// termination signal ends the daemon within seconds while the server holds
// a reply.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "agent_fixture.h"
#include "pipe_client.h"

namespace e2e {
namespace {

using Lines = std::vector<std::string>;
using E2eSession = AgentTest;

const std::string LOGIN = "POST Ostrel_Norvane::login_rpc credentials";
const std::string LOGOUT = "GET /logout cookie";
const std::string CONFIG_SPEC = "POST Ostrel_Norvane::getconfigspec_rpc cookie";
const std::string VOB_INFO = "POST Ostrel_Norvane::getvobinfo_rpc cookie";

const char* const REPLICA_A = "0a000000-0000-4000-8000-00000000000a";
const char* const FAMILY_A = "0f000000-0000-4000-8000-00000000000a";
const char* const REPLICA_B = "0a000000-0000-4000-8000-00000000000b";
const char* const FAMILY_B = "0f000000-0000-4000-8000-00000000000b";

// The server's answer to Get_VOBInfo for `tag`.
std::string vobinfo_rule(const std::string& tag, const char* replica, const char* family,
                         const std::string& storage, const char* is_public = "0") {
    return R"({"match": {"rpc": "Ostrel_Norvane::getvobinfo_rpc", "args": {"VobTag": ")" + tag +
           R"("}}, "reply": {"vobinfo": {"VobFamilyUuid": ")" + family + R"(", "VobReplicaUuid": ")" + replica +
           R"(", "VobStorage": ")" + storage + R"(", "IsPublic": ")" + is_public + R"(", "IsProject": "0"}}})";
}

const std::string VOBS = vobinfo_rule("/vobs/a", REPLICA_A, FAMILY_A, "host:/store/a.vbs", "1") + ", " +
                         vobinfo_rule("/vobs/b", REPLICA_B, FAMILY_B, "host:/store/b.vbs");

std::string mountvob(const std::string& tag, bool mount) {
    return make_request("MountVob", "m",
                        "<vob-tag mount-state=\"" + std::string(mount ? "true" : "false") + "\">" + tag +
                            "</vob-tag>");
}

std::string mounted_line(const std::string& tag, const char* replica, const char* family, const char* flags,
                         const std::string& storage) {
    return tag + "=" + replica + "=" + family + "=" + flags + "=" + storage + "\n";
}

// The journal's lines from call `from` on whose call is one of `calls`,
// each as "call first-argument".
Lines calls_since(const std::string& journal, size_t from, const Lines& calls) {
    Lines found;
    const std::vector<std::string> lines = split_lines(journal);
    for (size_t i = from; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::string call, first;
        fields >> call >> first;
        for (const std::string& c : calls)
            if (c == call) found.push_back(call + " " + first);
    }
    return found;
}

TEST_F(E2eSession, TheConfigSpecOnlineAndOfflineWithConnectAndDisconnect) {
    // View "f" has no config spec on the server: MkView fails, its new
    // view goes again and its session logs out.
    server_rules = R"({"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc", "args": {"ViewUuid": ")" +
                   uuid_for("f") + R"("}}, "reply": {"status": {"code": 5, "message": "no config spec"}}})";
    std::unique_ptr<Process> failed = start_with_request(storage("f"), mkview_request("f"));
    const std::optional<std::string> refusal = failed->read_framed_reply();
    ASSERT_TRUE(refusal.has_value());
    lib_test::Reply refused = lib_test::read_reply(*refusal);
    EXPECT_EQ(refused.attrs["status-code"], "20049");
    EXPECT_EQ(refused.children["status-message"], "no config spec");
    EXPECT_EQ(failed->wait_exit(), std::optional<int>(2));
    EXPECT_FALSE(file_exists(storage("f")));
    EXPECT_EQ(journal_calls("tag-f"), (Lines{"register_view tag-f", "unregister_view tag-f"}));
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT}));

    // MkView caches the server's rules, each file with one newline more.
    std::unique_ptr<Process> agent = serve_new_view("v");
    EXPECT_EQ(read_file(storage("v") + "/.config_spec"), std::string(DEFAULT_ELEMENT_RULES) + "\n");
    EXPECT_EQ(read_file(storage("v") + "/.config_spec_tessel"), "\n");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("v"), "tool");
    ASSERT_TRUE(client);

    // Online: from the server, exactly as sent.
    lib_test::Reply reply = client->call(make_request("GetConfigSpec", "g1"));
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_EQ(reply.attrs["tx-id"], "g1");
    EXPECT_EQ(reply.children["element-rules"], DEFAULT_ELEMENT_RULES);
    EXPECT_EQ(reply.children["load-rules"], "");
    EXPECT_EQ(server_requests(), (Lines{LOGIN, CONFIG_SPEC, LOGOUT, LOGIN, CONFIG_SPEC, CONFIG_SPEC}));

    // Disconnect logs out once; offline, the rules come from the cache (a
    // view that is not of type "tessel" never reads its tessel file).
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client->call(make_request("Disconnect", "d")).attrs["status-code"], "0");
    EXPECT_EQ(server_requests().size(), 7u);
    EXPECT_EQ(server_requests().back(), LOGOUT);
    ASSERT_TRUE(write_file(storage("v") + "/.config_spec_tessel", "tessel * x\n"));
    reply = client->call(make_request("GetConfigSpec", "g2"));
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_EQ(reply.children["element-rules"], "element * CHECKEDOUT\r\nelement * /main/LATEST");
    EXPECT_EQ(reply.children["tessel-element-rules"], "");
    EXPECT_EQ(server_requests().size(), 7u);

    // Connect logs in and flushes the kernel's view; online already, it
    // does nothing.
    const std::string connect = make_request("Connect", "c", server_element());
    const size_t calls = split_lines(journal()).size();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client->call(connect).attrs["status-code"], "0");
    EXPECT_EQ(server_requests().size(), 8u);
    EXPECT_EQ(server_requests().back(), LOGIN);
    EXPECT_EQ(calls_since(journal(), calls, {"inval_view"}), Lines{"inval_view tag-v"});

    EXPECT_EQ(client->call(make_request("EndView", "e")).attrs["status-code"], "0");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(server_requests().back(), LOGOUT);
}

TEST_F(E2eSession, MountedVobsAreRecordedAndMountedAgainAtTheNextStart) {
    server_rules = VOBS + ", " +
                   R"({"match": {"args": {"VobTag": "/vobs/x"}}, "reply": {"status": {"code": 77, "message": "no such VOB"}}})";
    std::unique_ptr<Process> agent = serve_new_view("m");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("m"), "tool");
    ASSERT_TRUE(client);
    const std::string mounted = storage("m") + "/.mounted_vobs";
    const std::string line_a = mounted_line("/vobs/a", REPLICA_A, FAMILY_A, "true=false", "host:/store/a.vbs");
    const std::string line_b = mounted_line("/vobs/b", REPLICA_B, FAMILY_B, "false=false", "host:/store/b.vbs");

    struct Step {
        std::string request;
        const char* status;
        std::string message;
    };
    const std::string busy = "Unable to unmount VOB \"/vobs/b\": ";
    const Step steps[] = {
        {mountvob("/vobs/a", true), "0", ""},
        {mountvob("/vobs/a", true), "20032", "/vobs/a is already mounted.\n"},
        {mountvob("/vobs/x", true), "20035", "no such VOBFailed to mount VOB /vobs/x.\n"},
        {mountvob("/vobs/b", true), "0", ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.request);
        lib_test::Reply reply = client->call(s.request);
        EXPECT_EQ(reply.attrs["status-code"], s.status);
        EXPECT_EQ(reply.children["status-message"], s.message);
    }
    EXPECT_EQ(calls_since(journal(), 0, {"mount_vob"}), (Lines{"mount_vob /vobs/a", "mount_vob /vobs/b"}));
    EXPECT_NE(journal().find("mount_vob /vobs/a host:/store/a.vbs " + std::string(REPLICA_A) + " " + FAMILY_A),
              std::string::npos)
        << journal();
    EXPECT_EQ(read_file(mounted), line_a + line_b);
    const Lines sent = server_requests();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), VOB_INFO), 3);

    // A busy VOB fails its unmount at once and stays recorded.
    ASSERT_TRUE(write_file(korva_root + "/inject", "umount_vob 1088 1\n"));
    lib_test::Reply reply = client->call(mountvob("/vobs/b", false));
    EXPECT_EQ(reply.attrs["status-code"], "20001");
    EXPECT_EQ(reply.children["status-message"].rfind(busy, 0), 0u) << reply.children["status-message"];
    EXPECT_EQ(read_file(mounted), line_a + line_b);

    // EndView unmounts both and leaves the file as it was.
    reply = client->call(make_request("EndView", "e"));
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_EQ(reply.children["status-message"], "Unmounted VOB \"/vobs/a\".\nUnmounted VOB \"/vobs/b\".\n");
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(calls_since(journal(), 0, {"umount_vob"}),
              (Lines{"umount_vob /vobs/b", "umount_vob /vobs/a", "umount_vob /vobs/b"}));
    EXPECT_EQ(read_file(mounted), line_a + line_b);

    // The next start mounts them again; a line that does not decode is
    // logged as a failed remount, and the view starts all the same.
    ASSERT_TRUE(write_file(mounted, line_a + "junk\n" + line_b));
    size_t calls = split_lines(journal()).size();
    std::unique_ptr<Process> again = start_with_request(storage("m"), startview_request());
    const std::optional<std::string> started = again->read_framed_reply();
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(lib_test::read_reply(*started).attrs["status-code"], "0");
    EXPECT_EQ(calls_since(journal(), calls, {"register_view", "mount_vob"}),
              (Lines{"register_view tag-m", "mount_vob /vobs/a", "mount_vob /vobs/b"}));
    EXPECT_EQ(read_file(mounted), line_a + line_b);
    EXPECT_EQ(count_of(log_text("m"), "ERROR::"), 1u) << log_text("m");
    EXPECT_NE(log_text("m").find("::VOB remount failed.\n"), std::string::npos) << log_text("m");

    // Unmounting removes the record; the signal's shutdown unmounts the rest.
    ASSERT_TRUE(wait_until([&] { return is_fifo(listener_pipe("m")); }, kStartTimeout));
    client = PipeClient::connect(storage("m"), "tool2");
    ASSERT_TRUE(client);
    EXPECT_EQ(client->call(mountvob("/vobs/a", false)).attrs["status-code"], "0");
    EXPECT_EQ(read_file(mounted), line_b);
    calls = split_lines(journal()).size();
    ASSERT_TRUE(again->signal_child(SIGTERM));
    EXPECT_EQ(again->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(calls_since(journal(), calls, {"umount_vob", "unregister_view"}),
              (Lines{"umount_vob /vobs/b", "unregister_view tag-m"}));
    EXPECT_EQ(read_file(mounted), line_b);
}

TEST_F(E2eSession, ABusyVobStopsAClientsEndViewButNotASignal) {
    server_rules = VOBS;
    std::unique_ptr<Process> agent = serve_new_view("b");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("b"), "tool");
    ASSERT_TRUE(client);
    for (const char* tag : {"/vobs/a", "/vobs/b"}) ASSERT_EQ(client->call(mountvob(tag, true)).attrs["status-code"], "0");

    // "/vobs/a" stays busy past its one retry; "/vobs/b" is unmounted, then
    // mounted again, and the view goes on.
    ASSERT_TRUE(write_file(korva_root + "/inject", "umount_vob 1088 2\n"));
    size_t calls = split_lines(journal()).size();
    lib_test::Reply reply = client->call(make_request("EndView", "e1"));
    EXPECT_EQ(reply.attrs["status-code"], "20001");
    const std::string busy = "Unable to unmount VOB \"/vobs/a\": ";
    const std::string message = reply.children["status-message"];
    EXPECT_EQ(message.rfind(busy, 0), 0u) << message;
    const std::string rest = "Unmounted VOB \"/vobs/b\".\n"
                             "Some VOB(s) could not be unmounted.  Check for processes using these VOB(s).\n"
                             "Remounted VOB \"/vobs/b\" (to restore mounted state after unmount failure of another VOB)\n";
    ASSERT_GE(message.size(), rest.size());
    EXPECT_EQ(message.substr(message.size() - rest.size()), rest) << message;
    EXPECT_EQ(calls_since(journal(), calls, {"umount_vob", "mount_vob", "unregister_view"}),
              (Lines{"umount_vob /vobs/a", "umount_vob /vobs/a", "umount_vob /vobs/b", "mount_vob /vobs/b"}));
    EXPECT_EQ(client->call(make_request("GetConfigSpec", "g")).attrs["status-code"], "0");
    EXPECT_TRUE(registered("tag-b"));

    // A signal's shutdown goes on with the busy VOB mounted again, and ends.
    ASSERT_TRUE(write_file(korva_root + "/inject", "umount_vob 1088 2\n"));
    calls = split_lines(journal()).size();
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(), std::optional<int>(0));
    EXPECT_EQ(calls_since(journal(), calls, {"umount_vob", "mount_vob", "unregister_view"}),
              (Lines{"umount_vob /vobs/a", "umount_vob /vobs/a", "umount_vob /vobs/b", "mount_vob /vobs/b",
                     "unregister_view tag-b"}));
    EXPECT_FALSE(registered("tag-b"));
}

TEST_F(E2eSession, ASignalEndsTheDaemonWithinSecondsWhileTheServerHoldsItsReply) {
    // The server holds, until long after the test, the config spec of view
    // "h", the VOB information of "/vobs/h" and every logout.
    const std::string hold = R"("fault": {"hold": {"after_parts": 0, "gate": "never"}})";
    server_rules = R"({"match": {"rpc": "Ostrel_Norvane::getconfigspec_rpc", "args": {"ViewUuid": ")" +
                   uuid_for("h") + R"("}}, "reply": {}, )" + hold + "}, " +
                   R"({"match": {"args": {"VobTag": "/vobs/h"}}, "reply": {}, )" + hold + "}, " +
                   R"({"match": {"method": "GET", "path": "/logout"}, "reply": {}, )" + hold + "}";
    const auto arrived = [&](const std::string& rpc) {
        return server().wait_for_log(
            [&](const std::vector<fakeserver::Json>& log) {
                for (const fakeserver::Json& r : log)
                    if (r["event"].as_string() == "request" && r["rpc"].as_string() == rpc) return true;
                return false;
            },
            kStartTimeout);
    };
    // The daemon must end while the server still holds the reply: a daemon
    // that waited for it would end only once a held reply went on by itself
    // (after a minute).
    const auto held_reply_went_on = [&] {
        for (const fakeserver::Json& r : server().log())
            if (r["event"].as_string() == "request_end" && r["gate"].as_string() == "timeout") return true;
        return false;
    };

    // While MkView waits for the config spec: the fetch is cut, MkView
    // fails and its view goes again.
    std::unique_ptr<Process> maker = start_with_request(storage("h"), mkview_request("h"));
    ASSERT_TRUE(arrived("Ostrel_Norvane::getconfigspec_rpc"));
    ASSERT_TRUE(maker->signal_child(SIGTERM));
    const std::optional<std::string> refusal = maker->read_framed_reply();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(lib_test::read_reply(*refusal).attrs["status-code"], "20048");
    EXPECT_EQ(maker->wait_exit(), std::optional<int>(2));
    EXPECT_FALSE(held_reply_went_on());
    EXPECT_FALSE(file_exists(storage("h")));

    // While MountVob waits for the VOB's information, and the logout of the
    // shutdown is held too.
    std::unique_ptr<Process> agent = serve_new_view("s");
    std::unique_ptr<PipeClient> client = PipeClient::connect(storage("s"), "tool");
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send(mountvob("/vobs/h", true)));
    ASSERT_TRUE(arrived("Ostrel_Norvane::getvobinfo_rpc"));
    ASSERT_TRUE(agent->signal_child(SIGTERM));
    EXPECT_EQ(agent->wait_exit(Millis(30000)), std::optional<int>(0));
    EXPECT_FALSE(held_reply_went_on());
    // The cut call is answered as a failed one.
    const std::optional<std::string> answered = client->read_reply();
    ASSERT_TRUE(answered.has_value());
    EXPECT_EQ(lib_test::read_reply(*answered).attrs["status-code"], "20035");
    EXPECT_EQ(server_requests().back(), "GET /logout cookie");
}

} // namespace
} // namespace e2e
