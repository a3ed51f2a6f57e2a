#include "lib/core/ostrelagent_trace.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_util.h"
#include "platform/imsg/imsg.h"
#include "platform/utl/date.h"
#include "platform/utl/fileutl.h"

const char* const OstrelAgent_Trace::OSTRELAGENT = "OSTRELAGENT";
const char* const OstrelAgent_Trace::OSTRELAGENT_DB = "OSTRELAGENT_DB";
const char* const OstrelAgent_Trace::OSTRELAGENT_KORVA = "OSTRELAGENT_KORVA";
const char* const OstrelAgent_Trace::RCLIENT = "RCLIENT";

norvanethread_mutex_t OstrelAgent_Trace::g_trace_lock = NORVANETHREAD_MUTEX_INITIALIZER;

namespace {

// Process-wide trace settings. The level, the list and the file path are set
// at start-up before other threads exist; the level and the switch are read by
// every tracer without a lock, hence atomic. The path and the descriptor are
// guarded by g_trace_lock.
std::atomic<int> trace_level{0};
char trace_subsys[OstrelAgent_Trace::TEXT_BUFFER_SIZE] = "";
std::atomic<int> tracing_on{0};
char trace_username[OstrelAgent_Trace::TEXT_BUFFER_SIZE] = "";
int trace_pid = 0;
char trace_file[OstrelAgent_Trace::TEXT_BUFFER_SIZE] = "";
int trace_fd = -1;

const char* const ENTERING = "Entering";
const char* const EXITING = "Exiting";
const char* const UNKNOWN_METHOD = "UNKNOWN";
const char* const TRACE_DIR = "ostrelagent_trace";

// Bounded copy; null gives the empty text.
void copy_text(char* dest, size_t size, const char* src) {
    if (src == nullptr) src = "";
    std::snprintf(dest, size, "%s", src);
}

void open_trace_file_locked() {
    if (trace_file[0] == '\0') return;
    // Request texts reach the trace (their passwords masked, but still the
    // user's work): the file is the user's alone, whatever the umask.
    trace_fd = ::open(trace_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

} // namespace

OstrelAgent_Trace::OstrelAgent_Trace(const char* subsys, const char* class_name, const char* method)
    : m_subsys(subsys), m_class(class_name), m_method(method) {
    if (shouldTraceEntryExit()) traceEntry();
}

OstrelAgent_Trace::OstrelAgent_Trace(const char* subsys, const char* class_name)
    : m_subsys(subsys), m_class(class_name), m_method(UNKNOWN_METHOD) {}

OstrelAgent_Trace::~OstrelAgent_Trace() {
    if (m_method != nullptr && shouldTraceEntryExit()) traceExit();
}

void OstrelAgent_Trace::vwrite(const char* method, const char* fmt, va_list args) const {
    char message[MAX_MESSAGE + 1];
    std::vsnprintf(message, sizeof message, fmt, args);
    sendTrace(method, message);
}

void OstrelAgent_Trace::writeTrace(int level, const char* fmt, ...) const {
    if (!shouldTrace(level)) return;
    va_list args;
    va_start(args, fmt);
    vwrite(m_method, fmt, args);
    va_end(args);
}

void OstrelAgent_Trace::writeMasked(int level, const char* fmt, const std::string& text) const {
    if (!shouldTrace(level)) return;
    writeTrace(fmt, OstrelAgent_Util::mask_passwords(text).c_str());
}

void OstrelAgent_Trace::writeTrace(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    vwrite(m_method, fmt, args);
    va_end(args);
}

void OstrelAgent_Trace::writeTrace_m(const char* method, const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    vwrite(method, fmt, args);
    va_end(args);
}

bool OstrelAgent_Trace::shouldTrace(int level) const {
    if (trace_level == TRACE_LEVEL_DEMO) return level == TRACE_LEVEL_DEMO;
    int verbosity = imsg_get_desired_verbosity();
    if (verbosity < level) return false;
    return imsg_should_trace(m_subsys, level, verbosity) != 0;
}

bool OstrelAgent_Trace::shouldTraceEntryExit() const { return shouldTrace(TRACE_LEVEL_3); }

void OstrelAgent_Trace::traceEntry() const { sendTrace(m_method, ENTERING); }

void OstrelAgent_Trace::traceExit() const { sendTrace(m_method, EXITING); }

char* OstrelAgent_Trace::formatTraceLine(const char* method, const char* message) const {
    struct timeval now;
    date_get_timeval(&now);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    char date_text[64];
    std::strftime(date_text, sizeof date_text, "%Y-%m-%dT%H:%M:%S", &local);
    char stamp[100];
    std::snprintf(stamp, sizeof stamp, "%s.%.6d", date_text, static_cast<int>(now.tv_usec));

    char pid_text[32];
    std::snprintf(pid_text, sizeof pid_text, "%d", static_cast<int>(getpid()));
    char tid_text[32];
    std::snprintf(tid_text, sizeof tid_text, "%lx", static_cast<unsigned long>(pthread_self()));

    if (method == nullptr) method = UNKNOWN_METHOD;
    if (message == nullptr) message = "";
    const char* subsys = m_subsys != nullptr ? m_subsys : "";
    const char* class_name = m_class != nullptr ? m_class : "";

    const bool demo = trace_level == TRACE_LEVEL_DEMO;
    size_t length;
    if (demo) {
        length = std::strlen(stamp) + std::strlen(message) + 4;
    } else {
        length = std::strlen(stamp) + std::strlen("TRACE") + std::strlen(subsys) +
                 std::strlen(class_name) + std::strlen(method) + std::strlen(pid_text) +
                 std::strlen(tid_text) + std::strlen(message) + 21;
    }
    char* line = new (std::nothrow) char[length];
    if (line == nullptr) return nullptr;
    if (demo) {
        std::snprintf(line, length, "%s::%s\n", stamp, message);
    } else {
        std::snprintf(line, length, "%s::%s::%s::%s::%s::%s::%s::%s\n", stamp, "TRACE", subsys,
                      class_name, method, pid_text, tid_text, message);
    }
    return line;
}

void OstrelAgent_Trace::sendTrace(const char* method, const char* message) const {
    // One line a record, whatever the message holds.
    const std::string text = OstrelAgent_Util::one_line(message != nullptr ? message : "");
    char* line = formatTraceLine(method, text.c_str());
    if (line == nullptr) return;
    write_to_trace_file(line);
    delete[] line;
}

void OstrelAgent_Trace::set_trace(const char* subsys_list, int level) {
    trace_level = level;
    copy_text(trace_subsys, sizeof trace_subsys, subsys_list);
    tracing_on = (level >= 1 && trace_subsys[0] != '\0') ? 1 : 0;
    imsg_set_trace_subsys(trace_subsys);
    imsg_set_trace_verbosity(level);
}

int OstrelAgent_Trace::tracing_enabled() { return tracing_on; }

void OstrelAgent_Trace::setup_trace_file(const char* user, int pid) {
    copy_text(trace_username, sizeof trace_username, user);
    trace_pid = pid;

    std::string dir = OstrelAgent_Util::get_user_home() + "/" + TRACE_DIR;
    if (::access(dir.c_str(), F_OK) != 0) {
        // A failure shows up as lines that cannot be written; tracing never
        // stops the daemon.
        fileutl_mkpath(dir.c_str(), 0700, 1);
    }

    char pid_text[32];
    std::snprintf(pid_text, sizeof pid_text, "p%d", pid);
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char time_text[64];
    std::strftime(time_text, sizeof time_text, "d%Y%m%d_t%H%M%S", &local);

    std::string path = dir + "/ostrelagent_";
    if (trace_username[0] != '\0') {
        path += trace_username;
        path += "_";
    }
    path += time_text;
    path += "_";
    path += pid_text;
    path += ".log";

    OstrelAgent_Mutex_Guard guard(OstrelAgent_Trace::g_trace_lock);
    // A path that does not fit would name some other file: trace nothing.
    if (path.size() >= sizeof trace_file) {
        trace_file[0] = '\0';
    } else {
        std::memcpy(trace_file, path.c_str(), path.size() + 1);
    }
    // Lines from now on go to the new file.
    if (trace_fd >= 0) {
        ::close(trace_fd);
        trace_fd = -1;
    }
}

void OstrelAgent_Trace::open_trace_file() {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Trace::g_trace_lock);
    if (trace_fd >= 0) ::close(trace_fd);
    trace_fd = -1;
    open_trace_file_locked();
}

void OstrelAgent_Trace::close_trace_file() {
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Trace::g_trace_lock);
    if (trace_fd >= 0) {
        ::close(trace_fd);
        trace_fd = -1;
    }
}

void OstrelAgent_Trace::write_to_trace_file(const char* line) {
    if (line == nullptr) return;
    size_t remaining = std::strlen(line);
    OstrelAgent_Mutex_Guard guard(OstrelAgent_Trace::g_trace_lock);
    if (trace_fd < 0) open_trace_file_locked();
    if (trace_fd < 0) return;
    // One write normally takes the whole line; finish a short one while the
    // lock keeps other lines out.
    while (remaining > 0) {
        ssize_t written = ::write(trace_fd, line, remaining);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        line += written;
        remaining -= static_cast<size_t>(written);
    }
}
