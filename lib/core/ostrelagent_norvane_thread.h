#pragma once
// Base of every thread of the agent. A subclass supplies run(); start() runs
// it on a new joinable thread of the product's thread library, and join()
// waits for that thread and hands back what run() returned.
//
// Life of an object: constructed (no thread) -> started -> finished (the run
// status is stored) -> joined -> deleted. Destroying the object neither stops
// nor joins its thread, so an object whose thread was started must not be
// deleted before it has been joined. Whoever started the thread owns the
// object (the request thread manager's threads are joined and deleted by its
// cleanup queue).
//
// The run status is written by the thread itself before it ends and read by
// join() after the thread has been joined. The new thread waits until start()
// has returned before it calls run(), so start() has stored the thread id and
// is done with the object before anyone can see the thread finish.

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_NorvaneThread {
public:
    OstrelAgent_NorvaneThread();
    virtual ~OstrelAgent_NorvaneThread();

    OstrelAgent_NorvaneThread(const OstrelAgent_NorvaneThread&) = delete;
    OstrelAgent_NorvaneThread& operator=(const OstrelAgent_NorvaneThread&) = delete;

    // Starts the thread on run(). 0, or the thread library's error (no thread
    // exists then and the object may be deleted at once). An object is
    // started at most once: a second call fails with EINVAL.
    int start();

    // Waits for the thread and returns its run status (also when the join
    // itself fails, which is traced). An object that was never started, or
    // was joined already, is not joined again: its run status comes back at
    // once.
    int join();

    // The thread entry: runs `thread`'s run(), stores its result as the run
    // status and ends the thread with it. A null argument returns at once.
    static void* startThread(void* thread);

    // The thread's work; its result becomes the run status.
    virtual int run() = 0;

    // Valid once start() has returned 0.
    norvanethread_t get_thread_id() const { return m_thread_id; }
    // The stored result of run(); 0 until run() has returned.
    int get_run_status() const { return m_run_status; }

protected:
    norvanethread_t m_thread_id;
    int m_run_status;

private:
    // Held by start() while it creates the thread and uses the object.
    norvanethread_mutex_t m_start_mutex;
    // Touched only by start() and join(), never by the thread itself.
    bool m_started;
    bool m_joined;
};
