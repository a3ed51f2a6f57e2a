#include "lib/kernel/ostrelagent_korva_request_handler_unix.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/kernel/ostrelagent_korva_thread_unix.h"
#include "platform/pfm/pfm.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_KORVA_Request_Handler_Unix";

// How long stop_listening waits for the threads it signalled before it
// signals again: a signal that came while a thread was not waiting in the
// kernel is lost, the next one finds it there.
constexpr long RESIGNAL_NANOSECONDS = 10 * 1000 * 1000;

// The configured number of threads: base-10 strtol of the setting, so that
// a text that is no number gives 0.
int configured_threads() {
    const std::string setting = OstrelAgent_Config::get_instance()->find(OstrelAgent_Config::NUM_KORVA_THREADS);
    const long count = std::strtol(setting.c_str(), nullptr, 10);
    return static_cast<int>(std::min<long>(std::max<long>(count, 0), INT_MAX));
}

timespec resignal_deadline() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += RESIGNAL_NANOSECONDS;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

} // namespace

const int OstrelAgent_KORVA_Request_Handler_Unix::INTERRUPT_SIGNAL = SIGURG;

OstrelAgent_KORVA_Request_Handler_Unix::OstrelAgent_KORVA_Request_Handler_Unix(
    OstrelAgent_Thread_Manager_Base* manager)
    : m_manager(manager), m_stopping(false) {
    norvanethread_mutex_init(&m_mutex);
    norvanethread_cond_init(&m_ended);
}

OstrelAgent_KORVA_Request_Handler_Unix::~OstrelAgent_KORVA_Request_Handler_Unix() {
    norvanethread_cond_destroy(&m_ended);
    norvanethread_mutex_destroy(&m_mutex);
}

int OstrelAgent_KORVA_Request_Handler_Unix::start_listening() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "start_listening");
    // The kernel knows the view by the tag it was registered under; a copy
    // taken under its lock (a forced shutdown may be unregistering the view
    // meanwhile).
    if (OstrelAgent_View_Base::get_view() != nullptr) m_view_tag = OstrelAgent_View_Base::get_g_server_tag();
    OstrelAgent_Thread_Manager_Base* manager =
        m_manager != nullptr ? m_manager : OstrelAgent_Thread_Manager_Base::get_instance();
    if (pfm_wake_signal(INTERRUPT_SIGNAL) != 0)
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "no handler for the interrupt signal");

    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Starting %d KORVA request handler threads.",
                     configured_threads());
    for (int i = 0; i < configured_threads(); ++i) {
        OstrelAgent_KORVA_Thread_Unix* thread = new (std::nothrow) OstrelAgent_KORVA_Thread_Unix(m_view_tag, manager, this);
        if (thread == nullptr) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "KORVA thread %d could not be made", i);
            break;
        }
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Created KORVA thread %d", i);
        manager->start_op(thread);
    }
    return 0;
}

void OstrelAgent_KORVA_Request_Handler_Unix::stop_listening() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "stop_listening");
    OstrelAgent_Mutex_Guard guard(m_mutex);
    m_stopping = true;
    while (!m_running.empty()) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "interrupting %d KORVA threads",
                         static_cast<int>(m_running.size()));
        for (pthread_t thread : m_running) pthread_kill(thread, INTERRUPT_SIGNAL);
        const timespec deadline = resignal_deadline();
        norvanethread_cond_timedwait(&m_ended, &m_mutex, &deadline);
    }
}

bool OstrelAgent_KORVA_Request_Handler_Unix::thread_started() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    if (m_stopping) return false;
    m_running.push_back(pthread_self());
    return true;
}

void OstrelAgent_KORVA_Request_Handler_Unix::thread_ended() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    const pthread_t self = pthread_self();
    m_running.erase(std::remove_if(m_running.begin(), m_running.end(),
                                   [&](pthread_t t) { return pthread_equal(t, self) != 0; }),
                    m_running.end());
    norvanethread_cond_broadcast(&m_ended);
}

bool OstrelAgent_KORVA_Request_Handler_Unix::stopping() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    return m_stopping;
}

int OstrelAgent_KORVA_Request_Handler_Unix::running_threads() {
    OstrelAgent_Mutex_Guard guard(m_mutex);
    return static_cast<int>(m_running.size());
}
