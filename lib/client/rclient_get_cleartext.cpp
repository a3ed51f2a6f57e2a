#include "lib/client/rclient_get_cleartext.h"

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
namespace S = OstrelAgent_Status;
const char* const kClass = "Get_ClearText";
const char* const RPC_ID = "";
const char* const ELEM_DATA = "SyncElemData";
} // namespace

Get_ClearText::Get_ClearText(const std::string& url_suffix, const std::string& output_path)
    : RClient_Abstract_Cmd(RPC_ID, true, kClass), m_output_path(output_path) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "ctor");
    RClient_Session* session = RClient_Session::get_session();
    m_url = (session != nullptr ? session->get_url() : std::string()) + url_suffix;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "URL is %s", m_url.c_str());
}

Get_ClearText::~Get_ClearText() { close_output(); }

int Get_ClearText::marshal_request(RClient_Request_Args* /*args*/) { return 0; }

void Get_ClearText::close_output() {
    if (!m_output) return;
    m_output->close();
    if (m_output->fail()) m_write_failure = 1;
    m_output.reset();
}

void Get_ClearText::write_body() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "write_body");
    const uint64_t n = parser()->write_content(m_remaining, m_output.get());
    if (!*m_output) m_write_failure = 1;
    m_remaining -= n;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Actual read = %llu, content len remaining = %llu",
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(m_remaining));
    if (m_remaining > 0) return;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "File read done");
    close_output();
    m_writing = 0;
    m_body_whole = true;
}

int Get_ClearText::start_body() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "start_body");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Start writing to file");
    uint64_t length = 0;
    if (!RClient_Multi_Part_Mixed_Doc::parse_length(parser()->get_part_item(RClient_Base::CONTENT_LENGTH), length))
        return S::RC_BAD_CONTENT_LENGTH;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Content length = %llu (output file = %s)",
                     static_cast<unsigned long long>(length), m_output_path.c_str());
    close_output(); // a second body replaces the first
    m_output.reset(new std::ofstream(m_output_path, std::ios::binary | std::ios::out | std::ios::trunc));
    if (!*m_output) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "cannot create %s", m_output_path.c_str());
        m_write_failure = 1;
    }
    m_remaining = length;
    m_writing = 1;
    m_body_whole = false;
    write_body();
    // The rest of the body comes with the next pieces: nothing after it can
    // be read before.
    return m_writing ? S::RC_PREMATURE_EOF : 0;
}

int Get_ClearText::unmarshal_response() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
    const bool finished = transfer_finished();
    parser()->consume_response(0);
    bool body_done = false;  // by this call
    if (m_writing) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Writing to file, content len remaining = %llu",
                         static_cast<unsigned long long>(m_remaining));
        write_body();
        if (m_writing && !finished) return 0;
        body_done = !m_writing;
    }
    int result = 0;
    if (!m_writing) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Wait for content = %d", body_done ? 1 : 0);
        result = read_parts([this](const std::string& id) { return id == ELEM_DATA ? start_body() : 0; },
                            nullptr, ELEM_DATA);
    }
    if (!finished) return result;
    if (m_writing) {
        // The reply ended inside the contents.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "contents cut short: %llu bytes missing",
                         static_cast<unsigned long long>(m_remaining));
        close_output();
        m_writing = 0;
        keep_failure_with_text(S::RC_PREMATURE_EOF, cut_short_text());
    } else if (!m_body_whole && m_status.status == 0) {
        // A success without the contents.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "no %s part", ELEM_DATA);
        keep_failure(S::RC_BAD_REPLY_ITEM);
    }
    return reply_failure();
}
