// The request parser: requests into element trees, the refusals (document
// types, external entities, entity expansion, malformed text) and proof that
// a refused request reads no file and opens no connection.

#include "xml/norvane_xml_parser.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

#include "xml/norvane_xml_msg.h"
#include "xml/norvane_util.h"
#include "xml_test_support.h"

namespace {

using xml_test::parse;
using xml_test::Parsed;

std::string print(const NorvaneXmlElem* elem) {
    std::ostringstream os;
    os << elem;
    return os.str();
}

// A scratch directory removed with its files afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ostrel-xml-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = made ? made : "/tmp";
    }
    ~TempDir() {
        for (const std::string& f : files_) std::remove(f.c_str());
        rmdir(path_.c_str());
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        files_.push_back(file);
        return file;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> files_;
};

// Reports any opening or reading of the files in a directory, by anyone.
class AccessWatch {
public:
    explicit AccessWatch(const std::string& dir) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(fd_, 0);
        EXPECT_GE(inotify_add_watch(fd_, dir.c_str(), IN_OPEN | IN_ACCESS), 0);
    }
    ~AccessWatch() { close(fd_); }
    // The number of events since the watch began.
    int events() const {
        alignas(inotify_event) char buf[4096];
        int count = 0;
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return count;
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                ++count;
                p += sizeof(inotify_event) + ev->len;
            }
        }
    }

private:
    int fd_ = -1;
};

// A listening socket on the loopback that records whether anyone connected.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { close(fd_); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    bool connected() const {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return false;
        close(c);
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(XmlParser, RequestBecomesATreeInDocumentOrder) {
    Parsed p = parse(
        "<?xml version=\"1.0\"?>\n"
        "<StartView version=\"1\" xmlns:n=\"urn:x\" n:flag='yes'>\n"
        "  <server online=\"true\"><server-url> https://h/ </server-url></server>\n"
        "  <path>/a</path><?ignored pi?><path>b &amp; c<!-- gone --> d&#x41;&lt;</path>\n"
        "  <n:x/>\n"
        "</StartView>");
    ASSERT_EQ(p.error, "");
    ASSERT_TRUE(p.doc);
    NorvaneXmlElem* root = p.doc->get_root();
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->is_root());
    EXPECT_EQ(root->get_tag(), "StartView");
    ASSERT_EQ(root->get_attrs().size(), 3u);
    EXPECT_EQ(root->get_attrs()[0]->get_name(), "version");
    EXPECT_EQ(root->get_attrs()[1]->get_name(), "xmlns:n"); // namespaces not processed
    EXPECT_EQ(root->get_attr("n:flag"), "yes");
    // Whitespace between children is the root's own text, joined.
    EXPECT_EQ(root->get_value(), "\n  \n  \n  \n");

    std::vector<std::string> tags;
    for (const NorvaneXmlElem* c : root->get_children()) tags.push_back(c->get_tag());
    EXPECT_EQ(tags, (std::vector<std::string>{"server", "path", "path", "n:x"}));

    NorvaneXmlElem* server = root->extract_child("server");
    EXPECT_EQ(server->get_attr("online"), "true");
    EXPECT_EQ(NorvaneXmlUtil::get_value(server, "server-url"), " https://h/ ");
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "path"), "/a");
    // Text split by references and a comment arrives joined and expanded.
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "path"), "b & c dA<");
    EXPECT_EQ(NorvaneXmlUtil::get_value(root, "path"), "");
}

TEST(XmlParser, TextReachesTheTreeInTheLocalCodePage) {
    // UTF-8 by default, and other encodings when the declaration says so.
    Parsed utf8 = parse("<a t=\"\xe4\xb8\xad\">d\xc3\xa9j\xc3\xa0 \xf0\x9f\x98\x80</a>");
    ASSERT_EQ(utf8.error, "");
    EXPECT_EQ(utf8.doc->get_root()->get_value(), "d\xc3\xa9j\xc3\xa0 \xf0\x9f\x98\x80");
    EXPECT_EQ(utf8.doc->get_root()->get_attr("t"), "\xe4\xb8\xad");

    Parsed latin1 = parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><\xe9>caf\xe9</\xe9>");
    ASSERT_EQ(latin1.error, "");
    EXPECT_EQ(latin1.doc->get_root()->get_tag(), "\xc3\xa9");
    EXPECT_EQ(latin1.doc->get_root()->get_value(), "caf\xc3\xa9");

    std::string utf16("\xff\xfe<\0a\0>\0\x2d\x4e<\0/\0a\0>\0", 18);
    Parsed wide = parse(utf16);
    ASSERT_EQ(wide.error, "");
    EXPECT_EQ(wide.doc->get_root()->get_value(), "\xe4\xb8\xad");
}

TEST(XmlParser, PrintedTreesParseBackToTheSameTree) {
    const char* requests[] = {
        "<r a=\"x &amp; &lt;y&gt; &quot;z&quot;\" b=\"\" c=\"tab&#9;nl&#10;cr&#13;\">"
        "t1<c1>v&amp;</c1>t2<c2 k='&apos;'/>t3</r>",
        "<Load version=\"1\" tx-id=\"7\"><path>/v/a b</path><path>/v/]]&gt;</path></Load>",
        "<x/>",
    };
    for (const char* request : requests) {
        Parsed first = parse(request);
        ASSERT_EQ(first.error, "") << request;
        std::string printed = print(first.doc->get_root());
        Parsed second = parse(printed);
        ASSERT_EQ(second.error, "") << printed;
        std::string why;
        EXPECT_TRUE(xml_test::same_tree(first.doc->get_root(), second.doc->get_root(), &why))
            << why << "\n" << request << "\n" << printed;
    }
}

TEST(XmlParser, MalformedTextRaisesTheReadersError) {
    const struct {
        const char* text;
        unsigned long line;
    } cases[] = {
        {"", 1},
        {"   ", 1},
        {"<a>", 1},
        {"<a></b>", 1},
        {"<a x='1' x='2'/>", 1},
        {"<a>&undefined;</a>", 1},
        {"<a>&#0;</a>", 1},
        {"<a/><b/>", 1},
        {"<a>\n\n<b></a>", 3},
        {"not xml", 1},
        {"<a>\xff\xfe</a>", 1}, // not UTF-8
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.text);
        EXPECT_NE(p.error, "") << c.text;
        EXPECT_FALSE(p.encoding_error) << c.text;
        EXPECT_FALSE(p.doc) << c.text;
        EXPECT_EQ(p.line, c.line) << c.text;
    }
}

TEST(XmlParser, DocumentTypesAreRefused) {
    const char* requests[] = {
        "<!DOCTYPE a><a/>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE StartView>\n<StartView/>",
        "<!DOCTYPE a [<!ELEMENT a ANY>]><a/>",
        "<!DOCTYPE a [<!NOTATION n SYSTEM \"x\">]><a/>",
        "<!DOCTYPE a PUBLIC \"-//X//DTD X//EN\" \"x.dtd\"><a/>",
    };
    for (const char* request : requests) {
        Parsed p = parse(request);
        EXPECT_EQ(p.error, "DTDs not supported") << request;
        EXPECT_EQ(p.line, 0u);
        EXPECT_EQ(p.column, 0u);
        EXPECT_FALSE(p.encoding_error);
    }
}

TEST(XmlParser, EntityExpansionIsRefusedBeforeItStarts) {
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    laughs += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
    for (int i = 2; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&lol" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><lolz>&lol9;</lolz>";
    Parsed p = parse(laughs);
    EXPECT_EQ(p.error, "DTDs not supported");
    EXPECT_FALSE(p.doc);
}

TEST(XmlParser, RefusedRequestsReadNoFileAndOpenNoConnection) {
    TempDir dir;
    const std::string secret = dir.write("secret.txt", "TOP-SECRET-CONTENT");
    const std::string dtd = dir.write("ext.dtd", "<!ENTITY leak SYSTEM \"" + secret + "\">");
    Listener net;

    const std::string requests[] = {
        "<!DOCTYPE a [<!ENTITY e SYSTEM \"" + secret + "\">]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY e SYSTEM \"file://" + secret + "\">]><a>&e;</a>",
        "<!DOCTYPE a SYSTEM \"" + dtd + "\"><a>&leak;</a>",
        "<!DOCTYPE a [<!ENTITY % p SYSTEM \"" + dtd + "\"> %p;]><a>&leak;</a>",
        "<!DOCTYPE a [<!ENTITY e SYSTEM \"" + net.url("/e") + "\">]><a>&e;</a>",
        "<!DOCTYPE a SYSTEM \"" + net.url("/a.dtd") + "\"><a/>",
        "<?xml-stylesheet href=\"" + secret + "\"?><a/>",
        "<a xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"" + secret + "\"/></a>",
        "<a xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:noNamespaceSchemaLocation=\"" + net.url("/s.xsd") + "\"/>",
    };
    AccessWatch watch(dir.path());
    for (const std::string& request : requests) {
        Parsed p = parse(request);
        if (p.doc) {
            // Accepted only where nothing external is named in a DTD: the
            // reference is kept as plain data.
            EXPECT_EQ(print(p.doc->get_root()).find("TOP-SECRET"), std::string::npos);
        } else {
            EXPECT_EQ(p.error, "DTDs not supported") << request;
        }
    }
    EXPECT_EQ(watch.events(), 0) << "a parse touched a file of " << dir.path();
    EXPECT_FALSE(net.connected()) << "a parse opened a connection";

    // The watches do see what they watch for.
    NorvaneXmlParser control;
    EXPECT_THROW(control.parse_file(secret), xercesc::SAXParseException);
    EXPECT_GT(watch.events(), 0);
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(net.url("").substr(17))));
    EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_TRUE(net.connected());
    close(probe);
}

TEST(XmlParser, ExternalEntitiesResolveToEmptyText) {
    NorvaneXmlNoExternalEntities resolver;
    auto id = NorvaneXmlUtil::to_xerces("/etc/passwd");
    std::unique_ptr<xercesc::InputSource> source(resolver.resolveEntity(nullptr, id.get()));
    ASSERT_NE(source, nullptr);
    std::unique_ptr<xercesc::BinInputStream> stream(source->makeStream());
    ASSERT_NE(stream, nullptr);
    XMLByte buf[16];
    EXPECT_EQ(stream->readBytes(buf, sizeof buf), 0u);
    EXPECT_EQ(NorvaneXmlUtil::xerces_to_native(source->getSystemId()), "fakeId");
}

TEST(XmlParser, FilesAndStandardInput) {
    TempDir dir;
    const std::string file = dir.write("req.xml", "<EndView tx-id=\"9\"/>");
    {
        NorvaneXmlParser parser;
        NorvaneAutoPtr<NorvaneXmlDoc> doc = parser.parse_file(file);
        ASSERT_TRUE(doc);
        EXPECT_EQ(doc->get_root()->get_attr("tx-id"), "9");
    }
    {
        NorvaneXmlParser parser;
        EXPECT_THROW(parser.parse_file(dir.path() + "/missing.xml"), xercesc::SAXParseException);
    }
    {
        const std::string input = dir.write("stdin.xml", "<Connect><server/></Connect>");
        int saved = dup(STDIN_FILENO);
        int in = open(input.c_str(), O_RDONLY);
        ASSERT_GE(in, 0);
        dup2(in, STDIN_FILENO);
        close(in);
        NorvaneXmlParser parser;
        NorvaneAutoPtr<NorvaneXmlDoc> doc;
        EXPECT_NO_THROW(doc = parser.parse_stdin());
        dup2(saved, STDIN_FILENO);
        close(saved);
        ASSERT_TRUE(doc);
        EXPECT_EQ(doc->get_root()->get_children().front()->get_tag(), "server");
    }
}

TEST(XmlParser, ParserOwnsTheDocumentUntilTaken) {
    NorvaneXmlDoc* taken = nullptr;
    {
        NorvaneXmlParser parser;
        NorvaneAutoPtr<NorvaneXmlDoc>& slot = parser.parse_string("<a><b/></a>");
        NorvaneAutoPtr<NorvaneXmlDoc> mine = slot;
        EXPECT_FALSE(slot);
        taken = mine.release();
    }
    // The parser is gone; the tree is intact.
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(print(taken->get_root()), "<a><b/></a>");
    delete taken;

    // A document left in the parser, or half built by a failed parse, is
    // freed with the parser (the sanitizer run checks for leaks).
    NorvaneXmlParser parser;
    parser.parse_string("<a/>");
    EXPECT_THROW(parser.parse_string("<a><b>"), xercesc::SAXParseException);
}

TEST(XmlParser, DeeplyNestedRequestsParseAndFree) {
    const int depth = 100000;
    std::string text;
    text.reserve(depth * 7);
    for (int i = 0; i < depth; ++i) text += "<d>";
    for (int i = 0; i < depth; ++i) text += "</d>";
    Parsed p = parse(text);
    ASSERT_EQ(p.error, "");
    const NorvaneXmlElem* e = p.doc->get_root();
    int levels = 0;
    while (e != nullptr) {
        ++levels;
        e = e->get_children().empty() ? nullptr : e->get_children().front();
    }
    EXPECT_EQ(levels, depth);
}

TEST(XmlParser, UntranscodableTextRaisesTheEncodingException) {
    // The reader never delivers a lone surrogate, so drive the handler as
    // the reader would with text that has no form in the code page.
    NorvaneSaxHandler handler;
    handler.startDocument();
    handler.document()->push("a"); // as startElement does

    const XMLCh good[] = {u'o', u'k', 0};
    handler.characters(good, 2);
    const XMLCh bad[] = {u'x', 0xD800, u'y', 0};
    bool thrown = false;
    try {
        handler.characters(bad, 3);
    } catch (const NorvaneXmlParser::NorvaneXmlEncodingException& e) {
        thrown = true;
        std::string message = NorvaneXmlUtil::xerces_to_native(e.getMessage());
        EXPECT_EQ(message.rfind("Error: One or more characters in the following string is not "
                                "supported by the server's operating system: \"x",
                                0),
                  0u)
            << message;
        EXPECT_EQ(e.getLineNumber(), 0u); // no locator was handed over
    }
    EXPECT_TRUE(thrown);
    // Nothing of the refused text reached the tree.
    EXPECT_EQ(handler.document()->get_root()->get_value(), "ok");

    // The exception is not a SAXParseException to its catchers.
    bool caught_as_parse_error = false;
    try {
        try {
            handler.characters(bad, 3);
        } catch (const xercesc::SAXParseException&) {
            caught_as_parse_error = true;
        }
    } catch (const NorvaneXmlParser::NorvaneXmlEncodingException&) {
    }
    EXPECT_FALSE(caught_as_parse_error);
}

TEST(XmlUtil, Transcoding) {
    std::string out = "stale";
    const XMLCh text[] = {u'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00, 0};
    EXPECT_TRUE(NorvaneXmlUtil::xerces_to_native(text, out));
    EXPECT_EQ(out, "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_TRUE(NorvaneXmlUtil::xerces_to_native(text, 2, out)); // by length
    EXPECT_EQ(out, "a\xc3\xa9");
    EXPECT_TRUE(NorvaneXmlUtil::xerces_to_native(text, 0, out));
    EXPECT_EQ(out, "");
    out = "stale";
    EXPECT_TRUE(NorvaneXmlUtil::xerces_to_native(nullptr, out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(NorvaneXmlUtil::xerces_to_native(nullptr), "");

    const XMLCh lone[] = {u'a', 0xDC00, 0};
    EXPECT_FALSE(NorvaneXmlUtil::xerces_to_native(lone, out));
    EXPECT_EQ(out.compare(0, 1, "a"), 0);

    XMLCh* wide = NorvaneXmlUtil::native_to_xerces("a\xc3\xa9");
    EXPECT_TRUE(xercesc::XMLString::equals(wide, u"a\u00e9"));
    xercesc::XMLString::release(&wide);
}

TEST(XmlParser, ParsersOnManyThreadsAtOnce) {
    // Also the first use of the library in this process: its one-time set-up
    // must hold when several threads start together.
    std::vector<std::thread> threads;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &ok] {
            for (int i = 0; i < 50; ++i) {
                std::string tx = std::to_string(t * 1000 + i);
                Parsed p = parse("<Hijack tx-id=\"" + tx + "\"><path>p" + tx + "</path></Hijack>");
                NorvaneXmlDoc reply;
                std::string text;
                if (p.doc && reply.create_root_elem("Hijack") == 0 &&
                    reply.add_attr("tx-id", p.doc->get_root()->get_attr("tx-id")) == 0 &&
                    reply.add_elem("path", NorvaneXmlUtil::get_value(p.doc->get_root(), "path")) == 0) {
                    reply.get_string(text);
                }
                if (text.find("<path>p" + tx + "</path>") != std::string::npos) ++ok[t];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 50) << t;
}

} // namespace
