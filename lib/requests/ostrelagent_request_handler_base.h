#pragma once
// The client request channel: one request thread per client connection, and
// the framing that the channel shares with the daemon's start-up request.
//
// A connection's request thread (execute) reads length-prefixed XML requests
// from the client's request pipe and queues each, unparsed, as a foreground
// request on the request pool (OstrelAgent_VEMRI_Request). A pool thread
// builds and runs the operation and writes its reply through the client's
// response pipe. Several requests of one connection may be in flight at
// once; replies leave whole, one frame after the other, in the order in
// which their operations finish.
//
// Frames (lengths count bytes, in ASCII decimal):
//   request on a pipe:    length, "\n", exactly that many bytes of XML;
//   reply (pipe and standard output): length, "\n", the XML, "0", "\n";
//   first request on standard input: a length line (read and ignored), then
//     the XML document's lines up to end of input, each trimmed of
//     surrounding white space and joined without separator.
//
// Locks: the request-channel mutex is held for a whole read of a request,
// the response-channel mutex for a whole reply write (so that replies of one
// connection never interleave); neither is held while an operation runs. A
// read that opens the response pipe takes the response-channel mutex inside
// the request-channel mutex, never the other way. The thread's outstanding
// count (its own
// mutex) keeps the handler alive until every request it queued is gone: the
// thread waits for it before it ends.

#include <atomic>
#include <cstddef>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "lib/core/ostrelagent_request_thread.h"
#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Client;
class OstrelAgent_View_Base;

class OstrelAgent_Request_Handler_Base : public OstrelAgent_Request_Thread {
public:
    // Size of the start-up channel's line buffer: a request with a line of
    // more than MAX_LINE - 1 characters is refused.
    static constexpr std::size_t MAX_LINE = 16000;

    // A new handler for `client` (owned by the handler from now on) of
    // `view`. The listener hands it to the thread manager's start_op.
    static OstrelAgent_Request_Handler_Base* get_request_handler(OstrelAgent_Client* client,
                                                                 OstrelAgent_View_Base* view);

    ~OstrelAgent_Request_Handler_Base() override;

    // --- the start-up channel ---

    // Reads the first request from `in` until end of input or a read
    // failure, appending it to `request`. 0; 20021 when a line does not fit
    // the line buffer: what was read is then not the request the sender
    // wrote, and reading stops there.
    static int read_request(std::istream& in, std::string& request);
    // Writes the framed reply and flushes. 0, or 20016 when the stream
    // failed.
    static int send_response(std::ostream& out, const std::string& reply);
    // The reply frame of `reply`: its length, "\n", the text, "0\n".
    static std::string frame_reply(const std::string& reply);

    // --- a client connection ---

    // Reads requests and queues them until the request pipe cannot be used
    // any more (end of input, a read error, shutdown), then waits until every
    // request it queued has been answered or cancelled. 0.
    int execute() override;

    // Reads one request from the request pipe into `request`. 0; 20021 for
    // a frame that is skipped (the next one is read); 20017, 20038, 20039 or
    // 20040 when the connection cannot go on.
    virtual int read_request(std::string& request) = 0;
    // Writes one reply frame to the response pipe. 0, or 20016.
    virtual int send_response(const std::string& reply) = 0;
    // Closes the client's descriptors that the handler opened.
    virtual void close_pipes() = 0;

    OstrelAgent_Client* get_client() const { return m_client.get(); }
    OstrelAgent_View_Base* get_view() const { return m_view; }

    // The most client connections served at once: each has a thread.
    static constexpr int MAX_CONNECTIONS = 64;
    // The handlers that exist, each of one client connection.
    static int connections() { return g_connections.load(); }

protected:
    OstrelAgent_Request_Handler_Base(OstrelAgent_Client* client, OstrelAgent_View_Base* view);

    std::unique_ptr<OstrelAgent_Client> m_client;
    OstrelAgent_View_Base* m_view; // not owned
    norvanethread_mutex_t m_request_mutex;  // held for a whole read_request
    norvanethread_mutex_t m_response_mutex; // held for a whole send_response

private:
    static std::atomic<int> g_connections;
};
