// The start-up channel: reading the first request from standard input,
// framing the reply on standard output, and the view handler's first-request
// step for requests that install no view.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_request_handler_base.h"
#include "lib/view/ostrelagent_view_handler.h"

namespace {

using lib_test::read_reply;
using lib_test::Reply;

std::string read_request(const std::string& input, int expected_status = 0) {
    std::istringstream in(input);
    std::string request = "stale-";
    EXPECT_EQ(OstrelAgent_Request_Handler_Base::read_request(in, request), expected_status);
    return request;
}

TEST(LibStartupChannel, RequestLinesAreTrimmedAndJoined) {
    struct Case {
        std::string input;
        std::string request;
    };
    const Case cases[] = {
        {"", ""},
        {"42\n", ""},                                   // the length line alone
        {"42", ""},
        {"12\n<a>\n  <b/>\t\n</a>\n", "<a><b/></a>"},
        {"12\r\n<a>\r\n<b/>\r\n</a>\r\n", "<a><b/></a>"},  // CRLF lines
        {"12\n<a>\n\n</a>", "<a></a>"},                 // last line without newline
        {"whatever the sender wrote\n x \n", "x"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_request(c.input), "stale-" + c.request) << c.input;
}

TEST(LibStartupChannel, AnOverlongLineRefusesTheRequest) {
    const std::string fits(OstrelAgent_Request_Handler_Base::MAX_LINE - 1, 'a');
    const std::string too_long(OstrelAgent_Request_Handler_Base::MAX_LINE, 'b');
    EXPECT_EQ(read_request("1\n<x>\n" + fits + "\n</x>\n"), "stale-<x>" + fits + "</x>");
    EXPECT_EQ(read_request("1\n<x>\n" + fits), "stale-<x>" + fits);
    EXPECT_EQ(read_request(fits + "\n<x/>"), "stale-<x/>"); // also the length line
    // Cut at the line's end, the rest would be another request.
    read_request("1\n<x>\n" + too_long + "\n</x>\n", OstrelAgent_Status::MALFORMED_REQUEST);
    read_request("1\n<x>\n" + too_long, OstrelAgent_Status::MALFORMED_REQUEST);
    read_request(too_long + "\n<x/>\n", OstrelAgent_Status::MALFORMED_REQUEST);
}

TEST(LibStartupChannel, ReplyIsFramedByByteLengthAndZeroLine) {
    std::ostringstream out;
    const std::string reply = "<r a=\"\xc3\xa9\"/>"; // 11 bytes, 10 characters
    EXPECT_EQ(OstrelAgent_Request_Handler_Base::send_response(out, reply), 0);
    EXPECT_EQ(out.str(), "11\n" + reply + "0\n");

    std::ostringstream empty;
    EXPECT_EQ(OstrelAgent_Request_Handler_Base::send_response(empty, ""), 0);
    EXPECT_EQ(empty.str(), "0\n0\n");

    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    EXPECT_EQ(OstrelAgent_Request_Handler_Base::send_response(broken, "<r/>"),
              OstrelAgent_Status::REPLY_WRITE_FAILED);
}

// Splits "N\n<reply>0\n" and checks the frame.
std::string unframe(const std::string& framed) {
    const std::string::size_type newline = framed.find('\n');
    EXPECT_NE(newline, std::string::npos);
    const size_t length = std::stoul(framed.substr(0, newline));
    EXPECT_EQ(framed.size(), newline + 1 + length + 2) << framed;
    EXPECT_EQ(framed.substr(newline + 1 + length), "0\n");
    return framed.substr(newline + 1, length);
}

TEST(LibStartupChannel, FirstRequestsThatInstallNoView) {
    OstrelAgent_View_Handler* handler = OstrelAgent_View_Handler::get_instance("/no/such/view");
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(OstrelAgent_View_Handler::get_instance("/no/such/view"), handler);
    EXPECT_EQ(OstrelAgent_View_Handler::get_instance("/another/view"), nullptr);
    EXPECT_EQ(OstrelAgent_View_Handler::get_view(), nullptr);

    // A StartView with a line too long for the reader: refused before
    // anything runs (this one would be a StartView that switches the log on).
    std::istringstream overlong(
        "1\n<StartView version=\"1\"><server>" +
        std::string(OstrelAgent_Request_Handler_Base::MAX_LINE, ' ') + "</server></StartView>\n");
    std::ostringstream refusal;
    EXPECT_EQ(handler->prepare_view(overlong, refusal), OstrelAgent_Status::MALFORMED_REQUEST);
    Reply refused = read_reply(unframe(refusal.str()));
    EXPECT_EQ(refused.root, "Unknown");
    EXPECT_EQ(refused.attrs["status-code"], "20021");
    EXPECT_EQ(refused.children["status-message"], "Request line longer than 15999 characters.\n");
    EXPECT_EQ(OstrelAgent_Log::g_enabled.load(), 0);

    struct Case {
        const char* input;
        int status;
        const char* root;
        const char* code;
    };
    const Case cases[] = {
        // An unrecognised root: its reply goes out; no view was installed.
        {"1\n<Frob version=\"1\" tx-id=\"4\"/>\n", OstrelAgent_Status::NO_VIEW, "XMLError", "20020"},
        // Not XML: the Unknown operation's reply.
        {"1\nnot xml at all\n", OstrelAgent_Status::MALFORMED_REQUEST, "XMLError", "20020"},
        // A known operation that fails runs and answers.
        {"1\n<EndView version=\"1\"/>\n", OstrelAgent_Status::MALFORMED_REQUEST, "EndView", "20021"},
        // StartView of a storage that does not exist.
        {"1\n<StartView version=\"1\"><server/></StartView>\n", OstrelAgent_Status::NO_VIEW_STORAGE,
         "StartView", "20023"},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.input);
        std::ostringstream out;
        EXPECT_EQ(handler->prepare_view(in, out), c.status) << c.input;
        Reply reply = read_reply(unframe(out.str()));
        EXPECT_EQ(reply.root, c.root) << c.input;
        EXPECT_EQ(reply.attrs["status-code"], c.code) << c.input;
    }

    // Only a StartView switches the log on before it runs.
    EXPECT_EQ(OstrelAgent_Log::g_enabled.load(), 1);
    delete handler;
    OstrelAgent_View_Handler* other = OstrelAgent_View_Handler::get_instance("/another/view");
    EXPECT_NE(other, nullptr);
    delete other;
}

} // namespace
