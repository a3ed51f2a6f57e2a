#include "xml/norvane_xml_util.h"

#include <mutex>
#include <vector>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include "xml/norvane_xml_elem.h"

using xercesc::XMLPlatformUtils;
using xercesc::XMLString;

void NorvaneXmlUtil::XercesRelease::operator()(XMLCh* text) const {
    XMLString::release(&text);
}

void NorvaneXmlUtil::initialize_platform() {
    // Once per process: the library's set-up is not safe to run on two
    // threads at once, and terminating it would pull it from under other
    // threads' parsers and documents.
    static std::once_flag once;
    std::call_once(once, [] { XMLPlatformUtils::Initialize(); });
}

XMLCh* NorvaneXmlUtil::native_to_xerces(std::string text) {
    initialize_platform();
    return XMLString::transcode(text.c_str());
}

NorvaneXmlUtil::XercesString NorvaneXmlUtil::to_xerces(const std::string& text) {
    return XercesString(native_to_xerces(text));
}

bool NorvaneXmlUtil::xerces_to_native(const XMLCh* text, XMLSize_t length, std::string& out) {
    out.clear();
    if (length == 0 || text == nullptr || text[0] == 0) return true;
    initialize_platform();

    // Transcode exactly `length` units: a chunk of character data need not be
    // terminated where its length ends.
    std::vector<XMLCh> source(text, text + length);
    source.push_back(0);
    char* native = XMLString::transcode(source.data());
    if (native == nullptr) return false;
    out = native;
    XMLString::release(&native);

    // The code page's converter substitutes what it cannot map. Converting
    // back and comparing tells that apart from a faithful conversion.
    XMLCh* back = XMLString::transcode(out.c_str());
    bool same = back != nullptr && XMLString::equals(back, source.data());
    XMLString::release(&back);
    return same;
}

bool NorvaneXmlUtil::xerces_to_native(const XMLCh* text, std::string& out) {
    XMLSize_t length = text == nullptr ? 0 : XMLString::stringLen(text);
    return xerces_to_native(text, length, out);
}

std::string NorvaneXmlUtil::xerces_to_native(const XMLCh* text) {
    std::string out;
    xerces_to_native(text, out);
    return out;
}

bool NorvaneXmlUtil::tag_exists(NorvaneXmlElem* elem, const char* tag) {
    return elem != nullptr && tag != nullptr && elem->extract_child(tag) != nullptr;
}

std::string NorvaneXmlUtil::get_value(NorvaneXmlElem* elem, const char* tag) {
    if (elem == nullptr || tag == nullptr) return std::string();
    NorvaneXmlElem* child = elem->extract_child(tag);
    return child == nullptr ? std::string() : child->get_value();
}
