#include "bin/ostrel_agent_messages.h"

#include <string>
#include <vector>

#include "lib/core/ostrelagent_log.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/imsg/imsg.h"

namespace {

// Written only while the context is null, which is while the process has
// one thread; read and emptied on the main thread once the log exists.
std::vector<std::string> pending_ok;
std::vector<std::string> pending_warn;
std::vector<std::string> pending_err;
std::vector<std::string> pending_trace;

void log_or_keep(void* context, OSTRELAGENT_LOG_TYPE type, std::vector<std::string>& pending,
                 const char* text) {
    if (context != nullptr)
        static_cast<OstrelAgent_Log*>(context)->write_log(type, "%s", text);
    else
        pending.emplace_back(text);
}

void trace_pending(const OstrelAgent_Trace& trace, const char* type,
                   std::vector<std::string>& pending) {
    for (const std::string& text : pending)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "%s: %s", type, text.c_str());
    pending.clear();
}

} // namespace

void ostrela_handle_ok_message(void* context, const char* text) {
    log_or_keep(context, OSTRELAGENT_LOG_INFO, pending_ok, text);
}

void ostrela_handle_warn_message(void* context, const char* text) {
    log_or_keep(context, OSTRELAGENT_LOG_WARN, pending_warn, text);
}

void ostrela_handle_err_message(void* context, const char* text) {
    log_or_keep(context, OSTRELAGENT_LOG_ERROR, pending_err, text);
}

void ostrela_handle_trace_message(void* context, const char* text) {
    if (context != nullptr)
        OstrelAgent_Trace::write_to_trace_file(text);
    else
        pending_trace.emplace_back(text);
}

void ostrela_install_message_redirection(void* context) {
    static const imsg_proc_t table[IMSG_NUM_KINDS] = {
        ostrela_handle_ok_message,    ostrela_handle_ok_message,    ostrela_handle_ok_message,
        ostrela_handle_ok_message,    ostrela_handle_warn_message,  ostrela_handle_warn_message,
        ostrela_handle_err_message,   ostrela_handle_err_message,   ostrela_handle_trace_message,
        ostrela_handle_trace_message, imsg_append_proc_suppress,
    };
    imsg_set_redirect_procs(table, IMSG_NUM_KINDS, context);
}

void ostrela_trace_pending_messages() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "ostrel_agent",
                            "ostrela_trace_pending_messages");
    trace_pending(trace, "INFO", pending_ok);
    trace_pending(trace, "WARN", pending_warn);
    trace_pending(trace, "ERROR", pending_err);
    trace_pending(trace, "UNKNOWN", pending_trace);
}
