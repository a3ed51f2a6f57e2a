#include "lib/client/rclient_abstract_cmd.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_login.h"
#include "lib/client/rclient_msg.h"
#include "lib/client/rclient_parse_exception.h"
#include "lib/client/rclient_request_generator_get.h"
#include "lib/client/rclient_request_generator_post.h"
#include "lib/client/rclient_session.h"
#include "lib/core/ostrelagent_log_base.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/stg/stg.h"
#include "platform/utl/strutl.h"

namespace {

const char* const kClass = "RClient_Abstract_Cmd";
namespace S = OstrelAgent_Status;

const void* client_catalog() { return &_rclient_client_lib_msg_table; }

} // namespace

RClient_Abstract_Cmd::RClient_Abstract_Cmd(const std::string& rpc_name, bool retry_on_auth)
    : RClient_Abstract_Cmd(rpc_name, retry_on_auth, rpc_name) {}

RClient_Abstract_Cmd::RClient_Abstract_Cmd(const std::string& rpc_name, bool retry_on_auth,
                                           const std::string& log_name)
    : m_rpc_name(rpc_name),
      m_log_name(log_name),
      m_retry_on_auth(retry_on_auth),
      m_cb(new RClient_CB(&RClient_Abstract_Cmd::read_reply_piece, this)) {
    reset_reply();
}

RClient_Abstract_Cmd::~RClient_Abstract_Cmd() {
    // The parser reads the stream: it goes first.
    m_parser.reset();
    m_response.reset();
    m_generator.reset();
}

void RClient_Abstract_Cmd::reset_reply() {
    m_parser.reset();
    m_response.reset(new std::stringstream(std::ios_base::in | std::ios_base::out));
    m_response_headers.reset(new std::list<std::string>());
    m_parser.reset(new RClient_Multi_Part_Mixed_Doc(m_response.get()));
    m_reply_failure = 0;
    m_reader_stopped = false;
    m_reader_failure = 0;
    m_reply_refused = false;
    m_reply_given = false;
}

RClient_Request_Args* RClient_Abstract_Cmd::get_req_args() {
    if (!m_req_args) m_req_args.reset(new RClient_Request_Args());
    return m_req_args.get();
}

int RClient_Abstract_Cmd::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "run");
    m_call_status = send();
    if (m_retry_on_auth && m_call_status == S::RC_UNAUTHORIZED) {
        RClient_Session* session = RClient_Session::get_session();
        if (session == nullptr || session->get_jsessionid().empty()) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "WAN auth failed, no active session, giving up");
        } else {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "WAN auth failed, retrying login, message was [%s]",
                             m_status.message.c_str());
            m_status.message.clear();
            Login login;
            login.run();
            if (login.get_call_status() == 0 && login.get_status().status == 0) {
                m_req_args.reset(); // marshalled afresh
                m_call_status = send();
            } else {
                m_status.message += OstrelAgent_Util::format(client_catalog(), RClient_Msg::RELOGIN_FAILED);
                m_status.message += login.get_status().message;
            }
        }
    }
    if (m_call_status == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling receive");
        m_call_status = receive();
    }
    return m_call_status;
}

int RClient_Abstract_Cmd::send() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "send");
    // An earlier attempt's reply (a refusal) is not part of this one's.
    reset_reply();
    m_status.status = -1;
    RClient_Request_Args* args = get_req_args();
    int status = marshal_request(args);
    if (status != 0) {
        // Sending what could be written would ask the server something else.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "%s not sent: arguments refused (%d)",
                         m_log_name.c_str(), status);
        return status;
    }
    std::string arg_text = args->get_args();
    RClient_Session* session = RClient_Session::get_session();
    if (session == nullptr) {
        m_status.status = S::RC_TRANSFER_FAILED;
        return S::RC_TRANSFER_FAILED;
    }
    session->print_session();

    // The last attempt's HTTP client goes back to the pool first, so that
    // this one may reuse its connection.
    m_generator.reset();
    if (m_url.empty()) {
        m_generator.reset(new RClient_Request_Generator_Post(m_cb.get(), m_response_headers.get()));
    } else {
        m_generator.reset(new RClient_Request_Generator_Get(m_url, m_cb.get(), m_response_headers.get()));
    }
    status = m_generator->send_request(m_rpc_name, arg_text);
    return transfer_outcome(status, m_generator->get_error_text());
}

int RClient_Abstract_Cmd::transfer_outcome(int status, const std::string& error_text) {
    if (m_reply_refused) {
        // The refusal's text says why; the transfer's own is only its stop.
        m_status.status = m_reply_failure;
        return m_reply_failure;
    }
    if (m_reader_stopped) {
        status = S::RC_LISTENER_STOPPED;
    } else if (m_reader_failure != 0) {
        status = m_reader_failure;
    }
    if (status != 0) {
        m_status.status = status;
        OstrelAgent_Util::append_message(m_status.message, error_text);
    }
    return status;
}

int RClient_Abstract_Cmd::run_on_reply(const std::vector<std::string>& pieces) {
    reset_reply();
    m_status.status = -1;
    m_generator.reset();
    int status = 0;
    for (const std::string& piece : pieces) {
        std::vector<char> data(piece.begin(), piece.end());
        status = read_reply_piece(this, data.data(), static_cast<unsigned int>(data.size()));
        if (status != 0) break;
    }
    m_reply_given = true;
    m_call_status = transfer_outcome(status == 0 ? 0 : S::RC_TRANSFER_FAILED, "");
    if (m_call_status == 0) m_call_status = receive();
    return m_call_status;
}

int RClient_Abstract_Cmd::receive() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "receive");
    int status = unmarshal_headers();
    if (status != 0) return status;
    return unmarshal_response();
}

int RClient_Abstract_Cmd::read_reply_piece(void* owner, char* data, unsigned int len) {
    RClient_Abstract_Cmd* cmd = static_cast<RClient_Abstract_Cmd*>(owner);
    try {
        return cmd->process_response(data, len);
    } catch (const std::bad_alloc&) {
        cmd->m_reader_failure = S::RC_NO_MEMORY;
    } catch (...) {
        cmd->m_reader_failure = S::RC_TRANSFER_FAILED;
    }
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "read_reply_piece");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "reading the reply failed: %d",
                     cmd->m_reader_failure);
    return cmd->m_reader_failure;
}

int RClient_Abstract_Cmd::process_response(char* data, unsigned int len) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "process_response");
    m_parser->append_response(data, len);
    const int status = unmarshal_response();
    m_response_high_water = std::max(m_response_high_water, m_parser->response_size());
    // Whatever the reader left is a part still arriving, its items
    // included: more than the longest part may take is no reply to wait for.
    if (!m_reply_refused && m_parser->response_size() > m_part_limit + ITEMS_ROOM)
        refuse_reply(S::RC_MALFORMED_REPLY,
                     OstrelAgent_Util::format(client_catalog(), RClient_Msg::REPLY_HELD_TOO_LONG,
                                              std::to_string(m_part_limit + ITEMS_ROOM).c_str()));
    if (m_reply_refused) return m_reply_failure;
    if (status != S::RC_LISTENER_STOPPED) return 0;
    m_reader_stopped = true;
    return S::RC_LISTENER_STOPPED;
}

int RClient_Abstract_Cmd::unmarshal_headers() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_headers");
    RClient_Session* session = RClient_Session::get_session();
    if (session == nullptr) return 0;
    std::string value = find_in_header(RClient_Base::HDR_JSESSIONID);
    if (!value.empty()) session->set_jsessionid(value);
    value = find_in_header(RClient_Base::HDR_SESSION);
    if (!value.empty()) session->set_session_id(value);
    return 0;
}

std::string RClient_Abstract_Cmd::find_in_header(const std::string& name) const {
    for (const std::string& line : *m_response_headers) {
        size_t at = line.find(name);
        if (at == std::string::npos) continue;
        size_t start = at + name.size();
        size_t end = line.find(';', start);
        return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return std::string();
}

int RClient_Abstract_Cmd::check_rpc_status(OstrelAgent_Log_Base& log, std::string& msg, int& status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "check_rpc_status");
    if (m_call_status != 0) {
        status = QEL_ST_NO_MEMORY;
        OstrelAgent_Util::append_message(msg, OstrelAgent_Util::format(client_catalog(), RClient_Msg::RPC_INCOMPLETE));
        OstrelAgent_Util::append_message(msg, m_status.message);
        log.write_log(OSTRELAGENT_LOG_ERROR, &_rclient_client_lib_msg_table, RClient_Msg::RPC_FAILED,
                      m_log_name.c_str(), m_call_status, m_status.status, m_status.message.c_str());
        return S::RPC_INCOMPLETE;
    }
    status = m_status.status;
    OstrelAgent_Util::append_message(msg, m_status.message);
    if (status != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "%s failure: %s (%d)", m_log_name.c_str(),
                         m_status.message.c_str(), status);
        return S::RPC_SERVER_FAILURE;
    }
    return 0;
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, unsigned long value) {
    get_req_args()->add_arg(name, std::to_string(value));
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, unsigned int value) {
    get_req_args()->add_arg(name, std::to_string(static_cast<int>(value)));
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, int value) {
    get_req_args()->add_arg(name, std::string(value != 0 ? "1" : "0"));
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, const char* value) {
    get_req_args()->add_arg(name, value);
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, const qel_oid_s& value) {
    char text[QEL_OID_STR_SIZE];
    get_req_args()->add_arg(name, std::string(qel_oid_to_str(&value, text)));
}

void RClient_Abstract_Cmd::marshal_arg(const std::string& name, const qel_uuid_s& value) {
    char text[QEL_UUID_STR_SIZE];
    get_req_args()->add_arg(name, std::string(qel_uuid_to_str(&value, text)));
}

void RClient_Abstract_Cmd::unmarshal_item(const std::string& name, unsigned int& value) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_item");
    std::string text = m_parser->get_part_item(name);
    if (text.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "%s empty!", name.c_str());
        throw RClient_Malformed_Response_Exception();
    }
    long number = 0;
    if (strutl_strtol(text.c_str(), 10, &number) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "%s invalid!", name.c_str());
        throw RClient_Malformed_Response_Exception();
    }
    value = static_cast<unsigned int>(number);
}

int RClient_Abstract_Cmd::parse_content_with_len(unsigned int& len, char*& data) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "parse_content_with_len");
    len = 0;
    data = nullptr;
    uint64_t length = 0;
    if (!RClient_Multi_Part_Mixed_Doc::parse_length(m_parser->get_part_item(RClient_Base::CONTENT_LENGTH),
                                                    length) ||
        length > UINT32_MAX)
        return S::RC_BAD_CONTENT_LENGTH;
    if (m_parser->bytes_to_read() < length) return S::RC_PREMATURE_EOF;
    if (length == 0) return 0;
    char* buffer = static_cast<char*>(stg_malloc(static_cast<size_t>(length)));
    if (buffer == nullptr) {
        m_parser->copy_part_body(length, nullptr);
        return S::RC_NO_MEMORY;
    }
    m_parser->read_part_body(length, buffer);
    len = static_cast<unsigned int>(length);
    data = buffer;
    return 0;
}

int RClient_Abstract_Cmd::decode_part_body(const std::function<int(unsigned int, const char*)>& decode) {
    unsigned int len = 0;
    char* data = nullptr;
    int status = parse_content_with_len(len, data);
    if (status != 0) return status;
    status = decode(len, data);
    stg_free(data);
    return status;
}

bool RClient_Abstract_Cmd::refuse_null_view(const qel_uuid_s& view) {
    if (!qel_uuid_eq(&view, &QEL_UUID_NULL)) return false;
    m_status.status = S::RC_MARSHAL_FAILED;
    return true;
}

bool RClient_Abstract_Cmd::response_empty() const { return m_parser->response_size() == 0; }

bool RClient_Abstract_Cmd::transfer_finished() const {
    return m_reply_given || (m_generator != nullptr && m_generator->get_performed() != 0);
}

int RClient_Abstract_Cmd::keep_failure(int status) {
    if (m_reply_failure == 0) m_reply_failure = status;
    return m_reply_failure;
}

int RClient_Abstract_Cmd::read_status() {
    if (m_parser->get_part_item(RClient_Base::HAS_NON_OK_MSG) == "1") {
        uint64_t length = 0;
        if (RClient_Multi_Part_Mixed_Doc::parse_length(m_parser->get_part_item(RClient_Base::CONTENT_LENGTH),
                                                       length) &&
            m_parser->bytes_to_read() < length)
            return S::RC_PREMATURE_EOF; // the message is still on its way
    }
    return m_parser->unmarshal_result(m_status);
}

void RClient_Abstract_Cmd::keep_failure_with_text(int status, const std::string& text) {
    if (m_reply_failure != 0) return;
    keep_failure(status);
    m_status.message += text;
}

void RClient_Abstract_Cmd::refuse_reply(int status, const std::string& message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "refuse_reply");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "%s: reply refused (%d)", m_log_name.c_str(), status);
    // This failure is what the call reports, whatever was kept before.
    m_reply_failure = status;
    m_status.message += message;
    m_reply_refused = true;
    m_parser->refuse();
}

void RClient_Abstract_Cmd::refuse_long_part(const std::string& id, uint64_t length) {
    refuse_reply(S::RC_MALFORMED_REPLY,
                 OstrelAgent_Util::format(client_catalog(), RClient_Msg::REPLY_PART_TOO_LONG,
                                          id.c_str(), std::to_string(length).c_str(),
                                          std::to_string(m_part_limit).c_str()));
}

std::string RClient_Abstract_Cmd::cut_short_text() {
    return OstrelAgent_Util::format(client_catalog(), RClient_Msg::REPLY_CUT_SHORT);
}

int RClient_Abstract_Cmd::finish_reply() {
    if (m_reply_failure != 0 || m_reply_refused) return m_reply_failure;
    if (m_parser->refused()) {
        keep_failure_with_text(S::RC_MALFORMED_REPLY,
                               OstrelAgent_Util::format(client_catalog(), RClient_Msg::REPLY_MALFORMED,
                                                        S::RC_MALFORMED_REPLY));
    } else if (!m_parser->doc_ended()) {
        keep_failure_with_text(S::RC_PREMATURE_EOF, cut_short_text());
    } else if (m_status.status == -1) {
        keep_failure_with_text(S::RC_BAD_REPLY_ITEM,
                               OstrelAgent_Util::format(client_catalog(), RClient_Msg::REPLY_WITHOUT_STATUS));
    }
    return m_reply_failure;
}

int RClient_Abstract_Cmd::read_parts(const Part_Reader& part, const std::function<void()>& ended,
                                     const char* streamed) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_response");
    const bool finished = transfer_finished();
    // Every run starts at the first unconsumed byte, where the last one
    // stopped reading, whatever it read beyond.
    parser()->consume_response(0);
    if (response_empty()) {
        if (finished) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Response consumed");
            return finish_reply();
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Response consumed but RPC not complete!");
        return S::RC_HTTP_STATUS;
    }
    try {
        while (parser()->next_part(1) != 0) {
            const std::string id = parser()->get_part_item(RClient_Base::CONTENT_ID);
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Partid = %s", id.c_str());
            int status = 0;
            if (streamed != nullptr && id == streamed) {
                parser()->consume_response(parser()->read_location());
            } else if (parser()->part_length() > m_part_limit) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "part %s announces %llu bytes", id.c_str(),
                                 static_cast<unsigned long long>(parser()->part_length()));
                refuse_long_part(id, parser()->part_length());
                return m_reply_failure;
            } else if (parser()->bytes_to_read() < parser()->part_length()) {
                // Nothing of a part is taken before all of it is there, so
                // no step runs twice.
                status = S::RC_PREMATURE_EOF;
            }
            if (status == 0 && part) status = part(id);
            if (status == 0 && id == RClient_Base::CONTENT_ID_STATUS) {
                status = read_status();
                if (status == 0 && trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
                    trace.writeTrace("Status code = %d", m_status.status);
                    trace.writeTrace("Status message = %s", m_status.message.c_str());
                }
            }
            // A part cut short: the rest comes while the transfer runs; after
            // it, the reply ended inside the part.
            if (status == S::RC_PREMATURE_EOF) {
                if (!finished) return S::RC_HTTP_STATUS;
                keep_failure_with_text(status, cut_short_text());
                return m_reply_failure;
            }
            if (status != 0) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "part %s failed: %d", id.c_str(), status);
                keep_failure(status);
            }
        }
    } catch (const RClient_Parse_Exception& e) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Exception %d", e.get_code());
        if (ended) ended();
        return finished ? finish_reply() : S::RC_HTTP_STATUS;
    }
    if (ended) ended();
    return finished ? finish_reply() : m_reply_failure;
}
