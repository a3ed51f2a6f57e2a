// The Restore request as it is read: its flags and repair paths, the
// refusals of bad flags, a missing master and paths that climb out of the
// view root; offline nothing is attempted; every reply names a log file,
// empty when none was made.

#include "lib/requests/ostrelagent_restore.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_server.h"
#include "lib/reply_test_support.h"

namespace {

using Util = OstrelAgent_Util;
using Paths = std::vector<std::string>;

std::unique_ptr<OstrelAgent_Restore> restore_of(const std::string& body) {
    std::string text = "<Restore version=\"1\" tx-id=\"r1\">" + body + "</Restore>";
    std::string storage = "/views/v";
    int status = -1;
    std::unique_ptr<OstrelAgent_AbstractOp> op(OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, status));
    auto* restore = dynamic_cast<OstrelAgent_Restore*>(op.get());
    if (restore == nullptr) return nullptr;
    op.release();
    return std::unique_ptr<OstrelAgent_Restore>(restore);
}

TEST(LibRestore, RequestsAreReadIntoTheirFlagsAndPathsOrRefused) {
    const struct {
        const char* name;
        std::string body;
        int status;
        int master;
        Util::HijackTreatment treatment;
        int ptime;
        Paths paths;
    } cases[] = {
        {"no flags: the client is master", "", 0, 0, Util::HIJACK_KEEP, 0, {}},
        {"no flags: paths are not read", "<repair-paths><path>vobs/a</path></repair-paths>", 0, 0,
         Util::HIJACK_KEEP, 0, {}},
        {"server, whole view", R"(<restore-flags master="server"/>)", 0, 1, Util::HIJACK_KEEP, 0, {}},
        {"client", R"(<restore-flags master="client" hijack-treatment="rename"/>)", 0, 0, Util::HIJACK_RENAME, 0,
         {}},
        {"flags and paths in order",
         R"(<restore-flags master="server" hijack-treatment="overwrite" ptime="true"/>)"
         R"(<repair-paths><path>vobs/a/b.c</path><path>vobs/a/d</path></repair-paths>)",
         0, 1, Util::HIJACK_OVERWRITE, 1, {"vobs/a/b.c", "vobs/a/d"}},
        {"ptime other than true", R"(<restore-flags master="server" ptime="TRUE"/>)", 0, 1, Util::HIJACK_KEEP, 0,
         {}},
        {"a '..' that stays below the root", R"(<restore-flags master="server"/>)"
         R"(<repair-paths><path>vobs/a/../a/b.c</path></repair-paths>)",
         0, 1, Util::HIJACK_KEEP, 0, {"vobs/a/../a/b.c"}},
        {"master missing", R"(<restore-flags hijack-treatment="keep"/>)", 20021, 0, Util::HIJACK_KEEP, 0, {}},
        {"master unknown", R"(<restore-flags master="Server"/>)", 20021, 0, Util::HIJACK_KEEP, 0, {}},
        {"treatment unknown", R"(<restore-flags master="server" hijack-treatment="drop"/>)", 20021, 0,
         Util::HIJACK_KEEP, 0, {}},
        {"a path climbing out of the view root",
         R"(<restore-flags master="server"/><repair-paths><path>vobs/a/../../../etc</path></repair-paths>)",
         20021, 1, Util::HIJACK_KEEP, 0, {"vobs/a/../../../etc"}},
        {"an empty path", R"(<restore-flags master="server"/><repair-paths><path/></repair-paths>)", 20021, 1,
         Util::HIJACK_KEEP, 0, {}},
        {"a path under another tag",
         R"(<restore-flags master="server"/><repair-paths><file>vobs/a</file></repair-paths>)", 20021, 1,
         Util::HIJACK_KEEP, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<OstrelAgent_Restore> op = restore_of(c.body);
        ASSERT_NE(op, nullptr);
        op->parse_request();
        EXPECT_EQ(c.status, op->get_status());
        if (c.status == 20021) {
            EXPECT_EQ(0u, op->get_message().rfind("Parse error in \"<Restore", 0)) << op->get_message();
            continue;
        }
        EXPECT_EQ(c.master, op->get_master());
        EXPECT_EQ(c.treatment, op->get_hijack_treatment());
        EXPECT_EQ(c.ptime, op->get_preserve_times());
        EXPECT_EQ(c.paths, op->get_repair_paths());
    }
}

TEST(LibRestore, OfflineNothingIsAttemptedAndTheReplyNamesNoLog) {
    const int online = OstrelAgent_Server::g_online;
    OstrelAgent_Server::g_online = 0;
    for (const std::string& body : {std::string(), std::string(R"(<restore-flags master="server"/>)")}) {
        std::unique_ptr<OstrelAgent_Restore> op = restore_of(body);
        ASSERT_NE(op, nullptr);
        op->process_request();
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        EXPECT_EQ("Restore", reply.root);
        EXPECT_EQ("r1", reply.attrs.at("tx-id"));
        EXPECT_EQ("20033", reply.attrs.at("status-code")) << body;
        EXPECT_EQ("Client is disconnected from the server.\n", reply.children.at("status-message"));
        ASSERT_TRUE(reply.has_child("log-file"));
        EXPECT_EQ("", reply.children.at("log-file"));
    }
    // A request that cannot be read is refused as such, online or not.
    std::unique_ptr<OstrelAgent_Restore> bad = restore_of(R"(<restore-flags master="nobody"/>)");
    bad->process_request();
    EXPECT_EQ(20021, bad->get_status());
    EXPECT_TRUE(lib_test::read_reply(bad->get_response()).has_child("log-file"));
    OstrelAgent_Server::g_online = online;
}

} // namespace
