// The request channel of one client connection, in process: the frames that
// read_request takes from a request pipe, the reply frames that
// send_response writes, the pool request that carries a client request
// (its reply, its cancellation reply, its hold on the connection), and how
// shutdown ends waits inside a frame and on a full response pipe.
//
// The pipes are real FIFOs; the test plays the client's ends. The process's
// thread manager is made and initialised once (its shutdown pipe ends the
// waits). The shutdown test sets its exit flag for good, so it comes last.

#include "lib/requests/ostrelagent_request_handler_unix.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/lib_test_support.h"
#include "lib/reply_test_support.h"
#include "lib/requests/ostrelagent_client.h"
#include "lib/requests/ostrelagent_conn_handler_unix.h"
#include "lib/requests/ostrelagent_vemri_request.h"
#include "lib/thread_test_support.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator takes every allocation; its count (the
// compilers do not all ship the header that declares it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using thread_test::Background;
using Handler = OstrelAgent_Request_Handler_Unix;
namespace S = OstrelAgent_Status;

// The bytes the process's heap holds in use.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Writes all of `bytes` to the blocking descriptor `fd`.
bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The reply texts of the whole frames at the start of `received`.
std::vector<std::string> frames_in(const std::string& received) {
    std::vector<std::string> texts;
    size_t at = 0;
    for (;;) {
        const size_t newline = received.find('\n', at);
        if (newline == std::string::npos) break;
        const size_t length = std::stoul(received.substr(at, newline - at));
        if (received.size() < newline + 1 + length + 2) break;
        EXPECT_EQ(received.compare(newline + 1 + length, 2, "0\n"), 0);
        texts.push_back(received.substr(newline + 1, length));
        at = newline + 1 + length + 2;
    }
    return texts;
}

// Reads from the non-blocking `fd` until `count` whole reply frames have
// come, or nothing more comes for `quiet_ms` (with count 0: all that comes
// before such a pause).
std::string read_frames(int fd, size_t count, int quiet_ms = 20000) {
    std::string text;
    while (count == 0 || frames_in(text).size() < count) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, quiet_ms) <= 0) break;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// What arrives before a pause of 100 ms.
std::string read_available(int fd) { return read_frames(fd, 0, 100); }

lib_test::Reply read_one_reply(int fd) {
    const std::vector<std::string> texts = frames_in(read_frames(fd, 1));
    EXPECT_EQ(texts.size(), 1u);
    return lib_test::read_reply(texts.empty() ? "" : texts[0]);
}

std::string frame(const std::string& reply) {
    return std::to_string(reply.size()) + "\n" + reply + "0\n";
}

// One client connection: its FIFOs in a temporary directory, the handler
// (not started as a thread: the test calls it), and the client's ends.
class Channel {
public:
    Channel() {
        request_pipe = home.path() + "/request_t";
        response_pipe = home.path() + "/response_t";
        EXPECT_EQ(OstrelAgent_Conn_Handler_Unix::create_pipe(request_pipe), 0);
        EXPECT_EQ(OstrelAgent_Conn_Handler_Unix::create_pipe(response_pipe), 0);
        OstrelAgent_Client* client = new OstrelAgent_Client();
        client->set_client_id("t");
        client->set_request_pipe(request_pipe);
        client->set_response_pipe(response_pipe);
        handler.reset(new Handler(client, nullptr));
        // The client's ends. The write end can be opened only while the pipe
        // has a reader: a passing one of the test's own, until the handler
        // has opened its end with a first, empty request.
        reader = ::open(response_pipe.c_str(), O_RDONLY | O_NONBLOCK);
        const int passing = ::open(request_pipe.c_str(), O_RDWR);
        writer = ::open(request_pipe.c_str(), O_WRONLY);
        EXPECT_NE(writer, -1);
        EXPECT_NE(reader, -1);
        EXPECT_TRUE(write_all(writer, "0\n"));
        std::string first = "stale";
        EXPECT_EQ(handler->read_request(first), 0);
        EXPECT_EQ(first, "");
        ::close(passing);
    }
    ~Channel() {
        close_writer();
        ::close(reader);
    }
    void close_writer() {
        if (writer != -1) ::close(writer);
        writer = -1;
    }

    lib_test::TempHome home;
    std::string request_pipe;
    std::string response_pipe;
    std::unique_ptr<Handler> handler;
    int writer = -1;
    int reader = -1;
};

class LibRequestChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A write to a pipe whose reader has gone must fail, not end the test.
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(OstrelAgent_Thread_Manager_Base::get_instance()->initialize(), 0);
    }
    // The pool's threads end and are joined, as at the agent's end.
    static void TearDownTestSuite() {
        OstrelAgent_Thread_Manager_Base* manager = OstrelAgent_Thread_Manager_Base::get_instance();
        manager->set_should_exit();
        manager->terminate();
    }
};

struct Read {
    int status;
    std::string text;
    bool operator==(const Read& other) const { return status == other.status && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Read& r) {
    return out << "{" << r.status << ", \"" << r.text.substr(0, 40) << "\" (" << r.text.size()
               << " bytes)}";
}

TEST_F(LibRequestChannel, ReadRequestTakesFramesUntilThePipeCannotGoOn) {
    const std::string big(300000, 'b');
    struct Case {
        const char* name;
        std::string written; // then the client closes its end
        std::vector<Read> reads;
        int ending; // the status that ends the connection
    };
    const Case cases[] = {
        {"two frames", "5\nabcde3\nxyz", {{0, "abcde"}, {0, "xyz"}}, S::CLIENT_PIPE_IO_FAILED},
        {"empty request", "0\n", {{0, ""}}, S::CLIENT_PIPE_IO_FAILED},
        {"letters for a length", "abc\n1\nx", {{S::MALFORMED_REQUEST, ""}, {0, "x"}},
         S::CLIENT_PIPE_IO_FAILED},
        {"empty length line", "\n1\nx", {{S::MALFORMED_REQUEST, ""}, {0, "x"}},
         S::CLIENT_PIPE_IO_FAILED},
        {"a long line of letters", std::string(100000, 'a') + "\n1\nx",
         {{S::MALFORMED_REQUEST, ""}, {0, "x"}}, S::CLIENT_PIPE_IO_FAILED},
        {"NUL in the body", std::string("5\nab\0de", 7), {{0, "ab"}}, S::CLIENT_PIPE_IO_FAILED},
        {"NUL in the length line", std::string("1\0" "2\ntwelve bytes", 16), {{0, "twelve bytes"}},
         S::CLIENT_PIPE_IO_FAILED},
        {"body above the pipe buffer", "300000\n" + big, {{0, big}}, S::CLIENT_PIPE_IO_FAILED},
        // The connection ends where the stream can no longer be trusted;
        // what follows is not read as a frame.
        {"body cut short", "10\nabcd", {}, S::CLIENT_PIPE_IO_FAILED},
        {"eleven digits", "99999999999\n1\nx", {}, S::CLIENT_PIPE_IO_FAILED},
        {"leading zeros past ten digits", "0000000000005\nabcde", {}, S::CLIENT_PIPE_IO_FAILED},
        {"above 64 MiB", "67108865\n1\nx", {}, S::CLIENT_PIPE_IO_FAILED},
        {"length line cut short", "12", {}, S::CLIENT_PIPE_IO_FAILED},
        {"nothing at all", "", {}, S::CLIENT_PIPE_IO_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Channel channel;
        // Written as the handler reads: more than a pipe holds would block.
        Background client([&] {
            EXPECT_TRUE(write_all(channel.writer, c.written));
            channel.close_writer();
        });
        std::vector<Read> reads;
        int status;
        for (;;) {
            std::string text = "stale";
            status = channel.handler->read_request(text);
            if (status != 0 && status != S::MALFORMED_REQUEST) break;
            reads.push_back({status, text});
            ASSERT_LT(reads.size(), 10u);
        }
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(status, c.ending);
        ASSERT_TRUE(client.finished());
    }
}

// A frame that announces 64 MiB and sends a few bytes costs a few bytes
// while it waits for the rest: its buffer grows with what arrives.
TEST_F(LibRequestChannel, AFramesBufferGrowsWithTheBytesThatArrive) {
    Channel channel;
    const size_t before = heap_in_use();
    std::atomic<size_t> peak{before};
    std::atomic<bool> reading{true};
    Background watcher([&] {
        while (reading) {
            const size_t now = heap_in_use();
            if (now > peak) peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Background client([&] {
        EXPECT_TRUE(write_all(channel.writer, "67108864\n" + std::string(1000, 'x')));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        channel.close_writer();
    });
    std::string text;
    EXPECT_EQ(channel.handler->read_request(text), S::CLIENT_PIPE_IO_FAILED);
    reading = false;
    ASSERT_TRUE(client.finished());
    ASSERT_TRUE(watcher.finished());
    EXPECT_LT(peak - before, size_t{8} << 20);
}

TEST_F(LibRequestChannel, PipeNamesGoOnceWhenTheFirstRequestArrives) {
    Channel channel; // it has read its first request
    std::string text;
    EXPECT_FALSE(lib_test::exists(channel.request_pipe));
    EXPECT_FALSE(lib_test::exists(channel.response_pipe));
    // A later client of the same id gets pipes of the same names: this
    // connection's next request leaves them alone.
    ASSERT_EQ(OstrelAgent_Conn_Handler_Unix::create_pipe(channel.request_pipe), 0);
    ASSERT_EQ(OstrelAgent_Conn_Handler_Unix::create_pipe(channel.response_pipe), 0);
    ASSERT_TRUE(write_all(channel.writer, "1\nb"));
    ASSERT_EQ(channel.handler->read_request(text), 0);
    EXPECT_EQ(text, "b");
    EXPECT_TRUE(lib_test::exists(channel.request_pipe));
    EXPECT_TRUE(lib_test::exists(channel.response_pipe));
    // Nor does the end of the connection.
    channel.handler.reset();
    EXPECT_TRUE(lib_test::exists(channel.request_pipe));
}

TEST_F(LibRequestChannel, RepliesLeaveWholeOneFrameAfterTheOther) {
    Channel channel;
    ASSERT_EQ(channel.handler->send_response("<r/>"), 0);
    EXPECT_EQ(read_frames(channel.reader, 1), "4\n<r/>0\n");

    // A reply above the pipe buffer is written whole while the client reads.
    const std::string big(200000, 'z');
    {
        Background sender([&] { EXPECT_EQ(channel.handler->send_response(big), 0); });
        EXPECT_EQ(read_frames(channel.reader, 1), frame(big));
        ASSERT_TRUE(sender.finished());
    }

    // Replies of one connection sent from several threads never interleave.
    const int kThreads = 4;
    const int kReplies = 25;
    std::set<std::string> sent;
    for (int t = 0; t < kThreads; ++t)
        for (int r = 0; r < kReplies; ++r)
            sent.insert("<reply n=\"" + std::to_string(t) + "-" + std::to_string(r) + "\">" +
                        std::string(5000 * (r % 3), 'p') + "</reply>");
    std::vector<std::string> texts(sent.begin(), sent.end());
    std::string received;
    {
        std::vector<std::unique_ptr<Background>> senders;
        for (int t = 0; t < kThreads; ++t) {
            senders.emplace_back(new Background([&, t] {
                for (size_t i = static_cast<size_t>(t); i < texts.size(); i += kThreads)
                    EXPECT_EQ(channel.handler->send_response(texts[i]), 0);
            }));
        }
        received = read_frames(channel.reader, texts.size());
    }
    const std::vector<std::string> frames = frames_in(received);
    const std::set<std::string> got(frames.begin(), frames.end());
    EXPECT_EQ(frames.size(), texts.size());
    EXPECT_EQ(got, sent);
}

TEST_F(LibRequestChannel, PoolRequestRunsTheOperationAndAnswersItsConnection) {
    Channel channel;
    OstrelAgent_VEMRI_Request request(channel.handler.get(),
                                      "<Frob version=\"1\" tx-id=\"9\"><password>pw</password></Frob>");
    EXPECT_TRUE(request.is_foreground());
    EXPECT_FALSE(request.is_equivalent(&request));
    // Its description is for traces: no password in it.
    EXPECT_EQ(std::string(request.toString()),
              "<Frob version=\"1\" tx-id=\"9\"><password>***</password></Frob>");

    EXPECT_EQ(request.handle_request(), 0);
    const lib_test::Reply reply = read_one_reply(channel.reader);
    EXPECT_EQ(reply.root, "XMLError");
    EXPECT_EQ(reply.attrs.at("tx-id"), "9");
    EXPECT_EQ(reply.attrs.at("status-code"), "20020");
}

TEST_F(LibRequestChannel, CancelledRequestsGetTheShutdownReply) {
    const std::string message = "ostrel_agent is shutting down; no new requests can be processed.\n";
    struct Case {
        const char* request_name;
        const char* root;
    };
    for (const Case& c : {Case{"EndView", "EndView"}, Case{"", "ShutdownInProgress"}}) {
        const lib_test::Reply reply =
            lib_test::read_reply(OstrelAgent_VEMRI_Request::cancellation_reply(c.request_name));
        EXPECT_EQ(reply.root, c.root);
        EXPECT_EQ(reply.attrs, (std::map<std::string, std::string>{{"status-code", "20026"}}));
        EXPECT_EQ(reply.children.at("status-message"), message);
    }

    // A request refused at shutdown is answered on its connection, under
    // the name its operation reports (the error operations' "XMLError").
    Channel channel;
    for (const char* text : {"<EndView version=\"1\" tx-id=\"3\"/>", "<Frob tx-id=\"4\"/>", "no xml"}) {
        SCOPED_TRACE(text);
        OstrelAgent_VEMRI_Request request(channel.handler.get(), text);
        EXPECT_EQ(request.cancel_request(), 0);
        const lib_test::Reply reply = read_one_reply(channel.reader);
        EXPECT_EQ(reply.root, std::string(text).rfind("<EndView", 0) == 0 ? "EndView" : "XMLError");
        EXPECT_EQ(reply.attrs.at("status-code"), "20026");
        EXPECT_FALSE(reply.has_attr("tx-id"));
    }
}

TEST_F(LibRequestChannel, TheConnectionThreadWaitsForEveryRequestItQueued) {
    Channel channel;
    Handler& handler = *channel.handler;
    std::unique_ptr<OstrelAgent_VEMRI_Request> first(new OstrelAgent_VEMRI_Request(&handler, "a"));
    std::unique_ptr<OstrelAgent_VEMRI_Request> second(new OstrelAgent_VEMRI_Request(&handler, "b"));
    EXPECT_EQ(handler.get_outstanding(), 2);
    Background waiter([&] { handler.wait_no_outstanding(); });
    first.reset();
    EXPECT_EQ(handler.get_outstanding(), 1);
    EXPECT_FALSE(waiter.finished(std::chrono::milliseconds(50)));
    second.reset();
    EXPECT_TRUE(waiter.finished());
    EXPECT_EQ(handler.get_outstanding(), 0);
}

// Sets the process manager's exit flag: keep it the last test.
TEST_F(LibRequestChannel, ShutdownEndsAWaitInsideAFrameAndOnAFullResponsePipe) {
    Channel reading;
    Channel writing;
    ASSERT_TRUE(write_all(reading.writer, "30\n<Frob"));
    std::atomic<int> read_status{-1};
    std::atomic<int> write_status{-1};
    // More than the response pipe holds, and the client reads nothing.
    const std::string big(300000, 'q');
    {
        Background reader([&] {
            std::string text;
            read_status = reading.handler->read_request(text);
        });
        Background sender([&] { write_status = writing.handler->send_response(big); });
        EXPECT_FALSE(reader.finished(std::chrono::milliseconds(50)));
        EXPECT_FALSE(sender.finished_now());
        OstrelAgent_Thread_Manager_Base::get_instance()->set_should_exit();
        // Well before the write's 30 seconds.
        EXPECT_TRUE(reader.finished());
        EXPECT_TRUE(sender.finished());
    }
    EXPECT_EQ(read_status.load(), S::EXIT_REQUESTED);
    EXPECT_EQ(write_status.load(), S::REPLY_WRITE_FAILED);
    // The client could not tell a later frame from the rest of the cut one:
    // nothing more goes out on that pipe.
    const std::string partial = read_available(writing.reader);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), frame(big).size());
    EXPECT_EQ(writing.handler->send_response("<r/>"), S::REPLY_WRITE_FAILED);
    EXPECT_EQ(read_available(writing.reader), "");
}

} // namespace
