#include "lib/ops/ostrelagent_uncheckout.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ostrelagent_view_db_element.h"
#include "lib/ops/ostrelagent_element_content.h"
#include "platform/hooks/test_hooks.h"

namespace {

const char* const kClass = "OstrelAgent_Uncheckout";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// The VOB operation for which the kernel drops the element.
constexpr vob_op_t UNCHECKOUT_OP = 27;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

} // namespace

OstrelAgent_Uncheckout::OstrelAgent_Uncheckout(const std::string& request_text,
                                               NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Uncheckout::~OstrelAgent_Uncheckout() = default;

void OstrelAgent_Uncheckout::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::REQUIRED);
    if (root != nullptr) parse_namespace_modified(root, false, false, false, false, false);
}

void OstrelAgent_Uncheckout::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (refuse_offline()) return;
    bool vob_root = false;
    check_is_vobroot(vob_root);
    if (vob_root)
        uncheckout_vob_root();
    else
        uncheckout_element();
}

bool OstrelAgent_Uncheckout::clear_checkout(const qel_uuid_s& vob, const qel_oid_s& elem_oid) {
    m_status = OstrelAgent_View_db_element::set_elem_co_ver_oid(vob, elem_oid, QEL_OID_NULL, m_message);
    return m_status == 0;
}

void OstrelAgent_Uncheckout::uncheckout_vob_root() {
    Trace trace("uncheckout_vob_root");
    // The VOB-root test left the root's status where a parent's goes.
    if (clear_checkout(m_parent_vob_uuid, m_parent_vstat.elem_oid)) m_status = flush_parent_elem(UNCHECKOUT_OP);
}

void OstrelAgent_Uncheckout::uncheckout_element() {
    Trace trace("uncheckout_element");
    m_status = divide_path();
    if (m_status == 0) m_status = get_parent_metadata();
    if (m_status == 0) m_status = get_obj_metadata_db(nullptr);
    if (m_status == 0) m_status = flush_metadata(UNCHECKOUT_OP);
    if (m_status != 0) return;
    test_hooks::kill_point("uncheckout-flushed");
    m_status = get_view();
    if (m_status != 0) {
        trace.writeTrace(LEVEL_4, "get_view error");
        return;
    }

    OstrelAgent_Metadata walk(m_path, m_path, false);
    if (!clean_and_walk(walk)) return;
    view_vstat found{};
    walk.get_vstat(&found);
    switch (found.fstat.type) {
    case QEL_FTYPE_DIR:
        if (clear_checkout(walk.get_vob_uuid(), found.elem_oid)) walked_dir_update(walk, std::string(), true);
        return;
    case QEL_FTYPE_REG:
        // The checked-out copy still in place is the view's own file: no
        // server holds it, and nothing is fetched for it.
        if (walk.is_view_object()) {
            trace.writeTrace(LEVEL_4, "%s is the view's own file: nothing to fetch", m_path.c_str());
            return;
        }
        // The fetch runs in the background and reports nothing here; an
        // equal fetch queued or running already is not started again.
        OstrelAgent_Element_Content::fetch_in_background(*m_view, walk.get_vob_uuid(), found.obj_oid);
        return;
    default: return;
    }
}

std::string OstrelAgent_Uncheckout::get_response() { return common_reply(OstrelAgent_Tag::UNCHECKOUT, LEVEL_4); }
