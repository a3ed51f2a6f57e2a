// The own fields of Checkin and Mkelem, read through the dispatcher with the
// view offline: what each refuses as malformed (and that the path comes
// first), and that a request whose fields all read goes on to the offline
// refusal. Mkelem's flags are set by the exact text "true" alone.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/online_scope.h"
#include "lib/ops/op_request.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/ops/ostrelagent_mkelem.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"

namespace {

namespace Status = OstrelAgent_Status;

const char* const PATH = "<path>/vob1/dir/x.c</path>";
const char* const REPLICA = "<replica-uuid>9a000000-0000-4000-8000-0000000000b1</replica-uuid>";
const char* const VERSION = "<new-ver-oid>0e000000-0000-4000-8000-000009000001</new-ver-oid>";
const char* const NULL_VERSION = "<new-ver-oid>00000000-0000-0000-0000-000000000000</new-ver-oid>";
const char* const FLAGS = "<mkelem-flags/>";

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

using ops_test::request;

// The request through the dispatcher, run offline.
std::unique_ptr<OstrelAgent_AbstractOp> run(std::string text) {
    lib_test::Online_Scope offline(0);
    return ops_test::run(std::move(text));
}

// Checks the outcome: a refusal with the parse error (after the path's own
// text when it is the path that is missing), or a request that read and
// was refused offline.
void expect_outcome(const OstrelAgent_AbstractOp& op, const std::string& text, bool reads, bool path_missing) {
    if (reads) {
        EXPECT_EQ(Status::DISCONNECTED, op.get_status());
        EXPECT_EQ("Client is disconnected from the server.\n", op.get_message());
    } else {
        EXPECT_EQ(Status::MALFORMED_REQUEST, op.get_status());
        EXPECT_EQ((path_missing ? "\"path\" not found in XML request.\n" : "") + parse_error(text), op.get_message());
    }
}

TEST(LibCheckinMkelemRequests, CheckinReadsPathReplicaAndNewVersion) {
    const struct {
        const char* name;
        std::string body;
        bool reads;
        bool path_missing;
    } rows[] = {
        {"all fields", std::string(PATH) + REPLICA + VERSION, true, false},
        {"the null version: nothing to keep", std::string(PATH) + REPLICA + NULL_VERSION, true, false},
        {"in another order", std::string(VERSION) + REPLICA + PATH, true, false},
        {"no path", std::string(REPLICA) + VERSION, false, true},
        {"a path outside the view", std::string("<path>vob1/a.c</path>") + REPLICA + VERSION, false, false},
        {"no replica", std::string(PATH) + VERSION, false, false},
        {"an empty replica", std::string(PATH) + "<replica-uuid/>" + VERSION, false, false},
        {"a malformed replica", std::string(PATH) + "<replica-uuid>9a00-0000</replica-uuid>" + VERSION, false, false},
        {"no version", std::string(PATH) + REPLICA, false, false},
        {"an empty version", std::string(PATH) + REPLICA + "<new-ver-oid/>", false, false},
        {"a malformed version", std::string(PATH) + REPLICA + "<new-ver-oid>0e00 0001</new-ver-oid>", false, false},
        {"a uuid where the version goes",
         std::string(PATH) + REPLICA + "<new-ver-oid>9a000000-0000-4000-8000-0000000000b1x</new-ver-oid>", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string text = request(OstrelAgent_Tag::CHECKIN, row.body);
        std::unique_ptr<OstrelAgent_AbstractOp> op = run(text);
        ASSERT_NE(op, nullptr);
        expect_outcome(*op, text, row.reads, row.path_missing);
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        EXPECT_EQ("Checkin", reply.root);
        EXPECT_EQ("t", reply.attrs.at("tx-id"));
        EXPECT_EQ(std::to_string(op->get_status()), reply.attrs.at("status-code"));
        EXPECT_EQ(op->get_message(), reply.children.at("status-message"));
        EXPECT_EQ(1u, reply.elements.size()) << "no element but the message";
    }
}

TEST(LibCheckinMkelemRequests, MkelemReadsItsFlagsAsTheExactTextTrue) {
    const auto flags = [](const std::string& attrs) { return "<mkelem-flags " + attrs + "/>"; };
    const struct {
        const char* name;
        std::string body;
        bool reads;
        bool make_path, checked_out, link;
    } rows[] = {
        {"no flag set", std::string(PATH) + REPLICA + FLAGS + VERSION, true, false, false, false},
        {"all three set", std::string(PATH) + REPLICA + flags(R"(make-path="true" is-checked-out="true" is-link="true")") +
                              NULL_VERSION,
         true, true, true, true},
        {"one set, in another order", std::string(NULL_VERSION) + flags(R"(is-checked-out="true")") + REPLICA + PATH,
         true, false, true, false},
        {"other texts are false",
         std::string(PATH) + REPLICA + flags(R"(make-path="TRUE" is-checked-out="1" is-link=" true")") + VERSION, true,
         false, false, false},
        {"an unknown attribute is passed over", std::string(PATH) + REPLICA + flags(R"(is-link="true" deep="true")") +
                                                    VERSION,
         true, false, false, true},
        {"no flags, though all would be false", std::string(PATH) + REPLICA + VERSION, false, false, false, false},
        {"no replica", std::string(PATH) + FLAGS + VERSION, false, false, false, false},
        {"a malformed replica", std::string(PATH) + "<replica-uuid>zz</replica-uuid>" + FLAGS + VERSION, false, false,
         false, false},
        {"no version", std::string(PATH) + REPLICA + FLAGS, false, false, false, false},
        {"an empty version", std::string(PATH) + REPLICA + FLAGS + "<new-ver-oid/>", false, false, false, false},
        {"a malformed version", std::string(PATH) + REPLICA + FLAGS + "<new-ver-oid>0e</new-ver-oid>", false, false,
         false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string text = request(OstrelAgent_Tag::MKELEM, row.body);
        std::unique_ptr<OstrelAgent_AbstractOp> op = run(text);
        auto* mkelem = dynamic_cast<OstrelAgent_Mkelem*>(op.get());
        ASSERT_NE(mkelem, nullptr);
        expect_outcome(*op, text, row.reads, false);
        if (row.reads) {
            EXPECT_EQ(row.make_path, mkelem->make_path());
            EXPECT_EQ(row.checked_out, mkelem->is_checked_out());
            EXPECT_EQ(row.link, mkelem->is_link());
        }
        const lib_test::Reply reply = lib_test::read_reply(op->get_response());
        EXPECT_EQ("Mkelem", reply.root);
        EXPECT_EQ(std::to_string(op->get_status()), reply.attrs.at("status-code"));
    }
    // The path comes before every field of the operation's own.
    const std::string text = request(OstrelAgent_Tag::MKELEM, "<mkelem-flags/>");
    std::unique_ptr<OstrelAgent_AbstractOp> op = run(text);
    ASSERT_NE(op, nullptr);
    expect_outcome(*op, text, false, true);
}

} // namespace
