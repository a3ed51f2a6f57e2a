#include "lib/core/ostrelagent_norvane_thread.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "lib/core/ostrelagent_trace.h"
#include "platform/pfm/pfm.h"

namespace {
const char* const CLASS_NAME = "OstrelAgent_NorvaneThread";

// Thread ids are traced as "%lx"; the buffer size is the one the texts use.
const int THREAD_ID_TEXT_SIZE = 32;

void format_thread_id(norvanethread_t id, char (&text)[THREAD_ID_TEXT_SIZE]) {
    std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(id));
}
} // namespace

OstrelAgent_NorvaneThread::OstrelAgent_NorvaneThread()
    : m_thread_id(), m_run_status(0), m_started(false), m_joined(false) {
    norvanethread_mutex_init(&m_start_mutex);
}

OstrelAgent_NorvaneThread::~OstrelAgent_NorvaneThread() {
    norvanethread_mutex_destroy(&m_start_mutex);
}

int OstrelAgent_NorvaneThread::start() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "start");
    if (m_started) {
        // A second thread would overwrite the first one's id and could never
        // be joined.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error %d in start thread", EINVAL);
        return EINVAL;
    }
    // The new thread waits for this mutex before it runs: a thread that
    // finishes at once may be joined and its object deleted by another
    // thread, which must not happen while this call still uses the object.
    norvanethread_mutex_lock(&m_start_mutex);
    m_started = true;
    int error = norvanethread_create(&m_thread_id, nullptr, &OstrelAgent_NorvaneThread::startThread,
                                     this);
    if (error != 0) {
        m_started = false;
        norvanethread_mutex_unlock(&m_start_mutex);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error %d in start thread", error);
        return error;
    }
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) {
        char id[THREAD_ID_TEXT_SIZE];
        format_thread_id(m_thread_id, id);
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "forked thread %s", id);
    }
    norvanethread_mutex_unlock(&m_start_mutex);
    return 0;
}

int OstrelAgent_NorvaneThread::join() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "join");
    char id[THREAD_ID_TEXT_SIZE] = "";
    if (trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4)) format_thread_id(m_thread_id, id);
    if (!m_started || m_joined) {
        // Joining a thread that does not exist, or twice, is undefined in
        // the thread library; report it and keep what we have.
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "Error in join thread for thread id : %lu",
                         static_cast<unsigned long>(m_thread_id));
    } else {
        m_joined = true;
        if (norvanethread_join(m_thread_id, nullptr) != 0) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "Error in join thread for thread id : %lu",
                             static_cast<unsigned long>(m_thread_id));
        }
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "joined thread %s, return status: %d", id,
                     m_run_status);
    return m_run_status;
}

void* OstrelAgent_NorvaneThread::startThread(void* thread) {
    if (thread == nullptr) return nullptr;
    OstrelAgent_NorvaneThread* self = static_cast<OstrelAgent_NorvaneThread*>(thread);
    // Wait until start() has finished with the object.
    norvanethread_mutex_lock(&self->m_start_mutex);
    norvanethread_mutex_unlock(&self->m_start_mutex);
    // The process's signals are taken by its main thread; a worker lets in
    // only the signals that wake it from a wait, so that holding signals off
    // around its database and kernel calls costs it nothing.
    pfm_block_signals();
    int status;
    {
        // The scope closes before the thread ends, so its "Exiting" line is
        // written.
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "startThread");
        status = self->run();
        self->m_run_status = status;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "thread exiting, run status: %d", status);
    }
    norvanethread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(status)));
}
