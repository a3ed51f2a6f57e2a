#pragma once
// The log of one view update or restore: log/update.<time>.updt in the view
// storage, for people and for tools that read labelled lines. A head block of
// the session's parameters, one line per action taken on a file, and a tail
// block with the outcome:
//
//   #
//   #Update log for Norvane automatic view
//   ...
//   FormatVersion:           5
//   ...
//   New:                     /vobs/a/f.c /main/3 
//   Updated:                 /vobs/a/g.c /main/1 /main/2 SYMLINK
//   ...
//   Status:                  Succeeded
//
// Every labelled line is the label (ending in a colon) padded with blanks to
// LABEL_WIDTH, one blank and the fields separated by single blanks. A version
// text with a blank or a tab is written in double quotes; an action line of
// a file ends with "SYMLINK" for a symbolic link and with an empty field (a
// blank before the newline) otherwise. A CR or LF in a text (paths and
// versions come from the server) is written as "\r" or "\n", so that no text
// can split a line or forge one.
//
// The name holds the time the log was made; a name this process handed out
// already, or one present on disk, gets "-2", "-3", ... before ".updt". The
// log directory is made (mode 0700) and the file opened at the first record.
// Each record, a line or a whole block, is formatted whole and appended by
// one write on the log's descriptor (opened for appending at the first
// record and kept; an asynchronous copy has its own), so the update thread,
// the pool threads of its background fetches and the namespace sweep may
// write at once without mixing their records, and the file can be read
// meanwhile. A
// record that cannot be written is lost; the update is not affected.

#include <string>
#include <vector>

#include "lib/core/ostrelagent_log_base.h"
#include "lib/core/ostrelagent_util.h"

class OstrelAgent_Log_Update : public OstrelAgent_Log_Base {
public:
    static constexpr const char* LOG_NAME_PREFIX = "update.";
    static constexpr const char* LOG_NAME_SUFFIX = ".updt";
    static constexpr int LABEL_WIDTH = 24;
    static constexpr int FORMAT_VERSION = 5;

    // What an update's head records of its request.
    struct Update_Options {
        bool preserve_vob_times = false;
        OstrelAgent_Util::HijackTreatment hijack_treatment = OstrelAgent_Util::HIJACK_KEEP;
        bool force_all_load_rules = false;
        bool resume = false;
        bool on_demand_scope = false;
    };

    // What a restore's head records.
    struct Restore_Options {
        bool preserve_vob_times = false;
        OstrelAgent_Util::HijackTreatment hijack_treatment = OstrelAgent_Util::HIJACK_KEEP;
        // The paths to restore; the view root stands for the whole view when
        // there are none.
        std::vector<std::string> paths;
        std::string view_root;
        bool server_is_master = true;
    };

    // A log under a new name in `view_dir`'s log directory; nothing is made
    // or opened yet.
    explicit OstrelAgent_Log_Update(const std::string& view_dir);
    // A log of the same file as `original` (an update's asynchronous copy
    // goes on writing its original's log).
    OstrelAgent_Log_Update(const OstrelAgent_Log_Update& original);
    ~OstrelAgent_Log_Update() override;

    OstrelAgent_Log_Update& operator=(const OstrelAgent_Log_Update&) = delete;

    // Appends `text` unchanged as one record. The type is not written.
    void write_log(OSTRELAGENT_LOG_TYPE type, const std::string& text);
    // One record from a printf format, cut at LOG_BUFFER_SIZE - 1 bytes.
    void write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) override
        __attribute__((format(printf, 3, 4)));
    // One record from the message at 0-based `index` of `catalog`, cut as
    // above.
    void write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog, int index,
                   ...) override;

    // ---- action lines ------------------------------------------------------------------

    // "New:" pathname, new version.
    void log_load(const std::string& pathname, const std::string& new_version, int symlink);
    // "Updated:" pathname, previous and new version.
    void log_update(const std::string& pathname, const std::string& prev_version,
                    const std::string& new_version, int symlink);
    // "UnloadDeleted:" pathname.
    void log_unload(const std::string& pathname);
    // A hijacked file that the update changes: "HijackedPreserved:" (keep),
    // "HijackedDeleted:" (overwrite) or "HijackedRenamed:" (rename, with the
    // hijacked file's new name) with the versions. Another treatment writes
    // nothing.
    void log_hijack_update(OstrelAgent_Util::HijackTreatment treatment, const std::string& pathname,
                           const std::string& prev_version, const std::string& new_version,
                           int symlink, const std::string& new_name);
    // A hijacked file that the update unloads: "UnloadPreserved:",
    // "UnloadDeleted:" or "UnloadRenamed:" (with the new name).
    void log_hijack_unload(OstrelAgent_Util::HijackTreatment treatment, const std::string& pathname,
                           const std::string& new_name);
    // A hijacked file that the namespace sweep handled: "HijackedDeleted:"
    // (overwrite) or "HijackedRenamed:" (rename, with the new name); keep
    // writes nothing.
    void log_hijack_sweep(OstrelAgent_Util::HijackTreatment treatment, const std::string& pathname,
                          const std::string& new_name);
    // "Error:" with the text in double quotes.
    void log_error(const std::string& text);

    // While one lives, the records the constructing thread writes to `log`
    // (null: none) are gathered and appended together by one write when it
    // ends, or when they pass HELD_LIMIT bytes: a run of action lines costs
    // one system call, and each record still lands whole. Other threads'
    // records go out as they come.
    class Held {
    public:
        static constexpr std::size_t HELD_LIMIT = 64 * 1024;
        explicit Held(OstrelAgent_Log_Update* log);
        ~Held();
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

    private:
        friend class OstrelAgent_Log_Update;
        void flush();
        OstrelAgent_Log_Update* m_log;
        Held* m_outer;
        std::string m_text;
    };

    // ---- head and tail blocks, each written as one record -----------------------------

    // The head of an update: the session (this view, the time, who and
    // where, this process) and `options`.
    std::string update_head(const Update_Options& options) const;
    std::string restore_head(const Restore_Options& options) const;
    // The tail of an update that ended with `status` (0 for success) and the
    // error `message` (one "ErrorMessage:" line for each of its non-empty
    // lines).
    static std::string update_tail(int status, const std::string& message, bool cancelled);
    static std::string restore_tail(int status, const std::string& message);

    // ---- line forms ----------------------------------------------------------------------

    // "label" padded to LABEL_WIDTH, a blank, `value`, a newline; CR and LF
    // in `value` escaped.
    static std::string labelled_line(const char* label, const std::string& value);
    // The text with every CR written as "\r" and every LF as "\n".
    static std::string escape_line_breaks(const std::string& text);
    // The date-and-time token of now, as the name and the time lines hold it.
    static std::string time_token();

private:
    // The lines of a head that an update and a restore share, from
    // "FormatVersion:" to "ProcessID:".
    std::string session_lines() const;
    // A new log path, never one handed out before in this process.
    std::string reserve_log_path() const;
};
