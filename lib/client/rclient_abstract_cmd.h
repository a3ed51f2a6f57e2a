#pragma once
// One remote procedure call of the server. A command writes its arguments
// (marshal_request) and reads its reply parts (unmarshal_response); this
// base does the rest: the argument text, the HTTP exchange (a multipart
// form POST, or a GET when the command has a URL), the reply read piece by
// piece as it arrives, the session cookies of the reply's header lines, one
// new login when the server refuses the session, and the outcome as an
// agent status with its texts.
//
// Use: build the command, run(), then check_rpc_status(), then read the
// command's results. A command runs once, on the thread that built it; the
// session is shared and only touched under its own mutex.
//
// Outcome: the call status (what run() returns) is 0 or why the call did
// not complete: a transport status (30001-30004), 30010 for arguments that
// cannot be written (nothing is sent then), 30013 when a reply reader asked
// to stop, or a failure of the reply itself: a part that is cut short
// (30006), malformed, or does not decode. The reply's "Status" part, when
// one was read, is in get_status(); it is -1 before.
//
// A reply part that is whole but cannot be read or decoded fails the call
// even when the server's "Status" says 0: the reader keeps the first such
// failure (keep_failure) and the last read after the transfer returns it. A
// part that has not fully arrived is no failure while the transfer runs:
// the next piece of reply reads it again. A reply that ends cut short (30006),
// malformed (30007) or without its "Status" part (30009) fails the call
// with a text in the status message that says so.
//
// Memory stays bounded whatever the server announces: a part is held whole
// only up to the command's part limit (1 MiB unless the command sets
// another; a streamed part is exempt, its body goes on as it comes), and a
// part announced longer, or a reply that holds more unconsumed bytes than a
// part and its items may take, is refused at once: the transfer stops and
// the call fails with 30007.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "lib/client/rclient_cb.h"
#include "lib/client/rclient_multi_part_mixed_doc.h"
#include "lib/client/rclient_request_args.h"
#include "lib/client/rclient_request_generator.h"
#include "lib/client/rclient_status.h"
#include "platform/qel/qel.h"

class OstrelAgent_Log_Base;

class RClient_Abstract_Cmd {
public:
    // The longest part, by default, that a reply may hold whole.
    static constexpr uint64_t DEFAULT_PART_LIMIT = 1 << 20;
    // What a part's delimiter and items may take besides its body.
    static constexpr uint64_t ITEMS_ROOM = 64 * 1024;

    // `retry_on_auth`: log in again once when the server refuses the
    // session (every command but the login).
    RClient_Abstract_Cmd(const std::string& rpc_name, bool retry_on_auth);
    // The same for a command whose rpc name is empty: `log_name` names it
    // where the log and the trace name the call.
    RClient_Abstract_Cmd(const std::string& rpc_name, bool retry_on_auth, const std::string& log_name);
    virtual ~RClient_Abstract_Cmd();

    RClient_Abstract_Cmd(const RClient_Abstract_Cmd&) = delete;
    RClient_Abstract_Cmd& operator=(const RClient_Abstract_Cmd&) = delete;

    // Writes the command's arguments: 0, or a status that stops the call
    // before anything is sent.
    virtual int marshal_request(RClient_Request_Args* args) = 0;
    // Takes the session cookies from the reply's header lines. 0.
    virtual int unmarshal_headers();
    // Reads the reply parts that are complete so far; called for every
    // piece of reply and once more after the transfer, whose result counts.
    virtual int unmarshal_response() = 0;
    // One piece of reply body: appended, then read. 30013 stops the
    // transfer; any other result lets it go on.
    virtual int process_response(char* data, unsigned int len);

    // The argument object, made empty on first use.
    RClient_Request_Args* get_req_args();

    // The whole call: send, a new login and one more send when the session
    // is refused, receive. The call status.
    int run();
    int send();
    int receive();
    // The call as run() makes it, its reply taken from `pieces`, handed over
    // one by one as a transfer would, instead of from a server (nothing is
    // sent): for the tests of the reply readers. The call status.
    int run_on_reply(const std::vector<std::string>& pieces);

    // After run(): 0 when the call completed and the server's status is 0;
    // 20049 when the server reported a failure (`status` = its status, its
    // message appended to `msg`); 20048 when the call did not complete
    // (`status` = 1001, the reason appended to `msg` and written to `log`).
    int check_rpc_status(OstrelAgent_Log_Base& log, std::string& msg, int& status);

    // The text after `name` in the first reply header line holding it, up
    // to ";" or the line's end; "" when no line holds it.
    std::string find_in_header(const std::string& name) const;

    const std::string& get_rpc_name() const { return m_rpc_name; }
    // The call's name in the log and the trace: the rpc name, or for a
    // command that sends none (a GET) the command's own name.
    const std::string& get_log_name() const { return m_log_name; }
    const std::string& get_url() const { return m_url; }
    const RClient_Status& get_status() const { return m_status; }
    int get_call_status() const { return m_call_status; }
    // The most reply bytes held unconsumed after a piece was read: what a
    // streamed reply costs in memory.
    uint64_t get_response_high_water() const { return m_response_high_water; }

protected:
    // The argument texts: unsigned long in decimal; unsigned int as the
    // signed 32-bit value ("-1" for 4294967295); int as a boolean ("1" for
    // any non-zero value); ids in their text form, the null id included.
    void marshal_arg(const std::string& name, unsigned long value);
    void marshal_arg(const std::string& name, unsigned int value);
    void marshal_arg(const std::string& name, int value);
    void marshal_arg(const std::string& name, const char* value);
    void marshal_arg(const std::string& name, const qel_oid_s& value);
    void marshal_arg(const std::string& name, const qel_uuid_s& value);

    // A decimal item of the current part; throws
    // RClient_Malformed_Response_Exception (30009) when it is empty or not
    // a number.
    void unmarshal_item(const std::string& name, unsigned int& value);

    // The current part's body in a new buffer (free it with stg_free; null
    // for an empty body): 0; 30008 when its "Content-Length" is not a
    // number; 30011 when there is no memory for it (the body is dropped);
    // 30006 when it has not fully arrived (nothing is taken).
    int parse_content_with_len(unsigned int& len, char*& data);

    // Reads the current part's body and hands it to `decode`: its status,
    // or parse_content_with_len's failure.
    int decode_part_body(const std::function<int(unsigned int len, const char* data)>& decode);

    // A null view uuid: the status code 30010, and true.
    bool refuse_null_view(const qel_uuid_s& view);

    // Whether the reply stream holds no unconsumed byte.
    bool response_empty() const;
    // Whether the HTTP transfer has returned.
    bool transfer_finished() const;

    void set_part_limit(uint64_t limit) { m_part_limit = limit; }

    // Reads one reply part, named by its "Content-ID", at the read position
    // after its items: 0; 30006 when its body has not fully arrived (the
    // run stops and the part is read again next time); any other status is
    // a failure of the reply, kept by the base, and reading goes on.
    typedef std::function<int(const std::string& id)> Part_Reader;

    // The reply reader's loop shared by the commands: each part whose body
    // has arrived whole goes to `part`, and a "Status" part is then read
    // into the command's status. A part named `streamed` goes to `part` as
    // soon as its items have arrived, its items consumed, so that its body
    // can be taken as it comes (write_content). `ended` runs when the
    // document has ended or turned out malformed. While the transfer runs
    // the result only says whether the reply is complete yet (30001 when
    // not); after it, the result is the first kept failure, 30006 for a part
    // cut short, else 0.
    int read_parts(const Part_Reader& part, const std::function<void()>& ended = nullptr,
                   const char* streamed = nullptr);

    // Keeps `status` as the reply's failure unless one is kept already;
    // returns the kept one.
    int keep_failure(int status);
    // The kept failure, 0 when none.
    int reply_failure() const { return m_reply_failure; }
    // Keeps `status` with `text` added to the status message, when no
    // failure is kept yet.
    void keep_failure_with_text(int status, const std::string& text);
    // The text of a reply cut short.
    static std::string cut_short_text();

    RClient_Status m_status;
    std::string m_url; // a GET of this URL when not empty, else a POST
    RClient_Multi_Part_Mixed_Doc* parser() { return m_parser.get(); }

private:
    // The HTTP client's reader procedure: the command's process_response.
    // Nothing may be thrown through the transfer library, so a failure
    // there stops the transfer and is remembered.
    static int read_reply_piece(void* owner, char* data, unsigned int len);
    // A new, empty reply for an attempt.
    void reset_reply();
    // The call status once the transfer has returned `status`
    // (`error_text` its text): a refused reply's failure, a reader's stop
    // or failure, else `status`; a failure goes into the command's status.
    int transfer_outcome(int status, const std::string& error_text);
    // Reads the current part as the "Status" part: 0, 30006 while its
    // message has not fully arrived, or 30007.
    int read_status();
    // The reply is given up: `status` kept with `message` added to the
    // status message, nothing more read, and the transfer stopped.
    void refuse_reply(int status, const std::string& message);
    // The reply's part `id` is longer than the part limit: refused.
    void refuse_long_part(const std::string& id, uint64_t length);
    // After the transfer: a reply that ended cut short or without its
    // "Status" part fails. The kept failure.
    int finish_reply();

    std::string m_rpc_name;
    std::string m_log_name;
    std::unique_ptr<RClient_Request_Args> m_req_args;
    std::unique_ptr<RClient_Request_Generator> m_generator;
    std::unique_ptr<std::stringstream> m_response;
    std::unique_ptr<std::list<std::string>> m_response_headers;
    std::unique_ptr<RClient_Multi_Part_Mixed_Doc> m_parser;
    int m_call_status = 0;
    bool m_retry_on_auth;
    std::unique_ptr<RClient_CB> m_cb;
    int m_reply_failure = 0;     // the first damaged part's status
    bool m_reader_stopped = false; // a reply reader returned 30013
    int m_reader_failure = 0;    // the reader procedure failed (30011, 30003)
    bool m_reply_refused = false;  // refuse_reply: the transfer is stopped
    bool m_reply_given = false;    // run_on_reply has handed over every piece
    uint64_t m_part_limit = DEFAULT_PART_LIMIT;
    uint64_t m_response_high_water = 0;
};
