// The document builder: reply writing and serialisation, its statuses, and
// the owning pointer that hands parsed documents on.

#include "xml/norvane_xml_doc.h"

#include <string>

#include <gtest/gtest.h>

#include "xml/norvane_auto_ptr.h"
#include "xml/norvane_xml_elem.h"
#include "xml_test_support.h"

namespace {

const std::string DECL = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

std::string text_of(const NorvaneXmlDoc& doc) {
    std::string out = "stale";
    doc.get_string(out);
    return out;
}

TEST(XmlDocWriter, BuildsAReplyAsOneLineOfUtf8) {
    NorvaneXmlDoc doc;
    ASSERT_EQ(doc.create_root_elem("GetChildren"), 0);
    ASSERT_EQ(doc.add_attr("tx-id", "42"), 0);
    ASSERT_EQ(doc.add_elem("status-code", "0"), 0);
    ASSERT_EQ(doc.add_elem("status-message", ""), 0);
    ASSERT_EQ(doc.push_elem("children"), 0);
    ASSERT_EQ(doc.push_elem("child"), 0);
    ASSERT_EQ(doc.add_attr("type", "file"), 0);
    ASSERT_EQ(doc.add_elem("path", "/vobs/d\xc3\xa9j\xc3\xa0 vu/\xe4\xb8\xad"), 0);
    doc.pop_elem();
    ASSERT_EQ(doc.push_elem("none"), 0);
    doc.pop_elem();
    doc.pop_elem();

    const std::string expected =
        DECL +
        "<GetChildren tx-id=\"42\"><status-code>0</status-code><status-message></status-message>"
        "<children><child type=\"file\"><path>/vobs/d\xc3\xa9j\xc3\xa0 vu/\xe4\xb8\xad</path>"
        "</child><none/></children></GetChildren>";
    EXPECT_EQ(text_of(doc), expected);
    // Written anew on every call.
    EXPECT_EQ(text_of(doc), expected);
    ASSERT_EQ(doc.add_elem("late", "x"), 0); // current is the root again
    EXPECT_EQ(text_of(doc), expected.substr(0, expected.size() - 14) + "<late>x</late></GetChildren>");
}

TEST(XmlDocWriter, RepliesReadBackAsTheTreeTheyWereBuiltFrom) {
    NorvaneXmlDoc doc;
    ASSERT_EQ(doc.create_root_elem("GetMetadata"), 0);
    ASSERT_EQ(doc.add_attr("tx-id", "a\"b'c<d>&e\tf\ng"), 0);
    ASSERT_EQ(doc.add_elem("status-code", "20022"), 0);
    ASSERT_EQ(doc.add_elem("status-message",
                           "Server information is incomplete or invalid for \"/v <1> & ]]> x\".\n"),
              0);
    ASSERT_EQ(doc.add_elem("path", "\xf0\x9f\x98\x80 \r end"), 0);
    std::string text = text_of(doc);
    EXPECT_EQ(text.compare(0, DECL.size(), DECL), 0);

    xml_test::Parsed parsed = xml_test::parse(text);
    ASSERT_EQ(parsed.error, "");
    NorvaneXmlElem* root = parsed.doc->get_root();
    EXPECT_EQ(root->get_tag(), "GetMetadata");
    EXPECT_EQ(root->get_attr("tx-id"), "a\"b'c<d>&e\tf\ng");
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "status-code"), "20022");
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "status-message"),
              "Server information is incomplete or invalid for \"/v <1> & ]]> x\".\n");
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "path"), "\xf0\x9f\x98\x80 \r end");
    EXPECT_TRUE(root->get_children().empty());
}

TEST(XmlDocWriter, AttributeSetTwiceKeepsTheSecondValue) {
    NorvaneXmlDoc doc;
    ASSERT_EQ(doc.create_root_elem("r"), 0);
    ASSERT_EQ(doc.add_attr("a", "1"), 0);
    ASSERT_EQ(doc.add_attr("a", "2"), 0);
    EXPECT_EQ(text_of(doc), DECL + "<r a=\"2\"/>");
}

TEST(XmlDocWriter, RefusedStepsReturnStatusesAndLeaveTheDocumentUsable) {
    NorvaneXmlDoc fresh;
    EXPECT_EQ(text_of(fresh), "");
    EXPECT_EQ(fresh.push_elem("a"), 1008);
    EXPECT_EQ(fresh.add_attr("a", "b"), 1008);
    EXPECT_EQ(fresh.set_body("x"), 1008);
    EXPECT_EQ(fresh.add_elem("a", "b"), 1008);
    EXPECT_EQ(fresh.pop_elem(), nullptr);

    NorvaneXmlDoc bad_root;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(bad_root.create_root_elem("1 bad"), 1001);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(text_of(bad_root), "");
    EXPECT_EQ(bad_root.add_elem("a", "b"), 1008);

    NorvaneXmlDoc doc;
    ASSERT_EQ(doc.create_root_elem("r"), 0);
    EXPECT_EQ(doc.push_elem("bad name"), 1001);
    EXPECT_EQ(doc.add_elem("<x>", "t"), 1001);
    EXPECT_EQ(doc.add_attr("bad name", "v"), 1001);
    // Characters XML 1.0 cannot carry at all fail the step instead of the
    // serialisation.
    EXPECT_EQ(doc.add_attr("ok", std::string("a\x01z")), 1001);
    EXPECT_EQ(doc.add_elem("t", std::string("a\x1f")), 1001);
    ASSERT_EQ(doc.add_elem("k", "kept"), 0);
    EXPECT_EQ(text_of(doc), DECL + "<r><k>kept</k></r>");

    // Past the root the current node is the document itself: further
    // elements and text are refused, not attached beside the root.
    EXPECT_NE(doc.pop_elem(), nullptr);
    EXPECT_EQ(doc.pop_elem(), doc.pop_elem()); // stays at the document node
    EXPECT_EQ(doc.push_elem("second"), 1001);
    EXPECT_EQ(doc.set_body("stray"), 1001);
    EXPECT_EQ(doc.add_attr("a", "b"), 1001);
    EXPECT_EQ(text_of(doc), DECL + "<r><k>kept</k></r>");
}

TEST(XmlDocWriter, SecondRootStartsANewDocument) {
    NorvaneXmlDoc doc;
    ASSERT_EQ(doc.create_root_elem("first"), 0);
    ASSERT_EQ(doc.add_elem("a", "1"), 0);
    ASSERT_EQ(doc.create_root_elem("second"), 0);
    EXPECT_EQ(text_of(doc), DECL + "<second/>");
}

TEST(XmlDocParseTarget, PushPopBuildTheTree) {
    NorvaneXmlDoc doc;
    EXPECT_TRUE(doc.is_empty());
    EXPECT_EQ(doc.get_root(), nullptr);
    NorvaneXmlElem* root = doc.push("r");
    EXPECT_EQ(doc.get_root(), root);
    EXPECT_EQ(doc.get_curr(), root);
    EXPECT_EQ(root->get_document(), &doc);
    NorvaneXmlElem* child = doc.push("c");
    EXPECT_EQ(child->get_parent(), root);
    EXPECT_EQ(doc.pop(), root);
    EXPECT_EQ(doc.pop(), nullptr);
    EXPECT_EQ(doc.pop(), nullptr);
    EXPECT_FALSE(doc.is_empty());
    // A parsed document has no DOM document.
    EXPECT_EQ(text_of(doc), "");
}

TEST(XmlAutoPtr, HandingOnMovesTheDocument) {
    NorvaneXmlDoc* raw = new NorvaneXmlDoc();
    NorvaneAutoPtr<NorvaneXmlDoc> a(raw);
    NorvaneAutoPtr<NorvaneXmlDoc> b = a; // a "copy" moves
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get(), raw);

    auto take = [](NorvaneAutoPtr<NorvaneXmlDoc> p) { return p.get(); };
    EXPECT_EQ(take(b), raw); // passed by value: the callee deleted it
    EXPECT_FALSE(b);

    NorvaneAutoPtr<NorvaneXmlDoc> c(new NorvaneXmlDoc());
    NorvaneAutoPtr<NorvaneXmlDoc> d;
    d = c;
    EXPECT_FALSE(c);
    EXPECT_TRUE(d);
    d = d; // self-assignment keeps it
    EXPECT_TRUE(d);
    NorvaneXmlDoc* released = d.release();
    EXPECT_FALSE(d);
    delete released;
}

} // namespace
