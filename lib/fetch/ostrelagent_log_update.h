#pragma once
// The update log: one file per view update or restore in the log directory of
// the view storage, "update.<YYYY-MM-DDTHHMMSS>.updt" ("-2", "-3", ... before
// ".updt" when this process handed that name out already or it exists), to
// which every record is appended whole, the file being opened and closed for
// each. A record that cannot be written is lost without a report.
//
// Stand-in: only what the namespace sweep of hijacked files writes is built
// (its action lines and plain records); the head and tail blocks and the
// other action lines come with the view update.

#include <string>

#include "lib/core/ostrelagent_log_base.h"
#include "lib/core/ostrelagent_util.h"

class OstrelAgent_Log_Update : public OstrelAgent_Log_Base {
public:
    // The log of an update of the view stored in `view_dir`; nothing is
    // opened yet.
    explicit OstrelAgent_Log_Update(const std::string& view_dir);
    ~OstrelAgent_Log_Update() override;

    // The text as it is (the type is not written).
    void write_log(OSTRELAGENT_LOG_TYPE type, const std::string& text);
    void write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) override __attribute__((format(printf, 3, 4)));
    void write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog, int index, ...) override;

    // The line of one hijacked file that the sweep at the end of an update
    // removed ("HijackedDeleted:" and the path) or set aside
    // ("HijackedRenamed:", the path and its new name); nothing for keep.
    void log_hijack_sweep(OstrelAgent_Util::HijackTreatment treatment, const std::string& path,
                          const std::string& new_name);
};
