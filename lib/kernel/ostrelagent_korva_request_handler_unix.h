#pragma once
// The kernel request listener on POSIX systems: starts ostrelNumKorva
// kernel request threads (default 5) on the thread manager, each serving the
// view's message channel until the view is unregistered or the agent exits.
//
// A thread waiting in the kernel's message call learns of the agent's exit
// only when the call returns, and the call returns when the view is
// unregistered. When that fails, stop_listening interrupts the waiting calls
// with a signal (SIGURG, whose handler does nothing), as it would any
// interruptible kernel wait, so that the shutdown that joins the threads
// ends all the same. A call interrupted while the listener is not stopping
// (the process stopped and continued, a tracer attached) is made again.
//
// Locking: m_mutex guards the set of running threads and the stopping
// flag; it is held while a running thread is signalled (so the thread cannot
// end and be joined meanwhile), never across a kernel call.

#include <pthread.h>

#include <string>
#include <vector>

#include "lib/kernel/ostrelagent_korva_request_handler.h"

class OstrelAgent_Thread_Manager_Base;

class OstrelAgent_KORVA_Request_Handler_Unix : public OstrelAgent_KORVA_Request_Handler {
public:
    // The signal that interrupts a thread's waiting message call.
    static const int INTERRUPT_SIGNAL;

    // Threads go to `manager`, or to the process's thread manager when it
    // is null.
    explicit OstrelAgent_KORVA_Request_Handler_Unix(OstrelAgent_Thread_Manager_Base* manager = nullptr);
    ~OstrelAgent_KORVA_Request_Handler_Unix() override;

    // Takes the served view's kernel tag and starts the threads: as many as
    // the setting ostrelNumKorva says (none for 0, a negative number or a
    // text that is no number). 0.
    int start_listening() override;
    // Interrupts the message calls of the threads still running until every
    // thread has left its loop; no thread starts a loop afterwards.
    void stop_listening() override;

    // Called by a thread before its loop: false once stopping (the thread
    // then ends at once).
    bool thread_started();
    // Called by a thread after its loop.
    void thread_ended();
    // Whether stop_listening has begun: a thread's message call that ends
    // with EINTR was interrupted on purpose only then.
    bool stopping();
    // Threads in their loop now.
    int running_threads();

private:
    std::string m_view_tag;
    OstrelAgent_Thread_Manager_Base* m_manager;
    norvanethread_mutex_t m_mutex;
    norvanethread_cond_t m_ended;  // with m_mutex: a thread left its loop
    std::vector<pthread_t> m_running;
    bool m_stopping;
};
