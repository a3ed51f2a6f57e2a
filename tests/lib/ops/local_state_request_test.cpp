// The own fields of Hijack, Unhijack and InvalidateCheckouts, read through
// the dispatcher without a view: what each refuses as malformed, and how
// far a request that parses gets without a view.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/ops/op_request.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/ops/ostrelagent_invalidate_checkouts.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "platform/qel/qel.h"

namespace {

namespace Status = OstrelAgent_Status;

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

using ops_test::request;
using ops_test::run;

// The path of Hijack and Unhijack: missing, empty, relative or climbing
// above the view root is malformed; a well-formed one is walked (there is
// no view here: no VOB is mounted) or, for Unhijack, divided after the
// VOB-root test (no view to divide it for).
TEST(LibLocalStateOps, HijackAndUnhijackReadTheirPath) {
    const std::string not_in_request = "\"path\" not found in XML request.\n";
    const struct {
        const char* body;
        int hijack_status;
        int unhijack_status;
        bool missing;      // the message names the missing path first
        const char* text;  // what a request that parses answers
    } rows[] = {
        {"", Status::MALFORMED_REQUEST, Status::MALFORMED_REQUEST, true, nullptr},
        {"<path/>", Status::MALFORMED_REQUEST, Status::MALFORMED_REQUEST, true, nullptr},
        {"<path>vob1/a.c</path>", Status::MALFORMED_REQUEST, Status::MALFORMED_REQUEST, false, nullptr},
        {"<path>/vob1/../../a.c</path>", Status::MALFORMED_REQUEST, Status::MALFORMED_REQUEST, false, nullptr},
        {"<path>/vob1/a.c</path>", Status::VOB_NOT_MOUNTED, Status::NO_VIEW, false, nullptr},
    };
    for (const auto& row : rows) {
        for (const std::string* tag : {&OstrelAgent_Tag::HIJACK, &OstrelAgent_Tag::UNHIJACK}) {
            const std::string text = request(*tag, row.body);
            SCOPED_TRACE(text);
            std::unique_ptr<OstrelAgent_AbstractOp> op = run(text);
            ASSERT_NE(op, nullptr);
            const int expected = *tag == OstrelAgent_Tag::HIJACK ? row.hijack_status : row.unhijack_status;
            EXPECT_EQ(expected, op->get_status());
            if (expected == Status::MALFORMED_REQUEST)
                EXPECT_EQ((row.missing ? not_in_request : "") + parse_error(text), op->get_message());
            else if (expected == Status::NO_VIEW)
                EXPECT_EQ("View information not found.", op->get_message());
            else
                EXPECT_EQ(0u, op->get_message().rfind("No known mounted VOB found in \"/vob1/a.c\"", 0))
                    << op->get_message();
            const lib_test::Reply reply = lib_test::read_reply(op->get_response());
            EXPECT_EQ(*tag, reply.root);
            EXPECT_EQ("t", reply.attrs.at("tx-id"));
            EXPECT_EQ(std::to_string(expected), reply.attrs.at("status-code"));
            EXPECT_EQ(op->get_message(), reply.children.at("status-message"));
        }
    }
}

// The list of InvalidateCheckouts: each item "<oid>@<uuid>", split at the
// first "@"; any item that does not read refuses the whole list, the items
// before it too. A list that reads is kept in order, the same element as
// often as named; without a view nothing more is done.
TEST(LibLocalStateOps, InvalidateCheckoutsReadsItsWholeListFirst) {
    const std::string oid = "0e000000-0000-4000-8000-000002000000";
    const std::string other = "0e000000-0000-4000-8000-000004000000";
    const std::string uuid = "9a000000-0000-4000-8000-0000000000b1";
    const auto item = [](const std::string& text) { return "<element>" + text + "</element>"; };
    const auto list = [](const std::string& items) { return "<invalid-checkouts>" + items + "</invalid-checkouts>"; };
    const struct {
        const char* name;
        std::string body;
        size_t entries;  // 0: refused as malformed
    } rows[] = {
        {"no list", "", 0},
        {"an empty list", "<invalid-checkouts/>", 0},
        {"an empty item", list(item(oid + "@" + uuid) + "<element/>"), 0},
        {"another child", list(item(oid + "@" + uuid) + "<path>/vob1/a.c</path>"), 0},
        {"no \"@\"", list(item(oid + "@" + uuid) + item(oid) + item(other + "@" + uuid)), 0},
        {"a malformed oid", list(item("0e00@" + uuid)), 0},
        {"an empty oid", list(item("@" + uuid)), 0},
        {"a malformed uuid", list(item(oid + "@9a00")), 0},
        {"a second \"@\" goes with the uuid", list(item(oid + "@" + uuid + "@" + uuid)), 0},
        {"an item with a separator is not turned into a path", list(item(oid + "@" + uuid + "\\")), 0},
        {"one item", list(item(oid + "@" + uuid)), 1},
        {"the same element twice among others", list(item(oid + "@" + uuid) + item(other + "@" + uuid) +
                                                     item(oid + "@" + uuid)), 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string text = request(OstrelAgent_Tag::INVALIDATECHECKOUTS, row.body);
        std::unique_ptr<OstrelAgent_AbstractOp> op = run(text);
        auto* invalidate = dynamic_cast<OstrelAgent_InvalidateCheckouts*>(op.get());
        ASSERT_NE(invalidate, nullptr);
        EXPECT_EQ(row.entries, invalidate->get_entries().size());
        if (row.entries == 0) {
            EXPECT_EQ(Status::MALFORMED_REQUEST, op->get_status());
            EXPECT_EQ(parse_error(text), op->get_message());
            continue;
        }
        EXPECT_EQ(Status::NO_VIEW, op->get_status());
        EXPECT_EQ("View information not found.", op->get_message());
        const std::vector<OstrelAgent_InvalidateCheckouts::elem_ent>& entries = invalidate->get_entries();
        char text_of[QEL_OID_STR_SIZE];
        EXPECT_EQ(oid, qel_oid_to_str(&entries.front().elem_oid, text_of));
        EXPECT_EQ(uuid, qel_uuid_to_str(&entries.front().replica_uuid, text_of));
        if (entries.size() == 3) {
            EXPECT_EQ(other, qel_oid_to_str(&entries[1].elem_oid, text_of));
            EXPECT_EQ(oid, qel_oid_to_str(&entries[2].elem_oid, text_of));
        }
    }
}

} // namespace
