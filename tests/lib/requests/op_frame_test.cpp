// The element operations' frame: reading the envelope, the path and the
// operations' own fields, the offline refusal and the reply.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/online_scope.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_parser.h"

namespace {

using lib_test::read_reply;
using Online = lib_test::Online_Scope;
using lib_test::Reply;
using Rule = OstrelAgent_AbstractOp::Path_Rule;
namespace Status = OstrelAgent_Status;

const char kUuid[] = "5a000000-0000-4000-8000-0000000000a1";
const char kOid[] = "0b000000-0000-4000-8000-000000000021";
const char kNullOid[] = "00000000-0000-0000-0000-000000000000";

std::string parse_error(const std::string& text) { return "Parse error in \"" + text + "\".\n"; }

// An operation made of the frame alone: it reads a uuid "replica-uuid", an
// oid "ver-oid" (null refused) and the flags of "flags", as the element
// operations do, and refuses to run offline when asked to.
class FrameOp : public OstrelAgent_AbstractOp {
public:
    FrameOp(const std::string& text, Rule rule, bool offline_test)
        : OstrelAgent_AbstractOp(text, parse(text)), m_rule(rule), m_offline_test(offline_test) {
        set_supported_version("1");
    }
    void process_request() override {
        NorvaneXmlElem* root = parse_frame(m_rule);
        if (root == nullptr) return;
        if (!read_uuid(root, "replica-uuid", "No replica uuid", "Malformed replica uuid", m_uuid)) return;
        if (!read_oid(root, "ver-oid", "No version oid", "Malformed version oid", "Null version oid", m_oid))
            return;
        read_true_flags(root->extract_child("flags"), {{"a", &m_a}, {"b", &m_b}});
        if (m_offline_test && refuse_offline()) return;
        m_ran = true;
    }
    std::string get_response() override {
        return common_reply("Frame", OstrelAgent_Trace::TRACE_LEVEL_4, [](NorvaneXmlDoc& doc) {
            doc.add_elem("result", "r");
        });
    }

    bool ran() const { return m_ran; }
    int a() const { return m_a; }
    int b() const { return m_b; }

private:
    static NorvaneAutoPtr<NorvaneXmlDoc> parse(const std::string& text) {
        NorvaneXmlParser parser;
        return parser.parse_string(text);
    }

    Rule m_rule;
    bool m_offline_test;
    bool m_ran = false;
    qel_uuid_s m_uuid = QEL_UUID_NULL;
    qel_oid_s m_oid = QEL_OID_NULL;
    int m_a = -1;
    int m_b = -1;
};

std::string fields(const std::string& oid = kOid, const std::string& flags = "<flags a=\"true\"/>") {
    return std::string("<replica-uuid>") + kUuid + "</replica-uuid><ver-oid>" + oid + "</ver-oid>" + flags;
}

std::string request(const std::string& attrs, const std::string& inner) {
    return "<Frame " + attrs + ">" + inner + "</Frame>";
}

TEST(LibOpFrame, RequestChecksInOrder) {
    Online online(1);
    const std::string path = "<path>/vob1/a.c</path>";
    struct Case {
        std::string text;
        Rule rule;
        int status;
        bool parse_error_only; // the message is exactly the parse error
        std::string txid;
    };
    const std::vector<Case> cases = {
        {request("version=\"1\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, 0, false, "t"},
        {request("version=\"0\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, 0, false, "t"},
        {request("tx-id=\"t\"", path + fields()), Rule::REQUIRED, Status::MALFORMED_REQUEST, true, ""},
        {request("version=\"\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, Status::MALFORMED_REQUEST, true, ""},
        {request("version=\"2\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, Status::UNSUPPORTED_VERSION, true, ""},
        {request("version=\" 2\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, Status::UNSUPPORTED_VERSION, true, ""},
        {request("version=\"abc\" tx-id=\"t\"", path + fields()), Rule::REQUIRED, 0, false, "t"},
        {request("version=\"1\"", path + fields()), Rule::REQUIRED, Status::MALFORMED_REQUEST, true, ""},
        {request("version=\"1\" tx-id=\"t\"", fields()), Rule::REQUIRED, Status::MALFORMED_REQUEST, false, "t"},
        {request("version=\"1\" tx-id=\"t\"", fields()), Rule::OPTIONAL, 0, false, "t"},
        {request("version=\"1\" tx-id=\"t\"", fields()), Rule::ABSENT, 0, false, "t"},
        {request("version=\"1\" tx-id=\"t\"", "<path>vob1/a.c</path>" + fields()), Rule::OPTIONAL,
         Status::MALFORMED_REQUEST, true, "t"},
        {request("version=\"1\" tx-id=\"t\"", "<path>/vob1/../../x</path>" + fields()), Rule::REQUIRED,
         Status::MALFORMED_REQUEST, true, "t"},
        // The operation's own fields, in the order it reads them.
        {request("version=\"1\" tx-id=\"t\"", path), Rule::REQUIRED, Status::MALFORMED_REQUEST, true, "t"},
        {request("version=\"1\" tx-id=\"t\"", path + "<replica-uuid>x</replica-uuid><ver-oid>" + kOid + "</ver-oid>"),
         Rule::REQUIRED, Status::MALFORMED_REQUEST, true, "t"},
        {request("version=\"1\" tx-id=\"t\"", path + fields("nonsense")), Rule::REQUIRED,
         Status::MALFORMED_REQUEST, true, "t"},
        {request("version=\"1\" tx-id=\"t\"", path + fields(kNullOid)), Rule::REQUIRED,
         Status::MALFORMED_REQUEST, true, "t"},
        {request("version=\"1\" tx-id=\"t\"", path + "<replica-uuid>" + kUuid + "</replica-uuid>"), Rule::REQUIRED,
         Status::MALFORMED_REQUEST, true, "t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FrameOp op(c.text, c.rule, false);
        op.process_request();
        EXPECT_EQ(op.get_status(), c.status);
        EXPECT_EQ(op.ran(), c.status == 0);
        if (c.parse_error_only) {
            EXPECT_EQ(op.get_message(), parse_error(c.text));
        }
        if (c.status == 0) {
            EXPECT_EQ(op.get_message(), "");
        }
        const Reply reply = read_reply(op.get_response());
        ASSERT_TRUE(reply.parsed);
        EXPECT_EQ(reply.root, "Frame");
        EXPECT_EQ(reply.attrs.at("tx-id"), c.txid);
        EXPECT_EQ(reply.attrs.at("status-code"), std::to_string(c.status));
        EXPECT_EQ(reply.has_child("status-message"), c.status != 0);
        EXPECT_EQ(reply.children.at("result"), "r");
    }
}

TEST(LibOpFrame, MissingPathNamesTheElementBeforeTheParseError) {
    const std::string text = request("version=\"1\" tx-id=\"t\"", fields());
    FrameOp op(text, Rule::REQUIRED, false);
    op.process_request();
    EXPECT_EQ(op.get_status(), Status::MALFORMED_REQUEST);
    EXPECT_EQ(op.get_message(), "\"path\" not found in XML request.\n" + parse_error(text));
}

TEST(LibOpFrame, FlagsAreSetOnlyByExactlyTrue) {
    Online online(1);
    struct Case {
        std::string flags;
        int a, b;
    };
    const Case cases[] = {
        {"<flags a=\"true\" b=\"true\"/>", 1, 1}, {"<flags a=\"TRUE\" b=\"1\"/>", 0, 0},
        {"<flags a=\"true \" b=\"yes\"/>", 0, 0}, {"<flags/>", 0, 0},
        {"", 0, 0},                               {"<flags b=\"true\"/>", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        FrameOp op(request("version=\"1\" tx-id=\"t\"", fields(kOid, c.flags)), Rule::ABSENT, false);
        op.process_request();
        ASSERT_EQ(op.get_status(), 0);
        EXPECT_EQ(op.a(), c.a);
        EXPECT_EQ(op.b(), c.b);
    }
}

TEST(LibOpFrame, OfflineRefusalComesAfterAParseAndOnlyWhereTested) {
    Online offline(0);
    const std::string good = request("version=\"1\" tx-id=\"t\"", fields());
    {
        FrameOp op(good, Rule::ABSENT, true);
        op.process_request();
        EXPECT_EQ(op.get_status(), Status::DISCONNECTED);
        EXPECT_EQ(op.get_message(), "Client is disconnected from the server.\n");
        EXPECT_FALSE(op.ran());
        EXPECT_EQ(read_reply(op.get_response()).attrs.at("tx-id"), "t");
    }
    {
        FrameOp op(good, Rule::ABSENT, false);
        op.process_request();
        EXPECT_EQ(op.get_status(), 0);
        EXPECT_TRUE(op.ran());
    }
    {
        const std::string bad = request("version=\"1\" tx-id=\"t\"", fields("nonsense"));
        FrameOp op(bad, Rule::ABSENT, true);
        op.process_request();
        EXPECT_EQ(op.get_status(), Status::MALFORMED_REQUEST);
        EXPECT_EQ(op.get_message(), parse_error(bad));
    }
}

} // namespace
