// The operation base: the envelope check of every request, the reply
// envelope, the best-effort tx-id and the generic error reply.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/reply_test_support.h"
#include "xml/norvane_xml_parser.h"

namespace {

using lib_test::read_reply;
using lib_test::Reply;

// An operation that only runs the envelope check and answers under "Load".
class EnvelopeOp : public OstrelAgent_AbstractOp {
public:
    EnvelopeOp(const std::string& text, NorvaneAutoPtr<NorvaneXmlDoc> doc, int txid_required)
        : OstrelAgent_AbstractOp(text, doc), m_txid_required(txid_required) {}
    void process_request() override { m_root_found = parse_validate_request(m_txid_required) != nullptr; }
    std::string get_response() override { return envelope_reply("Load", m_status); }

    bool root_found() const { return m_root_found; }
    void set_message(const std::string& message) { m_message = message; }

private:
    int m_txid_required;
    bool m_root_found = false;
};

std::unique_ptr<EnvelopeOp> make_op(const std::string& text, const std::string& supported,
                                    int txid_required) {
    NorvaneXmlParser parser;
    NorvaneAutoPtr<NorvaneXmlDoc> doc = parser.parse_string(text);
    std::unique_ptr<EnvelopeOp> op(new EnvelopeOp(text, doc, txid_required));
    op->set_supported_version(supported);
    return op;
}

const std::string kParseError(const std::string& text) {
    return "Parse error in \"" + text + "\".\n";
}

TEST(LibAbstractOp, EnvelopeCheckOfVersionAndTxid) {
    struct Case {
        const char* request;
        const char* supported;
        int txid_required;
        int status;
        bool message_is_parse_error;
    };
    const Case cases[] = {
        {"<Load version=\"1\" tx-id=\"9\"/>", "1", 1, 0, false},
        {"<Load version=\"2\" tx-id=\"9\"/>", "1", 1, OstrelAgent_Status::UNSUPPORTED_VERSION, true},
        {"<Load version=\"2\" tx-id=\"9\"/>", "2", 1, 0, false},
        {"<Load version=\"1\" tx-id=\"9\"/>", "1.0", 1, 0, false},   // "1.0" counts as 1
        {"<Load version=\"2\" tx-id=\"9\"/>", "1.0", 1, OstrelAgent_Status::UNSUPPORTED_VERSION, true},
        {"<Load version=\"abc\" tx-id=\"9\"/>", "1", 1, 0, false},   // no digits: 0
        {"<Load version=\" 1x\" tx-id=\"9\"/>", "1", 1, 0, false},   // as strtol reads it
        {"<Load version=\"\" tx-id=\"9\"/>", "1", 1, OstrelAgent_Status::MALFORMED_REQUEST, true},
        {"<Load tx-id=\"9\"/>", "1", 1, OstrelAgent_Status::MALFORMED_REQUEST, true},
        {"<Load version=\"1\"/>", "1", 1, OstrelAgent_Status::MALFORMED_REQUEST, true},
        {"<Load version=\"1\" tx-id=\"\"/>", "1", 1, OstrelAgent_Status::MALFORMED_REQUEST, true},
        {"<Load version=\"1\"/>", "1", 0, 0, false},                 // tx-id not required
    };
    for (const Case& c : cases) {
        std::unique_ptr<EnvelopeOp> op = make_op(c.request, c.supported, c.txid_required);
        op->process_request();
        EXPECT_EQ(op->get_status(), c.status) << c.request << " / " << c.supported;
        EXPECT_EQ(op->root_found(), c.status == 0) << c.request;
        EXPECT_EQ(op->get_message(), c.message_is_parse_error ? kParseError(c.request) : "")
            << c.request;
    }
}

TEST(LibAbstractOp, MissingDocumentFailsWithoutMessage) {
    NorvaneAutoPtr<NorvaneXmlDoc> none;
    EnvelopeOp op("garbage", none, 1);
    op.set_supported_version("1");
    op.set_message("kept");
    op.process_request();
    EXPECT_EQ(op.get_status(), OstrelAgent_Status::MALFORMED_REQUEST);
    EXPECT_EQ(op.get_message(), "kept");
    std::string name = "stale";
    op.get_request_name(name);
    EXPECT_EQ(name, "");
}

TEST(LibAbstractOp, ReplyEnvelope) {
    // Success without tx-id required: empty tx-id attribute, no message.
    std::unique_ptr<EnvelopeOp> ok = make_op("<Load version=\"1\"/>", "1", 0);
    ok->process_request();
    Reply reply = read_reply(ok->get_response());
    ASSERT_TRUE(reply.parsed);
    EXPECT_EQ(reply.root, "Load");
    EXPECT_EQ(reply.attrs["tx-id"], "");
    EXPECT_EQ(reply.attrs["status-code"], "0");
    EXPECT_EQ(reply.child_count, 0);

    // A failure carries the tx-id read and the message.
    std::unique_ptr<EnvelopeOp> bad = make_op("<Load version=\"7\" tx-id=\"31\"/>", "1", 1);
    bad->process_request();
    reply = read_reply(bad->get_response());
    EXPECT_EQ(reply.attrs["status-code"], "20024");
    EXPECT_EQ(reply.children["status-message"], kParseError("<Load version=\"7\" tx-id=\"31\"/>"));
    EXPECT_EQ(reply.child_count, 1);

    // A negative status keeps its sign.
    std::unique_ptr<EnvelopeOp> negative = make_op("<Load version=\"1\"/>", "1", 0);
    negative->set_status(-42);
    EXPECT_EQ(read_reply(negative->get_response()).attrs["status-code"], "-42");
}

TEST(LibAbstractOp, TxidFromUnparsedText) {
    struct Case {
        const char* text;
        const char* txid;
    };
    const Case cases[] = {
        {"<Frob tx-id=\"17\" version=\"1\">", "17"},
        {"junk tx-id = \"a b\" \"c\"", "a b"},
        {"tx-id=\"\"", ""},
        {"no such word \"x\"", "prev"},
        {"tx-id=\"unterminated", "prev"},
        {"tx-id='17'", "prev"},   // single quotes are not recognised
        {"tx-id", "prev"},
    };
    for (const Case& c : cases) {
        std::string txid = "prev";
        OstrelAgent_AbstractOp::get_txid(c.text, txid);
        EXPECT_EQ(txid, c.txid) << c.text;
    }
}

TEST(LibAbstractOp, GenericErrorReply) {
    Reply bare = read_reply(OstrelAgent_AbstractOp::get_error_response(20021, ""));
    ASSERT_TRUE(bare.parsed);
    EXPECT_EQ(bare.root, "Unknown");
    EXPECT_EQ(bare.attrs.size(), 1u);
    EXPECT_EQ(bare.attrs["status-code"], "20021");
    EXPECT_EQ(bare.child_count, 0);

    Reply with_message =
        read_reply(OstrelAgent_AbstractOp::get_error_response(-3, "<a> & \"b\""));
    EXPECT_EQ(with_message.attrs["status-code"], "-3");
    EXPECT_FALSE(with_message.has_attr("tx-id"));
    EXPECT_EQ(with_message.children["status-message"], "<a> & \"b\"");
}

TEST(LibAbstractOp, NoViewGivesTwentyNineteenAndAppendsTheCatalogText) {
    std::unique_ptr<EnvelopeOp> op = make_op("<Load version=\"1\"/>", "1", 0);
    op->set_message("first. ");
    EXPECT_EQ(op->get_view(), OstrelAgent_Status::NO_VIEW);
    EXPECT_EQ(op->get_ioctl(), OstrelAgent_Status::NO_VIEW);
    EXPECT_EQ(op->get_message(), "first. View information not found.View information not found.");
    EXPECT_EQ(op->get_status(), 0); // the caller stores it
    EXPECT_EQ(op->view(), nullptr);
    EXPECT_EQ(op->ioctl(), nullptr);
}

} // namespace
