// The own fields of Move, Rmname, MergeDirectory and Uncheckout, read
// through the dispatcher while the view is offline: a request whose fields
// parse is refused as offline right after, with its fields read; one that
// does not is malformed (20021, the parse error), before the offline test.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_status.h"
#include "lib/ops/op_request.h"
#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/ops/ostrelagent_move.h"
#include "lib/online_scope.h"
#include "lib/requests/ostrelagent_abstractop.h"

namespace {

namespace Status = OstrelAgent_Status;
using Names = std::vector<std::string>;

using ops_test::request;

std::string change(const std::string& lists, const std::string& path = "/vob1/d") {
    return "<namespace-modified><path>" + path + "</path>" + lists + "</namespace-modified>";
}

struct Row {
    const char* what;
    std::string tag;
    std::string body;
    // What a request that parses has read: the path and the three lists.
    const char* path;
    Names rules, removed, added;
    // Refused: the text before the parse error ("" for none).
    const char* refused_head;
};

const char* const OK = nullptr;

TEST(LibNamespaceOps, EachReadsItsOwnFieldsAndTheChange) {
    lib_test::Online_Scope offline(0);
    OstrelAgent_Element_Ops::install();
    const std::string not_in_request = "\"path\" not found in XML request.\n";
    const std::string move_fields =
        "<src-path>/vob1/d</src-path><dst-path>/vob1/e</dst-path><old-name>a.c</old-name><new-name>b.c</new-name>";
    const std::string rules = "<removed-load-rules><path>/vob1/d/x</path><path>/vob1/y</path></removed-load-rules>";
    const std::string one_leaf = "<removed-leaves><leaf>gone</leaf></removed-leaves>";
    const Row rows[] = {
        // Move: the four fields, then a change whose path it takes and
        // whose lists of leaves stay empty.
        {"a move without a change", "Move", move_fields, "", {}, {}, {}, OK},
        {"a move with removed rules", "Move", move_fields + change(rules), "/vob1/d", {"/vob1/d/x", "/vob1/y"}, {}, {},
         OK},
        {"a move with an empty list of rules", "Move", move_fields + change("<removed-load-rules/>"), "/vob1/d", {}, {},
         {}, OK},
        {"a move whose change lacks its rules", "Move", move_fields + change(""), "", {}, {}, {}, ""},
        {"a move whose change names a leaf", "Move",
         move_fields + change("<removed-load-rules/><new-leaves><leaf>n</leaf></new-leaves>"), "", {}, {}, {}, ""},
        {"a move whose change lists an empty leaf list", "Move",
         move_fields + change("<removed-load-rules/><removed-leaves/>"), "/vob1/d", {}, {}, {}, OK},
        {"a move without its source", "Move",
         "<dst-path>/vob1/e</dst-path><old-name>a.c</old-name><new-name>b.c</new-name>", "", {}, {}, {}, ""},
        {"a move from an empty source", "Move",
         "<src-path/><dst-path>/vob1/e</dst-path><old-name>a.c</old-name><new-name>b.c</new-name>", "", {}, {}, {},
         ""},
        {"a move to a relative destination", "Move",
         "<src-path>/vob1</src-path><dst-path>vob1/e</dst-path><old-name>a.c</old-name><new-name>b.c</new-name>", "",
         {}, {}, {}, ""},
        {"a move without its new name", "Move",
         "<src-path>/vob1</src-path><dst-path>/vob1/e</dst-path><old-name>a.c</old-name>", "", {}, {}, {}, ""},
        {"a move of a name holding a separator", "Move",
         "<src-path>/vob1</src-path><dst-path>/vob1/e</dst-path><old-name>a/c</old-name><new-name>b.c</new-name>", "",
         {}, {}, {}, ""},
        {"a move whose rule is an empty item", "Move",
         move_fields + change("<removed-load-rules><path/></removed-load-rules>"), "", {}, {}, {}, ""},
        {"a move whose change lacks its path", "Move",
         move_fields + "<namespace-modified><removed-load-rules/></namespace-modified>", "", {}, {}, {},
         not_in_request.c_str()},
        // Rmname: exactly one removed leaf and no new one.
        {"a removed name", "Rmname", change(one_leaf), "/vob1/d", {}, {"gone"}, {}, OK},
        {"a removed name with its rules", "Rmname", change(rules + one_leaf + "<new-leaves/>"), "/vob1/d",
         {"/vob1/d/x", "/vob1/y"}, {"gone"}, {}, OK},
        {"two removed names", "Rmname", change("<removed-leaves><leaf>a</leaf><leaf>b</leaf></removed-leaves>"), "",
         {}, {}, {}, ""},
        {"no removed name", "Rmname", change("<removed-leaves/>"), "", {}, {}, {}, ""},
        {"no list of removed names", "Rmname", change(""), "", {}, {}, {}, ""},
        {"a removed and a new name", "Rmname", change(one_leaf + "<new-leaves><leaf>n</leaf></new-leaves>"), "", {},
         {}, {}, ""},
        {"a removed name in a wrong tag", "Rmname", change("<removed-leaves><name>a</name></removed-leaves>"), "", {},
         {}, {}, ""},
        {"a removed name without a change", "Rmname", "<path>/vob1/d</path>", "", {}, {}, {}, ""},
        // MergeDirectory: the change alone, its lists optional.
        {"a merge", "MergeDirectory", change(""), "/vob1/d", {}, {}, {}, OK},
        {"a merge with every list", "MergeDirectory",
         change(rules + one_leaf + "<new-leaves><leaf>n</leaf><leaf>n</leaf></new-leaves>"), "/vob1/d",
         {"/vob1/d/x", "/vob1/y"}, {"gone"}, {"n", "n"}, OK},
        {"a merge whose leaf holds a separator", "MergeDirectory",
         change("<new-leaves><leaf>n/o</leaf></new-leaves>"), "", {}, {}, {}, ""},
        {"a merge without a change", "MergeDirectory", "", "", {}, {}, {}, ""},
        {"a merge of a relative path", "MergeDirectory", change("", "vob1/d"), "", {}, {}, {}, ""},
        // Uncheckout: its own path, which a change must repeat.
        {"a cancelled checkout", "Uncheckout", "<path>/vob1/d</path>", "/vob1/d", {}, {}, {}, OK},
        {"a cancelled checkout with its change", "Uncheckout", "<path>/vob1/d</path>" + change(rules + one_leaf),
         "/vob1/d", {"/vob1/d/x", "/vob1/y"}, {"gone"}, {}, OK},
        {"a cancelled checkout whose change names another path", "Uncheckout",
         "<path>/vob1/d</path>" + change("", "/vob1/e"), "", {}, {}, {}, ""},
        {"a cancelled checkout without its path", "Uncheckout", change(""), "", {}, {}, {}, not_in_request.c_str()},
    };
    for (const Row& row : rows) {
        std::string text = request(row.tag, row.body);
        SCOPED_TRACE(row.what);
        std::string storage;
        int dispatched = -1;
        std::unique_ptr<OstrelAgent_AbstractOp> op(
            OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, dispatched));
        ASSERT_NE(nullptr, op);
        op->process_request();
        if (row.refused_head != OK) {
            EXPECT_EQ(Status::MALFORMED_REQUEST, op->get_status());
            EXPECT_EQ(row.refused_head + ("Parse error in \"" + text + "\".\n"), op->get_message());
            continue;
        }
        EXPECT_EQ(Status::DISCONNECTED, op->get_status()) << op->get_message();
        EXPECT_EQ("Client is disconnected from the server.\n", op->get_message());
        EXPECT_EQ(row.path, op->get_path());
        EXPECT_EQ(row.rules, op->get_removed_load_rules());
        EXPECT_EQ(row.removed, op->get_removed_leaves());
        EXPECT_EQ(row.added, op->get_new_leaves());
        if (const auto* move = dynamic_cast<const OstrelAgent_Move*>(op.get())) {
            EXPECT_EQ("/vob1/d", move->get_src_path());
            EXPECT_EQ("/vob1/e", move->get_dst_path());
            EXPECT_EQ("a.c", move->get_old_name());
            EXPECT_EQ("b.c", move->get_new_name());
        }
    }
}

} // namespace
