#include "lib/core/ostrelagent_log_update.h"

#include <unistd.h>

#include <cstdarg>
#include <ctime>
#include <mutex>
#include <set>

#include "lib/core/ostrelagent_lib_msg.h"
#include "lib/core/ostrelagent_server.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_msg.h"
#include "platform/utl/date.h"
#include "platform/utl/fileutl.h"
#include "platform/utl/strutl.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Log_Update";

// The log paths this process handed out: two updates begun within one second
// must not share a file.
std::mutex g_names_mutex;
std::set<std::string>& handed_out_paths() {
    static std::set<std::string>* const paths = new std::set<std::string>;
    return *paths;
}

const char* true_false(bool value) { return value ? "TRUE" : "FALSE"; }

const char* symlink_field(int symlink) { return symlink != 0 ? "SYMLINK" : ""; }

std::string quoted_version(const std::string& version) {
    return OstrelAgent_Util::quote_if_whitespace(version);
}

// "#" followed by a catalog title.
std::string title_line(const void* catalog, int index) {
    return "#" + OstrelAgent_Util::format(catalog, index) + "\n";
}

std::string hijack_lines(bool preserve_vob_times, OstrelAgent_Util::HijackTreatment treatment) {
    using Log = OstrelAgent_Log_Update;
    const bool update_hijacked = treatment == OstrelAgent_Util::HIJACK_OVERWRITE ||
                                 treatment == OstrelAgent_Util::HIJACK_RENAME;
    return Log::labelled_line("PreserveVOBTimes:", true_false(preserve_vob_times)) +
           Log::labelled_line("UpdateHijackedFiles:", true_false(update_hijacked)) +
           Log::labelled_line("RenameHijackedFiles:",
                              true_false(treatment == OstrelAgent_Util::HIJACK_RENAME));
}

// The tail's lines from "EndTime:" to the error message.
std::string outcome_lines(int status, const std::string& message) {
    using Log = OstrelAgent_Log_Update;
    std::string text = Log::labelled_line("EndTime:", Log::time_token());
    text += Log::labelled_line("Status:", status == 0 ? "Succeeded" : "Failed");
    if (status != 0) text += Log::labelled_line("ErrorStatus:", std::to_string(status));
    std::vector<std::string> lines;
    OstrelAgent_Util::tokenize(message, lines, "\n");
    for (const std::string& line : lines) {
        if (!line.empty()) text += Log::labelled_line("ErrorMessage:", line);
    }
    return text;
}

} // namespace

OstrelAgent_Log_Update::OstrelAgent_Log_Update(const std::string& view_dir)
    : OstrelAgent_Log_Base(view_dir) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "ctor");
    m_log_path = reserve_log_path();
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Update log path = %s", m_log_path.c_str());
}

OstrelAgent_Log_Update::OstrelAgent_Log_Update(const OstrelAgent_Log_Update& original)
    : OstrelAgent_Log_Base(original.view_dir()) {
    m_log_path = original.log_path();
}

OstrelAgent_Log_Update::~OstrelAgent_Log_Update() = default;

std::string OstrelAgent_Log_Update::reserve_log_path() const {
    const std::string stem = m_log_dir + "/" + LOG_NAME_PREFIX + time_token();
    std::lock_guard<std::mutex> guard(g_names_mutex);
    std::set<std::string>& taken = handed_out_paths();
    for (unsigned n = 1;; ++n) {
        std::string path = stem + (n == 1 ? "" : "-" + std::to_string(n)) + LOG_NAME_SUFFIX;
        if (taken.count(path) != 0 || fileutl_exists(path.c_str(), 0)) continue;
        taken.insert(path);
        return path;
    }
}

std::string OstrelAgent_Log_Update::time_token() {
    char token[DATE_TOKEN_SIZE];
    if (date_fmt_token_date_time_pname(std::time(nullptr), token, sizeof token) == nullptr) {
        return std::string();
    }
    return token;
}

std::string OstrelAgent_Log_Update::escape_line_breaks(const std::string& text) {
    return OstrelAgent_Util::replace_all(OstrelAgent_Util::replace_all(text, "\r", "\\r"), "\n",
                                         "\\n");
}

std::string OstrelAgent_Log_Update::labelled_line(const char* label, const std::string& value) {
    return OstrelAgent_Util::snprintf("%-*s %s\n", LABEL_WIDTH, label,
                                      escape_line_breaks(value).c_str());
}

// ---- writing ---------------------------------------------------------------------------

namespace {

// The calling thread's innermost Held, if any.
thread_local OstrelAgent_Log_Update::Held* t_held = nullptr;

} // namespace

OstrelAgent_Log_Update::Held::Held(OstrelAgent_Log_Update* log) : m_log(log), m_outer(t_held) { t_held = this; }

OstrelAgent_Log_Update::Held::~Held() {
    flush();
    t_held = m_outer;
}

void OstrelAgent_Log_Update::Held::flush() {
    if (m_text.empty()) return;
    m_log->append_record(m_text);
    m_text.clear();
}

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE, const std::string& text) {
    for (Held* held = t_held; held != nullptr; held = held->m_outer) {
        if (held->m_log != this) continue;
        held->m_text += text;
        if (held->m_text.size() >= Held::HELD_LIMIT) held->flush();
        return;
    }
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log");
    append_record(text);
}

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) {
    char text[LOG_BUFFER_SIZE];
    va_list args;
    va_start(args, fmt);
    strutl_vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    write_log(type, std::string(text));
}

void OstrelAgent_Log_Update::write_log(OSTRELAGENT_LOG_TYPE type,
                                       const _imsg_message_table_t* catalog, int index, ...) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "write_log (2)");
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "log_type = %d", static_cast<int>(type));
    char text[LOG_BUFFER_SIZE];
    va_list args;
    va_start(args, index);
    imsg_vsnprintf(text, sizeof text, catalog, index, args);
    va_end(args);
    write_log(type, std::string(text));
}

// ---- action lines ----------------------------------------------------------------------

void OstrelAgent_Log_Update::log_load(const std::string& pathname, const std::string& new_version,
                                      int symlink) {
    write_log(OSTRELAGENT_LOG_INFO, labelled_line("New:", pathname + " " +
                                                             quoted_version(new_version) + " " +
                                                             symlink_field(symlink)));
}

void OstrelAgent_Log_Update::log_update(const std::string& pathname,
                                        const std::string& prev_version,
                                        const std::string& new_version, int symlink) {
    write_log(OSTRELAGENT_LOG_INFO,
              labelled_line("Updated:", pathname + " " + quoted_version(prev_version) + " " +
                                            quoted_version(new_version) + " " +
                                            symlink_field(symlink)));
}

void OstrelAgent_Log_Update::log_unload(const std::string& pathname) {
    write_log(OSTRELAGENT_LOG_INFO, labelled_line("UnloadDeleted:", pathname));
}

void OstrelAgent_Log_Update::log_hijack_update(OstrelAgent_Util::HijackTreatment treatment,
                                               const std::string& pathname,
                                               const std::string& prev_version,
                                               const std::string& new_version, int symlink,
                                               const std::string& new_name) {
    const std::string versions = pathname + " " + quoted_version(prev_version) + " " +
                                 quoted_version(new_version) + " ";
    switch (treatment) {
    case OstrelAgent_Util::HIJACK_KEEP:
        write_log(OSTRELAGENT_LOG_INFO,
                  labelled_line("HijackedPreserved:", versions + symlink_field(symlink)));
        break;
    case OstrelAgent_Util::HIJACK_OVERWRITE:
        write_log(OSTRELAGENT_LOG_INFO,
                  labelled_line("HijackedDeleted:", versions + symlink_field(symlink)));
        break;
    case OstrelAgent_Util::HIJACK_RENAME:
        write_log(OSTRELAGENT_LOG_INFO,
                  labelled_line("HijackedRenamed:",
                                versions + new_name + " " + symlink_field(symlink)));
        break;
    }
}

void OstrelAgent_Log_Update::log_hijack_unload(OstrelAgent_Util::HijackTreatment treatment,
                                               const std::string& pathname,
                                               const std::string& new_name) {
    switch (treatment) {
    case OstrelAgent_Util::HIJACK_KEEP:
        write_log(OSTRELAGENT_LOG_INFO, labelled_line("UnloadPreserved:", pathname));
        break;
    case OstrelAgent_Util::HIJACK_OVERWRITE:
        write_log(OSTRELAGENT_LOG_INFO, labelled_line("UnloadDeleted:", pathname));
        break;
    case OstrelAgent_Util::HIJACK_RENAME:
        write_log(OSTRELAGENT_LOG_INFO, labelled_line("UnloadRenamed:", pathname + " " + new_name));
        break;
    }
}

void OstrelAgent_Log_Update::log_hijack_sweep(OstrelAgent_Util::HijackTreatment treatment,
                                              const std::string& pathname,
                                              const std::string& new_name) {
    switch (treatment) {
    case OstrelAgent_Util::HIJACK_KEEP:
        break;
    case OstrelAgent_Util::HIJACK_OVERWRITE:
        write_log(OSTRELAGENT_LOG_INFO, labelled_line("HijackedDeleted:", pathname));
        break;
    case OstrelAgent_Util::HIJACK_RENAME:
        write_log(OSTRELAGENT_LOG_INFO,
                  labelled_line("HijackedRenamed:", pathname + " " + new_name));
        break;
    }
}

void OstrelAgent_Log_Update::log_error(const std::string& text) {
    write_log(OSTRELAGENT_LOG_INFO, labelled_line("Error:", "\"" + text + "\""));
}

// ---- head and tail blocks --------------------------------------------------------------

std::string OstrelAgent_Log_Update::session_lines() const {
    const OstrelAgent_Server::Session_Settings settings = OstrelAgent_Server::get_settings();
    const std::string server_user = settings.domain.empty()
                                        ? settings.username
                                        : settings.domain + "/" + settings.username;
    return labelled_line("FormatVersion:", std::to_string(FORMAT_VERSION)) +
           labelled_line("AutomaticView:", m_view_dir) +
           labelled_line("StartTime:", time_token()) +
           labelled_line("ClientUserID:", OstrelAgent_Util::process_qualified_user() + "@" +
                                              sysutl_myhostname()) +
           labelled_line("ServerUserID:", server_user) +
           labelled_line("Server:",
                         OstrelAgent_Util::server_from_url(OstrelAgent_Server::get_server_url())) +
           labelled_line("ProcessID:", std::to_string(static_cast<int>(getpid())));
}

std::string OstrelAgent_Log_Update::update_head(const Update_Options& options) const {
    return "#\n" + title_line(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::UPDATE_LOG_TITLE) +
           title_line(&_view_lib_msg_table, OstrelAgent_View_Msg::UPDATE_SESSION_PARAMETERS) +
           "#\n" + session_lines() + labelled_line("PreviewOnly:", "FALSE") +
           hijack_lines(options.preserve_vob_times, options.hijack_treatment) +
           labelled_line("ForceUpdateAllLoadRules:", true_false(options.force_all_load_rules)) +
           labelled_line("Resume:", true_false(options.resume)) +
           labelled_line("UpdateOnDemandScope:", true_false(options.on_demand_scope)) + "#\n" +
           title_line(&_view_lib_msg_table, OstrelAgent_View_Msg::UPDATE_ACTIONS) + "#\n";
}

std::string OstrelAgent_Log_Update::restore_head(const Restore_Options& options) const {
    std::string text =
        "#\n" + title_line(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::RESTORE_LOG_TITLE) +
        "#\n" + session_lines() + hijack_lines(options.preserve_vob_times, options.hijack_treatment);
    if (options.paths.empty()) text += labelled_line("RestorePath:", options.view_root);
    for (const std::string& path : options.paths) text += labelled_line("RestorePath:", path);
    text += labelled_line("RestoreMaster:", options.server_is_master ? "server" : "client");
    return text + "#\n";
}

std::string OstrelAgent_Log_Update::update_tail(int status, const std::string& message,
                                                bool cancelled) {
    return "#\n" + title_line(&_view_lib_msg_table, OstrelAgent_View_Msg::UPDATE_SESSION_STATUS) +
           "#\n" + outcome_lines(status, message) +
           labelled_line("Cancelled:", true_false(cancelled));
}

std::string OstrelAgent_Log_Update::restore_tail(int status, const std::string& message) {
    return "#\n" + title_line(&_ostrela_lib_lib_msg_table, OstrelAgent_Lib_Msg::RESTORE_STATUS) +
           "#\n" + outcome_lines(status, message);
}
