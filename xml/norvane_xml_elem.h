#pragma once
// One element of a parsed XML document: its tag, the character data standing
// directly in it, its attributes and its child elements.
//
// Reading children is consuming: extract_child takes the first child with a
// tag out of the children list (it stays alive, owned by this element, until
// the element is destroyed), so repeated calls walk the children of one tag
// in document order and each child is read once.
//
// An element owns its attributes, its children and its extracted children;
// destroying an element frees its whole subtree and unlinks it from its
// parent. Trees of any depth are freed and printed without recursion, so a
// deeply nested request cannot exhaust a thread's stack.
//
// A tree is used by one thread at a time; nothing here locks.

#include <list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "xml/norvane_xml_attr.h"

class NorvaneXmlDoc;

class NorvaneXmlElem {
public:
    using ElemList = std::list<NorvaneXmlElem*>;
    using AttrList = std::vector<NorvaneXmlAttr*>;

    // Links the new element at the end of `parent`'s children when the parent
    // is not null.
    NorvaneXmlElem(NorvaneXmlDoc* document, NorvaneXmlElem* parent, const std::string& tag,
                   const std::string& text);
    virtual ~NorvaneXmlElem();

    NorvaneXmlElem(const NorvaneXmlElem&) = delete;
    NorvaneXmlElem& operator=(const NorvaneXmlElem&) = delete;

    std::string get_tag() const { return m_tag; }
    std::string get_value() const { return m_text; }
    // Appends to the text: character data arrives in chunks.
    void add_value(const std::string& text) { m_text += text; }

    // Appends an attribute; a second one of the same name is kept as well.
    virtual void add_attr(const std::string& name, const std::string& value);
    // The first attribute named exactly `name`, or null.
    NorvaneXmlAttr* find_attr(const std::string& name) const;
    // The value of find_attr's attribute, or the empty string.
    std::string get_attr(const std::string& name) const;
    bool has_attr(const std::string& name) const { return find_attr(name) != nullptr; }
    const AttrList& get_attrs() const { return m_attrs; }

    // The children not yet extracted, in document order.
    const ElemList& get_children() const { return m_children; }
    NorvaneXmlElem* get_parent() { return m_parent; }
    const NorvaneXmlElem* get_parent() const { return m_parent; }
    bool is_root() const { return m_parent == nullptr; }
    NorvaneXmlDoc* get_document() const { return m_document; }

    // Takes the first child tagged exactly `tag` out of the children list and
    // returns it; null (and nothing changes) when there is none.
    NorvaneXmlElem* extract_child(const std::string& tag);

    // The text with "&", ">" and "<" escaped, in that order, so the
    // references inserted are not escaped again.
    std::string get_encoded_value() const;

    // Same tag and text, the very same child objects in the same order and
    // the very same attribute objects in the same order. Extracted children
    // take no part.
    bool operator==(const NorvaneXmlElem& other) const;
    bool operator!=(const NorvaneXmlElem& other) const { return !(*this == other); }

private:
    friend std::ostream& operator<<(std::ostream& os, const NorvaneXmlElem* elem);

    // Unlinks `child` from the children and the extracted children.
    void forget_child(NorvaneXmlElem* child);
    // Takes `it` out of the children, moving a resume point that names it on
    // to the next child.
    void erase_child(ElemList::iterator it);

    std::string m_tag;
    std::string m_text;
    NorvaneXmlDoc* m_document; // not owned
    NorvaneXmlElem* m_parent;  // not owned
    ElemList m_children;       // owned
    ElemList m_extracted;      // owned
    AttrList m_attrs;          // owned
    // Per tag read by extract_child, where its next search may start: no
    // child before that point has the tag (children are only ever added at
    // the end), so reading all children of a tag takes one pass.
    std::vector<std::pair<std::string, ElemList::iterator>> m_resume;
};

// Prints the element and its (not extracted) children as XML, with no
// declaration, line breaks or indentation. An element's text is printed
// before its children (escaped as get_encoded_value does, and a carriage
// return as a character reference); an element with neither is printed as
// "<tag .../>".
// A null element prints nothing.
std::ostream& operator<<(std::ostream& os, const NorvaneXmlElem* elem);
