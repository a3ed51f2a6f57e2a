#include "xml/norvane_xml_elem.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "xml/norvane_str_util.h"

namespace {

const char* const AMPERSAND_CHAR = "&";
const char* const AMPERSAND_ENTITY_REF = "&amp;";
const char* const GREATER_THAN_CHAR = ">";
const char* const GREATER_THAN_ENTITY_REF = "&gt;";
const char* const LESS_THAN_CHAR = "<";
const char* const LESS_THAN_ENTITY_REF = "&lt;";

} // namespace

NorvaneXmlElem::NorvaneXmlElem(NorvaneXmlDoc* document, NorvaneXmlElem* parent,
                               const std::string& tag, const std::string& text)
    : m_tag(tag), m_text(text), m_document(document), m_parent(parent) {
    if (m_parent != nullptr) m_parent->m_children.push_back(this);
}

NorvaneXmlElem::~NorvaneXmlElem() {
    if (m_parent != nullptr) m_parent->forget_child(this);
    for (NorvaneXmlAttr* attr : m_attrs) delete attr;

    // Free the subtree from a work list rather than by recursion. Each
    // element is cut loose (no parent, no children) before it is deleted, so
    // its own destructor has nothing left to walk.
    std::vector<NorvaneXmlElem*> pending;
    auto take_children = [&pending](NorvaneXmlElem* elem) {
        pending.insert(pending.end(), elem->m_children.begin(), elem->m_children.end());
        pending.insert(pending.end(), elem->m_extracted.begin(), elem->m_extracted.end());
        elem->m_children.clear();
        elem->m_extracted.clear();
        elem->m_resume.clear();
    };
    take_children(this);
    while (!pending.empty()) {
        NorvaneXmlElem* elem = pending.back();
        pending.pop_back();
        elem->m_parent = nullptr;
        take_children(elem);
        delete elem;
    }
}

void NorvaneXmlElem::forget_child(NorvaneXmlElem* child) {
    auto it = std::find(m_children.begin(), m_children.end(), child);
    if (it != m_children.end()) erase_child(it);
    it = std::find(m_extracted.begin(), m_extracted.end(), child);
    if (it != m_extracted.end()) m_extracted.erase(it);
}

void NorvaneXmlElem::erase_child(ElemList::iterator it) {
    const ElemList::iterator next = std::next(it);
    for (size_t i = 0; i < m_resume.size();) {
        if (m_resume[i].second != it) {
            ++i;
        } else if (next != m_children.end()) {
            m_resume[i++].second = next;
        } else {
            // The end is no resume point: children added later come there.
            m_resume.erase(m_resume.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    m_children.erase(it);
}

void NorvaneXmlElem::add_attr(const std::string& name, const std::string& value) {
    m_attrs.push_back(new NorvaneXmlAttr(name, value));
}

NorvaneXmlAttr* NorvaneXmlElem::find_attr(const std::string& name) const {
    for (NorvaneXmlAttr* attr : m_attrs) {
        if (attr->get_name() == name) return attr;
    }
    return nullptr;
}

std::string NorvaneXmlElem::get_attr(const std::string& name) const {
    const NorvaneXmlAttr* attr = find_attr(name);
    return attr == nullptr ? std::string() : attr->get_value();
}

NorvaneXmlElem* NorvaneXmlElem::extract_child(const std::string& tag) {
    auto resume = std::find_if(m_resume.begin(), m_resume.end(),
                               [&tag](const auto& entry) { return entry.first == tag; });
    auto it = resume != m_resume.end() ? resume->second : m_children.begin();
    while (it != m_children.end() && (*it)->m_tag != tag) ++it;
    if (it == m_children.end()) return nullptr;

    NorvaneXmlElem* child = *it;
    if (resume == m_resume.end()) {
        m_resume.emplace_back(tag, it);
    } else {
        resume->second = it;
    }
    erase_child(it); // moves the resume point on past the child
    m_extracted.push_back(child);
    return child;
}

std::string NorvaneXmlElem::get_encoded_value() const {
    std::string text = NorvaneStrUtil::replace_all(m_text, AMPERSAND_CHAR, AMPERSAND_ENTITY_REF);
    text = NorvaneStrUtil::replace_all(text, GREATER_THAN_CHAR, GREATER_THAN_ENTITY_REF);
    return NorvaneStrUtil::replace_all(text, LESS_THAN_CHAR, LESS_THAN_ENTITY_REF);
}

bool NorvaneXmlElem::operator==(const NorvaneXmlElem& other) const {
    return m_tag == other.m_tag && m_text == other.m_text && m_children == other.m_children &&
           m_attrs == other.m_attrs;
}

std::ostream& operator<<(std::ostream& os, const NorvaneXmlElem* elem) {
    if (elem == nullptr) return os;

    // Writes the start tag; true when content and an end tag must follow.
    auto open = [&os](const NorvaneXmlElem* e) {
        os << '<' << e->m_tag;
        for (const NorvaneXmlAttr* attr : e->m_attrs) os << ' ' << attr;
        if (e->m_text.empty() && e->m_children.empty()) {
            os << "/>";
            return false;
        }
        os << '>';
        // A carriage return as it stands would read back as a line feed.
        if (!e->m_text.empty()) {
            os << NorvaneStrUtil::replace_all(e->get_encoded_value(), "\r", "&#13;");
        }
        return true;
    };

    struct Open {
        const NorvaneXmlElem* elem;
        NorvaneXmlElem::ElemList::const_iterator next;
    };
    std::vector<Open> stack;
    if (open(elem)) stack.push_back({elem, elem->m_children.begin()});
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.next == top.elem->m_children.end()) {
            os << "</" << top.elem->m_tag << '>';
            stack.pop_back();
            continue;
        }
        const NorvaneXmlElem* child = *top.next++;
        if (open(child)) stack.push_back({child, child->m_children.begin()});
    }
    return os;
}
