#pragma once
// A reply reader for the client's tests, driven the way a command drives
// the multipart parser: each piece of reply is appended and the parts that
// are complete so far are read; a part whose body has not arrived whole
// waits for the next piece; parse failures count only on the last run,
// after the transfer, since until then more data may still come. What it
// read is kept for the test to compare.

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/client/rclient_base.h"
#include "lib/client/rclient_cb.h"
#include "lib/client/rclient_multi_part_mixed_doc.h"
#include "lib/core/ostrelagent_status.h"

namespace client_test {

struct Part {
    std::string id;
    std::map<std::string, std::string> items; // the items the reader was asked for
    std::string body;
    bool operator==(const Part& other) const {
        return id == other.id && items == other.items && body == other.body;
    }
};

class Reply_Reader {
public:
    explicit Reply_Reader(std::vector<std::string> item_names = {}) : m_item_names(std::move(item_names)) {}

    Reply_Reader(const Reply_Reader&) = delete;
    Reply_Reader& operator=(const Reply_Reader&) = delete;

    // A piece of the reply, then a run over what is complete.
    void feed(const char* data, size_t length) {
        m_doc.append_response(data, length);
        ++pieces;
        run(false);
    }
    void feed(const std::string& data) { feed(data.data(), data.size()); }
    // The last run, after the transfer: what is still missing is a failure.
    void finish() {
        m_doc.consume_response(0);
        run(true);
    }

    // The reader procedure for the HTTP client, through `cb`.
    static int read_proc(void* owner, char* data, unsigned int length) {
        static_cast<Reply_Reader*>(owner)->feed(data, length);
        return 0;
    }

    std::vector<Part> parts;
    RClient_Status status;
    bool status_seen = false;
    bool ended = false;
    int error = 0;            // the status of the last run: 0, 30006, 30007
    size_t pieces = 0;        // pieces fed
    uint64_t high_water = 0;  // most unconsumed bytes held after a run
    RClient_CB cb{&Reply_Reader::read_proc, this};

private:
    void run(bool last) {
        error = 0;
        try {
            for (;;) {
                if (m_doc.next_part(1) == 0) {
                    ended = true;
                    break;
                }
                uint64_t length = 0;
                RClient_Multi_Part_Mixed_Doc::parse_length(m_doc.get_part_item(RClient_Base::CONTENT_LENGTH), length);
                if (m_doc.bytes_to_read() < length) {
                    if (last) error = OstrelAgent_Status::RC_PREMATURE_EOF;
                    break; // the body is still on its way
                }
                Part part;
                part.id = m_doc.get_part_item(RClient_Base::CONTENT_ID);
                for (const std::string& name : m_item_names) part.items[name] = m_doc.get_part_item(name);
                if (part.id == RClient_Base::CONTENT_ID_STATUS) {
                    int rc = m_doc.unmarshal_result(status);
                    if (rc != 0) {
                        m_status_error = rc; // the part is gone: keep its failure
                        break;
                    }
                    status_seen = true;
                    continue;
                }
                std::ostringstream body;
                m_doc.copy_part_body(length, &body);
                part.body = body.str();
                parts.push_back(part);
            }
        } catch (const RClient_Parse_Exception& e) {
            if (last) error = e.get_code();
        }
        if (error == 0) error = m_status_error;
        high_water = std::max(high_water, m_doc.response_size());
    }

    std::vector<std::string> m_item_names;
    int m_status_error = 0;
    std::stringstream m_stream;
    RClient_Multi_Part_Mixed_Doc m_doc{&m_stream};
};

} // namespace client_test
