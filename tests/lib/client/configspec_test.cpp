// The config spec commands against the test server over TLS on loopback:
// their exact request arguments as the server received them, and what they
// make of the reply parts, whole and in pieces of one byte.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/rclient_get_configspec.h"
#include "lib/client/rclient_set_configspec.h"
#include "lib/client/server_fixture.h"
#include "lib/core/ostrelagent_status.h"

namespace {

using client_test::scenario;
using client_test::text;
using client_test::uuid;
using fakeserver::string_rows;
using Rows = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
namespace S = OstrelAgent_Status;

const char* const GET_RPC = "Ostrel_Norvane::getconfigspec_rpc";
const char* const SET_RPC = "Ostrel_Norvane::setconfigspec_rpc";
// One view per reply of the server.
const char* const VIEW_WHOLE = "0a0a0a0a-0000-4000-8000-000000000001";
const char* const VIEW_PIECES = "0a0a0a0a-0000-4000-8000-000000000002";
const char* const VIEW_DAMAGED = "0a0a0a0a-0000-4000-8000-000000000003";
const char* const VIEW_EMPTY = "0a0a0a0a-0000-4000-8000-000000000004";
const char* const SCOPE_A = "51515151-0000-4000-8000-000000000001";
const char* const SCOPE_B = "52525252-0000-4000-8000-000000000002";

std::string rule(const char* rpc, const char* view, const std::string& reply, const std::string& fault = "{}") {
    return R"({"match": {"rpc": ")" + std::string(rpc) + R"(", "args": {"ViewUuid": ")" + view + R"("}}, "fault": )" +
           fault + R"(, "reply": )" + reply + "}";
}

std::string scope_part(const char* scope_oid, const char* pname, unsigned gn) {
    return R"({"id": "CspecFrzLoadScopes", "blob": ["scope", {"scope_oid": ")" + std::string(scope_oid) +
           R"(", "pname": ")" + pname + R"(", "gn": )" + std::to_string(gn) + "}]}";
}

Lines scope_lines(const std::vector<ostrel_scope>& scopes) {
    Lines lines;
    for (const ostrel_scope& s : scopes) lines.push_back(text(s.scope_oid) + " " + s.pname + " " + std::to_string(s.gn));
    return lines;
}

using ConfigSpecTest = client_test::Command_Test;

TEST_F(ConfigSpecTest, FetchedRulesAndFrozenScopes) {
    // Rules with line feeds, a tab and bytes of every kind, as sent.
    const std::string element_rules("element * CHECKEDOUT\nelement\t* /main/LATEST\n\x01\xff\r\n", 48);
    const std::string load_rules = "load /vobs/a\nload /vobs/b\n";
    const std::string b64_element_rules = "ZWxlbWVudCAqIENIRUNLRURPVVQKZWxlbWVudAkqIC9tYWluL0xBVEVTVAoB/w0K";
    const std::string reply = R"({"parts": [{"id": "CspecElementRules", "body_b64": ")" + b64_element_rules + R"("},
        {"id": "CspecLoadRules", "body_text": "load /vobs/a\nload /vobs/b\n"}, )" +
                              scope_part(SCOPE_A, "/vobs/a", 3) + ", " + scope_part(SCOPE_B, "/vobs/b", 4) + ", " +
                              scope_part(SCOPE_A, "/vobs/c", 0) + "]}";
    const std::string damaged = R"({"parts": [)" + scope_part(SCOPE_A, "/vobs/a", 3) +
                                R"(, {"id": "CspecFrzLoadScopes", "body_b64": "AAAA"}, )" +
                                scope_part(SCOPE_B, "/vobs/b", 4) + "]}";
    start_server(scenario(rule(GET_RPC, VIEW_WHOLE, reply) + "," + rule(GET_RPC, VIEW_PIECES, reply, R"({"chunk": 1})") +
                          "," + rule(GET_RPC, VIEW_DAMAGED, damaged) + "," + rule(GET_RPC, VIEW_EMPTY, "{}")));
    ASSERT_EQ(login(), 0);
    const Lines three = {std::string(SCOPE_A) + " /vobs/a 3", std::string(SCOPE_B) + " /vobs/b 4",
                         std::string(SCOPE_A) + " /vobs/c 0"};
    const struct {
        const char* view;
        bool freeze;
        int call_status;
        int check;
        std::string element_rules;
        std::string load_rules;
        Lines scopes;
    } cases[] = {
        {VIEW_WHOLE, true, 0, 0, element_rules, load_rules, three},
        {VIEW_PIECES, false, 0, 0, element_rules, load_rules, three},
        // A scope that does not decode is left out, and fails the call.
        {VIEW_DAMAGED, true, QEL_ST_NO_MEMORY, S::RPC_INCOMPLETE, "", "",
         {std::string(SCOPE_A) + " /vobs/a 3", std::string(SCOPE_B) + " /vobs/b 4"}},
        {VIEW_EMPTY, true, 0, 0, "", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.view);
        Get_ConfigSpec command = c.freeze ? Get_ConfigSpec(uuid(c.view), true) : Get_ConfigSpec(uuid(c.view));
        EXPECT_EQ(command.run(), c.call_status);
        EXPECT_EQ(check(command).result, c.check);
        EXPECT_EQ(command.m_element_rules, c.element_rules);
        EXPECT_EQ(command.m_tessel_element_rules, "");
        EXPECT_EQ(command.m_load_rules, c.load_rules);
        EXPECT_EQ(scope_lines(command.m_frozen_load_scopes), c.scopes);
        EXPECT_EQ(server->requests().back()["rpc"].as_string(), GET_RPC);
        EXPECT_EQ(string_rows(server->requests().back()["rpcargs"]),
                  (Rows{{"ViewUuid", c.view}, {"FreezeLoadScopes", c.freeze ? "1" : "0"}}));
    }

    // A null view uuid: nothing is sent.
    const size_t sent = server->requests().size();
    Get_ConfigSpec no_view(QEL_UUID_NULL);
    EXPECT_EQ(no_view.run(), S::RC_MARSHAL_FAILED);
    EXPECT_EQ(check(no_view).result, S::RPC_INCOMPLETE);
    EXPECT_EQ(server->requests().size(), sent);
}

TEST_F(ConfigSpecTest, SetRulesAndTheServersAnswer) {
    const std::string answer = R"({"parts": [
        {"id": "LoadRuleVobTag", "items": {"VobTag": "\\vobs\\a"}},
        {"id": "ViewInfo", "items": {"CurrentOperationGN": "12", "ViewGN": "34"}},
        {"id": "LoadRuleVobTag", "items": {"VobTag": "/vobs/b"}},
        {"id": "LoadRuleVobTag"},
        {"id": "ViewInfo", "items": {"CurrentOperationGN": "13", "ViewGN": "35"}}]})";
    // A view information part without its second number: the flag tells,
    // and the parts after it are still read.
    const std::string half = R"({"parts": [
        {"id": "ViewInfo", "items": {"CurrentOperationGN": "12", "ViewGN": "x"}},
        {"id": "LoadRuleVobTag", "items": {"VobTag": "/vobs/c"}}], "status": {"code": 0, "message": "ok"}})";
    start_server(scenario(rule(SET_RPC, VIEW_WHOLE, answer) + "," + rule(SET_RPC, VIEW_PIECES, answer, R"({"chunk": 1})") +
                          "," + rule(SET_RPC, VIEW_DAMAGED, half) + "," + rule(SET_RPC, VIEW_EMPTY, "{}")));
    ASSERT_EQ(login(), 0);
    const struct {
        const char* view;
        Lines element_rules;
        Lines load_rules;
        int force;
        Rows args;
        Lines tags;
        int received;
        unsigned operation_gn;
        unsigned view_gn;
        std::string message;
    } cases[] = {
        {VIEW_WHOLE, {"element * CHECKEDOUT", "element * /main/LATEST"}, {"load /vobs/a", "load /vobs/b"}, 5,
         {{"ViewUuid", VIEW_WHOLE}, {"NumElemRules", "2"}, {"ElemRule", "element * CHECKEDOUT"},
          {"ElemRule", "element * /main/LATEST"}, {"NumLoadRules", "2"}, {"LoadRule", "load /vobs/a"},
          {"LoadRule", "load /vobs/b"}, {"ForceUpdate", "1"}},
         {"/vobs\\a", "/vobs/b", ""}, 1, 13, 35, ""},
        {VIEW_PIECES, {"a\nb"}, {}, 0,
         {{"ViewUuid", VIEW_PIECES}, {"NumElemRules", "1"}, {"ElemRule", "a%0Ab"}, {"NumLoadRules", "0"},
          {"ForceUpdate", "0"}},
         {"/vobs\\a", "/vobs/b", ""}, 1, 13, 35, ""},
        {VIEW_DAMAGED, {}, {"load /vobs/c"}, 0,
         {{"ViewUuid", VIEW_DAMAGED}, {"NumElemRules", "0"}, {"NumLoadRules", "1"}, {"LoadRule", "load /vobs/c"},
          {"ForceUpdate", "0"}},
         {"/vobs/c"}, 0, 12, 0, "ok"},
        {VIEW_EMPTY, {}, {}, 0,
         {{"ViewUuid", VIEW_EMPTY}, {"NumElemRules", "0"}, {"NumLoadRules", "0"}, {"ForceUpdate", "0"}}, {}, 0, 0, 0,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.view);
        Set_ConfigSpec command(uuid(c.view), c.element_rules, c.load_rules, c.force);
        EXPECT_EQ(command.run(), 0);
        Checked checked = check(command);
        EXPECT_EQ(checked.result, 0);
        EXPECT_EQ(checked.message, c.message);
        EXPECT_EQ(server->requests().back()["rpc"].as_string(), SET_RPC);
        EXPECT_EQ(string_rows(server->requests().back()["rpcargs"]), c.args);
        EXPECT_EQ(command.m_vob_tags, c.tags);
        EXPECT_EQ(command.m_view_info_received, c.received);
        EXPECT_EQ(command.m_current_operation_gn, c.operation_gn);
        EXPECT_EQ(command.m_view_gn, c.view_gn);
    }

    const size_t sent = server->requests().size();
    Set_ConfigSpec no_view(QEL_UUID_NULL, {"element * /main/LATEST"}, {}, 1);
    EXPECT_EQ(no_view.run(), S::RC_MARSHAL_FAILED);
    EXPECT_EQ(check(no_view).result, S::RPC_INCOMPLETE);
    EXPECT_EQ(server->requests().size(), sent);
}

} // namespace
