#include "fakeserver/json_value.h"

#include <cstdlib>
#include <cstring>

namespace fakeserver {

namespace {
const Json& null_value() {
    static const Json value;
    return value;
}
const std::string& empty_text() {
    static const std::string text;
    return text;
}
} // namespace

const std::string& Json::as_string() const { return m_type == Type::String ? m_string : empty_text(); }

const Json& Json::operator[](size_t index) const {
    return index < m_items.size() ? m_items[index] : null_value();
}

const Json& Json::operator[](const std::string& key) const {
    for (size_t i = 0; i < m_keys.size(); ++i)
        if (m_keys[i] == key) return m_items[i];
    return null_value();
}

bool Json::has(const std::string& key) const {
    for (const std::string& k : m_keys)
        if (k == key) return true;
    return false;
}

// A recursive descent over the text; `fail` records the first error.
class Json_Reader {
public:
    explicit Json_Reader(const std::string& text) : m_text(text) {}

    bool read_document(Json& out) {
        if (!read_value(out, 0)) return false;
        skip_blanks();
        return m_pos == m_text.size() || fail("text after the value");
    }
    std::string error() const { return m_error + " at offset " + std::to_string(m_pos); }

private:
    static constexpr int MAX_DEPTH = 64;

    bool fail(const char* what) {
        if (m_error.empty()) m_error = what;
        return false;
    }
    void skip_blanks() {
        while (m_pos < m_text.size() && std::strchr(" \t\r\n", m_text[m_pos]) != nullptr) ++m_pos;
    }
    bool take(char c) {
        skip_blanks();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool take_word(const char* word) {
        size_t n = std::strlen(word);
        if (m_text.compare(m_pos, n, word) != 0) return false;
        m_pos += n;
        return true;
    }

    bool read_value(Json& out, int depth) {
        if (depth > MAX_DEPTH) return fail("nested too deep");
        skip_blanks();
        if (m_pos >= m_text.size()) return fail("missing value");
        char c = m_text[m_pos];
        if (c == '{') return read_object(out, depth);
        if (c == '[') return read_array(out, depth);
        if (c == '"') {
            out.m_type = Json::Type::String;
            return read_string(out.m_string);
        }
        if (take_word("true") || take_word("false")) {
            out.m_type = Json::Type::Bool;
            out.m_bool = c == 't';
            return true;
        }
        if (take_word("null")) {
            out.m_type = Json::Type::Null;
            return true;
        }
        const char* start = m_text.c_str() + m_pos;
        char* end = nullptr;
        out.m_number = std::strtod(start, &end);
        if (end == start) return fail("not a value");
        out.m_type = Json::Type::Number;
        m_pos += static_cast<size_t>(end - start);
        return true;
    }

    bool read_array(Json& out, int depth) {
        out.m_type = Json::Type::Array;
        ++m_pos;
        if (take(']')) return true;
        do {
            out.m_items.emplace_back();
            if (!read_value(out.m_items.back(), depth + 1)) return false;
        } while (take(','));
        return take(']') || fail("expected ']'");
    }

    bool read_object(Json& out, int depth) {
        out.m_type = Json::Type::Object;
        ++m_pos;
        if (take('}')) return true;
        do {
            skip_blanks();
            out.m_keys.emplace_back();
            if (m_pos >= m_text.size() || m_text[m_pos] != '"') return fail("expected a key");
            if (!read_string(out.m_keys.back())) return false;
            if (!take(':')) return fail("expected ':'");
            out.m_items.emplace_back();
            if (!read_value(out.m_items.back(), depth + 1)) return false;
        } while (take(','));
        return take('}') || fail("expected '}'");
    }

    bool read_hex4(unsigned& code) {
        if (m_pos + 4 > m_text.size()) return fail("short \\u escape");
        code = 0;
        for (int i = 0; i < 4; ++i) {
            char h = m_text[m_pos++];
            unsigned digit = h >= '0' && h <= '9'   ? h - '0'
                             : h >= 'a' && h <= 'f' ? h - 'a' + 10
                             : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                    : 16;
            if (digit == 16) return fail("bad \\u escape");
            code = code * 16 + digit;
        }
        return true;
    }

    static void put_utf8(std::string& out, unsigned code) {
        if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
        } else {
            if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            }
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (code & 0x3F));
    }

    bool read_string(std::string& out) {
        ++m_pos; // the opening quote
        while (m_pos < m_text.size()) {
            char c = m_text[m_pos++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) break;
            char e = m_text[m_pos++];
            const char* plain = std::strchr("\"\\/bfnrt", e);
            if (plain != nullptr && e != '\0') {
                out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
                continue;
            }
            if (e != 'u') return fail("bad escape");
            unsigned code = 0;
            if (!read_hex4(code)) return false;
            if (code >= 0xD800 && code < 0xDC00 && m_text.compare(m_pos, 2, "\\u") == 0) {
                m_pos += 2;
                unsigned low = 0;
                if (!read_hex4(low)) return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            if (code < 0x100) {
                out += static_cast<char>(code); // a logged byte
            } else {
                put_utf8(out, code);
            }
        }
        return fail("unterminated string");
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::string m_error;
};

bool Json::parse(const std::string& text, Json& out, std::string* error) {
    out = Json();
    Json_Reader reader(text);
    if (reader.read_document(out)) return true;
    if (error != nullptr) *error = reader.error();
    return false;
}

} // namespace fakeserver
