#include "lib/ops/ostrelagent_unhijack.h"

#include <sys/stat.h>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_tag.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_metadata.h"
#include "lib/ns/ns_rpc.h"
#include "lib/ns/ostrelagent_kernel_expectation.h"
#include "lib/ops/ostrelagent_view_file.h"
#include "platform/hooks/test_hooks.h"
#include "platform/imsg/imsg.h"
#include "platform/qel/qel.h"

namespace {

const char* const kClass = "OstrelAgent_Unhijack";
constexpr int LEVEL_4 = OstrelAgent_Trace::TRACE_LEVEL_4;
namespace Msg = OstrelAgent_Lib_Msg;
namespace Status = OstrelAgent_Status;

} // namespace

OstrelAgent_Unhijack::OstrelAgent_Unhijack(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document)
    : OstrelAgent_AbstractOp(request_text, document) {
    m_supported_version = "1";
}

OstrelAgent_Unhijack::~OstrelAgent_Unhijack() = default;

void OstrelAgent_Unhijack::parse_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "parse_request");
    parse_frame(Path_Rule::REQUIRED);
    if (m_status == 0) trace.writeTrace(LEVEL_4, "Unhijack request for \"%s\"", m_path.c_str());
}

void OstrelAgent_Unhijack::process_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "process_request");
    parse_request();
    if (m_status != 0) return;

    bool vob_root = false;
    check_is_vobroot(vob_root);
    if (vob_root) {
        m_message += Msg::text(Msg::UNHIJACK_VOB_ROOT, m_path.c_str());
        m_status = Status::GENERAL_FAILURE;
        return;
    }
    if ((m_status = divide_path()) != 0) return;
    if ((m_status = get_parent_metadata()) != 0) return;

    // The directory that holds the name, through a final symbolic link.
    OstrelAgent_Metadata parent(m_parent_dir, m_path, true);
    if ((m_status = parent.run()) != 0) {
        m_message += parent.get_message();
        return;
    }
    view_fhandle dir = parent.get_obj_fhandle();
    bool removed_with_hijack = false;
    if ((m_status = remove_hijacked_file(dir, removed_with_hijack)) != 0) return;
    test_hooks::kill_point("unhijack-removed");
    const int cleared = removed_with_hijack ? 0 : ns_unhijack_by_fh(&dir, m_leaf.c_str());
    if (cleared != 0) {
        m_message += Msg::text(Msg::UNHIJACK_FAILED, m_path.c_str(), qel_strerror(cleared));
        m_status = OstrelAgent_Util::qel_to_ostrel_status(cleared);
        return;
    }
    // The database layer dropped the name from the namespace cache; the
    // kernel still has the hijacked file under it.
    get_ioctl();
    OstrelAgent_Metadata::view_inval_name(ioctl(), m_parent_vob_uuid, m_parent_vstat.obj_oid, m_leaf.c_str(), false,
                                          true, false);

    OstrelAgent_Metadata again(m_path, m_path, false);
    if ((m_status = again.run()) != 0) m_message += again.get_message();
}

int OstrelAgent_Unhijack::remove_hijacked_file(const view_fhandle& dir_fh, bool& cleared) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, kClass, "remove_hijacked_file");
    cleared = false;
    // A name that does not resolve has no file of its own (or is not
    // there), and one that is not hijacked is not touched: the clearing
    // tells both apart.
    OstrelAgent_Metadata name(m_path, m_path, false);
    if (name.run() != 0 || !name.is_hijacked()) return 0;
    // A file that is gone already is no failure, where its directory is
    // reached through the view's root: where it is not (the view not
    // mounted), the file stays and so does the hijack.
    struct stat dir;
    const bool reached = OstrelAgent_View_File::examine(m_parent_path, dir) == 0;
    // The namespace clears the hijack with the removal it serves.
    OstrelAgent_Kernel_Expectation removal(OstrelAgent_Kernel_Expectation::Kind::UNHIJACK_BY_REMOVAL, dir_fh, m_leaf);
    const int status = OstrelAgent_View_File::remove(m_object_path, reached, m_message);
    if (status != 0) trace.writeTrace(LEVEL_4, "remove of %s failed", m_object_path.c_str());
    cleared = status == 0 && removal.met();
    return status;
}

std::string OstrelAgent_Unhijack::get_response() {
    return common_reply(OstrelAgent_Tag::UNHIJACK, OstrelAgent_Trace::TRACE_LEVEL_4);
}
