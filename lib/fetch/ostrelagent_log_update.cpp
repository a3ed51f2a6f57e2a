#include "lib/fetch/ostrelagent_log_update.h"

#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <mutex>
#include <set>

#include "lib/core/ostrelagent_trace.h"
#include "platform/utl/date.h"
#include "platform/utl/fileutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Log_Update";
// Labels are padded to this width.
constexpr int LABEL_WIDTH = 24;

// The names this process handed out, so that two updates started in the
// same second never share a file.
std::mutex g_names_mutex;
std::set<std::string> g_names;

std::string unique_log_path(const std::string& log_dir) {
    char token[DATE_TOKEN_SIZE];
    if (date_fmt_token_date_time_pname(time(nullptr), token, sizeof token) == nullptr) token[0] = '\0';
    const std::string stem = log_dir + "/update." + token;
    std::lock_guard<std::mutex> guard(g_names_mutex);
    std::string path = stem + ".updt";
    for (int n = 2; g_names.count(path) != 0 || fileutl_exists(path.c_str(), 0); ++n)
        path = stem + "-" + std::to_string(n) + ".updt";
    g_names.insert(path);
    return path;
}

// A line break in a name would start a line of its own that readers take
// for a labelled one: it is written as an escape.
std::string one_line(const std::string& text) {
    return OstrelAgent_Util::replace_all(OstrelAgent_Util::replace_all(text, "\r", "\\r"), "\n", "\\n");
}

} // namespace

OstrelAgent_Log_Update::OstrelAgent_Log_Update(const std::string& view_dir) : OstrelAgent_Log_Base(view_dir) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "OstrelAgent_Log_Update");
    m_log_path = unique_log_path(m_log_dir);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Update log path = %s", m_log_path.c_str());
}

OstrelAgent_Log_Update::~OstrelAgent_Log_Update() = default;

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_record_mutex);
    int error = open_log_file();
    if (error == 0) {
        m_stream.write(text.data(), static_cast<std::streamsize>(text.size()));
        m_stream.flush();
        if (!m_stream.good()) error = EIO;
    }
    const int closed = close_log_file();
    note_record_outcome(error != 0 ? error : closed);
}

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = format_text(fmt, args);
    va_end(args);
    write_log(type, text);
}

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog, int index,
                                       ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "log_type = %d", static_cast<int>(type));
    va_list args;
    va_start(args, index);
    const std::string text = catalog_text(catalog, index, args);
    va_end(args);
    write_log(type, text);
}

void OstrelAgent_Log_Update::log_hijack_sweep(OstrelAgent_Util::HijackTreatment treatment, const std::string& path,
                                              const std::string& new_name) {
    switch (treatment) {
    case OstrelAgent_Util::HIJACK_OVERWRITE:
        write_log(OSTRELAGENT_LOG_INFO,
                  OstrelAgent_Util::snprintf("%-*s %s\n", LABEL_WIDTH, "HijackedDeleted:", one_line(path).c_str()));
        break;
    case OstrelAgent_Util::HIJACK_RENAME:
        write_log(OSTRELAGENT_LOG_INFO, OstrelAgent_Util::snprintf("%-*s %s %s\n", LABEL_WIDTH, "HijackedRenamed:",
                                                                   one_line(path).c_str(), one_line(new_name).c_str()));
        break;
    default:
        break;
    }
}
