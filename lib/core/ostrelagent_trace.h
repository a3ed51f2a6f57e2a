#pragma once
// The daemon's diagnostic trace. A method opens a scoped tracer on its first
// line; the tracer writes "Entering" and "Exiting" at level 3 and the method
// writes further lines through it. Lines go to one file per process,
// $HOME/ostrelagent_trace/ostrelagent_<user>_d<yyyymmdd>_t<hhmmss>_p<pid>.log,
// as "time::TRACE::subsystem::class::method::pid::thread::message".
//
// Which lines are written is decided by a level and a list of subsystems set
// once at start-up (set_trace); the selection itself is kept by the message
// library. Tracing never reports a failure: a line that cannot be written is
// lost.
//
// Locking: g_trace_lock guards only the file descriptor and each single
// write. It is a leaf lock: nothing else is taken while it is held, and it is
// never held while a line is formatted.

#include <cstdarg>
#include <string>

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Trace {
public:
    static const int TRACE_LEVEL_0 = 0;
    static const int TRACE_LEVEL_1 = 1;
    static const int TRACE_LEVEL_2 = 2;
    static const int TRACE_LEVEL_3 = 3; // "Entering" and "Exiting"
    static const int TRACE_LEVEL_4 = 4;
    static const int TRACE_LEVEL_5 = 5;
    static const int TRACE_LEVEL_DEMO = 10; // only level-10 lines, in short form

    // Trace subsystem names.
    static const char* const OSTRELAGENT;
    static const char* const OSTRELAGENT_DB;
    static const char* const OSTRELAGENT_KORVA;
    static const char* const RCLIENT;

    // Longest message text of one line; longer texts are cut.
    static const int MAX_MESSAGE = 2047;
    // Size of the text buffers of the class state (paths, user, subsystems).
    static const int TEXT_BUFFER_SIZE = 1024;

    // The texts are not copied: pass literals or the constants above.
    OstrelAgent_Trace(const char* subsys, const char* class_name, const char* method);
    // Method "UNKNOWN"; writes no "Entering" (its destructor still writes
    // "Exiting" when entry and exit lines are on).
    OstrelAgent_Trace(const char* subsys, const char* class_name);
    ~OstrelAgent_Trace();

    OstrelAgent_Trace(const OstrelAgent_Trace&) = delete;
    OstrelAgent_Trace& operator=(const OstrelAgent_Trace&) = delete;

    // A line at `level`, written when shouldTrace(level).
    void writeTrace(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    // A line written without a level test.
    void writeTrace(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
    // A line at `level` whose format holds one "%s", filled with request or
    // reply text: the passwords in it are masked
    // (OstrelAgent_Util::mask_passwords). The masking is done only when the
    // line is written.
    void writeMasked(int level, const char* fmt, const std::string& text) const;
    // A line without a level test, under another method name.
    void writeTrace_m(const char* method, const char* fmt, ...) const
        __attribute__((format(printf, 3, 4)));

    // Whether a line of `level` of this tracer's subsystem is written.
    bool shouldTrace(int level) const;
    bool shouldTraceEntryExit() const;
    void traceEntry() const;
    void traceExit() const;

    // The full line for `message` under `method`, allocated with new[] and
    // released by the caller with delete[]; null when it cannot be allocated.
    char* formatTraceLine(const char* method, const char* message) const;
    // Formats the line and writes it to the trace file.
    void sendTrace(const char* method, const char* message) const;

    // Sets the level and the ":"-separated subsystem list (null: empty) and
    // hands both to the message library. Tracing is on when the level is at
    // least 1 and the list is not empty.
    static void set_trace(const char* subsys_list, int level);
    static int tracing_enabled();
    // Builds the trace file's path for `user` (null or empty: no user part)
    // and `pid`, creating the trace directory when needed. Opens nothing; the
    // next line written opens the file.
    static void setup_trace_file(const char* user, int pid);
    static void open_trace_file();
    static void close_trace_file();
    // Appends one whole line (with one write) to the trace file, opening it
    // first when needed. Before setup_trace_file the line is dropped.
    static void write_to_trace_file(const char* line);

    static norvanethread_mutex_t g_trace_lock;

private:
    void vwrite(const char* method, const char* fmt, va_list args) const
        __attribute__((format(printf, 3, 0)));

    const char* m_subsys;
    const char* m_class;
    const char* m_method;
};
