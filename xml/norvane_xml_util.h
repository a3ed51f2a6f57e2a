#pragma once
// Transcoding between the program's strings (local code page) and the UTF-16
// strings of Xerces-C, and the two consuming child lookups that request
// operations use to read single values.

#include <memory>
#include <string>

#include <xercesc/util/XercesDefs.hpp>

class NorvaneXmlElem;

class NorvaneXmlUtil {
public:
    // Releases a UTF-16 string that Xerces-C allocated.
    struct XercesRelease {
        void operator()(XMLCh* text) const;
    };
    // Owner of a UTF-16 string returned by native_to_xerces.
    using XercesString = std::unique_ptr<XMLCh, XercesRelease>;

    // Initialises the Xerces-C platform on the first call in the process and
    // does nothing on later ones; safe on any thread. The library is never
    // terminated. Every entry point of the layer that needs the library calls
    // it, so no caller has to.
    static void initialize_platform();

    // The UTF-16 form of `text` (up to its first NUL). The caller owns the
    // result and releases it with XMLString::release.
    static XMLCh* native_to_xerces(std::string text);
    // The same, owned.
    static XercesString to_xerces(const std::string& text);

    // `length` code units of `text` in the local code page, into `out`. A
    // null text, a length of 0 or a text starting with 0 gives the empty
    // string. Returns false (leaving in `out` the text with the characters
    // the code page substituted) when a character cannot be represented:
    // such a text is never passed on silently altered.
    static bool xerces_to_native(const XMLCh* text, XMLSize_t length, std::string& out);
    // The same up to the text's terminating 0.
    static bool xerces_to_native(const XMLCh* text, std::string& out);
    // The converted text whatever the outcome; for texts that only show.
    static std::string xerces_to_native(const XMLCh* text);

    // Whether `elem` has a child tagged `tag`. Takes the child out of the
    // element like extract_child: a second call finds the next one.
    static bool tag_exists(NorvaneXmlElem* elem, const char* tag);
    // The text of the first child tagged `tag`, taken out of the element;
    // the empty string when there is none.
    static std::string get_value(NorvaneXmlElem* elem, const char* tag);
};
