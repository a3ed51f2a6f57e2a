#include "xml/norvane_xml_doc.h"

#include <memory>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"
#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_util.h"

using namespace xercesc;

namespace {

// Whether XML 1.0 can carry every character of `text`. The serializer throws
// on the others (most control characters), which would otherwise escape
// from get_string; refusing them here fails the reply step instead.
bool xml_can_carry(const XMLCh* text) {
    for (const XMLCh* p = text; *p != 0; ++p) {
        const XMLCh c = *p;
        if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

NorvaneXmlDoc::~NorvaneXmlDoc() {
    release_dom();
    delete m_root;
    m_root = nullptr;
}

void NorvaneXmlDoc::release_dom() {
    if (m_serializer != nullptr) m_serializer->release();
    if (m_dom_doc != nullptr) m_dom_doc->release();
    m_serializer = nullptr;
    m_dom_doc = nullptr;
    m_current_dom = nullptr;
}

// ---- parse target -----------------------------------------------------------

NorvaneXmlElem* NorvaneXmlDoc::push(const std::string& tag) {
    NorvaneXmlElem* elem = construct(tag, m_current);
    m_current = elem;
    if (m_root == nullptr) m_root = elem;
    return elem;
}

NorvaneXmlElem* NorvaneXmlDoc::pop() {
    if (m_current != nullptr) m_current = m_current->get_parent();
    return m_current;
}

NorvaneXmlElem* NorvaneXmlDoc::construct(const std::string& tag, NorvaneXmlElem* parent) {
    return new NorvaneXmlElem(this, parent, tag, std::string());
}

// ---- writer -------------------------------------------------------------------

int NorvaneXmlDoc::create_root_elem(const std::string& tag) {
    NorvaneXmlUtil::initialize_platform();
    release_dom();

    m_dom_impl = DOMImplementationRegistry::getDOMImplementation(u"core");
    if (m_dom_impl == nullptr) return QEL_ST_NO_RESOURCES;

    NorvaneXmlUtil::XercesString name = NorvaneXmlUtil::to_xerces(tag);
    try {
        m_dom_doc = m_dom_impl->createDocument(nullptr, name.get(), nullptr);
        m_serializer = m_dom_impl->createLSSerializer();
        m_serializer->getDomConfig()->setParameter(XMLUni::fgDOMWRTDiscardDefaultContent, true);
    } catch (const DOMException& e) {
        // Diagnostics stay off standard output, which may carry a reply.
        std::string message = NorvaneXmlUtil::xerces_to_native(e.getMessage());
        imsg_print(IMSG_KIND_ERR, "%s\n", -1, message.c_str());
        release_dom();
        return QEL_ST_NO_MEMORY;
    }
    m_current_dom = m_dom_doc->getDocumentElement();
    return 0;
}

int NorvaneXmlDoc::push_elem(const std::string& tag) {
    if (m_current_dom == nullptr) return QEL_ST_INTERNAL;
    NorvaneXmlUtil::XercesString name = NorvaneXmlUtil::to_xerces(tag);
    try {
        DOMElement* elem = m_dom_doc->createElement(name.get());
        m_current_dom->appendChild(elem);
        m_current_dom = elem;
    } catch (const DOMException&) {
        return QEL_ST_NO_MEMORY;
    }
    return 0;
}

DOMNode* NorvaneXmlDoc::pop_elem() {
    if (m_current_dom != nullptr && m_current_dom->getParentNode() != nullptr) {
        m_current_dom = m_current_dom->getParentNode();
    }
    return m_current_dom;
}

int NorvaneXmlDoc::add_attr(const std::string& name, const std::string& value) {
    if (m_current_dom == nullptr) return QEL_ST_INTERNAL;
    if (m_current_dom->getNodeType() != DOMNode::ELEMENT_NODE) return QEL_ST_NO_MEMORY;
    NorvaneXmlUtil::XercesString xname = NorvaneXmlUtil::to_xerces(name);
    NorvaneXmlUtil::XercesString xvalue = NorvaneXmlUtil::to_xerces(value);
    if (!xml_can_carry(xvalue.get())) return QEL_ST_NO_MEMORY;
    try {
        static_cast<DOMElement*>(m_current_dom)->setAttribute(xname.get(), xvalue.get());
    } catch (const DOMException&) {
        return QEL_ST_NO_MEMORY;
    }
    return 0;
}

int NorvaneXmlDoc::set_body(const std::string& text) {
    if (m_current_dom == nullptr) return QEL_ST_INTERNAL;
    NorvaneXmlUtil::XercesString body = NorvaneXmlUtil::to_xerces(text);
    if (!xml_can_carry(body.get())) return QEL_ST_NO_MEMORY;
    try {
        m_current_dom->appendChild(m_dom_doc->createTextNode(body.get()));
    } catch (const DOMException&) {
        // The reply fails as a whole rather than the exception escaping it.
        return QEL_ST_NO_MEMORY;
    }
    return 0;
}

int NorvaneXmlDoc::add_elem(const std::string& tag, const std::string& text) {
    int status = push_elem(tag);
    if (status != 0) return status;
    status = set_body(text);
    DOMNode* added = m_current_dom;
    pop_elem();
    if (status != 0) {
        // A refused text takes its element with it: no half-made element.
        m_current_dom->removeChild(added)->release();
    }
    return status;
}

void NorvaneXmlDoc::get_string(std::string& out) const {
    out.clear();
    if (m_dom_doc == nullptr) return;

    MemBufFormatTarget target(1023);
    struct OutputRelease {
        void operator()(DOMLSOutput* output) const { output->release(); }
    };
    std::unique_ptr<DOMLSOutput, OutputRelease> output(m_dom_impl->createLSOutput());
    output->setByteStream(&target);
    try {
        m_serializer->write(m_dom_doc, output.get());
    } catch (const DOMException& e) {
        // Only a document that the writer steps let through could get here;
        // half a reply is worse than none.
        std::string message = NorvaneXmlUtil::xerces_to_native(e.getMessage());
        imsg_print(IMSG_KIND_ERR, "%s\n", -1, message.c_str());
        return;
    }
    out.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
}
