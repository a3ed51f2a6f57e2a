// The request dispatcher: request text -> the operation that serves it.

#include "lib/requests/ostrelagent_request_dispatcher.h"

#include <xercesc/sax/SAXParseException.hpp>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_connect.h"
#include "lib/requests/ostrelagent_disconnect.h"
#include "lib/requests/ostrelagent_endview.h"
#include "lib/requests/ostrelagent_getconfigspec.h"
#include "lib/requests/ostrelagent_load.h"
#include "lib/requests/ostrelagent_mkview.h"
#include "lib/requests/ostrelagent_mountvob.h"
#include "lib/requests/ostrelagent_restore.h"
#include "lib/requests/ostrelagent_setcache.h"
#include "lib/requests/ostrelagent_setconfigspec.h"
#include "lib/requests/ostrelagent_startview.h"
#include "lib/requests/ostrelagent_unknown.h"
#include "lib/requests/ostrelagent_update.h"
#include "lib/requests/ostrelagent_xmlerror.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_elem.h"
#include "xml/norvane_xml_parser.h"

namespace {

const char* const kClass = "OstrelAgent_AbstractOp";

// The version that the error operations accept.
const char* const kErrorOpVersion = "1";

// The factory of an operation that takes the request alone.
template <typename Op>
OstrelAgent_AbstractOp* make(const std::string& text, NorvaneAutoPtr<NorvaneXmlDoc>& doc, const std::string&) {
    return new Op(text, doc);
}

OstrelAgent_AbstractOp* make_mkview(const std::string& text, NorvaneAutoPtr<NorvaneXmlDoc>& doc,
                                    const std::string& storage) {
    return new OstrelAgent_Mkview(text, doc, storage);
}

OstrelAgent_AbstractOp* make_startview(const std::string& text,
                                       NorvaneAutoPtr<NorvaneXmlDoc>& doc,
                                       const std::string& storage) {
    return new OstrelAgent_Startview(text, doc, storage);
}

// The Unknown operation under the request name "XMLError".
OstrelAgent_AbstractOp* make_unknown(const std::string& text, NorvaneAutoPtr<NorvaneXmlDoc>& doc) {
    OstrelAgent_AbstractOp* op = new OstrelAgent_Unknown(text, doc);
    op->set_request_name(OstrelAgent_Tag::XMLERROR);
    op->set_supported_version(kErrorOpVersion);
    return op;
}

} // namespace

namespace {

std::vector<OstrelAgent_Dispatch_Entry>& dispatch_table() {
    using T = OstrelAgent_Tag;
    // Function-local so that the tag constants are initialised first.
    static std::vector<OstrelAgent_Dispatch_Entry> table = {
        {&T::CHECKIN, "1", nullptr},
        {&T::CHECKOUT, "1", nullptr},
        {&T::CONNECT, "1", make<OstrelAgent_Connect>},
        {&T::DISCONNECT, "1", make<OstrelAgent_Disconnect>},
        {&T::ENDVIEW, "1", make<OstrelAgent_Endview>},
        {&T::GETAGGREGATEDSTATE, "1", nullptr},
        {&T::GETCACHE, "1", nullptr},
        {&T::GETCHILDREN, "1", nullptr},
        {&T::GETCONFIGSPEC, "1", make<OstrelAgent_GetConfigSpec>},
        {&T::GETMETADATA, "1", nullptr},
        {&T::GETMOUNTEDVOBLIST, "1", nullptr},
        {&T::HIJACK, "1", nullptr},
        {&T::INVALIDATECHECKOUTS, "1", nullptr},
        {&T::ISVOBMOUNTED, "1", nullptr},
        {&T::ISPROJECTVOB, "1", nullptr},
        {&T::ISUPDATEINPROGRESS, "1", nullptr},
        {&T::ISVOBPUBLIC, "1", nullptr},
        {&T::LOAD, "1", make<OstrelAgent_Load>},
        {&T::MERGEDIRECTORY, "1", nullptr},
        {&T::MKELEM, "1", nullptr},
        {&T::MKVIEW, "1", make_mkview},
        {&T::MOUNTVOB, "1", make<OstrelAgent_Mountvob>},
        {&T::MOVE, "1", nullptr},
        {&T::RESTORE, "1", make<OstrelAgent_Restore>},
        {&T::RMNAME, "1", nullptr},
        {&T::SETCACHE, "1", make<OstrelAgent_SetCache>},
        {&T::SETCONFIGSPEC, "1.0", make<OstrelAgent_SetConfigSpec>},
        {&T::STARTVIEW, "1", make_startview},
        {&T::UNCHECKOUT, "2", nullptr},
        {&T::UNHIJACK, "1", nullptr},
        {&T::UPDATE, "1", make<OstrelAgent_Update>},
    };
    return table;
}

} // namespace

const std::vector<OstrelAgent_Dispatch_Entry>& ostrelagent_dispatch_table() { return dispatch_table(); }

bool ostrelagent_install_factory(const std::string& tag, OstrelAgent_Dispatch_Entry::Factory factory) {
    for (OstrelAgent_Dispatch_Entry& entry : dispatch_table()) {
        if (*entry.tag != tag) continue;
        entry.factory = factory;
        return true;
    }
    return false;
}

OstrelAgent_AbstractOp* OstrelAgent_AbstractOp::create_xml_request_handler(
    std::string& request_text, std::string& storage, int& status) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "create_xml_request_handler");
    status = 0;
    trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_4, "Parsing %s", request_text);

    NorvaneAutoPtr<NorvaneXmlDoc> document;
    try {
        NorvaneXmlParser parser;
        document = parser.parse_string(request_text);
    } catch (const NorvaneXmlParser::NorvaneXmlEncodingException&) {
        trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_2,
                          "Encoding Exception thrown when Parsing %s", request_text);
        NorvaneAutoPtr<NorvaneXmlDoc> none;
        OstrelAgent_AbstractOp* op = new OstrelAgent_XMLError(request_text, none);
        op->set_status(OstrelAgent_Status::TRANSCODE_FAILED);
        op->set_request_name(OstrelAgent_Tag::XMLERROR);
        op->set_supported_version(kErrorOpVersion);
        return op;
    } catch (const xercesc::SAXParseException&) {
        trace.writeMasked(OstrelAgent_Trace::TRACE_LEVEL_2, "Exception thrown when Parsing %s",
                          request_text);
        NorvaneAutoPtr<NorvaneXmlDoc> none;
        return make_unknown(request_text, none);
    }

    if (!document) {
        status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Did not get request_doc");
        return nullptr;
    }
    if (document->get_root() == nullptr) {
        status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Could not get root element");
        return nullptr;
    }

    const std::string tag = document->get_root()->get_tag();
    for (const OstrelAgent_Dispatch_Entry& entry : ostrelagent_dispatch_table()) {
        if (*entry.tag != tag) continue;
        if (entry.factory == nullptr) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "%s is not served yet", tag.c_str());
            break;
        }
        OstrelAgent_AbstractOp* op = entry.factory(request_text, document, storage);
        op->set_supported_version(entry.supported_version);
        return op;
    }
    return make_unknown(request_text, document);
}
