#include "lib/ops/ostrelagent_rmname.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"

namespace {

const char* const kClass = "OstrelAgent_Rmname";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// The VOB operation for which the kernel drops the directory element.
constexpr vob_op_t RMNAME_OP = 17;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

} // namespace

OstrelAgent_Rmname::OstrelAgent_Rmname(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Rmname::~OstrelAgent_Rmname() = default;

void OstrelAgent_Rmname::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::ABSENT);
    if (root == nullptr) return;
    parse_namespace_modified(root, true, true, false, true, false);
    if (m_status != 0) return;
    if (m_removed_leaves.size() != 1) {
        trace.writeTrace(LEVEL_4, "Invalid list of removed leaves (not 1)");
        refuse_malformed();
    } else if (!m_new_leaves.empty()) {
        trace.writeTrace(LEVEL_4, "Invalid list of new leaves (not 0)");
        refuse_malformed();
    }
}

void OstrelAgent_Rmname::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (refuse_offline()) return;
    m_status = flush_removed_name();
    if (m_status != 0) return;
    OstrelAgent_Metadata walk(m_path, m_path, true);
    if (clean_and_walk(walk)) walked_dir_update(walk, std::string(), false);
}

int OstrelAgent_Rmname::flush_removed_name() {
    Trace trace("flush_removed_name");
    m_parent_dir = m_path;
    m_leaf = m_removed_leaves.front();
    int status = get_view();
    if (status != 0) return status;
    m_parent_path = m_view->get_view_root() + m_parent_dir;
    m_object_path = m_parent_path + OstrelAgent_Util::GLOBAL_PNAME_SEP + m_leaf;
    status = get_parent_metadata();
    if (status == 0) status = get_obj_metadata_db(nullptr);
    if (status == 0) status = flush_obj_leaf(RMNAME_OP);
    if (status != 0) return status;
    trace.writeTrace(LEVEL_4, "Flushing element %s", OstrelAgent_Util::id_text(m_parent_vstat.elem_oid).c_str());
    return flush_parent_elem(RMNAME_OP);
}

std::string OstrelAgent_Rmname::get_response() { return common_reply(OstrelAgent_Tag::RMNAME, LEVEL_4); }
