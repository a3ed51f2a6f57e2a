#include "lib/requests/ostrelagent_request_handler_base.h"

#include <memory>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/requests/ostrelagent_client.h"
#include "lib/requests/ostrelagent_request_handler_unix.h"
#include "lib/requests/ostrelagent_vemri_request.h"

namespace {
const char* const kClass = "OstrelAgent_Request_Handler_Base";
} // namespace

std::atomic<int> OstrelAgent_Request_Handler_Base::g_connections{0};

OstrelAgent_Request_Handler_Base::OstrelAgent_Request_Handler_Base(OstrelAgent_Client* client,
                                                                   OstrelAgent_View_Base* view)
    : m_client(client), m_view(view) {
    ++g_connections;
    norvanethread_mutex_init(&m_request_mutex);
    norvanethread_mutex_init(&m_response_mutex);
}

OstrelAgent_Request_Handler_Base::~OstrelAgent_Request_Handler_Base() {
    // The client's destructor removes pipe names that are still there.
    m_client.reset();
    norvanethread_mutex_destroy(&m_response_mutex);
    norvanethread_mutex_destroy(&m_request_mutex);
    --g_connections;
}

OstrelAgent_Request_Handler_Base* OstrelAgent_Request_Handler_Base::get_request_handler(
    OstrelAgent_Client* client, OstrelAgent_View_Base* view) {
    return new OstrelAgent_Request_Handler_Unix(client, view);
}

int OstrelAgent_Request_Handler_Base::execute() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "execute");
    // However the loop ends, the requests queued from this connection hold
    // pointers to the handler: it must not go before they do.
    struct DrainOnExit {
        OstrelAgent_Request_Handler_Base* handler;
        ~DrainOnExit() { handler->wait_no_outstanding(); }
    } drain{this};

    OstrelAgent_Thread_Manager_Base* manager = get_manager();
    for (;;) {
        std::string request;
        const int status = read_request(request);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Request sent %d", status);
        if (status == 0) {
            // Queued, or cancelled and deleted at once when the agent exits.
            manager->process_request(new OstrelAgent_VEMRI_Request(this, request));
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Request queued");
            continue;
        }
        if (status == OstrelAgent_Status::MALFORMED_REQUEST) {
            // The frame was skipped; nothing goes to the client.
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Request failed [%d], continuing",
                             status);
            continue;
        }
        // Any other status would come again at once: the connection ends.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                         "Request pipe not usable [%d], exiting run()", status);
        return 0;
    }
}

std::string OstrelAgent_Request_Handler_Base::frame_reply(const std::string& reply) {
    std::string frame = std::to_string(reply.size());
    frame.reserve(frame.size() + reply.size() + 3);
    frame += '\n';
    frame += reply;
    frame += "0\n";
    return frame;
}

int OstrelAgent_Request_Handler_Base::read_request(std::istream& in, std::string& request) {
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
    // A last line without newline is read like the others. The loop ends on
    // end of input, on a read failure, or on a line that does not fit (the
    // stream fails with neither the end nor an error).
    if (!in.eof() && !in.bad()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                         "request line longer than %d characters; the request is refused",
                         static_cast<int>(MAX_LINE - 1));
        return OstrelAgent_Status::MALFORMED_REQUEST;
    }
    if (!in.eof()) trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "reading the request failed");
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Request [%s]", request);
    return 0;
}

int OstrelAgent_Request_Handler_Base::send_response(std::ostream& out, const std::string& reply) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "send_response");
    out << frame_reply(reply);
    out.flush();
    if (!out) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "writing the reply failed");
        return OstrelAgent_Status::REPLY_WRITE_FAILED;
    }
    return 0;
}
