#include "lib/kernel/ostrelagent_korva_ioctl.h"

#include <cerrno>
#include <cstring>

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "lib/core/ostrelagent_view.h"
#include "platform/pfm/pfm.h"
#include "platform/qel/qel.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_KORVA_Ioctl";
constexpr int STATUS_NO_MEMORY = 1001;
constexpr size_t VIEW_ROOT_BUFFER_SIZE = 256;

// Holds asynchronous signals off for the scope of a kernel call.
class SignalsInhibited {
public:
    SignalsInhibited() { pfm_inhibit(); }
    ~SignalsInhibited() { pfm_enable(); }
    SignalsInhibited(const SignalsInhibited&) = delete;
    SignalsInhibited& operator=(const SignalsInhibited&) = delete;
};

uint32_t case_flag() {
    return OstrelAgent_Util::korva_is_case_sensitive() ? static_cast<uint32_t>(KORVA_MCB_CASE_SENSITIVE) : 0u;
}

} // namespace

OstrelAgent_KORVA_Ioctl::OstrelAgent_KORVA_Ioctl(OstrelAgent_View* view) : m_view(view) {}

OstrelAgent_KORVA_Ioctl::~OstrelAgent_KORVA_Ioctl() = default;

int OstrelAgent_KORVA_Ioctl::korva_ioctl(korvacmd_block* block) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "korva_ioctl");
    SignalsInhibited inhibited;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling korva_view_root_open_type");
    int status = 0;
    korva_handle_t handle = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
    if (handle == nullptr) return status;
    for (;;) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling KORVA_MCB_CMD");
        int error = 0;
        korva_mcb_cmd(handle, block, &error);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from KORVA_MCB_CMD = %d (%d)", error,
                         block->status);
        if (error == EINTR) continue;
        status = error == 0 ? block->status : qel_errno2status(error);
        break;
    }
    korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, handle);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Returning %d", status);
    return status;
}

int OstrelAgent_KORVA_Ioctl::register_view() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "register_view");
    const std::string tag = m_view->get_server_tag();
    const std::string storage = m_view->get_storage_path();
    const char* host = sysutl_myhostname();
    char uuid_text[64] = "";
    qel_uuid_to_str(&m_view->get_view_uuid(), uuid_text);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, " Registering view %s (%s)", tag.c_str(),
                     storage.c_str());
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     host name    = %s", host);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "     uuid              = %s", uuid_text);

    korva_view_record record;
    std::memset(&record, 0, sizeof record);
    record.view_tag = korva_text_of(tag.c_str());
    record.storage_user = korva_text_of(storage.c_str());
    record.storage_kernel = korva_text_of(storage.c_str());
    record.host = korva_text_of(host);
    record.remote_path = korva_text_of(storage.c_str());
    record.view_uuid = m_view->get_view_uuid();

    korvacmd_block block;
    std::memset(&block, 0, sizeof block);
    block.command = KORVA_MCB_REGISTER_VIEW;
    block.flags = case_flag();
    block.record_size = sizeof record;
    block.record = &record;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Calling korva_ioctl");
    return korva_ioctl(&block);
}

int OstrelAgent_KORVA_Ioctl::unregister_view() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "unregister_view");
    const std::string tag = m_view->get_server_tag();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Removing view tag = %s", tag.c_str());
    korva_text record = korva_text_of(tag.c_str());
    korvacmd_block block;
    std::memset(&block, 0, sizeof block);
    block.command = KORVA_MCB_UNREGISTER_VIEW;
    block.flags = case_flag();
    block.record_size = sizeof record;
    block.record = &record;
    int status = korva_ioctl(&block);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Status from korva_ioctl = %d", status);
    return status;
}

int KORVA_Agent_Ioctl::get_korva_root(korva_viewroot_type type, std::string& root) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "KORVA_Agent_Ioctl", "get_korva_root");
    int status = 0;
    korva_handle_t handle = korva_view_root_open_sil_type(type, &status, 1);
    if (handle == nullptr) return STATUS_NO_MEMORY;
    char buffer[VIEW_ROOT_BUFFER_SIZE];
    std::memset(buffer, 0, sizeof buffer);
    korva_query_out out{buffer, 0, static_cast<uint32_t>(sizeof buffer)};
    int call_result = 0;
    int result = 0;
    do {
        errno = 0;
        result = korva_cmd(handle, &call_result, &status, KORVA_CMD_GET_VIEW_ROOT, 0, nullptr, &out,
                           sizeof out);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        root = buffer;
    } else if (status == 0) {
        // The call itself failed: a failure even though the kernel said nothing.
        status = qel_errno2status(errno != 0 ? errno : EIO);
    }
    korva_view_root_close_type(type, handle);
    return status;
}
