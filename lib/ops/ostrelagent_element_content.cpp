#include "lib/ops/ostrelagent_element_content.h"

#include <cerrno>
#include <cstdio>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_bg_cleartext_listener.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "platform/imsg/imsg.h"

namespace {

const char* const kClass = "OstrelAgent_Element_Content";
using Trace = OstrelAgent_Trace;

} // namespace

int OstrelAgent_Element_Content::adopt(OstrelAgent_View_Base& view, const qel_uuid_s& replica,
                                       const qel_oid_s& version, const std::string& path, std::string& message) {
    Trace trace(Trace::OSTRELAGENT, kClass, "adopt");
    trace.writeTrace(Trace::TRACE_LEVEL_4, "adopting cleartext from '%s' for ver oid %s", path.c_str(),
                     OstrelAgent_Util::id_text(version).c_str());
    OstrelAgent_Cleartext cltxt(replica, 0, version, view.get_cltxt_cache_dir());
    const int status = cltxt.adopt(path);
    if (status != 0) message += cltxt.get_error_message();
    return status;
}

int OstrelAgent_Element_Content::remove_file(const std::string& path, std::string& message) {
    Trace trace(Trace::OSTRELAGENT, kClass, "remove_file");
    if (std::remove(path.c_str()) == 0) return 0;
    const int error = errno;
    trace.writeTrace(Trace::TRACE_LEVEL_2, "remove of %s failed: %d", path.c_str(), error);
    message += OstrelAgent_Util::format(&_qel_cmsg_qel_msg_table, QEL_MSG_REMOVE, path.c_str(), imsg_strerror(error));
    return OstrelAgent_Status::GENERAL_FAILURE;
}

void OstrelAgent_Element_Content::fetch_in_background(OstrelAgent_View_Base& view, const qel_uuid_s& vob,
                                                      const qel_oid_s& version,
                                                      OstrelAgent_BG_Cleartext_listener* listener) {
    Trace trace(Trace::OSTRELAGENT, kClass, "fetch_in_background");
    // The cleartext object owns the listener from here on, queued or not.
    OstrelAgent_Cleartext cltxt(vob, 0, version, view.get_cltxt_cache_dir(),
                                listener != nullptr ? listener : new OstrelAgent_BG_Cleartext_listener);
    int in_cache = 0;
    const int status = cltxt.getcleartext(in_cache);
    trace.writeTrace(Trace::TRACE_LEVEL_4, "background cleartext of %s: status %d, cached %d",
                     OstrelAgent_Util::id_text(version).c_str(), status, in_cache);
}
