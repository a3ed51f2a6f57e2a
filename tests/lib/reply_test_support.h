#pragma once
// Reads a reply text back into its root tag, attributes and child texts, so
// that tests compare what a client would see.

#include <map>
#include <string>
#include <vector>

#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_parser.h"

namespace lib_test {

// An element of a reply with everything below it, in document order.
struct Reply_Element {
    std::string tag;
    std::string text;
    std::map<std::string, std::string> attrs;
    std::vector<Reply_Element> children;

    bool operator==(const Reply_Element& other) const {
        return tag == other.tag && text == other.text && attrs == other.attrs && children == other.children;
    }
};

struct Reply {
    bool parsed = false;
    std::string root;
    std::map<std::string, std::string> attrs;
    std::map<std::string, std::string> children; // tag -> text
    int child_count = 0;
    // The root's children in order, repeated tags and nested elements kept.
    std::vector<Reply_Element> elements;

    bool has_attr(const std::string& name) const { return attrs.count(name) != 0; }
    bool has_child(const std::string& tag) const { return children.count(tag) != 0; }
};

inline Reply_Element read_element(const NorvaneXmlElem& elem) {
    Reply_Element out;
    out.tag = elem.get_tag();
    out.text = elem.get_value();
    for (const NorvaneXmlAttr* attr : elem.get_attrs()) out.attrs[attr->get_name()] = attr->get_value();
    for (const NorvaneXmlElem* child : elem.get_children()) out.children.push_back(read_element(*child));
    return out;
}

inline Reply read_reply(const std::string& text) {
    Reply reply;
    try {
        NorvaneXmlParser parser;
        NorvaneAutoPtr<NorvaneXmlDoc> doc = parser.parse_string(text);
        if (!doc || doc->get_root() == nullptr) return reply;
        const NorvaneXmlElem* root = doc->get_root();
        reply.root = root->get_tag();
        for (const NorvaneXmlAttr* attr : root->get_attrs())
            reply.attrs[attr->get_name()] = attr->get_value();
        for (const NorvaneXmlElem* child : root->get_children()) {
            reply.children[child->get_tag()] = child->get_value();
            reply.elements.push_back(read_element(*child));
            ++reply.child_count;
        }
        reply.parsed = true;
    } catch (...) {
    }
    return reply;
}

} // namespace lib_test
