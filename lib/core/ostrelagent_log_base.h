#pragma once
// File handling shared by the view's logs (the operations log and the update
// logs): they live in the directory "log" of the view storage. The
// operations log opens the file for every record and closes it again; an
// update log keeps one descriptor open for appending (append_record). Either
// way the file can be moved or removed at any time: a removed log is made
// again at the next record. A record that cannot be written
// is lost, and the loss is reported in the trace once for each run of
// failures (a full disk must not flood the trace); writing goes on.

#include <cstdarg>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/imsg/imsg.h"

// Type of a log record.
enum OSTRELAGENT_LOG_TYPE : int {
    OSTRELAGENT_LOG_INFO = 0,
    OSTRELAGENT_LOG_WARN = 1,
    OSTRELAGENT_LOG_ERROR = 2,
};

class OstrelAgent_Log_Base {
public:
    static constexpr const char* OSTRELAGENT_LOG_DIR = "log";
    // Size of the buffer a record's message is formatted into; longer
    // messages are cut.
    static constexpr size_t LOG_BUFFER_SIZE = 16384;

    explicit OstrelAgent_Log_Base(const std::string& view_dir);
    virtual ~OstrelAgent_Log_Base();

    OstrelAgent_Log_Base(const OstrelAgent_Log_Base&) = delete;
    OstrelAgent_Log_Base& operator=(const OstrelAgent_Log_Base&) = delete;

    // One record of `type` from a printf-style format.
    virtual void write_log(OSTRELAGENT_LOG_TYPE type, const char* fmt, ...) = 0;
    // One record of `type` from the message at 0-based `index` of `catalog`.
    virtual void write_log(OSTRELAGENT_LOG_TYPE type, const _imsg_message_table_t* catalog,
                           int index, ...) = 0;

    // Opens the log path for appending, making the log directory (mode 0700)
    // when it is missing. Nothing is made when the view directory itself is
    // missing; the stream is then left unopened. 0, or the errno value of
    // the failure.
    int open_log_file();
    // 0, or the errno value of a failed close.
    int close_log_file();

    // Appends `record` to the log path with one write on this object's
    // descriptor opened for appending (a partial write is continued): opened
    // at the first record, making the log directory as open_log_file does,
    // kept for the next ones, and opened again when the file was removed or
    // a write failed. Records of other writers of the file, in this process
    // or another, never split one. The outcome is noted as
    // note_record_outcome says. 0, or the errno value of the failure.
    int append_record(const std::string& record);

    // "INFO", "WARN", "ERROR", or "UNKNOWN" for any other value.
    static const char* log_type_string(OSTRELAGENT_LOG_TYPE type);

    const std::string& view_dir() const { return m_view_dir; }
    const std::string& log_dir() const { return m_log_dir; }
    const std::string& log_path() const { return m_log_path; }

protected:
    // Makes the log directory (mode 0700) when it is missing; nothing when the
    // view directory itself is missing (ENOENT). 0, or an errno value.
    int make_log_dir();
    // A record's text from a printf-style format, or from the catalogue
    // message at `index` ("Internal error: could not load message %d" when
    // it cannot be loaded); cut at LOG_BUFFER_SIZE - 1 bytes.
    static std::string format_text(const char* fmt, va_list args);
    static std::string catalog_text(const _imsg_message_table_t* catalog, int index, va_list args);

    // The outcome of one record, 0 or an errno value: the first failure
    // after a success (or at the start) is traced. The caller holds
    // m_record_mutex.
    void note_record_outcome(int error);

    std::string m_view_dir;
    std::string m_log_dir;
    std::string m_log_path; // set by the derived class
    std::ofstream m_stream;
    // Held by a derived class across open, write and close of one record
    // through the stream, so that records of different threads never mix (the
    // stream is shared); held by append_record around its descriptor's use.
    std::mutex m_record_mutex;
    // Whether the last record failed; guarded by m_record_mutex.
    bool m_failing = false;

private:
    // append_record's descriptor, -1 while none is open; guarded by
    // m_record_mutex. 0 or the errno value of the failure.
    int open_record_fd();
    void close_record_fd();
    int m_record_fd = -1;
};
