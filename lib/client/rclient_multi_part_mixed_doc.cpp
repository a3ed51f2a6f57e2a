#include "lib/client/rclient_multi_part_mixed_doc.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "lib/client/rclient_base.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/utl/strutl.h"

namespace {

const char* const kClass = "RClient_Multi_Part_Mixed_Doc";
const char* const MP_BOUNDARY_PREFIX = "--";
const char* const MP_CONTENT_PREFIX = "Content-Type: multipart/mixed; boundary=";

// Consumed bytes are dropped from the stream's front once they are at least
// this many and at least as many as remain, so each byte is moved a bounded
// number of times.
const uint64_t COMPACT_MIN = 4096;

// Bodies are copied out in blocks of this size.
const size_t COPY_BLOCK = 65536;

const std::ios_base::openmode IN = std::ios_base::in;
const std::ios_base::openmode OUT = std::ios_base::out;

// The "Status" item: leading digits with an optional sign, 0 when none,
// held to the int range.
int lenient_int(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, value)));
}

} // namespace

RClient_Multi_Part_Mixed_Doc::RClient_Multi_Part_Mixed_Doc(std::stringstream* stream)
    : m_stream(stream), m_line_buffer(new char[LINE_BUFFER_SIZE]) {}

RClient_Multi_Part_Mixed_Doc::~RClient_Multi_Part_Mixed_Doc() = default;

uint64_t RClient_Multi_Part_Mixed_Doc::physical_size() const { return m_physical_size; }

uint64_t RClient_Multi_Part_Mixed_Doc::physical_get() const {
    std::streampos here = m_stream->rdbuf()->pubseekoff(0, std::ios_base::cur, IN);
    return here == std::streampos(-1) ? 0 : static_cast<uint64_t>(std::streamoff(here));
}

void RClient_Multi_Part_Mixed_Doc::set_physical_get(uint64_t position) const {
    m_stream->rdbuf()->pubseekpos(static_cast<std::streamoff>(position), IN);
}

void RClient_Multi_Part_Mixed_Doc::clamp_read_position() const {
    if (m_stream != nullptr && physical_get() < m_consumed) set_physical_get(m_consumed);
}

uint64_t RClient_Multi_Part_Mixed_Doc::response_size() const {
    if (m_stream == nullptr) return 0;
    return physical_size() - m_consumed;
}

uint64_t RClient_Multi_Part_Mixed_Doc::read_location() const {
    if (m_stream == nullptr) return 0;
    clamp_read_position();
    return physical_get() - m_consumed;
}

uint64_t RClient_Multi_Part_Mixed_Doc::bytes_to_read() const {
    if (m_stream == nullptr) return 0;
    return response_size() - read_location();
}

void RClient_Multi_Part_Mixed_Doc::append_response(const char* data, size_t length) {
    if (m_stream == nullptr || m_doc_ended || m_refused) return;
    m_stream->clear();
    std::streambuf* buf = m_stream->rdbuf();
    buf->pubseekoff(0, std::ios_base::end, OUT);
    std::streamsize put = buf->sputn(data, static_cast<std::streamsize>(length));
    if (put > 0) m_physical_size += static_cast<uint64_t>(put);
    set_physical_get(m_consumed);
}

void RClient_Multi_Part_Mixed_Doc::refuse() {
    if (m_refused) return;
    m_refused = true;
    // Nothing of the document is read any more: its bytes go now.
    if (m_stream != nullptr) consume_response(response_size());
}

void RClient_Multi_Part_Mixed_Doc::format_error() {
    refuse();
    throw RClient_Format_Error_Exception();
}

void RClient_Multi_Part_Mixed_Doc::consume_response(uint64_t count) {
    if (m_stream == nullptr) return;
    m_stream->clear();
    uint64_t size = physical_size();
    if (count > 0 && count <= size - m_consumed) m_consumed += count;
    uint64_t remaining = size - m_consumed;
    if (m_consumed > 0 && (remaining == 0 || (m_consumed >= COMPACT_MIN && m_consumed >= remaining))) {
        m_stream->str(m_stream->str().substr(m_consumed));
        m_consumed = 0;
        m_physical_size = remaining;
        m_stream->rdbuf()->pubseekoff(0, std::ios_base::end, OUT);
    }
    set_physical_get(m_consumed);
}

size_t RClient_Multi_Part_Mixed_Doc::read_to_EOL() {
    // Called for every line of a reply: its trace scope opens only for what
    // it has to say.
    clamp_read_position();
    std::streambuf* buf = m_stream->rdbuf();
    const int eof = std::char_traits<char>::eof();
    for (size_t length = 0;; ) {
        if (length == LINE_BUFFER_SIZE) return length; // the rest is the next line
        int c = buf->sbumpc();
        if (c != '\r' && c != eof) {
            m_line_buffer[length++] = static_cast<char>(c);
            continue;
        }
        if (c == '\r') c = buf->sbumpc();
        if (c == '\n') return length;
        OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "read_to_EOL");
        if (c != eof) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "LF not found after CR!");
            format_error();
        }
        // The data ends inside the line, or between its CR and LF: the rest
        // may still come.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Unexpected EOF found!");
        consume_response(0);
        throw RClient_Premature_EOF_Exception();
    }
}

void RClient_Multi_Part_Mixed_Doc::parse_pairs() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "parse_pairs");
    try {
        for (;;) {
            size_t length = read_to_EOL();
            if (length < 2) return;
            std::string line(m_line_buffer.get(), length);
            size_t colon = line.find(':');
            if (colon == std::string::npos) return;
            std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            OstrelAgent_Util::trim_in_place(name);
            OstrelAgent_Util::trim_in_place(value);
            m_part_items.emplace(name, value); // the first of a name wins
        }
    } catch (const RClient_Premature_EOF_Exception&) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "All pairs not yet received");
        m_part_items.clear();
        throw;
    }
}

bool RClient_Multi_Part_Mixed_Doc::set_boundary(const std::string& line) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "set_boundary");
    size_t at = line.find(MP_CONTENT_PREFIX);
    if (line.empty() || at == std::string::npos) return false;
    m_boundary = MP_BOUNDARY_PREFIX + line.substr(at + std::char_traits<char>::length(MP_CONTENT_PREFIX));
    m_end_of_doc = m_boundary + MP_BOUNDARY_PREFIX;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Boundary = [%s] and end of doc [%s]",
                     m_boundary.c_str(), m_end_of_doc.c_str());
    return true;
}

bool RClient_Multi_Part_Mixed_Doc::parse_length(const std::string& text, uint64_t& length) {
    unsigned long value = 0;
    if (strutl_strtoul(text.c_str(), 10, &value) != 0) return false;
    length = value;
    return true;
}

int RClient_Multi_Part_Mixed_Doc::next_part(int wait_for_content) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "next_part");
    clamp_read_position();
    if (m_refused) throw RClient_Format_Error_Exception();
    for (;;) {
        if (m_doc_ended) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "End of doc found.");
            return 0;
        }
        std::string line(m_line_buffer.get(), read_to_EOL());
        if (line.empty()) continue;
        if (m_boundary.empty()) {
            if (!set_boundary(line)) format_error();
            // The content-type line leaves the stream at once: a run that
            // starts over must not meet it again.
            consume_response(read_location());
            continue;
        }
        if (line == m_end_of_doc) {
            m_doc_ended = true;
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "End of doc found.");
            return 0;
        }
        if (line != m_boundary) format_error();
        break;
    }
    m_part_items.clear();
    parse_pairs();
    if (!parse_length(get_part_item(RClient_Base::CONTENT_LENGTH), m_part_length)) format_error();
    if (wait_for_content == 0 || bytes_to_read() >= m_part_length) consume_response(read_location());
    return 1;
}

std::string RClient_Multi_Part_Mixed_Doc::get_part_item(const std::string& name) const {
    auto it = m_part_items.find(name);
    return it == m_part_items.end() ? std::string() : it->second;
}

void RClient_Multi_Part_Mixed_Doc::copy_out(uint64_t length, std::ostream* out) {
    std::streambuf* buf = m_stream->rdbuf();
    std::unique_ptr<char[]> block(new char[static_cast<size_t>(std::min<uint64_t>(length, COPY_BLOCK)) + 1]);
    for (uint64_t left = length; left > 0;) {
        std::streamsize piece = static_cast<std::streamsize>(std::min<uint64_t>(left, COPY_BLOCK));
        std::streamsize got = buf->sgetn(block.get(), piece);
        if (got <= 0) break; // cannot happen: the caller counted the bytes
        if (out != nullptr) out->write(block.get(), got);
        left -= static_cast<uint64_t>(got);
    }
    if (out != nullptr) out->flush();
    consume_response(read_location());
}

uint64_t RClient_Multi_Part_Mixed_Doc::copy_part_body(uint64_t length, std::ostream* out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "copy_part_body");
    if (m_stream == nullptr || bytes_to_read() < length) return 0;
    copy_out(length, out);
    return length;
}

uint64_t RClient_Multi_Part_Mixed_Doc::read_part_body(uint64_t length, char* out) {
    if (m_stream == nullptr || bytes_to_read() < length) return 0;
    if (length > 0) m_stream->rdbuf()->sgetn(out, static_cast<std::streamsize>(length));
    consume_response(read_location());
    return length;
}

uint64_t RClient_Multi_Part_Mixed_Doc::write_content(uint64_t length, std::ostream* out) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "write_content");
    uint64_t available = bytes_to_read();
    if (length == 0 || available == 0) return 0;
    uint64_t count = std::min(length, available);
    copy_out(count, out);
    return count;
}

int RClient_Multi_Part_Mixed_Doc::unmarshal_result(RClient_Status& status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::RCLIENT, kClass, "unmarshal_result");
    std::string code = get_part_item(RClient_Base::STATUS);
    if (code.empty()) return OstrelAgent_Status::RC_MALFORMED_REPLY;
    status.status = lenient_int(code);
    if (get_part_item(RClient_Base::HAS_NON_OK_MSG) == "1") {
        uint64_t length = 0;
        if (!parse_length(get_part_item(RClient_Base::CONTENT_LENGTH), length))
            return OstrelAgent_Status::RC_MALFORMED_REPLY;
        std::ostringstream text;
        copy_part_body(length, &text);
        status.message = text.str();
    }
    return 0;
}
