#include "xml/norvane_xml_attr.h"

NorvaneXmlAttr::NorvaneXmlAttr(const std::string& name, const std::string& value)
    : m_name(name), m_value(value) {}

bool NorvaneXmlAttr::operator==(const NorvaneXmlAttr& other) const {
    return m_name == other.m_name && m_value == other.m_value;
}

std::string NorvaneXmlAttr::get_encoded_value() const {
    std::string out;
    out.reserve(m_value.size());
    for (char c : m_value) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        // A reader turns these into blanks when they stand in a value as
        // they are; references keep them.
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, const NorvaneXmlAttr* attr) {
    if (attr == nullptr) return os;
    return os << attr->get_name() << "=\"" << attr->get_encoded_value() << '"';
}
