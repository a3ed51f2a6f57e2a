#pragma once
// One attribute of a parsed element: its name as written and its value after
// the parser expanded references.

#include <ostream>
#include <string>

class NorvaneXmlAttr {
public:
    NorvaneXmlAttr(const std::string& name, const std::string& value);

    std::string get_name() const { return m_name; }
    std::string get_value() const { return m_value; }

    // Names and values both equal byte for byte.
    bool operator==(const NorvaneXmlAttr& other) const;
    bool operator!=(const NorvaneXmlAttr& other) const { return !(*this == other); }

    // The value escaped for a double-quoted attribute: "&", "<", ">" and '"'
    // as entity references, tab, newline and carriage return as character
    // references (so that reading the text back gives the same value).
    std::string get_encoded_value() const;

private:
    std::string m_name;
    std::string m_value;
};

// Prints `name="value"` with the value escaped; an empty value prints as
// `name=""`. A null attribute prints nothing.
std::ostream& operator<<(std::ostream& os, const NorvaneXmlAttr* attr);
