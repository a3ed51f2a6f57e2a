#pragma once
// A client tool's side of a running agent's request channel, for end-to-end
// tests: connect through the listener pipe, send framed XML requests, read
// framed replies. Every wait has a time-out, so a fault fails the test
// instead of hanging it.
//
// The channel, as a client sees it (in the view storage's ".ipc"):
//   1. write "<id>\n" into "rlistener" (the agent keeps it open for reading
//      only while it takes lines, so the open and the write are retried);
//   2. the agent makes "request_<id>" and "response_<id>"; open the response
//      pipe for reading, then the request pipe for writing (possible once
//      the agent's request thread has its end open);
//   3. requests: "<length>\n<xml>"; replies: "<length>\n<xml>0\n", in the
//      order in which the operations finish;
//   4. closing the request pipe ends the connection; the agent answers what
//      is in flight, then closes its end of the response pipe.
//
// The test program ignores SIGPIPE once a client connects: a write to a pipe
// whose reader has gone must fail, not end the test.
//
// Typical use:
//   auto client = PipeClient::connect(storage, "tool-1");
//   Reply reply = client->call(make_request("EndView", "7"));

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/reply_test_support.h"
#include "process_harness.h"

namespace e2e {

// Time-out for one reply: generous, since a sanitizer build is slower.
constexpr Millis kReplyTimeout{20000};

// "<root version=\"<version>\" tx-id=\"<txid>\">inner</root>"; an empty
// tx-id or version leaves that attribute out, an empty inner makes an empty
// element.
std::string make_request(const std::string& root, const std::string& txid,
                         const std::string& inner = "", const std::string& version = "1");

class PipeClient {
public:
    // Connects as `id` to the agent serving `storage`: the connection line,
    // then the client's pipes. Null when that did not work in time; `error`
    // (when given) then says which step failed.
    static std::unique_ptr<PipeClient> connect(const std::string& storage, const std::string& id,
                                               Millis timeout = kStartTimeout,
                                               std::string* error = nullptr);

    // The two steps of connect, for tests that come between them.
    // Writes `line` (no newline added) into the listener pipe. False when
    // it could not be written whole in time.
    static bool send_connection_line(const std::string& storage, const std::string& line,
                                     Millis timeout = kStartTimeout);
    // Waits until the pipes of `id` exist and opens them. Null when that
    // did not work in time.
    static std::unique_ptr<PipeClient> attach(const std::string& storage, const std::string& id,
                                              Millis timeout = kStartTimeout,
                                              std::string* error = nullptr);

    // The paths of a client's pipes.
    static std::string request_pipe(const std::string& storage, const std::string& id);
    static std::string response_pipe(const std::string& storage, const std::string& id);

    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    const std::string& id() const { return m_id; }

    // Sends one framed request: its length in bytes, "\n", the text. False
    // when it could not be written whole in time.
    bool send(const std::string& request, Millis timeout = kReplyTimeout);
    // Sends bytes as they are (malformed or partial frames).
    bool send_raw(const std::string& bytes, Millis timeout = kReplyTimeout);

    // The next reply frame's text; nothing when no whole frame came in time.
    std::optional<std::string> read_reply(Millis timeout = kReplyTimeout);
    // The next `count` replies, in arrival order; fewer when the rest did
    // not come in time.
    std::vector<std::string> read_replies(size_t count, Millis timeout = kReplyTimeout);
    // Sends `request` and reads the next reply, parsed (not parsed when none
    // came in time).
    lib_test::Reply call(const std::string& request, Millis timeout = kReplyTimeout);

    // True when nothing arrives on the response pipe for `period` (for
    // checks that a frame is NOT answered).
    bool quiet_for(Millis period);

    // Closes the request pipe: the client ends its connection.
    void close_requests();
    // Waits until the agent has closed its end of the response pipe; what
    // arrives meanwhile is kept for read_reply. True when it closed in time.
    bool wait_closed(Millis timeout = kReplyTimeout);

private:
    PipeClient(std::string id, int request_fd, int response_fd);

    // Reads what is there into m_in, waiting at most until `deadline`.
    // False once the agent's end is closed (or on a read error).
    bool fill(std::chrono::steady_clock::time_point deadline);

    std::string m_id;
    int m_request = -1;
    int m_response = -1;
    bool m_closed = false; // the agent closed its end of the response pipe
    std::string m_in;      // bytes read from the response pipe
    size_t m_consumed = 0; // bytes of m_in taken by read_reply
};

} // namespace e2e
