// The multipart reply parser, in process. Every reply is read whole, split
// in two at every byte (so also between each CR and its LF), and one byte at
// a time: a reply must read the same however it arrives, and a broken one
// must fail with its status, never crash or hang.

#include "lib/client/rclient_multi_part_mixed_doc.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/client/reply_reader.h"

namespace {

using client_test::Part;
using client_test::Reply_Reader;
namespace S = OstrelAgent_Status;

const std::string CRLF = "\r\n";

// One part: delimiter, items, length, empty line, body, line end.
std::string part(const std::string& boundary, const std::vector<std::string>& items,
                 const std::string& body) {
    std::string text = "--" + boundary + CRLF;
    for (const std::string& item : items) text += item + CRLF;
    return text + "Content-Length: " + std::to_string(body.size()) + CRLF + CRLF + body + CRLF;
}

std::string status_part(const std::string& boundary, int code, const std::string& message) {
    return part(boundary,
                {"Content-ID: Status", "Status: " + std::to_string(code),
                 std::string("HasNonOkMsg: ") + (message.empty() ? "0" : "1")},
                message);
}

std::string head(const std::string& boundary) {
    return "Content-Type: multipart/mixed; boundary=" + boundary + CRLF;
}

std::string tail(const std::string& boundary) { return "--" + boundary + "--" + CRLF; }

// What a reader made of a reply.
struct Outcome {
    std::vector<Part> parts;
    bool status_seen = false;
    int status = -1;
    std::string message;
    int error = 0;
};

Outcome outcome_of(const Reply_Reader& reader) {
    return {reader.parts, reader.status_seen, reader.status.status, reader.status.message, reader.error};
}

Outcome read_in_pieces(const std::string& reply, const std::vector<size_t>& cuts,
                       const std::vector<std::string>& items) {
    Reply_Reader reader(items);
    size_t from = 0;
    for (size_t cut : cuts) {
        reader.feed(reply.substr(from, cut - from));
        from = cut;
    }
    reader.feed(reply.substr(from));
    reader.finish();
    return outcome_of(reader);
}

std::string describe(const Outcome& o) {
    std::string text = "error " + std::to_string(o.error) + ", status " + std::to_string(o.status) +
                       " [" + o.message + "], parts:";
    for (const Part& p : o.parts) text += " " + p.id + "(" + std::to_string(p.body.size()) + ")";
    return text;
}

bool same(const Outcome& a, const Outcome& b) {
    return a.parts == b.parts && a.status_seen == b.status_seen && a.status == b.status &&
           a.message == b.message && a.error == b.error;
}

// Reads `reply` whole, split at every byte, and byte by byte; every way
// must give the whole read's outcome, which is returned.
Outcome read_every_way(const std::string& reply, const std::vector<std::string>& items = {}) {
    Outcome whole = read_in_pieces(reply, {}, items);
    for (size_t cut = 1; cut < reply.size(); ++cut) {
        Outcome split = read_in_pieces(reply, {cut}, items);
        EXPECT_TRUE(same(split, whole)) << "split at " << cut << " (byte "
                                        << static_cast<int>(reply[cut]) << "): " << describe(split)
                                        << "\nwhole: " << describe(whole);
        if (!same(split, whole)) break;
    }
    std::vector<size_t> every;
    for (size_t cut = 1; cut < reply.size(); ++cut) every.push_back(cut);
    Outcome bytes = read_in_pieces(reply, every, items);
    EXPECT_TRUE(same(bytes, whole)) << "byte by byte: " << describe(bytes) << "\nwhole: " << describe(whole);
    return whole;
}

TEST(Multipart, WellFormedRepliesReadTheSameHoweverTheyArrive) {
    const std::string B = "b0undary";
    const std::string awkward_body = "line\r\n--" + B + "\r\n--" + B + "--\r\nCR\ronly LF\n\0end";
    const std::string long_pad(2044, 'x');
    const struct {
        const char* name;
        std::string reply;
        std::vector<Part> parts;
        int status;
        std::string message;
    } cases[] = {
        {"status only", head(B) + status_part(B, 0, "") + tail(B), {}, 0, ""},
        {"parts, blank lines, duplicates, failing status, data after the end",
         CRLF + CRLF + head(B) + CRLF +
             part(B, {"Content-ID: A", "  K1 :\t v1  ", "K1: second", "K2:"}, awkward_body) + CRLF +
             CRLF + part(B, {"Content-ID: Empty", "K2: two"}, "") +
             status_part(B, 30002, "bad\r\nthing") + tail(B) + "garbage that is never read\r\n",
         {{"A", {{"K1", "v1"}, {"K2", ""}}, awkward_body}, {"Empty", {{"K1", ""}, {"K2", "two"}}, ""}},
         30002,
         "bad\r\nthing"},
        {"quoted boundary kept as given",
         head("\"q b\"") + part("\"q b\"", {"Content-ID: Q"}, "body") + tail("\"q b\""),
         {{"Q", {{"K1", ""}, {"K2", ""}}, "body"}},
         -1,
         ""},
        {"a 2055-byte item line is read as two lines",
         head(B) + part(B, {"Content-ID: L", "K1: " + long_pad + "K2: end"}, "x") + tail(B),
         {{"L", {{"K1", long_pad}, {"K2", "end"}}, "x"}},
         -1,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome got = read_every_way(c.reply, {"K1", "K2"});
        EXPECT_EQ(got.error, 0) << describe(got);
        EXPECT_EQ(got.parts, c.parts) << describe(got);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.message, c.message);
    }
}

TEST(Multipart, BrokenRepliesFailWithTheirStatus) {
    const std::string B = "B";
    const std::string ok_part = part(B, {"Content-ID: A"}, "abc");
    const struct {
        const char* name;
        std::string reply;
        int error;
    } cases[] = {
        {"no content-type line", "--B" + CRLF + "Content-ID: A" + CRLF, S::RC_MALFORMED_REPLY},
        {"content type without boundary", "Content-Type: text/plain" + CRLF + ok_part + tail(B),
         S::RC_MALFORMED_REPLY},
        {"delimiter with a trailing blank", head(B) + "--B " + CRLF + "Content-Length: 0" + CRLF + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"a line where a delimiter belongs", head(B) + ok_part + "junk" + CRLF + tail(B), S::RC_MALFORMED_REPLY},
        {"CR without LF", head(B) + "--B" + CRLF + "Content-ID: A\rX\n" + CRLF + tail(B), S::RC_MALFORMED_REPLY},
        {"no Content-Length", head(B) + "--B" + CRLF + "Content-ID: A" + CRLF + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"Content-Length not a number", head(B) + "--B" + CRLF + "Content-Length: abc" + CRLF + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"negative Content-Length", head(B) + "--B" + CRLF + "Content-Length: -1" + CRLF + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"signed Content-Length", head(B) + "--B" + CRLF + "Content-Length: +3" + CRLF + CRLF + "abc" + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"Content-Length beyond 64 bits",
         head(B) + "--B" + CRLF + "Content-Length: 18446744073709551616" + CRLF + CRLF + tail(B),
         S::RC_MALFORMED_REPLY},
        {"status part without its status",
         head(B) + part(B, {"Content-ID: Status", "HasNonOkMsg: 0"}, "") + tail(B), S::RC_MALFORMED_REPLY},
        {"body cut short", head(B) + "--B" + CRLF + "Content-Length: 10" + CRLF + CRLF + "abcd", S::RC_PREMATURE_EOF},
        {"part larger than what comes (4 GiB announced)",
         head(B) + "--B" + CRLF + "Content-Length: 4294967296" + CRLF + CRLF + "abcd", S::RC_PREMATURE_EOF},
        {"ends inside the items", head(B) + "--B" + CRLF + "Content-ID: A" + CRLF + "Content-Le",
         S::RC_PREMATURE_EOF},
        {"no closing delimiter", head(B) + ok_part, S::RC_PREMATURE_EOF},
        {"ends after a CR", head(B) + ok_part + "--B--\r", S::RC_PREMATURE_EOF},
        {"empty reply", "", S::RC_PREMATURE_EOF},
        {"blank lines only", CRLF + CRLF, S::RC_PREMATURE_EOF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome got = read_every_way(c.reply);
        EXPECT_EQ(got.error, c.error) << describe(got);
    }
}

// A long reply in transfer-sized pieces: the parser holds only what it has
// not consumed yet, not the reply.
TEST(Multipart, ConsumedDataLeavesTheStream) {
    const std::string B = "stream";
    std::string reply = head(B);
    std::vector<Part> expected;
    for (int i = 0; i < 20000; ++i) {
        std::string body = "element " + std::to_string(i) + std::string(static_cast<size_t>(i % 300), 'e');
        reply += part(B, {"Content-ID: E" + std::to_string(i)}, body);
        expected.push_back({"E" + std::to_string(i), {}, body});
    }
    reply += status_part(B, 0, "") + tail(B);
    ASSERT_GT(reply.size(), 3000000u);

    Reply_Reader reader;
    const size_t piece = 16384;
    for (size_t at = 0; at < reply.size(); at += piece) reader.feed(reply.substr(at, piece));
    reader.finish();
    EXPECT_EQ(reader.error, 0);
    EXPECT_TRUE(reader.ended);
    EXPECT_EQ(reader.parts, expected);
    EXPECT_EQ(reader.status.status, 0);
    EXPECT_LT(reader.high_water, piece + 400) << "at most one piece and one part's rest stay";
}

// The calls one at a time, as a command's reader makes them.
TEST(Multipart, PartsWaitForTheirBodyOrStreamIt) {
    const std::string B = "B";
    const std::string reply = head(B) + part(B, {"Content-ID: A"}, "0123456789") + status_part(B, 30002, "") + tail(B);
    const size_t half = reply.find("01234") + 5;
    std::stringstream stream;
    RClient_Multi_Part_Mixed_Doc doc(&stream);
    EXPECT_EQ(doc.response_size(), 0u);

    // Waiting for the content: the part is reported, not consumed.
    doc.append_response(reply.data(), half);
    ASSERT_EQ(doc.next_part(1), 1);
    EXPECT_EQ(doc.get_part_item("Content-ID"), "A");
    EXPECT_EQ(doc.get_part_item("content-id"), "") << "item names are exact";
    EXPECT_EQ(doc.copy_part_body(10, nullptr), 0u);
    EXPECT_EQ(doc.bytes_to_read(), 5u);
    // The next run reads the same part again, now whole.
    doc.append_response(reply.data() + half, reply.size() - half);
    ASSERT_EQ(doc.next_part(1), 1);
    EXPECT_EQ(doc.get_part_item("Content-ID"), "A");
    EXPECT_EQ(doc.read_location(), 0u) << "the body starts the stream";
    std::ostringstream body;
    EXPECT_EQ(doc.copy_part_body(10, &body), 10u);
    EXPECT_EQ(body.str(), "0123456789");

    // The status part: a status without a message. A rewind of the stream
    // itself starts at the first unconsumed byte too.
    stream.clear();
    stream.seekg(0);
    ASSERT_EQ(doc.next_part(1), 1);
    RClient_Status status;
    EXPECT_EQ(doc.unmarshal_result(status), 0);
    EXPECT_EQ(status.status, 30002);
    EXPECT_EQ(status.message, "");
    EXPECT_EQ(doc.copy_part_body(0, nullptr), 0u);
    EXPECT_EQ(doc.next_part(1), 0);
    doc.append_response("--B\r\nContent-Length: 0\r\n\r\n", 26);
    EXPECT_EQ(doc.next_part(1), 0) << "nothing after the end is read";

    // Streaming: the items go at once, the body as it comes.
    std::stringstream stream2;
    RClient_Multi_Part_Mixed_Doc streaming(&stream2);
    streaming.append_response(reply.data(), half);
    ASSERT_EQ(streaming.next_part(0), 1);
    std::ostringstream file;
    EXPECT_EQ(streaming.write_content(10, &file), 5u);
    EXPECT_EQ(streaming.write_content(10, &file), 0u) << "nothing more has come";
    streaming.append_response(reply.data() + half, 3);
    EXPECT_EQ(streaming.write_content(5, &file), 3u);
    EXPECT_EQ(file.str(), "01234567");
    EXPECT_EQ(streaming.write_content(0, &file), 0u);
}

TEST(Multipart, ConsumeAndSizes) {
    RClient_Multi_Part_Mixed_Doc none(nullptr);
    none.consume_response(3);
    EXPECT_EQ(none.response_size() + none.read_location() + none.bytes_to_read(), 0u);

    std::stringstream stream;
    RClient_Multi_Part_Mixed_Doc doc(&stream);
    doc.append_response("line one\r\nrest", 14);
    EXPECT_EQ(doc.read_to_EOL(), 8u);
    EXPECT_EQ(doc.read_location(), 10u);
    EXPECT_EQ(doc.bytes_to_read(), 4u);
    doc.consume_response(0);
    EXPECT_EQ(doc.read_location(), 0u) << "0 only rewinds";
    EXPECT_EQ(doc.response_size(), 14u);
    doc.consume_response(15);
    EXPECT_EQ(doc.response_size(), 14u) << "more than is held drops nothing";
    doc.consume_response(10);
    EXPECT_EQ(doc.response_size(), 4u);
    EXPECT_THROW(doc.read_to_EOL(), RClient_Premature_EOF_Exception);
    EXPECT_EQ(doc.read_location(), 0u) << "a premature end rewinds";
    doc.append_response("\r\n", 2);
    EXPECT_EQ(doc.read_to_EOL(), 4u);
    doc.consume_response(doc.read_location());
    EXPECT_EQ(doc.response_size(), 0u);
    EXPECT_TRUE(stream.str().empty()) << "nothing left: the stream is emptied";

    // Consumed bytes leave the stream in batches: it never holds much more
    // than what is still unread.
    const std::string line = std::string(1000, 'l') + "\r\n";
    doc.append_response(line.data(), line.size());
    size_t largest = 0;
    for (int i = 0; i < 200; ++i) {
        doc.append_response(line.data(), line.size());
        EXPECT_EQ(doc.read_to_EOL(), 1000u);
        doc.consume_response(doc.read_location());
        largest = std::max(largest, stream.str().size());
    }
    EXPECT_EQ(doc.response_size(), line.size());
    EXPECT_LE(largest, 4096u + 3 * line.size());
}

TEST(Multipart, BodyLengths) {
    const struct {
        const char* text;
        bool ok;
        uint64_t length;
    } cases[] = {
        {"0", true, 0},
        {"4294967296", true, 4294967296ull},
        {"18446744073709551615", true, 18446744073709551615ull},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"0x10", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t length = 7;
        EXPECT_EQ(RClient_Multi_Part_Mixed_Doc::parse_length(c.text, length), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(length, c.length) << c.text;
        }
    }
}

} // namespace
