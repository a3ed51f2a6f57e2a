#pragma once
// Framing of the daemon's start-up channel: the first request arrives on
// standard input and its reply leaves on standard output.
//
//   request: a length line (read and ignored), then the XML document's lines
//            up to end of input; each line is trimmed of surrounding white
//            space and the lines are joined without separator;
//   reply:   the reply's length in bytes in decimal, "\n", the reply, "0\n".
//
// Only the start-up framing is here so far; the per-connection request
// channel of client tools joins this class with the connection listener.

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

class OstrelAgent_Request_Handler_Base {
public:
    // Size of the line buffer: a line of more than MAX_LINE - 1 characters
    // ends the reading, and it and every later line are dropped.
    static constexpr std::size_t MAX_LINE = 16000;

    // Reads the request from `in` until end of input or a read failure.
    static void read_request(std::istream& in, std::string& request);
    // Writes the framed reply and flushes. 0, or 20016 when the stream
    // failed.
    static int send_response(std::ostream& out, const std::string& reply);
};
