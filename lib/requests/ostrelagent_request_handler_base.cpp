#include "lib/requests/ostrelagent_request_handler_base.h"

#include <memory>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"

namespace {
const char* const kClass = "OstrelAgent_Request_Handler_Base";
} // namespace

void OstrelAgent_Request_Handler_Base::read_request(std::istream& in, std::string& request) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "read_request");
    std::unique_ptr<char[]> line(new char[MAX_LINE]);
    bool first = true;
    while (in.getline(line.get(), MAX_LINE)) {
        if (first) {
            first = false; // the sender's length line
            continue;
        }
        request += OstrelAgent_Util::trim(line.get());
    }
    // A last line without newline is read like the others; the loop ends on
    // end of input, or on a line that does not fit (which is dropped).
    if (!in.eof())
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                         "request line too long or unreadable; the rest is dropped");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Request [%s]", request.c_str());
}

int OstrelAgent_Request_Handler_Base::send_response(std::ostream& out, const std::string& reply) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "send_response");
    out << reply.size() << '\n' << reply << "0\n";
    out.flush();
    if (!out) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "writing the reply failed");
        return OstrelAgent_Status::REPLY_WRITE_FAILED;
    }
    return 0;
}
