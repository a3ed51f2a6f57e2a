#pragma once
// Base of the agent's one-off threads (the request thread of a client
// connection, the kernel request threads, the asynchronous update thread).
// Such a thread is started through the request thread manager's start_op,
// which hands it over to the manager: run() registers it, runs execute() and
// queues the object for the manager's cleanup thread, which joins and
// deletes it.
//
// A thread that queues requests of its own on the pool (the request thread
// of a client connection) counts them as outstanding while their objects
// exist, and waits until none is left before it ends: the requests point
// back at the thread object, which must outlive them.

#include "lib/core/ostrelagent_norvane_thread.h"
#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Thread_Manager_Base;

class OstrelAgent_Request_Thread : public OstrelAgent_NorvaneThread {
public:
    OstrelAgent_Request_Thread();
    ~OstrelAgent_Request_Thread() override;

    // Registers with the manager, runs execute() and queues the object for
    // deletion; returns execute()'s result. An exception from execute() ends
    // the thread's work with 20001 instead of ending the process.
    int run() override;

    // The thread's own work.
    virtual int execute() = 0;

    // The manager the thread belongs to: the one whose start_op started it
    // (start_op sets it), else the process's manager.
    void set_manager(OstrelAgent_Thread_Manager_Base* manager) { m_manager = manager; }
    OstrelAgent_Thread_Manager_Base* get_manager() const;

    // One more request of this thread exists.
    void add_outstanding();
    // A request of this thread is gone (called by its destructor); the last
    // one wakes wait_no_outstanding. After this call the request must not
    // touch the thread object again.
    void release_outstanding();
    // Blocks until no request of this thread exists.
    void wait_no_outstanding();
    int get_outstanding();

private:
    OstrelAgent_Thread_Manager_Base* m_manager;
    // Guards m_outstanding; m_outstanding_cond is signalled when it drops
    // to 0.
    norvanethread_mutex_t m_outstanding_mutex;
    norvanethread_cond_t m_outstanding_cond;
    int m_outstanding = 0;
};
