#pragma once
// The request dispatcher's table: which operation class serves each request
// root tag, in the order the tags are compared, and the highest request
// version each accepts. OstrelAgent_AbstractOp::create_xml_request_handler
// walks it; it is public so that its contents can be checked.
//
// An entry without a factory names an operation that is not served: its
// requests are answered as an unrecognised request is (the Unknown
// operation, status 20020). The element operations live on the floor above
// this one, so their entries get their factories from there, installed once
// at start-up before any request is dispatched (ostrelagent_install_factory);
// the table alone sets every operation's supported version.

#include <string>
#include <vector>

#include "xml/norvane_auto_ptr.h"

class NorvaneXmlDoc;
class OstrelAgent_AbstractOp;

struct OstrelAgent_Dispatch_Entry {
    // Builds the operation from the request text and its document (which it
    // takes); `storage` reaches only MkView and StartView.
    using Factory = OstrelAgent_AbstractOp* (*)(const std::string& request_text,
                                                NorvaneAutoPtr<NorvaneXmlDoc>& document,
                                                const std::string& storage);

    const std::string* tag;  // an OstrelAgent_Tag constant
    const char* supported_version;
    Factory factory;         // null: not served yet
};

// The table, in comparison order. Built on first use.
const std::vector<OstrelAgent_Dispatch_Entry>& ostrelagent_dispatch_table();

// Makes `factory` serve the entry of `tag`. False when the table has no such
// entry. Not to be called while requests are dispatched.
bool ostrelagent_install_factory(const std::string& tag, OstrelAgent_Dispatch_Entry::Factory factory);
