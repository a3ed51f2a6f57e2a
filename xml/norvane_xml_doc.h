#pragma once
// The one document class. It has two roles that share no data:
//
// - Parse target: the parser's handler drives push/pop/construct and the
//   request operation reads the element tree from get_root.
// - Writer: a reply is built on a Xerces-C DOM document with
//   create_root_elem, push_elem, pop_elem, add_elem, add_attr and set_body,
//   and turned into text with get_string: UTF-8, starting with the XML
//   declaration, with no line breaks or indentation added.
//
// A document belongs to one thread at a time; nothing here locks.

#include <string>

#include <xercesc/util/XercesDefs.hpp>

class NorvaneXmlElem;

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMImplementation;
class DOMLSSerializer;
class DOMNode;
XERCES_CPP_NAMESPACE_END

class NorvaneXmlDoc {
public:
    NorvaneXmlDoc() = default;
    // Releases the DOM document and its serializer and frees the parsed tree.
    virtual ~NorvaneXmlDoc();

    NorvaneXmlDoc(const NorvaneXmlDoc&) = delete;
    NorvaneXmlDoc& operator=(const NorvaneXmlDoc&) = delete;

    // ---- parse target ----

    // Makes an element with `tag` inside the current one (or the root when
    // there is none yet) and makes it current.
    virtual NorvaneXmlElem* push(const std::string& tag);
    // Makes the current element's parent current (null after the root).
    virtual NorvaneXmlElem* pop();
    // A new element of this document with an empty text, linked into
    // `parent`'s children.
    virtual NorvaneXmlElem* construct(const std::string& tag, NorvaneXmlElem* parent);

    NorvaneXmlElem* get_curr() { return m_current; }
    const NorvaneXmlElem* get_curr() const { return m_current; }
    // Null when nothing was parsed.
    NorvaneXmlElem* get_root() { return m_root; }
    const NorvaneXmlElem* get_root() const { return m_root; }
    bool is_empty() const { return m_root == nullptr; }

    // ---- writer ----
    // Each returns 0 or a base status: 1062 when the DOM implementation
    // "core" is missing, 1001 when the DOM refuses a step (for example a name
    // XML does not allow, or a text or value holding a character XML cannot
    // carry, such as most control characters), 1008 when a step is asked for without a document
    // (create_root_elem not called, or failed).

    // Creates the DOM document with its root element `tag`, which becomes the
    // current element. Called once; a second call starts a new document.
    int create_root_elem(const std::string& tag);
    // Appends an element `tag` to the current one and makes it current. On
    // failure the current element is unchanged.
    int push_elem(const std::string& tag);
    // Makes the current element's parent current and returns it; at the
    // document node nothing changes.
    xercesc::DOMNode* pop_elem();
    // Sets an attribute of the current element; an existing one of the same
    // name takes the new value.
    int add_attr(const std::string& name, const std::string& value);
    // Appends a text node to the current element (even an empty one).
    int set_body(const std::string& text);
    // push_elem, set_body and pop_elem: a child element holding `text`. When
    // the text is refused the element is not added either.
    int add_elem(const std::string& tag, const std::string& text);
    // The whole document as UTF-8 text; empty when there is no document (or
    // the serializer fails). Each call writes the document anew.
    void get_string(std::string& out) const;

private:
    void release_dom();

    NorvaneXmlElem* m_root = nullptr;    // owned
    NorvaneXmlElem* m_current = nullptr; // not owned

    xercesc::DOMDocument* m_dom_doc = nullptr;         // owned
    xercesc::DOMImplementation* m_dom_impl = nullptr;  // not owned
    xercesc::DOMNode* m_current_dom = nullptr;         // not owned
    xercesc::DOMLSSerializer* m_serializer = nullptr;  // owned
};
