#include "lib/ops/ostrelagent_element_content.h"

#include <unistd.h>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_bg_cleartext_listener.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "lib/ops/ostrelagent_view_file.h"
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
    // The file's type is checked before a byte of it is read.
    int fd = -1;
    int status = OstrelAgent_View_File::open_read(path, fd, message);
    if (status != 0) return status;
    OstrelAgent_Cleartext cltxt(replica, 0, version, view.get_cltxt_cache_dir());
    status = cltxt.adopt(fd, path);
    ::close(fd);
    if (status != 0) message += cltxt.get_error_message();
    return status;
}

int OstrelAgent_Element_Content::remove_file(const std::string& path, std::string& message) {
    Trace trace(Trace::OSTRELAGENT, kClass, "remove_file");
    return OstrelAgent_View_File::remove(path, false, message);
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
