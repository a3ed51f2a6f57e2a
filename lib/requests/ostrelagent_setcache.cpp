#include "lib/requests/ostrelagent_setcache.h"

#include <cstdint>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "platform/utl/strutl.h"
#include "xml/norvane_xml_elem.h"

namespace {
const char* const kClass = "OstrelAgent_SetCache";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
} // namespace

OstrelAgent_SetCache::OstrelAgent_SetCache(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {}

OstrelAgent_SetCache::~OstrelAgent_SetCache() = default;

void OstrelAgent_SetCache::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_validate_request(1);
    if (root == nullptr) return;
    NorvaneXmlElem* size = root->extract_child(CACHE_SIZE);
    if (size == nullptr) {
        refuse_malformed();
        trace.writeTrace(LEVEL_2, "No cache_size");
        return;
    }
    const std::string text = size->get_attr(VALUE);
    unsigned long value = 0;
    // The size is kept in 32 bits: a larger number must not wrap into a
    // small one.
    if (text.empty() || strutl_strtoul(text.c_str(), 10, &value) != 0 || value > UINT32_MAX) {
        refuse_malformed();
        trace.writeTrace(LEVEL_2, "missing/bad cache_size");
        return;
    }
    m_cache_size = static_cast<unsigned int>(value);
}

void OstrelAgent_SetCache::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;
    m_status = get_view();
    if (m_status != 0) return;
    m_status = m_view->set_cache_size(m_cache_size, m_message, true);
}

std::string OstrelAgent_SetCache::get_response() {
    return envelope_reply(OstrelAgent_Tag::SETCACHE, m_status);
}
