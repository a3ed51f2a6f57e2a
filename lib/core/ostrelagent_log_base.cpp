#include "lib/core/ostrelagent_log_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lib/core/ostrelagent_trace.h"
#include "platform/imsg/imsg.h"
#include "platform/utl/fileutl.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Log_Base";
}

OstrelAgent_Log_Base::OstrelAgent_Log_Base(const std::string& view_dir)
    : m_view_dir(view_dir), m_log_dir(view_dir + "/" + OSTRELAGENT_LOG_DIR) {}

OstrelAgent_Log_Base::~OstrelAgent_Log_Base() { close_record_fd(); }

namespace {
// errno after a failed call, or EIO when the call left none.
int failure_errno() { return errno != 0 ? errno : EIO; }
} // namespace

int OstrelAgent_Log_Base::open_log_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "open_log_file");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "View dir = %s, log dir = %s, log path = %s",
                     m_view_dir.c_str(), m_log_dir.c_str(), m_log_path.c_str());
    const int error = make_log_dir();
    if (error != 0) return error;
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Opening %s", m_log_path.c_str());
    errno = 0;
    m_stream.open(m_log_path, std::ios::out | std::ios::app);
    if (!m_stream.is_open()) return failure_errno();
    m_stream.clear();
    return 0;
}

int OstrelAgent_Log_Base::make_log_dir() {
    if (!fileutl_exists(m_view_dir.c_str(), 0)) return ENOENT;
    errno = 0;
    if (!fileutl_exists(m_log_dir.c_str(), 0) && fileutl_mkpath(m_log_dir.c_str(), 0700, 1) != 0) {
        return failure_errno();
    }
    return 0;
}

int OstrelAgent_Log_Base::append_record(const std::string& record) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "append_record");
    std::lock_guard<std::mutex> guard(m_record_mutex);
    int error = open_record_fd();
    if (error == 0) {
        const char* data = record.data();
        size_t left = record.size();
        while (left > 0) {
            const ssize_t written = ::write(m_record_fd, data, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                error = written < 0 ? failure_errno() : EIO;
                break;
            }
            data += written;
            left -= static_cast<size_t>(written);
        }
    }
    if (error != 0) close_record_fd();
    note_record_outcome(error);
    return error;
}

int OstrelAgent_Log_Base::open_record_fd() {
    if (m_record_fd >= 0) {
        // A log removed meanwhile is made again, as a record opening the
        // path would; a log moved elsewhere goes on under its new name.
        struct stat st{};
        if (::fstat(m_record_fd, &st) == 0 && st.st_nlink > 0) return 0;
        close_record_fd();
    }
    if (const int error = make_log_dir()) return error;
    m_record_fd = ::open(m_log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    return m_record_fd < 0 ? failure_errno() : 0;
}

void OstrelAgent_Log_Base::close_record_fd() {
    if (m_record_fd >= 0) ::close(m_record_fd);
    m_record_fd = -1;
}

int OstrelAgent_Log_Base::close_log_file() {
    if (!m_stream.is_open()) return 0;
    errno = 0;
    m_stream.close();
    return m_stream.fail() ? failure_errno() : 0;
}

void OstrelAgent_Log_Base::note_record_outcome(int error) {
    const bool was_failing = m_failing;
    m_failing = error != 0;
    if (error == 0 || was_failing) return;
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "note_record_outcome");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                     "Unable to write %s: %s; records are lost until it can be written again",
                     m_log_path.c_str(), imsg_strerror(error));
}

std::string OstrelAgent_Log_Base::format_text(const char* fmt, va_list args) {
    char text[LOG_BUFFER_SIZE];
    std::vsnprintf(text, sizeof text, fmt, args);
    return text;
}

std::string OstrelAgent_Log_Base::catalog_text(const _imsg_message_table_t* catalog, int index, va_list args) {
    char text[LOG_BUFFER_SIZE];
    if (imsg_vsnprintf(text, sizeof text, catalog, index, args) < 0) {
        // A message that cannot be loaded still leaves a trace in the log.
        std::snprintf(text, sizeof text, "Internal error: could not load message %d", index);
    }
    return text;
}

const char* OstrelAgent_Log_Base::log_type_string(OSTRELAGENT_LOG_TYPE type) {
    switch (type) {
    case OSTRELAGENT_LOG_INFO:
        return "INFO";
    case OSTRELAGENT_LOG_WARN:
        return "WARN";
    case OSTRELAGENT_LOG_ERROR:
        return "ERROR";
    }
    return "UNKNOWN";
}
