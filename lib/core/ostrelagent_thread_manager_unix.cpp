#include "lib/core/ostrelagent_thread_manager_unix.h"

#include "lib/core/ostrelagent_mutex_guard.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/pfm/pfm.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Thread_Manager_Unix";
const char* const SOURCE_NAME = "lib/ostrelagent_thread_manager_unix";
} // namespace

OstrelAgent_Thread_Manager_Unix::OstrelAgent_Thread_Manager_Unix() = default;

OstrelAgent_Thread_Manager_Unix::~OstrelAgent_Thread_Manager_Unix() = default;

void OstrelAgent_Thread_Manager_Unix::post_shutdown_notice() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "post_shutdown_notice");
    OstrelAgent_Mutex_Guard hold(m_pipe_mutex);
    int write_end = m_shutdown_pipe[1].load();
    if (write_end == -1) return;
    const char byte = 0;
    ssize_t written;
    do {
        written = ::write(write_end, &byte, 1);
    } while (written < 0 && errno == EINTR);
    if (written != 1) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "pipe write() failed: %s",
                         std::strerror(errno));
    }
}

int OstrelAgent_Thread_Manager_Unix::wait_for_input(int fd) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_input");
    OstrelAgent_Thread_Manager_Unix* instance = process_instance();
    return instance != nullptr ? instance->wait_for_input_method(fd)
                               : OstrelAgent_Status::GENERAL_FAILURE;
}

int OstrelAgent_Thread_Manager_Unix::wait_for_output(int fd, int timeout_ms) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_output");
    OstrelAgent_Thread_Manager_Unix* instance = process_instance();
    return instance != nullptr ? instance->wait_for_output_method(fd, timeout_ms)
                               : OstrelAgent_Status::GENERAL_FAILURE;
}

OstrelAgent_Thread_Manager_Unix* OstrelAgent_Thread_Manager_Unix::process_instance() {
    OstrelAgent_Thread_Manager_Base* instance = g_instance.load(std::memory_order_acquire);
    if (instance == nullptr) {
        pfm_assert_fail("g_instance != NULL", SOURCE_NAME, __LINE__);
        return nullptr;
    }
    return static_cast<OstrelAgent_Thread_Manager_Unix*>(instance);
}

int OstrelAgent_Thread_Manager_Unix::wait_for_input_method(int fd) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_input_method");
    // What select's read set reports: data, end of file, or an error.
    return wait_on(fd, POLLIN, POLLIN | POLLHUP | POLLERR, -1, "client input ready");
}

int OstrelAgent_Thread_Manager_Unix::wait_for_output_method(int fd, int timeout_ms) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_output_method");
    // A write will not block, or will fail at once.
    return wait_on(fd, POLLOUT, POLLOUT | POLLHUP | POLLERR, timeout_ms, "client output ready");
}

int OstrelAgent_Thread_Manager_Unix::wait_on(int fd, short events, short ready_events,
                                             int timeout_ms, const char* ready_text) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_on");
    const int shutdown_fd = m_shutdown_pipe[0].load();
    if (shutdown_fd == -1) {
        // After terminate has closed the pipe the agent is still exiting.
        if (should_exit()) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "exit requested");
            return OstrelAgent_Status::EXIT_REQUESTED;
        }
        return OstrelAgent_Status::GENERAL_FAILURE;
    }
    if (fd < 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "select error: %s",
                         std::strerror(EBADF));
        return OstrelAgent_Status::SELECT_FAILED;
    }
    // poll, not select: descriptor numbers are not limited by FD_SETSIZE.
    struct pollfd fds[2];
    fds[0].fd = shutdown_fd;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    fds[1].fd = fd;
    fds[1].events = events;
    fds[1].revents = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    int ready;
    for (;;) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        ready = ::poll(fds, 2, wait_ms);
        // A signal that arrives meanwhile is no reason to stop waiting.
        if (ready >= 0 || errno != EINTR) break;
    }

    if (ready < 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "select error: %s", std::strerror(errno));
        return OstrelAgent_Status::SELECT_FAILED;
    }
    if (ready == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "timed out waiting for input");
        return OstrelAgent_Status::INPUT_TIMEOUT;
    }
    if ((fds[0].revents & POLLNVAL) != 0 && !should_exit()) {
        // The pipe was closed under the wait, which only terminate does.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "select error: %s",
                         std::strerror(EBADF));
        return OstrelAgent_Status::SELECT_FAILED;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "exit requested");
        return OstrelAgent_Status::EXIT_REQUESTED;
    }
    if ((fds[1].revents & POLLNVAL) != 0) {
        // select fails with EBADF on a descriptor that is not open.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "select error: %s",
                         std::strerror(EBADF));
        return OstrelAgent_Status::SELECT_FAILED;
    }
    if ((fds[1].revents & ready_events) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "%s", ready_text);
        return 0;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "select returned ready but not our FDs?");
    return OstrelAgent_Status::GENERAL_FAILURE;
}
