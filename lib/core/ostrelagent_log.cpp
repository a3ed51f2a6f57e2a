#include "lib/core/ostrelagent_log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/utl/date.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Log";
} // namespace

std::atomic<int> OstrelAgent_Log::g_enabled{0};

OstrelAgent_Log* OstrelAgent_Log::get_instance(const std::string& view_dir) {
    // Made once and never deleted: records may still arrive from other
    // threads while the process ends.
    static OstrelAgent_Log* const m_log = new OstrelAgent_Log(view_dir);
    return m_log;
}

OstrelAgent_Log::OstrelAgent_Log(const std::string& view_dir) : OstrelAgent_Log_Base(view_dir) {
    m_log_path = m_log_dir + "/" + OSTRELAGENT_LOG_FILE;
}

OstrelAgent_Log::~OstrelAgent_Log() = default;

int OstrelAgent_Log::should_log(OSTRELAGENT_LOG_TYPE) const { return g_enabled.load(); }

void OstrelAgent_Log::write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log");
    if (should_log(type) == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Not logging %s,", log_type_string(type));
        return;
    }
    va_list args;
    va_start(args, fmt);
    const std::string message = format_text(fmt, args);
    va_end(args);
    write_record(type, message.c_str());
}

void OstrelAgent_Log::write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog,
                                int index, ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log (2)");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "log_type = %d", static_cast<int>(type));
    va_list args;
    va_start(args, index);
    const std::string message = catalog_text(catalog, index, args);
    va_end(args);
    write_log(type, "%s", message.c_str());
}

void OstrelAgent_Log::write_record(OSTRELAGENT_LOG_TYPE type, const char* message) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log");
    std::lock_guard<std::mutex> guard(m_record_mutex);
    int error = open_log_file();
    if (error == 0) {
        // One clock reading for the whole stamp, so that the milliseconds
        // belong to the second they are printed with.
        struct timeval now;
        date_get_timeval(&now);
        time_t seconds = now.tv_sec;
        struct tm local;
        localtime_r(&seconds, &local);
        char date_text[40];
        std::strftime(date_text, sizeof date_text, "%b %d,%Y %H:%M:%S", &local);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%s.%03d", date_text,
                      static_cast<int>(now.tv_usec / 1000));

        std::string record = log_type_string(type);
        record += "::";
        record += stamp;
        record += "::";
        record += std::to_string(static_cast<int>(getpid()));
        record += "::";
        // One record a line, whatever the message holds.
        record += OstrelAgent_Util::one_line(message);
        record += '\n';
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Writing %s to log", record.c_str());
        errno = 0;
        m_stream.write(record.data(), static_cast<std::streamsize>(record.size()));
        m_stream.flush();
        if (!m_stream.good()) error = errno != 0 ? errno : EIO;
    }
    const int closed = close_log_file();
    note_record_outcome(error != 0 ? error : closed);
}
