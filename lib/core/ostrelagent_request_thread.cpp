#include "lib/core/ostrelagent_request_thread.h"

#include <cxxabi.h>

#include <exception>

#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_base.h"
#include "lib/core/ostrelagent_trace.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_Request_Thread";
}

OstrelAgent_Request_Thread::OstrelAgent_Request_Thread() : m_manager(nullptr) {
    norvanethread_mutex_init(&m_outstanding_mutex);
    norvanethread_cond_init(&m_outstanding_cond);
}

OstrelAgent_Request_Thread::~OstrelAgent_Request_Thread() {
    norvanethread_cond_destroy(&m_outstanding_cond);
    norvanethread_mutex_destroy(&m_outstanding_mutex);
}

void OstrelAgent_Request_Thread::add_outstanding() {
    OstrelAgent_Mutex_Guard guard(m_outstanding_mutex);
    ++m_outstanding;
}

void OstrelAgent_Request_Thread::release_outstanding() {
    OstrelAgent_Mutex_Guard guard(m_outstanding_mutex);
    if (--m_outstanding == 0) norvanethread_cond_signal(&m_outstanding_cond);
}

void OstrelAgent_Request_Thread::wait_no_outstanding() {
    OstrelAgent_Mutex_Guard guard(m_outstanding_mutex);
    while (m_outstanding > 0) norvanethread_cond_wait(&m_outstanding_cond, &m_outstanding_mutex);
}

int OstrelAgent_Request_Thread::get_outstanding() {
    OstrelAgent_Mutex_Guard guard(m_outstanding_mutex);
    return m_outstanding;
}

OstrelAgent_Thread_Manager_Base* OstrelAgent_Request_Thread::get_manager() const {
    return m_manager != nullptr ? m_manager : OstrelAgent_Thread_Manager_Base::get_instance();
}

int OstrelAgent_Request_Thread::run() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "run");
    OstrelAgent_Thread_Manager_Base* manager = get_manager();
    manager->register_thread(this);
    int status;
    try {
        status = execute();
    } catch (abi::__forced_unwind&) {
        // The thread is being ended from inside execute(): let it end, but
        // still hand it over, or shutdown would wait for it for ever.
        manager->push_into_cleanup_queue(this);
        throw;
    } catch (const std::exception& e) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "execute() threw an exception: %s",
                         e.what());
        status = OstrelAgent_Status::GENERAL_FAILURE;
    } catch (...) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "execute() threw an exception");
        status = OstrelAgent_Status::GENERAL_FAILURE;
    }
    // From here on the object belongs to the cleanup queue.
    manager->push_into_cleanup_queue(this);
    return status;
}
