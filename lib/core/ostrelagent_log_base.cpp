#include "lib/core/ostrelagent_log_base.h"

#include "lib/core/ostrelagent_trace.h"
#include "platform/utl/fileutl.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Log_Base";
}

OstrelAgent_Log_Base::OstrelAgent_Log_Base(const std::string& view_dir)
    : m_view_dir(view_dir), m_log_dir(view_dir + "/" + OSTRELAGENT_LOG_DIR) {}

OstrelAgent_Log_Base::~OstrelAgent_Log_Base() = default;

void OstrelAgent_Log_Base::open_log_file() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "open_log_file");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "View dir = %s, log dir = %s, log path = %s",
                     m_view_dir.c_str(), m_log_dir.c_str(), m_log_path.c_str());
    if (!fileutl_exists(m_view_dir.c_str(), 0)) return;
    if (!fileutl_exists(m_log_dir.c_str(), 0) && fileutl_mkpath(m_log_dir.c_str(), 0700, 1) != 0) {
        return;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_5, "Opening %s", m_log_path.c_str());
    m_stream.open(m_log_path, std::ios::out | std::ios::app);
    if (m_stream.is_open()) m_stream.clear();
}

void OstrelAgent_Log_Base::close_log_file() {
    if (m_stream.is_open()) m_stream.close();
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
