#pragma once
// The request parser: XML text to a NorvaneXmlDoc element tree.
//
// A Xerces-C SAX2 reader with validation, namespaces and schema processing
// switched off. A document type declaration (and with it any entity
// declaration, so any entity expansion attack) is refused with "DTDs not
// supported", and every external entity the reader asks for reads as empty
// text: a request can never make the process read a file or open a
// connection. Names and texts reach the tree in the local code page; a text
// the code page cannot represent raises NorvaneXmlEncodingException.
//
// One parser per document (the request dispatcher makes one per request);
// parsers on different threads share nothing mutable.

#include <string>

#include <xercesc/sax/DTDHandler.hpp>
#include <xercesc/sax/EntityResolver.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>

#include "xml/norvane_auto_ptr.h"
#include "xml/norvane_xml_doc.h"

XERCES_CPP_NAMESPACE_BEGIN
class InputSource;
class SAX2XMLReader;
XERCES_CPP_NAMESPACE_END

// Builds the element tree from the reader's callbacks.
class NorvaneSaxHandler : public xercesc::DefaultHandler {
public:
    NorvaneSaxHandler() = default;
    // Deletes a document nobody took.
    ~NorvaneSaxHandler() override = default;

    void characters(const XMLCh* const chars, const XMLSize_t length) override;
    void endDocument() override;
    void endElement(const XMLCh* const uri, const XMLCh* const localname,
                    const XMLCh* const qname) override;
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override;
    void processingInstruction(const XMLCh* const target, const XMLCh* const data) override;
    void setDocumentLocator(const xercesc::Locator* const locator) override;
    void startDocument() override;
    void startElement(const XMLCh* const uri, const XMLCh* const localname,
                      const XMLCh* const qname, const xercesc::Attributes& attrs) override;
    void error(const xercesc::SAXParseException& exc) override;
    void fatalError(const xercesc::SAXParseException& exc) override;
    void warning(const xercesc::SAXParseException& exc) override;

    // The document built so far; the caller may take it.
    NorvaneAutoPtr<NorvaneXmlDoc>& document() { return m_document; }

private:
    // The local code page form of `text`, or NorvaneXmlEncodingException.
    std::string to_native(const XMLCh* text, XMLSize_t length) const;
    std::string to_native(const XMLCh* text) const;

    NorvaneAutoPtr<NorvaneXmlDoc> m_document;
    const xercesc::Locator* m_locator = nullptr; // not owned
};

// Refuses every document type declaration.
class NorvaneXmlNoDTDs : public xercesc::DTDHandler {
public:
    void notationDecl(const XMLCh* const name, const XMLCh* const publicId,
                      const XMLCh* const systemId) override;
    void unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                            const XMLCh* const systemId, const XMLCh* const notationName) override;
    void resetDocType() override;
};

// Resolves every external entity to empty text.
class NorvaneXmlNoExternalEntities : public xercesc::EntityResolver {
public:
    xercesc::InputSource* resolveEntity(const XMLCh* const publicId,
                                        const XMLCh* const systemId) override;
};

class NorvaneXmlParser {
public:
    // A request text held characters the local code page cannot represent.
    // Deliberately not usable as a SAXParseException (the base is private),
    // so that a handler for malformed XML never takes it: callers answer the
    // two cases with different statuses.
    class NorvaneXmlEncodingException : private xercesc::SAXParseException {
    public:
        // `locator` may be null: the position is then line 0, column 0.
        NorvaneXmlEncodingException(const std::string& message, const xercesc::Locator* locator);
        ~NorvaneXmlEncodingException() override = default;

        using xercesc::SAXParseException::getColumnNumber;
        using xercesc::SAXParseException::getLineNumber;
        using xercesc::SAXParseException::getMessage;
    };

    NorvaneXmlParser();
    ~NorvaneXmlParser();

    NorvaneXmlParser(const NorvaneXmlParser&) = delete;
    NorvaneXmlParser& operator=(const NorvaneXmlParser&) = delete;

    // Each parses one document and returns the handler's slot holding it;
    // the caller takes the document out (or leaves it to the parser's
    // destruction). Malformed XML and refused DTDs throw
    // xercesc::SAXParseException; untranscodable text throws
    // NorvaneXmlEncodingException.
    NorvaneAutoPtr<NorvaneXmlDoc>& parse_string(std::string text);
    NorvaneAutoPtr<NorvaneXmlDoc>& parse_file(const std::string& path);
    NorvaneAutoPtr<NorvaneXmlDoc>& parse_stdin();

private:
    NorvaneAutoPtr<NorvaneXmlDoc>& parse_impl(const xercesc::InputSource& source);

    xercesc::SAX2XMLReader* m_reader = nullptr; // owned
    NorvaneSaxHandler* m_handler = nullptr;     // owned
};
