#include "platform/imsg/imsg.h"

#include <errno.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// ---- formatting ----

// The text at `index` of `catalog`, or null when it cannot be loaded.
const char* catalog_text(const void* catalog, int index) {
    const auto* table = static_cast<const _imsg_message_table_t*>(catalog);
    if (table == nullptr || table->texts == nullptr || index < 0 || index >= table->count) {
        return nullptr;
    }
    return table->texts[index];
}

int bounded_vformat(char* buf, size_t size, const char* format, va_list args) {
    int n = std::vsnprintf(buf, size, format, args);
    if (n < 0 && buf != nullptr && size > 0) buf[0] = '\0';
    return n;
}

int format_message(char* buf, size_t size, const void* message, int index, va_list args) {
    if (index < 0) {
        if (message == nullptr) {
            if (buf != nullptr && size > 0) buf[0] = '\0';
            return -1;
        }
        return bounded_vformat(buf, size, static_cast<const char*>(message), args);
    }
    return imsg_vsnprintf(buf, size, message, index, args);
}

// ---- redirection ----

struct Redirection {
    imsg_proc_t procs[IMSG_NUM_KINDS] = {};
    void* context = nullptr;
};

std::mutex g_redirect_mutex;
Redirection g_redirect;

void write_fd(int fd, const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(fd, text, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void deliver(int kind, const char* text) {
    imsg_proc_t proc = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_redirect_mutex);
        proc = g_redirect.procs[kind];
        context = g_redirect.context;
    }
    if (proc != nullptr) {
        proc(context, text);
    } else if (kind == IMSG_KIND_APPEND) {
        imsg_append_proc_suppress(nullptr, text);
    } else {
        fflush(stdout);  // keep the order with stdio output of the same program
        write_fd(kind < IMSG_KIND_WARN ? STDOUT_FILENO : STDERR_FILENO, text);
    }
}

// ---- trace selection ----

typedef std::vector<std::string> SubsystemList;

// Null until a list is set (constant-initialised, so it is usable from other
// files' static initialisers); null selects nothing.
std::shared_ptr<const SubsystemList> g_trace_subsys;
// Read on every trace line, so kept lock-free.
std::atomic<int> g_trace_verbosity{0};
std::mutex g_trace_mutex;

}  // namespace

int imsg_vsnprintf(char* buf, size_t size, const void* catalog, int index, va_list args) {
    const char* text = catalog_text(catalog, index);
    if (text == nullptr) {
        if (buf != nullptr && size > 0) buf[0] = '\0';
        return -1;
    }
    return bounded_vformat(buf, size, text, args);
}

int imsg_vsprintf(char* buf, const void* catalog, int index, va_list args) {
    return imsg_vsnprintf(buf, IMSG_MAX_TEXT, catalog, index, args);
}

int imsg_sprintf(char* buf, const void* message, int index, ...) {
    va_list args;
    va_start(args, index);
    int n = format_message(buf, IMSG_MAX_TEXT, message, index, args);
    va_end(args);
    return n;
}

void imsg_append_proc_suppress(void* /*context*/, const char* /*text*/) {}

int imsg_set_redirect_procs(const imsg_proc_t* table, int count, void* context) {
    if (count < 0 || count > IMSG_NUM_KINDS) return -1;
    Redirection next;
    if (table != nullptr) {
        for (int i = 0; i < count; ++i) next.procs[i] = table[i];
        next.context = context;
    }
    std::lock_guard<std::mutex> lock(g_redirect_mutex);
    g_redirect = next;
    return 0;
}

int imsg_print(int kind, const void* message, int index, ...) {
    if (kind < 0 || kind >= IMSG_NUM_KINDS) return -1;
    va_list args;
    va_start(args, index);
    va_list again;
    va_copy(again, args);
    char small[1024];
    int needed = format_message(small, sizeof small, message, index, args);
    va_end(args);
    int result = needed;
    if (needed < 0) {
        const auto* table = static_cast<const _imsg_message_table_t*>(message);
        char line[256];
        if (index >= 0 && table != nullptr) {
            std::snprintf(line, sizeof line, "Internal error: could not load message %d of catalog %s\n",
                          index, table->prefix != nullptr ? table->prefix : "?");
        } else {
            std::snprintf(line, sizeof line, "Internal error: message format not usable\n");
        }
        deliver(kind, line);
    } else if (static_cast<size_t>(needed) < sizeof small) {
        deliver(kind, small);
    } else {
        size_t size = static_cast<size_t>(needed) + 1 < IMSG_MAX_TEXT ? static_cast<size_t>(needed) + 1
                                                                     : IMSG_MAX_TEXT;
        std::unique_ptr<char[]> big(new char[size]);
        format_message(big.get(), size, message, index, again);
        deliver(kind, big.get());
        result = static_cast<int>(strlen(big.get()));
    }
    va_end(again);
    return needed < 0 ? -1 : result;
}

const char* imsg_strerror(int errnum) {
    thread_local char buf[256];
    // GNU strerror_r: returns either a static text or `buf`.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return text != nullptr ? text : "Unknown error";
}

void imsg_set_trace_subsys(const char* list) {
    auto names = std::make_shared<SubsystemList>();
    if (list != nullptr) {
        std::string all(list);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            if (end > start) names->push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    std::shared_ptr<const SubsystemList> frozen = std::move(names);
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    g_trace_subsys = std::move(frozen);
}

void imsg_set_trace_verbosity(int verbosity) {
    g_trace_verbosity.store(verbosity, std::memory_order_relaxed);
}

int imsg_get_desired_verbosity() {
    return g_trace_verbosity.load(std::memory_order_relaxed);
}

int imsg_should_trace(const char* subsys, int level, int verbosity) {
    if (subsys == nullptr || level > verbosity) return 0;
    std::shared_ptr<const SubsystemList> names;
    {
        std::lock_guard<std::mutex> lock(g_trace_mutex);
        names = g_trace_subsys;
    }
    if (names == nullptr) return 0;
    for (const std::string& name : *names) {
        if (strcasecmp(name.c_str(), subsys) == 0) return 1;
    }
    return 0;
}
