#include "lib/core/ostrelagent_thread_manager_base.h"

#include <cxxabi.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "lib/core/ostrelagent_config.h"
#include "lib/core/ostrelagent_mutex_guard.h"
#include "lib/core/ostrelagent_norvane_thread.h"
#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_request_cleanup_thread.h"
#include "lib/core/ostrelagent_request_handler_thread.h"
#include "lib/core/ostrelagent_request_thread.h"
#include "lib/core/ostrelagent_status.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"
#include "lib/core/ostrelagent_trace.h"
#include "platform/hooks/test_hooks.h"
#include "platform/pfm/pfm.h"
#include "platform/rt/rt.h"
#include "platform/utl/sysutl.h"

namespace {

const char* const CLASS_NAME = "OstrelAgent_Thread_Manager_Base";
const char* const SOURCE_NAME = "lib/ostrelagent_thread_manager_base";

const char* bool_text(bool value) { return value ? "true" : "false"; }

// A request's description for a trace line; a failure to describe it must
// not lose the request that was just taken off its queue.
const char* describe(OstrelAgent_Request* request) {
    try {
        return request->toString();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return "?";
    }
}

} // namespace

std::atomic<OstrelAgent_Thread_Manager_Base*> OstrelAgent_Thread_Manager_Base::g_instance{nullptr};
norvanethread_mutex_t OstrelAgent_Thread_Manager_Base::g_request_mutex =
    NORVANETHREAD_MUTEX_INITIALIZER;

OstrelAgent_Thread_Manager_Base::OstrelAgent_Thread_Manager_Base()
    : m_shutdown_pipe{{-1}, {-1}},
      m_initialized(0),
      m_should_exit(0),
      m_terminated(0),
      m_live(0),
      m_pending(0),
      m_pool(0),
      m_bg_busy(0),
      m_fg_busy(0) {
    norvanethread_mutex_init(&m_queue_mutex);
    norvanethread_mutex_init(&m_pipe_mutex);
    norvanethread_cond_init(&m_cond);
    norvanethread_cond_init(&m_terminate_cond);
    norvanethread_cond_init(&m_queue_cond);
}

OstrelAgent_Thread_Manager_Base::~OstrelAgent_Thread_Manager_Base() {
    // Queued requests and threads are not touched: the process's manager is
    // never deleted, and a manager made on its own is terminated first.
    cleanup_shutdown_pipes();
    norvanethread_cond_destroy(&m_queue_cond);
    norvanethread_cond_destroy(&m_terminate_cond);
    norvanethread_cond_destroy(&m_cond);
    norvanethread_mutex_destroy(&m_queue_mutex);
    norvanethread_mutex_destroy(&m_pipe_mutex);
}

OstrelAgent_Thread_Manager_Base* OstrelAgent_Thread_Manager_Base::get_instance() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "get_instance");
    OstrelAgent_Thread_Manager_Base* instance = g_instance.load(std::memory_order_acquire);
    if (instance != nullptr) return instance;
    OstrelAgent_Mutex_Guard hold(g_request_mutex);
    instance = g_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        instance = new OstrelAgent_Thread_Manager_Unix();
        g_instance.store(instance, std::memory_order_release);
    }
    return instance;
}

// ---- initialisation -----------------------------------------------------------

int OstrelAgent_Thread_Manager_Base::initialize() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "initialize");
    int status = 0;
    {
        // Held while every thread starts, so that each new thread waits in
        // its registration until the pool is complete.
        OstrelAgent_Mutex_Guard queue(m_queue_mutex);
        if (m_initialized) return 0;
        status = make_shutdown_pipes();
        if (status == 0) status = start_thread(make_cleanup_thread());
        if (status == 0) {
            int count = convert_pool_size(pool_size_setting());
            if (count < POOL_SIZE_MIN) {
                // With fewer, low-priority work would never run and whoever
                // waits for it would wait for ever.
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                                 "%s is %d, below %d: starting %d VEMRI request handler threads.",
                                 OstrelAgent_Config::NUM_VEMRI_THREADS, count, POOL_SIZE_MIN,
                                 POOL_SIZE_MIN);
                count = POOL_SIZE_MIN;
            }
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2,
                             "Starting %d VEMRI request handler threads.", count);
            const bool forced = test_hooks::pool_start_fails();
            for (int i = 0; i < count && status == 0; ++i) {
                if (forced && i == 2) {
                    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_2, "thread start forced to fail");
                    status = OstrelAgent_Status::THREAD_START_FAILED;
                    break;
                }
                status = start_thread(make_pool_thread());
            }
        }
        if (status == 0) m_initialized = 1;
    }
    // Setting the flag takes both mutexes, so it waits until the queue mutex
    // is released. The threads already started see it and end; terminate
    // joins them.
    if (status != 0) set_should_exit();
    return status;
}

std::string OstrelAgent_Thread_Manager_Base::pool_size_setting() const {
    return OstrelAgent_Config::get_instance()->find(OstrelAgent_Config::NUM_VEMRI_THREADS);
}

int OstrelAgent_Thread_Manager_Base::convert_pool_size(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

OstrelAgent_NorvaneThread* OstrelAgent_Thread_Manager_Base::make_cleanup_thread() {
    return new (std::nothrow) OstrelAgent_Request_Cleanup_Thread(*this);
}

OstrelAgent_NorvaneThread* OstrelAgent_Thread_Manager_Base::make_pool_thread() {
    return new (std::nothrow) OstrelAgent_Request_Handler_Thread(*this);
}

// ---- starting and counting threads ---------------------------------------------

int OstrelAgent_Thread_Manager_Base::start_thread(OstrelAgent_NorvaneThread* thread) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "start_thread");
    if (thread == nullptr) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                         "Worker Thread could not be constructed! Exiting");
        return OstrelAgent_Status::OUT_OF_MEMORY;
    }
    ++m_pending;
    if (thread->start() != 0) {
        --m_pending;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                         "Worker Thread could not be started! Exiting");
        delete thread; // no thread runs on it
        return OstrelAgent_Status::THREAD_START_FAILED;
    }
    return 0;
}

void OstrelAgent_Thread_Manager_Base::start_op(OstrelAgent_Request_Thread* thread) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "start_op");
    if (thread == nullptr) return;
    thread->set_manager(this);
    pending_thread();
    if (thread->start() != 0) {
        failed_thread();
        delete thread;
    }
}

void OstrelAgent_Thread_Manager_Base::pending_thread() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "pending_thread");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    ++m_pending;
}

void OstrelAgent_Thread_Manager_Base::failed_thread() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "failed_thread");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    --m_pending;
    queue_cond_broadcast(); // terminate may be waiting for it
}

void OstrelAgent_Thread_Manager_Base::register_thread(OstrelAgent_NorvaneThread* /*thread*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "register_thread");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    ++m_live;
    --m_pending;
    queue_cond_broadcast();
}

void OstrelAgent_Thread_Manager_Base::register_pool_thread(OstrelAgent_NorvaneThread* /*thread*/) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "register_thread");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    ++m_live;
    ++m_pool;
    --m_pending;
    queue_cond_broadcast();
}

void OstrelAgent_Thread_Manager_Base::push_into_cleanup_queue(OstrelAgent_NorvaneThread* thread) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "push_into_cleanup_queue");
    cleanup_thread(thread, false);
}

void OstrelAgent_Thread_Manager_Base::cleanup_thread(OstrelAgent_NorvaneThread* thread, bool pool) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cleanup_thread");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    if (pool) {
        --m_pool;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Pool thread exiting, new count: %d",
                         m_pool);
    }
    m_cleanup_queue.push_back(thread);
    queue_cond_broadcast();
}

void OstrelAgent_Thread_Manager_Base::do_cleanup_locked() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "do_cleanup_locked");
    while (!m_cleanup_queue.empty()) {
        OstrelAgent_NorvaneThread* thread = m_cleanup_queue.front();
        m_cleanup_queue.pop_front();
        unlock_queue();
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "Deleting thread: %lx",
                         static_cast<unsigned long>(thread->get_thread_id()));
        thread->join();
        delete thread;
        lock_queue();
        --m_live;
        queue_cond_broadcast();
    }
}

void OstrelAgent_Thread_Manager_Base::do_cleanup(int wait) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "do_cleanup");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    if (wait == 0) {
        do_cleanup_locked();
        return;
    }
    for (;;) {
        do_cleanup_locked();
        if (m_should_exit.load()) break;
        queue_cond_wait();
    }
}

// ---- requests -----------------------------------------------------------------

void OstrelAgent_Thread_Manager_Base::process_request(OstrelAgent_Request* request) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "process_request");
    if (request == nullptr) return;
    bool queued = false;
    {
        // The flag is tested under the queue mutex: a pool thread leaves
        // only after a look at the queues that follows its own sight of the
        // flag, so a request queued here is either seen by it or cancelled.
        OstrelAgent_Mutex_Guard queue(m_queue_mutex);
        if (!m_should_exit.load()) {
            try {
                if (request->is_foreground()) {
                    m_fg_queue.push_back(request);
                } else {
                    m_lowpri_queue.push_back(request);
                }
                queued = true;
            } catch (const std::bad_alloc&) {
                trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                                 "no memory to queue a request; cancelling it");
            }
        }
    }
    if (!queued) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4, "cancelling request %p",
                         static_cast<void*>(request));
        cancel(request);
        delete request;
        return;
    }
    lock_mutex();
    cond_signal();
    unlock_mutex();
}

void OstrelAgent_Thread_Manager_Base::cancel(OstrelAgent_Request* request) {
    try {
        request->cancel_request();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cancel");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                         "cancel_request threw an exception: %s", e.what());
    } catch (...) {
        OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cancel");
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "cancel_request threw an exception");
    }
}

OstrelAgent_Request* OstrelAgent_Thread_Manager_Base::pop_request(bool pool_caller) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "pop_request");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    const int pool = m_pool;
    bool fg_ok = true;
    bool bg_ok = true;
    if (pool_caller && !m_should_exit.load()) {
        fg_ok = m_fg_busy < pool - 1 || pool == 1;
        bg_ok = m_bg_busy < pool - 1;
    }
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                     "checking queues: pool %d fg %d bg %d fgok=%s, bgok=%s", pool, m_fg_busy,
                     m_bg_busy, bool_text(fg_ok), bool_text(bg_ok));
    OstrelAgent_Request* request = nullptr;
    const bool tracing = trace.shouldTrace(OstrelAgent_Trace::TRACE_LEVEL_4);
    if (fg_ok && !m_fg_queue.empty()) {
        request = m_fg_queue.front();
        m_fg_queue.pop_front();
        if (tracing) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                             "foreground queue not empty!, request is : %s", describe(request));
        }
    } else if (bg_ok && !m_lowpri_queue.empty()) {
        request = m_lowpri_queue.front();
        m_lowpri_queue.pop_front();
        if (tracing) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                             "lowpri queue not empty!, request is : %s", describe(request));
        }
    }
    if (request != nullptr && pool_caller) {
        // The count follows the priority, not the queue: a promoted request
        // still runs as low-priority work.
        if (request->is_foreground()) {
            ++m_fg_busy;
        } else {
            ++m_bg_busy;
        }
    }
    return request;
}

void OstrelAgent_Thread_Manager_Base::mark_idle(const OstrelAgent_Request* request) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "mark_idle");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    if (request->is_foreground()) {
        --m_fg_busy;
    } else {
        --m_bg_busy;
    }
    queue_cond_broadcast();
}

int OstrelAgent_Thread_Manager_Base::pool_thread(OstrelAgent_NorvaneThread* self) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "pool_thread");
    register_pool_thread(self);
    OstrelAgent_Mutex_Guard hold(g_request_mutex);
    for (;;) {
        // Leave only when a look at the queues that began after the exit
        // flag was seen finds nothing: process_request tests the flag under
        // the queue mutex, so no request can be stranded.
        const bool exiting = m_should_exit.load() != 0;
        OstrelAgent_Request* request = pop_request(true);
        if (request == nullptr) {
            if (exiting) break;
            if (m_should_exit.load()) continue;
            cond_wait();
            continue;
        }
        hold.unlock();

        int status;
        try {
            status = request->handle_request();
        } catch (abi::__forced_unwind&) {
            // The thread is being ended from inside the request.
            mark_idle(request);
            delete request;
            cleanup_thread(self, true);
            throw;
        } catch (const std::exception& e) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1,
                             "request %p failed with an exception: %s",
                             static_cast<void*>(request), e.what());
            status = OstrelAgent_Status::GENERAL_FAILURE;
        } catch (...) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_1, "request %p failed with an exception",
                             static_cast<void*>(request));
            status = OstrelAgent_Status::GENERAL_FAILURE;
        }
        mark_idle(request);
        delete request;
        if (status == OstrelAgent_Status::SHUTDOWN_IN_PROGRESS) {
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                             "request asked for shutdown; pool thread exiting");
            set_should_exit();
            break;
        }
        hold.lock();
    }
    if (hold.held()) hold.unlock();
    cleanup_thread(self, true);
    return 0;
}

void OstrelAgent_Thread_Manager_Base::promote_dependency(const OstrelAgent_Request* wanting) {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "promote_dependency");
    if (wanting != nullptr) {
        OstrelAgent_Mutex_Guard queue(m_queue_mutex);
        for (auto it = m_lowpri_queue.begin(); it != m_lowpri_queue.end(); ++it) {
            OstrelAgent_Request* queued = *it;
            if (!wanting->is_equivalent(queued)) continue;
            trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_4,
                             "promoting equivalent request %p (wanted by %p)",
                             static_cast<void*>(queued), static_cast<const void*>(wanting));
            try {
                m_fg_queue.push_back(queued);
                m_lowpri_queue.erase(it);
            } catch (const std::bad_alloc&) {
                // It stays where it was and runs as ordinary background work.
            }
            break;
        }
    }
    // Also when nothing matched: the caller expects a pool thread to look.
    lock_mutex();
    cond_signal();
    unlock_mutex();
}

void OstrelAgent_Thread_Manager_Base::wait_for_background() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_background");
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    while (!m_lowpri_queue.empty()) queue_cond_wait();
    while (m_bg_busy > 0) queue_cond_wait();
}

void OstrelAgent_Thread_Manager_Base::drain_incomplete() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "drain_incomplete");
    {
        OstrelAgent_Mutex_Guard hold(g_request_mutex);
        while (OstrelAgent_Request* request = pop_request(false)) {
            hold.unlock();
            cancel(request);
            delete request;
            hold.lock();
        }
    }
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    while (m_bg_busy > 0) queue_cond_wait();
    queue_cond_broadcast();
}

// ---- shutdown -------------------------------------------------------------------

void OstrelAgent_Thread_Manager_Base::set_should_exit() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "set_should_exit");
    m_should_exit.store(1);
    rt_shutdown();
    post_shutdown_notice();
    lock_mutex();
    norvanethread_cond_broadcast(&m_cond);
    unlock_mutex();
    lock_queue();
    queue_cond_broadcast();
    unlock_queue();
}

void OstrelAgent_Thread_Manager_Base::terminate() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "terminate");
    lock_mutex();
    m_terminated = 1;
    norvanethread_cond_broadcast(&m_terminate_cond);
    unlock_mutex();

    bool anything_started;
    {
        OstrelAgent_Mutex_Guard queue(m_queue_mutex);
        // Also after a failed initialize: the threads it did start are
        // joined like the others.
        anything_started = m_initialized || m_live + m_pending > 0 || !m_cleanup_queue.empty();
    }
    if (!anything_started) return;
    if (!m_should_exit.load()) {
        // The pool would never end; report the fault and stop it.
        pfm_assert_fail("m_should_exit", SOURCE_NAME, __LINE__);
        set_should_exit();
    }

    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "started with %d live and %d pending",
                     m_live, m_pending);
    while (m_live + m_pending >= 1 || !m_cleanup_queue.empty()) {
        do_cleanup_locked();
        if (m_live + m_pending < 1) break;
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "waiting for %d live and %d pending",
                         m_live, m_pending);
        queue_cond_wait();
    }
    queue.unlock();
    cleanup_shutdown_pipes();
}

void OstrelAgent_Thread_Manager_Base::wait_for_terminate() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "wait_for_terminate");
    OstrelAgent_Mutex_Guard hold(g_request_mutex);
    while (!m_terminated) norvanethread_cond_wait(&m_terminate_cond, &g_request_mutex);
}

OstrelAgent_Thread_Manager_Base::Counts OstrelAgent_Thread_Manager_Base::get_counts() {
    OstrelAgent_Mutex_Guard queue(m_queue_mutex);
    return Counts{m_live,           m_pending,           m_pool,
                  m_fg_busy,        m_bg_busy,           m_fg_queue.size(),
                  m_lowpri_queue.size(), m_cleanup_queue.size()};
}

// ---- locks and conditions ----------------------------------------------------------

void OstrelAgent_Thread_Manager_Base::lock_mutex() { norvanethread_mutex_lock(&g_request_mutex); }

void OstrelAgent_Thread_Manager_Base::unlock_mutex() {
    norvanethread_mutex_unlock(&g_request_mutex);
}

void OstrelAgent_Thread_Manager_Base::lock_queue() { norvanethread_mutex_lock(&m_queue_mutex); }

void OstrelAgent_Thread_Manager_Base::unlock_queue() { norvanethread_mutex_unlock(&m_queue_mutex); }

void OstrelAgent_Thread_Manager_Base::cond_wait() {
    norvanethread_cond_wait(&m_cond, &g_request_mutex);
}

void OstrelAgent_Thread_Manager_Base::cond_signal() { norvanethread_cond_signal(&m_cond); }

void OstrelAgent_Thread_Manager_Base::queue_cond_wait() {
    norvanethread_cond_wait(&m_queue_cond, &m_queue_mutex);
}

void OstrelAgent_Thread_Manager_Base::queue_cond_broadcast() {
    norvanethread_cond_broadcast(&m_queue_cond);
}

// ---- shutdown pipe ---------------------------------------------------------------

int OstrelAgent_Thread_Manager_Base::make_shutdown_pipes() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "make_shutdown_pipes");
    int fds[2] = {-1, -1};
    if (sysutl_pipe(0, fds) != 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "pipe() failed: %s",
                         std::strerror(errno));
        return OstrelAgent_Status::PIPE_FAILED;
    }
    // The handler only wakes the event loop when the shutdown byte arrives.
    if (sysutl_set_cloexec_file(fds[0], 1) != 0 || sysutl_set_cloexec_file(fds[1], 1) != 0 ||
        rt_handle_fd(0, &OstrelAgent_Thread_Manager_Base::cb_do_nothing, fds[0], nullptr) == 0) {
        trace.writeTrace(OstrelAgent_Trace::TRACE_LEVEL_3, "cloexec or rt_handle_fd() failed");
        sysutl_pipe_close(fds[0]);
        sysutl_pipe_close(fds[1]);
        return OstrelAgent_Status::PIPE_FAILED;
    }
    {
        OstrelAgent_Mutex_Guard hold(m_pipe_mutex);
        m_shutdown_pipe[0].store(fds[0]);
        m_shutdown_pipe[1].store(fds[1]);
    }
    // An exit flag set before the pipe existed found nothing to write to;
    // without this byte every later wait for input would block for good.
    if (m_should_exit.load()) post_shutdown_notice();
    return 0;
}

void OstrelAgent_Thread_Manager_Base::cleanup_shutdown_pipes() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, CLASS_NAME, "cleanup_shutdown_pipes");
    OstrelAgent_Mutex_Guard hold(m_pipe_mutex);
    int read_end = m_shutdown_pipe[0].exchange(-1);
    int write_end = m_shutdown_pipe[1].exchange(-1);
    if (read_end >= 0) rt_unhandle_fd(0, read_end);
    sysutl_pipe_close(read_end);
    sysutl_pipe_close(write_end);
}

void OstrelAgent_Thread_Manager_Base::cb_do_nothing(int /*fd*/, void* /*argument*/) {}
