// The request checks of every element operation and query, through the
// dispatcher: the envelope, the version each accepts and the offline rule.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/online_scope.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_request_dispatcher.h"

namespace {

using lib_test::read_reply;
using Online = lib_test::Online_Scope;
using lib_test::Reply;
namespace Status = OstrelAgent_Status;

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

// The element operations the dispatcher serves, each with a request body
// whose fields all parse. An operation joins the table when it is built.
struct Served_Op {
    const std::string* tag;
    bool offline_test;
    std::string valid_body;
};

const std::vector<Served_Op>& served_ops() {
    using T = OstrelAgent_Tag;
    static const std::vector<Served_Op> ops = {
        {&T::CHECKOUT, true,
         "<path>/vob1/a.c</path><replica-uuid>9a000000-0000-4000-8000-000000000001</replica-uuid>"
         "<co-ver-oid>0e000000-0000-4000-8000-000002000002</co-ver-oid><co-flags/>"},
        {&T::GETMETADATA, false, "<path>/vob1/a.c</path>"},
        {&T::CHECKIN, true,
         "<path>/vob1/a.c</path><replica-uuid>9a000000-0000-4000-8000-000000000001</replica-uuid>"
         "<new-ver-oid>00000000-0000-0000-0000-000000000000</new-ver-oid>"},
        {&T::GETCACHE, false, ""},
        {&T::GETMOUNTEDVOBLIST, false, ""},
        {&T::ISPROJECTVOB, false, "<vob-tag>/vob1</vob-tag>"},
        {&T::ISUPDATEINPROGRESS, false, ""},
        {&T::ISVOBMOUNTED, false, "<vob-tag>/vob1</vob-tag>"},
        {&T::ISVOBPUBLIC, false, "<vob-tag>/vob1</vob-tag>"},
        {&T::MERGEDIRECTORY, true, "<namespace-modified><path>/vob1/dir</path></namespace-modified>"},
        {&T::MOVE, true,
         "<src-path>/vob1</src-path><dst-path>/vob1/dir</dst-path><old-name>a.c</old-name><new-name>b.c</new-name>"
         "<namespace-modified><path>/vob1</path><removed-load-rules/></namespace-modified>"},
        {&T::RMNAME, true,
         "<namespace-modified><path>/vob1/dir</path><removed-leaves><leaf>c.c</leaf></removed-leaves>"
         "</namespace-modified>"},
        {&T::UNCHECKOUT, true,
         "<path>/vob1/a.c</path><namespace-modified><path>/vob1/a.c</path></namespace-modified>"},
        {&T::MKELEM, true,
         "<path>/vob1/x.c</path><replica-uuid>9a000000-0000-4000-8000-000000000001</replica-uuid>"
         "<mkelem-flags/><new-ver-oid>00000000-0000-0000-0000-000000000000</new-ver-oid>"},
        {&T::HIJACK, false, "<path>/vob1/a.c</path>"},
        {&T::UNHIJACK, false, "<path>/vob1/a.c</path>"},
        {&T::INVALIDATECHECKOUTS, false,
         "<invalid-checkouts><element>0e000000-0000-4000-8000-000002000000@9a000000-0000-4000-8000-0000000000a1"
         "</element></invalid-checkouts>"},
        {&T::GETCHILDREN, false, "<path>/vob1</path>"},
        {&T::GETAGGREGATEDSTATE, false, "<state>CHECKOUTS</state><get-paths>false</get-paths>"},
    };
    return ops;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(LibElementOps, EveryElementOperationChecksItsEnvelopeAndTheOfflineRule) {
    OstrelAgent_Element_Ops::install();
    for (const Served_Op& served : served_ops()) {
        const std::string& tag = *served.tag;
        SCOPED_TRACE(tag);
        const auto run = [&](const std::string& attrs, const std::string& body, int online, int status,
                             const std::string& txid) {
            Online state(online);
            std::string text = "<" + tag + " " + attrs + ">" + body + "</" + tag + ">";
            std::string storage;
            int dispatch_status = -1;
            std::unique_ptr<OstrelAgent_AbstractOp> op(
                OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, dispatch_status));
            ASSERT_NE(op, nullptr);
            op->process_request();
            SCOPED_TRACE(text);
            EXPECT_EQ(op->get_status(), status);
            if (status == Status::MALFORMED_REQUEST || status == Status::UNSUPPORTED_VERSION) {
                EXPECT_TRUE(ends_with(op->get_message(), parse_error(text))) << op->get_message();
            }
            const Reply reply = read_reply(op->get_response());
            ASSERT_TRUE(reply.parsed);
            EXPECT_EQ(reply.root, tag);
            EXPECT_EQ(reply.attrs.at("tx-id"), txid);
            EXPECT_EQ(reply.attrs.at("status-code"), std::to_string(status));
        };
        const std::string& body = served.valid_body;
        run("tx-id=\"t\"", body, 0, Status::MALFORMED_REQUEST, "");
        // Uncheckout serves its second version exactly as its first (a
        // version is read as a number, leading blanks allowed).
        for (const char* two : {"version=\"2\" tx-id=\"t\"", "version=\" 2\" tx-id=\"t\""}) {
            if (tag == OstrelAgent_Tag::UNCHECKOUT)
                run(two, body, 0, Status::DISCONNECTED, "t");
            else
                run(two, body, 0, Status::UNSUPPORTED_VERSION, "");
        }
        run("version=\"3\" tx-id=\"t\"", body, 0, Status::UNSUPPORTED_VERSION, "");
        run("version=\"1\"", body, 0, Status::MALFORMED_REQUEST, "");
        if (served.offline_test) {
            run("version=\"1\" tx-id=\"t\"", body, 0, Status::DISCONNECTED, "t");
            run("version=\"abc\" tx-id=\"t\"", body, 0, Status::DISCONNECTED, "t");
            run("version=\"0\" tx-id=\"t\"", body, 0, Status::DISCONNECTED, "t");
            run("version=\"1\" tx-id=\"t\"", "<bogus/>", 0, Status::MALFORMED_REQUEST, "t");
        }
    }
}

TEST(LibElementOps, TheDispatcherKnowsEveryElementOperationWithItsVersion) {
    using T = OstrelAgent_Tag;
    const std::vector<const std::string*> tags = {
        &T::CHECKIN,          &T::CHECKOUT,           &T::HIJACK,           &T::UNHIJACK,
        &T::INVALIDATECHECKOUTS, &T::MKELEM,          &T::MOVE,             &T::MERGEDIRECTORY,
        &T::RMNAME,           &T::UNCHECKOUT,         &T::GETMETADATA,      &T::GETCACHE,
        &T::GETCHILDREN,      &T::GETAGGREGATEDSTATE, &T::GETMOUNTEDVOBLIST, &T::ISPROJECTVOB,
        &T::ISUPDATEINPROGRESS, &T::ISVOBMOUNTED,     &T::ISVOBPUBLIC};
    for (const std::string* tag : tags) {
        SCOPED_TRACE(*tag);
        const OstrelAgent_Dispatch_Entry* found = nullptr;
        for (const OstrelAgent_Dispatch_Entry& entry : ostrelagent_dispatch_table())
            if (*entry.tag == *tag) found = &entry;
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->supported_version, *tag == T::UNCHECKOUT ? "2" : "1");
    }
}

} // namespace
