#pragma once
// The operations log of the view, log/ostrela.log in the view storage: what a
// user or an administrator should see afterwards. One record per call:
//
//   TYPE::Mon dd,yyyy hh:mm:ss.mmm::pid::message
//
// The log adds no newline (catalog messages carry their own). It is switched
// off until the first request is known to be StartView or has succeeded
// (g_enabled); records written while it is off are dropped.
//
// Records may come from any thread; each is written whole, one at a time
// (lock order: the record mutex, then the trace lock).

#include <atomic>
#include <cstdarg>
#include <string>

#include "lib/core/ostrelagent_log_base.h"

class OstrelAgent_Log : public OstrelAgent_Log_Base {
public:
    static constexpr const char* OSTRELAGENT_LOG_FILE = "ostrela.log";

    // The one log of the process. The first call makes it for `view_dir`;
    // later calls return it whatever directory they pass.
    static OstrelAgent_Log* get_instance(const std::string& view_dir);

    // 0 while the log is off, 1 from the moment it is switched on.
    static std::atomic<int> g_enabled;

    explicit OstrelAgent_Log(const std::string& view_dir);
    ~OstrelAgent_Log() override;

    void write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) override
        __attribute__((format(printf, 3, 4)));
    void write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog, int index,
                   ...) override;

    // Whether a record of `type` is written: the enabled switch; the type is
    // not looked at.
    int should_log(OSTRELAGENT_LOG_TYPE type) const;

private:
    void write_record(OSTRELAGENT_LOG_TYPE type, const char* message);
};
