#pragma once
// A JSON value, as the fake server's log holds them, and its reader. Strings
// come back as bytes: "\u00XX" (the log writes bytes as latin-1 code points)
// is the byte XX; higher code points become UTF-8.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fakeserver {

class Json {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Type type() const { return m_type; }
    bool is_null() const { return m_type == Type::Null; }

    // The value as that type; a default (false, 0, "") for another type.
    bool as_bool() const { return m_type == Type::Bool && m_bool; }
    double as_number() const { return m_type == Type::Number ? m_number : 0; }
    long as_long() const { return static_cast<long>(as_number()); }
    const std::string& as_string() const;

    // An array's elements or an object's values, in order.
    size_t size() const { return m_items.size(); }
    const Json& operator[](size_t index) const;
    const std::vector<Json>& items() const { return m_items; }
    // An object's member, or a null value when it has none.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](const char* key) const { return (*this)[std::string(key)]; }
    bool has(const std::string& key) const;

    // The whole text of a value: one value and blanks only. False (and
    // `error` says where) for anything else.
    static bool parse(const std::string& text, Json& out, std::string* error = nullptr);

private:
    friend class Json_Reader;
    Type m_type = Type::Null;
    bool m_bool = false;
    double m_number = 0;
    std::string m_string;
    std::vector<Json> m_items;
    std::vector<std::string> m_keys; // an object's keys, one per item
};

} // namespace fakeserver
