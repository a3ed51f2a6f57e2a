#pragma once
// An incremental reader of the server's multipart/mixed replies. The reply
// arrives in pieces: the command appends each piece to its stream with
// append_response and runs its reply reader, which walks the parts that are
// complete so far and leaves the rest for the next run. Every line ends with
// CR LF:
//
//   Content-Type: multipart/mixed; boundary=B    (first non-empty line)
//   --B                                          (one per part)
//   Name: value                                  (items, the first of a name wins)
//   Content-Length: n
//                                                (an empty line ends the items)
//   n bytes of body
//   --B--                                        (end; nothing after it is read)
//
// Empty lines may stand before the first line, between a body and the next
// delimiter, and before the end.
//
// What the parser has consumed leaves the stream's contents; sizes and
// positions below count only what remains, whatever the stream holds
// physically (it drops consumed bytes in batches, so that a long reply costs
// time in proportion to its length). Ask the parser, not the stream, how
// much it holds; a read position set on the stream before the first
// unconsumed byte (a rewind to 0) counts as that byte.
//
// Failures are thrown: RClient_Premature_EOF_Exception (30006) when the data
// ends inside a line (more may still come: the read position is back at the
// first unconsumed byte, so the next run starts over there), and
// RClient_Format_Error_Exception (30007) when the reply breaks the format.
//
// Once the document has ended, or has broken its format (a failure that
// reading again cannot mend), what still arrives is dropped: a server that
// goes on sending costs no memory.
//
// A parser and its stream belong to one command and its one thread; bytes
// reach the stream only through append_response.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "lib/client/rclient_parse_exception.h"
#include "lib/client/rclient_status.h"

class RClient_Multi_Part_Mixed_Doc {
public:
    // A longer line is read as several lines of at most this length.
    static constexpr size_t LINE_BUFFER_SIZE = 2048;

    // `stream` (not owned) is opened for reading and writing.
    explicit RClient_Multi_Part_Mixed_Doc(std::stringstream* stream);
    virtual ~RClient_Multi_Part_Mixed_Doc();

    RClient_Multi_Part_Mixed_Doc(const RClient_Multi_Part_Mixed_Doc&) = delete;
    RClient_Multi_Part_Mixed_Doc& operator=(const RClient_Multi_Part_Mixed_Doc&) = delete;

    // Appends a piece of the reply at the stream's end and rewinds the read
    // position to the first unconsumed byte, ready for the next run. After
    // the document's end, or once it is refused, the piece is dropped.
    void append_response(const char* data, size_t length);

    // Gives up on the document: every later next_part throws the format
    // error and every later piece is dropped.
    void refuse();
    bool refused() const { return m_refused; }
    bool doc_ended() const { return m_doc_ended; }

    // Reads up to and including the next part's items. 1 when a part's items
    // are ready (get_part_item), 0 when the document has ended (also on every
    // later call). With `wait_for_content` 0, or when the whole body has
    // arrived, the delimiter and items leave the stream and the body starts
    // at the read position; otherwise the stream is left as it was, the read
    // position after the items, and a later run reads the part again.
    int next_part(int wait_for_content);

    // The value of the current part's item `name` (exact match), or "".
    std::string get_part_item(const std::string& name) const;
    // The current part's body length, its "Content-Length".
    uint64_t part_length() const { return m_part_length; }

    // All or nothing: when `length` bytes follow the read position, writes
    // them to `out` (when given; flushed), consumes them and returns
    // `length`; otherwise returns 0 and changes nothing.
    uint64_t copy_part_body(uint64_t length, std::ostream* out = nullptr);
    // All or nothing, as copy_part_body, into `out`, which has room for
    // `length` bytes.
    uint64_t read_part_body(uint64_t length, char* out);
    // As much as has arrived, up to `length`: copied like copy_part_body.
    uint64_t write_content(uint64_t length, std::ostream* out = nullptr);

    // Reads the current part as the "Status" part into `status`: 0, or
    // 30007 when its "Status" item is missing, or it says it carries a
    // message ("HasNonOkMsg" "1") and its length is not a number. The
    // message is empty while its body has not arrived whole.
    int unmarshal_result(RClient_Status& status);

    // Drops the first `count` bytes (when 0 < count <= response_size()) and
    // in every case rewinds the read position to the first unconsumed byte.
    void consume_response(uint64_t count);

    uint64_t response_size() const; // unconsumed bytes
    uint64_t read_location() const; // read position within them
    uint64_t bytes_to_read() const; // response_size() - read_location()

    // Reads one line into the line buffer and returns its length, without
    // its CR LF.
    size_t read_to_EOL();
    // Reads a part's items, up to and including the line that ends them.
    void parse_pairs();
    // Takes the boundary from the document's content-type line; false (and
    // nothing changes) for any other line.
    bool set_boundary(const std::string& line);

    // A body length: a decimal of digits only that fits 64 bits.
    static bool parse_length(const std::string& text, uint64_t& length);

private:
    // Physical positions in the stream's buffer; its size is counted here,
    // since every byte comes through append_response.
    uint64_t physical_size() const;
    uint64_t physical_get() const;
    void set_physical_get(uint64_t position) const;
    // Moves a read position that stands among consumed bytes to the first
    // unconsumed one.
    void clamp_read_position() const;
    // Copies `length` bytes from the read position to `out` (when given).
    void copy_out(uint64_t length, std::ostream* out);
    // The document breaks its format: refused, and the format error thrown.
    [[noreturn]] void format_error();

    std::stringstream* m_stream;
    uint64_t m_consumed = 0; // consumed bytes still held at the stream's front
    uint64_t m_physical_size = 0;
    uint64_t m_part_length = 0;
    std::string m_end_of_doc;
    std::string m_boundary;
    std::unique_ptr<char[]> m_line_buffer;
    std::map<std::string, std::string> m_part_items;
    bool m_doc_ended = false;
    bool m_refused = false;
};
