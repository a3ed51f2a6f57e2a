#include "lib/ops/ostrelagent_mergedirectory.h"

#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"

namespace {

const char* const kClass = "OstrelAgent_MergeDirectory";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;

// The VOB operation for which the kernel drops the merged directory.
constexpr vob_op_t MERGE_OP = 27;

struct Trace : OstrelAgent_Trace {
    explicit Trace(const char* method) : OstrelAgent_Trace(OstrelAgent_Trace::OSTRELAGENT, kClass, method) {}
};

} // namespace

OstrelAgent_MergeDirectory::OstrelAgent_MergeDirectory(const std::string& request_text,
                                                       NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_MergeDirectory::~OstrelAgent_MergeDirectory() = default;

void OstrelAgent_MergeDirectory::parse_request() {
    Trace trace("parse_request");
    NorvaneXmlElem* root = parse_frame(Path_Rule::ABSENT);
    if (root != nullptr) parse_namespace_modified(root, true, true, false, false, false);
}

void OstrelAgent_MergeDirectory::process_request() {
    Trace trace("process_request");
    parse_request();
    if (m_status != 0) return;
    if (refuse_offline()) return;
    bool vob_root = false;
    check_is_vobroot(vob_root);
    m_status = flush_directory(vob_root);
    if (m_status != 0) return;
    OstrelAgent_Metadata walk(m_path, m_path, false);
    if (clean_and_walk(walk)) walked_dir_update(walk, std::string(), true);
}

int OstrelAgent_MergeDirectory::flush_directory(bool vob_root) {
    Trace trace("flush_directory");
    // The VOB-root test left the root's status where a parent's goes.
    if (!vob_root) {
        int status = get_view();
        if (status != 0) return status;
        // The parent here is the merged directory itself.
        m_parent_path = m_view->get_view_root() + m_path;
        status = get_parent_metadata();
        if (status != 0) return status;
        trace.writeTrace(LEVEL_4, "Flushing element %s", OstrelAgent_Util::id_text(m_parent_vstat.elem_oid).c_str());
    }
    return flush_parent_elem(MERGE_OP);
}

std::string OstrelAgent_MergeDirectory::get_response() {
    return common_reply(OstrelAgent_Tag::MERGEDIRECTORY, LEVEL_4);
}
