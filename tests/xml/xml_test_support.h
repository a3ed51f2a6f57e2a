#pragma once
// Helpers for the XML layer's tests: parsing to a tree or to the error text,
// and a structural comparison of two trees (by content, not by identity).

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <xercesc/sax/SAXParseException.hpp>

#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_parser.h"
#include "xml/norvane_xml_util.h"

namespace xml_test {

// The outcome of one parse: the document, or which exception and its text.
struct Parsed {
    NorvaneAutoPtr<NorvaneXmlDoc> doc;
    std::string error;          // empty on success
    bool encoding_error = false;
    unsigned long line = 0;
    unsigned long column = 0;
};

inline Parsed parse(const std::string& text) {
    Parsed result;
    NorvaneXmlParser parser;
    try {
        result.doc = parser.parse_string(text);
    } catch (const NorvaneXmlParser::NorvaneXmlEncodingException& e) {
        result.encoding_error = true;
        result.error = NorvaneXmlUtil::xerces_to_native(e.getMessage());
        result.line = static_cast<unsigned long>(e.getLineNumber());
        result.column = static_cast<unsigned long>(e.getColumnNumber());
    } catch (const xercesc::SAXParseException& e) {
        result.error = NorvaneXmlUtil::xerces_to_native(e.getMessage());
        result.line = static_cast<unsigned long>(e.getLineNumber());
        result.column = static_cast<unsigned long>(e.getColumnNumber());
    }
    return result;
}

// The attributes of `e` as (name, value) pairs, sorted by name.
inline std::vector<std::pair<std::string, std::string>> sorted_attrs(const NorvaneXmlElem* e) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const NorvaneXmlAttr* a : e->get_attrs()) out.emplace_back(a->get_name(), a->get_value());
    std::sort(out.begin(), out.end());
    return out;
}

// Tags, texts, attributes (by value; in order unless `any_attr_order`, as a
// DOM writer keeps them in its own order) and children (recursively, in
// order) agree. Walks with an explicit stack so deep trees are fine.
inline bool same_tree(const NorvaneXmlElem* a, const NorvaneXmlElem* b, std::string* why = nullptr,
                      bool any_attr_order = false) {
    std::vector<std::pair<const NorvaneXmlElem*, const NorvaneXmlElem*>> pending{{a, b}};
    while (!pending.empty()) {
        const NorvaneXmlElem* x = pending.back().first;
        const NorvaneXmlElem* y = pending.back().second;
        pending.pop_back();
        if (x == nullptr || y == nullptr) {
            if (x != y && why) *why = "one element is null";
            if (x != y) return false;
            continue;
        }
        auto fail = [&](const std::string& what) {
            if (why) *why = what + " differs at <" + x->get_tag() + "> / <" + y->get_tag() + ">";
            return false;
        };
        if (x->get_tag() != y->get_tag()) return fail("tag");
        if (x->get_value() != y->get_value()) return fail("text");
        const auto& xa = x->get_attrs();
        const auto& ya = y->get_attrs();
        if (xa.size() != ya.size()) return fail("attribute count");
        if (any_attr_order) {
            if (sorted_attrs(x) != sorted_attrs(y)) return fail("attributes");
        } else {
            for (size_t i = 0; i < xa.size(); ++i) {
                if (*xa[i] != *ya[i]) return fail("attribute " + xa[i]->get_name());
            }
        }
        const auto& xc = x->get_children();
        const auto& yc = y->get_children();
        if (xc.size() != yc.size()) return fail("child count");
        for (auto i = xc.begin(), j = yc.begin(); i != xc.end(); ++i, ++j) pending.push_back({*i, *j});
    }
    return true;
}

} // namespace xml_test
