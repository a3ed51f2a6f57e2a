// The element tree: consuming child reads, attributes, escaping, printing,
// identity equality and freeing of whole subtrees; with the string and
// catalog helpers under it.

#include "xml/norvane_xml_elem.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/imsg/imsg.h"
#include "xml/norvane_str_util.h"
#include "xml/norvane_util.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_msg.h"
#include "xml/norvane_xml_util.h"

namespace {

std::string print(const NorvaneXmlElem* elem) {
    std::ostringstream os;
    os << elem;
    return os.str();
}

// Counts live elements: the document's construct makes these.
int g_live = 0;

class CountedElem : public NorvaneXmlElem {
public:
    CountedElem(NorvaneXmlDoc* doc, NorvaneXmlElem* parent, const std::string& tag)
        : NorvaneXmlElem(doc, parent, tag, "") {
        ++g_live;
    }
    ~CountedElem() override { --g_live; }
};

class CountingDoc : public NorvaneXmlDoc {
public:
    NorvaneXmlElem* construct(const std::string& tag, NorvaneXmlElem* parent) override {
        return new CountedElem(this, parent, tag);
    }
};

TEST(XmlElem, ExtractChildWalksOneTagInDocumentOrder) {
    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    auto* x1 = new NorvaneXmlElem(nullptr, &root, "x", "1");
    auto* y = new NorvaneXmlElem(nullptr, &root, "y", "");
    auto* x2 = new NorvaneXmlElem(nullptr, &root, "x", "2");
    EXPECT_TRUE(root.is_root());
    EXPECT_FALSE(x1->is_root());
    EXPECT_EQ(x1->get_parent(), &root);

    EXPECT_EQ(root.extract_child("X"), nullptr); // case matters
    EXPECT_EQ(root.extract_child("x "), nullptr); // whole tags only
    EXPECT_EQ(root.get_children().size(), 3u);

    EXPECT_EQ(root.extract_child("x"), x1);
    EXPECT_EQ(root.extract_child("x"), x2);
    EXPECT_EQ(root.extract_child("x"), nullptr);
    ASSERT_EQ(root.get_children().size(), 1u);
    EXPECT_EQ(root.get_children().front(), y);
    // Extracted children stay alive and readable until the parent goes.
    EXPECT_EQ(x2->get_value(), "2");

    NorvaneXmlElem leaf(nullptr, nullptr, "leaf", "");
    EXPECT_EQ(leaf.extract_child("x"), nullptr);
}

TEST(XmlElem, ExtractChildStaysFirstMatchWhileTheListChanges) {
    // Children added after a read, a later child deleted, and a child of
    // another tag taken out between reads of one tag.
    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    auto* a1 = new NorvaneXmlElem(nullptr, &root, "a", "1");
    auto* b1 = new NorvaneXmlElem(nullptr, &root, "b", "1");
    auto* a2 = new NorvaneXmlElem(nullptr, &root, "a", "2");
    auto* b2 = new NorvaneXmlElem(nullptr, &root, "b", "2");
    auto* a3 = new NorvaneXmlElem(nullptr, &root, "a", "3");
    EXPECT_EQ(root.extract_child("a"), a1);
    delete b1;
    EXPECT_EQ(root.extract_child("a"), a2);
    EXPECT_EQ(root.extract_child("b"), b2);
    EXPECT_EQ(root.extract_child("a"), a3);
    EXPECT_EQ(root.extract_child("a"), nullptr);
    auto* a4 = new NorvaneXmlElem(nullptr, &root, "a", "4");
    auto* c = new NorvaneXmlElem(nullptr, &root, "c", "");
    auto* a5 = new NorvaneXmlElem(nullptr, &root, "a", "5");
    EXPECT_EQ(root.extract_child("a"), a4);
    delete c;
    EXPECT_EQ(root.extract_child("a"), a5);
    EXPECT_EQ(root.extract_child("a"), nullptr);
    EXPECT_TRUE(root.get_children().empty());
}

TEST(XmlElem, ReadingManyChildrenOfOneTagTakesLinearTime) {
    // A request can hold any number of children; reading those of one tag
    // behind many of another must not rescan the others for every read.
    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    const int half = 100000;
    for (int i = 0; i < half; ++i) new NorvaneXmlElem(nullptr, &root, "other", "");
    for (int i = 0; i < half; ++i) new NorvaneXmlElem(nullptr, &root, "path", std::to_string(i));
    const auto start = std::chrono::steady_clock::now();
    int read = 0;
    while (NorvaneXmlElem* path = root.extract_child("path")) {
        if (path->get_value() != std::to_string(read)) break;
        ++read;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(read, half);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(XmlUtil, ChildLookupsConsume) {
    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    new NorvaneXmlElem(nullptr, &root, "user", "ann");
    new NorvaneXmlElem(nullptr, &root, "path", "/a");
    new NorvaneXmlElem(nullptr, &root, "path", "/b");

    EXPECT_EQ(NorvaneXmlUtil::get_value(&root, "user"), "ann");
    EXPECT_EQ(NorvaneXmlUtil::get_value(&root, "user"), "");
    EXPECT_EQ(NorvaneXmlUtil::get_value(&root, "path"), "/a");
    EXPECT_TRUE(NorvaneXmlUtil::tag_exists(&root, "path"));
    // tag_exists took the second path: nothing left to read.
    EXPECT_EQ(NorvaneXmlUtil::get_value(&root, "path"), "");
    EXPECT_FALSE(NorvaneXmlUtil::tag_exists(&root, "path"));
    EXPECT_FALSE(NorvaneXmlUtil::tag_exists(nullptr, "path"));
    EXPECT_EQ(NorvaneXmlUtil::get_value(nullptr, "path"), "");
    EXPECT_TRUE(root.get_children().empty());
}

TEST(XmlElem, Attributes) {
    NorvaneXmlElem e(nullptr, nullptr, "e", "");
    e.add_attr("a", "");
    e.add_attr("b", "1");
    e.add_attr("b", "2");

    EXPECT_TRUE(e.has_attr("a"));
    EXPECT_FALSE(e.has_attr("missing"));
    EXPECT_EQ(e.get_attr("a"), "");
    EXPECT_EQ(e.get_attr("missing"), "");
    EXPECT_EQ(e.get_attr("b"), "1"); // the first of two
    EXPECT_EQ(e.find_attr("b"), e.get_attrs()[1]);
    EXPECT_EQ(e.find_attr("B"), nullptr);
    ASSERT_EQ(e.get_attrs().size(), 3u);

    NorvaneXmlAttr p("n", "v"), q("n", "v"), r("n", "w"), s("m", "v");
    EXPECT_TRUE(p == q);
    EXPECT_TRUE(p != r);
    EXPECT_TRUE(p != s);
}

TEST(XmlElem, EncodedValueAndPrinting) {
    const struct {
        const char* text;
        const char* encoded;
    } cases[] = {
        {"a<b&c>d", "a&lt;b&amp;c&gt;d"},
        {"&lt;", "&amp;lt;"}, // already a reference: escaped once more
        {"&&&", "&amp;&amp;&amp;"},
        {"\"'", "\"'"}, // quotation marks stay in element text
        {"", ""},
    };
    for (const auto& c : cases) {
        NorvaneXmlElem e(nullptr, nullptr, "t", c.text);
        EXPECT_EQ(e.get_encoded_value(), c.encoded) << c.text;
    }

    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    EXPECT_EQ(print(&root), "<r/>");
    root.add_attr("empty", "");
    root.add_attr("q", "say \"a<b\" & 'c'\n\tz\r");
    EXPECT_EQ(print(&root),
              "<r empty=\"\" q=\"say &quot;a&lt;b&quot; &amp; 'c'&#10;&#9;z&#13;\"/>");

    // Text first, then the children, whatever their places in the source.
    NorvaneXmlElem parent(nullptr, nullptr, "p", "");
    new NorvaneXmlElem(nullptr, &parent, "c", "x>y");
    auto* inner = new NorvaneXmlElem(nullptr, &parent, "d", "");
    new NorvaneXmlElem(nullptr, inner, "e", "");
    EXPECT_EQ(print(&parent), "<p><c>x&gt;y</c><d><e/></d></p>");
    parent.add_value("\n  ");
    EXPECT_EQ(print(&parent), "<p>\n  <c>x&gt;y</c><d><e/></d></p>");
    parent.add_value("\r");
    EXPECT_EQ(print(&parent), "<p>\n  &#13;<c>x&gt;y</c><d><e/></d></p>");
    // An extracted child is no longer printed.
    parent.extract_child("c");
    EXPECT_EQ(print(&parent), "<p>\n  &#13;<d><e/></d></p>");

    EXPECT_EQ(print(nullptr), "");
    std::ostringstream os;
    os << static_cast<const NorvaneXmlAttr*>(nullptr);
    EXPECT_EQ(os.str(), "");
}

TEST(XmlElem, EqualityIsByIdentityOfChildrenAndAttributes) {
    NorvaneXmlElem a(nullptr, nullptr, "t", "v");
    NorvaneXmlElem b(nullptr, nullptr, "t", "v");
    NorvaneXmlElem c(nullptr, nullptr, "t", "w");
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a != c);

    // Equal content, different objects: not equal.
    new NorvaneXmlElem(nullptr, &a, "k", "");
    new NorvaneXmlElem(nullptr, &b, "k", "");
    EXPECT_TRUE(a != b);
    // Extracted children take no part.
    a.extract_child("k");
    b.extract_child("k");
    EXPECT_TRUE(a == b);

    a.add_attr("n", "v");
    b.add_attr("n", "v");
    EXPECT_TRUE(a != b);
}

TEST(XmlElem, DestroyingFreesSubtreesAndUnlinks) {
    g_live = 0;
    {
        CountingDoc doc;
        NorvaneXmlElem* root = doc.push("r");
        doc.push("a");
        doc.pop();
        NorvaneXmlElem* b = doc.push("b");
        doc.push("b1");
        doc.pop();
        doc.pop();
        doc.push("c");
        doc.pop();
        EXPECT_EQ(doc.pop(), nullptr);
        EXPECT_EQ(doc.get_root(), root);
        EXPECT_EQ(g_live, 5);

        // An inner element leaves its parent consistent and takes its own
        // children with it.
        delete b;
        EXPECT_EQ(g_live, 3);
        ASSERT_EQ(root->get_children().size(), 2u);
        EXPECT_EQ(root->get_children().front()->get_tag(), "a");
        EXPECT_EQ(root->get_children().back()->get_tag(), "c");

        // An extracted child is freed with its former parent, and deleting
        // it first unlinks it from the extracted list.
        NorvaneXmlElem* a = root->extract_child("a");
        delete a;
        EXPECT_EQ(g_live, 2);
        root->extract_child("c");
    }
    EXPECT_EQ(g_live, 0);
}

TEST(XmlElem, DeepAndWideTreesFreeAndPrintWithoutRecursion) {
    const int depth = 200000;
    auto doc = std::make_unique<NorvaneXmlDoc>();
    for (int i = 0; i < depth; ++i) doc->push("d");
    std::string printed = print(doc->get_root());
    EXPECT_EQ(printed.size(), static_cast<size_t>(depth - 1) * 7 + 4);
    EXPECT_EQ(printed.compare(0, 6, "<d><d>"), 0);
    EXPECT_EQ(printed.compare(printed.size() - 8, 8, "</d></d>"), 0);
    doc.reset();

    // Wide: every child read once, then everything freed.
    NorvaneXmlElem root(nullptr, nullptr, "r", "");
    for (int i = 0; i < 100000; ++i) new NorvaneXmlElem(nullptr, &root, i % 2 ? "odd" : "even", "");
    int taken = 0;
    while (root.extract_child("even") != nullptr) ++taken;
    EXPECT_EQ(taken, 50000);
    EXPECT_EQ(root.get_children().size(), 50000u);
}

TEST(XmlStrUtil, ReplaceAll) {
    EXPECT_EQ(NorvaneStrUtil::replace_all("&&&", "&", "&amp;"), "&amp;&amp;&amp;");
    EXPECT_EQ(NorvaneStrUtil::replace_all("aXbXc", "X", ""), "abc");
    EXPECT_EQ(NorvaneStrUtil::replace_all("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(NorvaneStrUtil::replace_all("none", "x", "y"), "none");
    EXPECT_EQ(NorvaneStrUtil::replace_all("", "x", "y"), "");
    EXPECT_EQ(NorvaneStrUtil::replace_all("abc", "", "y"), "abc");
}

TEST(XmlUtil, CatalogFormat) {
    const _imsg_message_table_t& cat = _norvane_xml_xml_msg_table;
    EXPECT_STREQ(cat.prefix, "norvane_xml");
    EXPECT_EQ(cat.catalog_number, 1);
    ASSERT_EQ(cat.count, 1);
    EXPECT_EQ(cat.numbers[0], 1);

    EXPECT_EQ(NorvaneUtil::format(&cat, 0, "a\xc3\xa9"),
              "Error: One or more characters in the following string is not supported by the "
              "server's operating system: \"a\xc3\xa9\".\n");
    EXPECT_EQ(NorvaneUtil::format(&cat, 1), "Internal error: could not load message 1");
    std::string huge(NorvaneUtil::FORMAT_BUFFER_SIZE, 'x');
    EXPECT_EQ(NorvaneUtil::format(&cat, 0, huge.c_str()), "Internal error: message 0 is too long");
    // Longer than the first buffer, still within the limit.
    std::string long_text(5000, 'y');
    EXPECT_NE(NorvaneUtil::format(&cat, 0, long_text.c_str()).find(long_text), std::string::npos);
}

} // namespace
