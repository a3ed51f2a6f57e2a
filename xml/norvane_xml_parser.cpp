#include "xml/norvane_xml_parser.h"

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/StdInInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "xml/norvane_util.h"
#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_msg.h"
#include "xml/norvane_xml_util.h"

using namespace xercesc;

namespace {

// Shared by every parser; neither holds data.
NorvaneXmlNoDTDs no_dtds;
NorvaneXmlNoExternalEntities no_ext;

const XMLByte EMPTY_ENTITY[1] = {0};

[[noreturn]] void throw_no_dtds() {
    NorvaneXmlUtil::XercesString message = NorvaneXmlUtil::to_xerces("DTDs not supported");
    NorvaneXmlUtil::XercesString system_id = NorvaneXmlUtil::to_xerces("empty-system-id");
    NorvaneXmlUtil::XercesString public_id = NorvaneXmlUtil::to_xerces("empty-public-id");
    throw SAXParseException(message.get(), public_id.get(), system_id.get(), 0, 0);
}

} // namespace

// ---- encoding exception ---------------------------------------------------------

namespace {

SAXParseException make_encoding_base(const std::string& message, const Locator* locator) {
    NorvaneXmlUtil::XercesString text = NorvaneXmlUtil::to_xerces(message);
    if (locator != nullptr) return SAXParseException(text.get(), *locator);
    return SAXParseException(text.get(), nullptr, nullptr, 0, 0);
}

} // namespace

NorvaneXmlParser::NorvaneXmlEncodingException::NorvaneXmlEncodingException(
    const std::string& message, const Locator* locator)
    : SAXParseException(make_encoding_base(message, locator)) {}

// ---- refusing handlers ------------------------------------------------------------

void NorvaneXmlNoDTDs::notationDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const) {
    throw_no_dtds();
}

void NorvaneXmlNoDTDs::unparsedEntityDecl(const XMLCh* const, const XMLCh* const,
                                          const XMLCh* const, const XMLCh* const) {
    throw_no_dtds();
}

void NorvaneXmlNoDTDs::resetDocType() { throw_no_dtds(); }

InputSource* NorvaneXmlNoExternalEntities::resolveEntity(const XMLCh* const, const XMLCh* const) {
    // The reader takes ownership of the source.
    return new MemBufInputSource(EMPTY_ENTITY, 0, "fakeId", false);
}

// ---- SAX handler -------------------------------------------------------------------

std::string NorvaneSaxHandler::to_native(const XMLCh* text, XMLSize_t length) const {
    std::string out;
    if (!NorvaneXmlUtil::xerces_to_native(text, length, out)) {
        throw NorvaneXmlParser::NorvaneXmlEncodingException(
            NorvaneUtil::format(&_norvane_xml_xml_msg_table, NORVANE_XML_MSG_UNSUPPORTED_CHARS,
                                out.c_str()),
            m_locator);
    }
    return out;
}

std::string NorvaneSaxHandler::to_native(const XMLCh* text) const {
    return to_native(text, text == nullptr ? 0 : XMLString::stringLen(text));
}

void NorvaneSaxHandler::setDocumentLocator(const Locator* const locator) { m_locator = locator; }

void NorvaneSaxHandler::startDocument() { m_document.reset(new NorvaneXmlDoc()); }

void NorvaneSaxHandler::endDocument() {}

void NorvaneSaxHandler::startElement(const XMLCh* const, const XMLCh* const,
                                     const XMLCh* const qname, const Attributes& attrs) {
    NorvaneUtil::norvane_assert(m_document.get() != nullptr, __FILE__, __LINE__,
                                "element outside a document");
    if (!m_document) return;
    NorvaneXmlElem* elem = m_document->push(to_native(qname));
    const XMLSize_t count = attrs.getLength();
    for (XMLSize_t i = 0; i < count; ++i) {
        elem->add_attr(to_native(attrs.getQName(i)), to_native(attrs.getValue(i)));
    }
}

void NorvaneSaxHandler::characters(const XMLCh* const chars, const XMLSize_t length) {
    NorvaneXmlElem* current = m_document ? m_document->get_curr() : nullptr;
    NorvaneUtil::norvane_assert(current != nullptr, __FILE__, __LINE__, "text outside an element");
    std::string text = to_native(chars, length);
    if (current != nullptr) current->add_value(text);
}

void NorvaneSaxHandler::endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) {
    // The reader itself rejects a mismatched end tag.
    if (m_document) m_document->pop();
}

void NorvaneSaxHandler::ignorableWhitespace(const XMLCh* const, const XMLSize_t) {}

void NorvaneSaxHandler::processingInstruction(const XMLCh* const, const XMLCh* const) {}

void NorvaneSaxHandler::warning(const SAXParseException&) {}

void NorvaneSaxHandler::error(const SAXParseException&) {}

void NorvaneSaxHandler::fatalError(const SAXParseException& exc) { throw exc; }

// ---- parser ----------------------------------------------------------------------

NorvaneXmlParser::NorvaneXmlParser() {
    m_handler = new NorvaneSaxHandler();
    NorvaneXmlUtil::initialize_platform();
    m_reader = XMLReaderFactory::createXMLReader();
    m_reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
    m_reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
    m_reader->setFeature(XMLUni::fgXercesSchema, false);
    m_reader->setFeature(XMLUni::fgXercesSchemaFullChecking, false);
    m_reader->setFeature(XMLUni::fgSAX2CoreNameSpacePrefixes, false);
    m_reader->setEntityResolver(&no_ext);
    m_reader->setDTDHandler(&no_dtds);
    m_reader->setContentHandler(m_handler);
    m_reader->setErrorHandler(m_handler);
}

NorvaneXmlParser::~NorvaneXmlParser() {
    delete m_handler;
    delete m_reader;
}

NorvaneAutoPtr<NorvaneXmlDoc>& NorvaneXmlParser::parse_string(std::string text) {
    // The source reads `text` in place; it lives until the parse returns.
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), "fakeId",
                             false);
    return parse_impl(source);
}

NorvaneAutoPtr<NorvaneXmlDoc>& NorvaneXmlParser::parse_file(const std::string& path) {
    NorvaneXmlUtil::XercesString xpath = NorvaneXmlUtil::to_xerces(path);
    LocalFileInputSource source(xpath.get());
    return parse_impl(source);
}

NorvaneAutoPtr<NorvaneXmlDoc>& NorvaneXmlParser::parse_stdin() {
    StdInInputSource source;
    return parse_impl(source);
}

NorvaneAutoPtr<NorvaneXmlDoc>& NorvaneXmlParser::parse_impl(const InputSource& source) {
    m_reader->parse(source);
    return m_handler->document();
}
