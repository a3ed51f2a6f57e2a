#include "lib/fetch/ostrelagent_bg_cleartext.h"

#include <string>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/fetch/ostrelagent_cleartext.h"
#include "platform/imsg/imsg.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_BG_Cleartext";
// Low priority.
constexpr int BACKGROUND = 0;
} // namespace

OstrelAgent_BG_Cleartext::OstrelAgent_BG_Cleartext(OstrelAgent_Cleartext_SB* entry)
    : OstrelAgent_Request(BACKGROUND), m_entry(entry) {}

OstrelAgent_BG_Cleartext::~OstrelAgent_BG_Cleartext() { m_entry->release(); }

int OstrelAgent_BG_Cleartext::handle_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "handle_request");
    if (OstrelAgent_View_Base::should_stop_update()) {
        // A download per queued version would hold up the stop.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "stopping: background cleartext not fetched");
        cancel_request();
        return OstrelAgent_Status::EXIT_REQUESTED;
    }
    int status = 0;
    std::string message;
    const int result = m_entry->execute(status, message);
    const OstrelAgent_BG_Cleartext_listener* listener = m_entry->get_req()->get_cleartext()->get_listener();
    if (result == OstrelAgent_Scoreboard_Request::DONE) {
        if (listener != nullptr) listener->completed();
        return status;
    }
    imsg_print(IMSG_KIND_ERR, &_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::BG_CLTXT_FAILED, status,
               message.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "background cleartext failed (%d): %s", status,
                     message.c_str());
    if (listener != nullptr) listener->failed(status, message);
    return status;
}

int OstrelAgent_BG_Cleartext::cancel_request() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cancel_request");
    m_entry->cancel();
    return 0;
}

bool OstrelAgent_BG_Cleartext::is_equivalent(const OstrelAgent_Request* other) const {
    const auto* cleartext = dynamic_cast<const OstrelAgent_BG_Cleartext*>(other);
    return cleartext != nullptr && m_entry->linked_to(cleartext->m_entry);
}
