#pragma once
// The request channel of one client connection on POSIX systems: the
// client's request and response pipes are FIFOs made by the connection
// listener. The first read opens both (without waiting for the client's
// ends), waits for data and removes both names from the directory; the
// descriptors stay usable.
//
// Reading never waits for the client without also watching for shutdown:
// each read, also inside a frame, is preceded by the thread manager's
// wait_for_input. A length of more than MAX_LENGTH_DIGITS digits or above
// MAX_REQUEST_LENGTH ends the connection without allocating, since the
// stream cannot be resynchronised after it.
//
// The response pipe is held open for reading and writing, so a reply to a
// client that has gone does not fail at once; its descriptor stays
// non-blocking and a write to a full pipe waits, with the shutdown pipe,
// at most REPLY_STALL_MS without progress. A reply that cannot be written
// whole (20016) marks the channel broken: the connection's later replies
// are dropped, since the client could no longer tell the frames apart.

#include <cstddef>
#include <string>

#include "lib/requests/ostrelagent_request_handler_base.h"

class OstrelAgent_Request_Handler_Unix : public OstrelAgent_Request_Handler_Base {
public:
    static constexpr std::size_t MAX_LENGTH_DIGITS = 10;
    static constexpr std::size_t MAX_REQUEST_LENGTH = 64u * 1024u * 1024u;
    // A request's body is read in pieces of at most this many bytes.
    static constexpr std::size_t READ_PIECE = 65536;
    static constexpr int REPLY_STALL_MS = 30000;

    OstrelAgent_Request_Handler_Unix(OstrelAgent_Client* client, OstrelAgent_View_Base* view);
    // Closes the descriptors it opened.
    ~OstrelAgent_Request_Handler_Unix() override;

    using OstrelAgent_Request_Handler_Base::read_request;
    using OstrelAgent_Request_Handler_Base::send_response;
    int read_request(std::string& request) override;
    int send_response(const std::string& reply) override;
    void close_pipes() override;

    // Open the client's request pipe (read-only) or response pipe (read and
    // write), without waiting for the client. 0, or 20017.
    int open_request_pipe();
    int open_response_pipe();

private:
    // Reads the length line: the length, or a status (20021 for a line that
    // is not a number, 20017 for one that is too long or a closed pipe).
    int read_length(std::size_t& length);
    // Writes all of `data` to the response pipe. 0, or 20016.
    int write_whole(const std::string& data);

    int m_request_open = 0;
    int m_response_open = 0;
    bool m_reply_broken = false; // guarded by the response-channel mutex
};
