#include "lib/ops/ostrelagent_getaggregatedstate.h"

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "platform/qel/qel.h"
#include "xml/norvane_xml_util.h"

namespace {

const char* const kClass = "OstrelAgent_GetAggregatedState";
constexpr int LEVEL_2 = OstrelAgent_Trace::TRACE_LEVEL_2;
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;

} // namespace

OstrelAgent_GetAggregatedState::OstrelAgent_GetAggregatedState(const std::string& request_text,
                                                               NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_GetAggregatedState::~OstrelAgent_GetAggregatedState() = default;

bool OstrelAgent_GetAggregatedState::required_text(NorvaneXmlElem* root, const char* tag, std::string& text) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "required_text");
    text = NorvaneXmlUtil::get_value(root, tag);
    if (!text.empty()) return true;
    m_message += Msg::text(Msg::NOT_IN_REQUEST, tag);
    m_status = OstrelAgent_Status::MALFORMED_REQUEST;
    trace.writeTrace(LEVEL_4, "%s not found", tag);
    return false;
}

void OstrelAgent_GetAggregatedState::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::ABSENT);
    if (root == nullptr) return;
    std::string state;
    if (!required_text(root, TAG_STATE, state)) return;
    m_hijacks = state == VALUE_HIJACKS;
    m_checkouts = state == VALUE_CHECKOUTS;
    m_others = state == VALUE_OTHERS;
    if (!m_hijacks && !m_checkouts && !m_others) {
        m_message += Msg::text(Msg::INVALID_AGGREGATED_STATE, state.c_str());
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        trace.writeTrace(LEVEL_4, "%s not valid: %s", TAG_STATE, state.c_str());
        return;
    }
    std::string get_paths;
    if (!required_text(root, TAG_GET_PATHS, get_paths)) return;
    m_get_paths = get_paths == OstrelAgent_Tag::TRUE_STRING ? 1 : 0;
    if (!m_others) return;
    if (m_get_paths == 0) {
        trace.writeTrace(LEVEL_4, "OTHERS requires get-paths");
        m_status = OstrelAgent_Status::MALFORMED_REQUEST;
        m_message += parse_error_message();
        return;
    }
    parse_path(root, false);
}

void OstrelAgent_GetAggregatedState::query_failed(int status, int position) {
    if (status == 0) return;
    m_message += Msg::text(position, qel_strerror(status));
    m_status = OstrelAgent_Util::qel_to_ostrel_status(status);
}

void OstrelAgent_GetAggregatedState::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    m_status = 0;
    parse_request();
    if (m_status != 0) return;
    if (m_checkouts) {
        if (m_get_paths != 0)
            query_failed(ns_view_get_checkouts(m_paths, m_message), Msg::CHECKOUT_PATHS_FAILED);
        else
            query_failed(ns_view_has_checkouts(&m_has_state), Msg::HAS_CHECKOUTS_FAILED);
    } else if (m_hijacks) {
        if (m_get_paths != 0)
            query_failed(ns_view_get_hijacks(m_paths, m_message), Msg::HIJACK_PATHS_FAILED);
        else
            query_failed(ns_view_has_hijacks(&m_has_state), Msg::HAS_HIJACKS_FAILED);
    } else {
        find_privates();
    }
}

void OstrelAgent_GetAggregatedState::find_privates() {
    qel_uuid_s vob = QEL_UUID_NULL;
    if (!m_path.empty()) {
        OstrelAgent_Metadata walk(m_path, m_path, true);
        m_status = walk.run();
        if (m_status != 0) {
            m_message += walk.get_message();
            return;
        }
        if (!walk.is_vob_root()) {
            m_message += Msg::text(Msg::NOT_A_VOB_ROOT, m_path.c_str());
            m_status = OstrelAgent_Status::MALFORMED_REQUEST;
            return;
        }
        vob = walk.get_vob_uuid();
    }
    query_failed(ns_view_get_privates(&vob, m_paths, m_message), Msg::PRIVATE_PATHS_FAILED);
}

std::string OstrelAgent_GetAggregatedState::get_response() {
    return common_reply(OstrelAgent_Tag::GETAGGREGATEDSTATE, LEVEL_2, [&](NorvaneXmlDoc& doc) {
        if (m_get_paths == 0) {
            doc.add_elem(TAG_HAS_STATE, m_has_state ? OstrelAgent_Tag::TRUE_STRING : OstrelAgent_Tag::FALSE_STRING);
            return;
        }
        for (const std::string& path : m_paths) doc.add_elem(OstrelAgent_Tag::PATH, path);
    });
}
