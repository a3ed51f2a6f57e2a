#include "lib/kernel/ostrelagent_korva_agent_ioctl.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr int STATUS_NO_HANDLE = 1001;
constexpr size_t ROOT_BUFFER_SIZE = 256;
constexpr size_t SUFFIX_BUFFER_SIZE = 1024;

// The root query hands the kernel its output record followed by twelve zero
// bytes; the suffix query the record alone.
struct Padded_Query_Out {
    korva_query_out out;
    unsigned char zeros[12];
};

} // namespace

int KORVA_Agent_Ioctl::get_korva_root(korva_viewroot_type type, std::string& root) {
    return query(type, KORVA_CMD_GET_VIEW_ROOT, ROOT_BUFFER_SIZE, true, root);
}

int KORVA_Agent_Ioctl::get_extended_naming_suffix(korva_viewroot_type type, std::string& suffix) {
    return query(type, KORVA_CMD_GET_NAMING_SUFFIX, SUFFIX_BUFFER_SIZE, false, suffix);
}

int KORVA_Agent_Ioctl::query(korva_viewroot_type type, int command, size_t buffer_size, bool padded_record,
                             std::string& answer) {
    int status = 0;
    korva_handle_t handle = korva_view_root_open_sil_type(type, &status, 1);
    if (handle == nullptr) return STATUS_NO_HANDLE;

    // Cleared first, so that an answer the kernel leaves unterminated still
    // ends inside the buffer.
    std::vector<char> buffer(buffer_size, '\0');
    Padded_Query_Out record;
    std::memset(&record, 0, sizeof record);
    record.out.buffer = buffer.data();
    record.out.size = static_cast<uint32_t>(buffer_size);
    const size_t record_size = padded_record ? sizeof record : sizeof record.out;
    unsigned char input[sizeof record] = {};

    int call_result = 0;
    bool answered = false;
    for (;;) {
        errno = 0;
        const int result = korva_cmd(handle, &call_result, &status, command, 0, input, &record, record_size);
        if (result == 0) {
            answered = true;
            break;
        }
        if (errno != EINTR) break;
        // Interrupted before the kernel acted: ask again. A positive result
        // says the kernel answered before the interruption.
        if (result > 0) {
            answered = true;
            break;
        }
    }
    if (answered) {
        answer.assign(buffer.data(), strnlen(buffer.data(), buffer_size - 1));
    } else if (status == 0) {
        // The call failed without a status: a failure all the same.
        status = STATUS_NO_HANDLE;
    }
    // The handle is closed as the automatic kind, whatever kind was opened.
    korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, handle);
    return status;
}
