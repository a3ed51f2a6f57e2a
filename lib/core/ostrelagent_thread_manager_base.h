#pragma once
// The request thread manager: the process-wide singleton that runs the
// agent's work on threads.
//
// - A fixed pool of request threads runs queued requests (client XML requests
//   and background work). Foreground requests (priority 1) are served first.
//   While the agent is not exiting, a pool thread takes a foreground request
//   only while fewer than P - 1 foreground requests run (or P = 1), and a
//   low-priority request only while fewer than P - 1 low-priority requests
//   run, P being the number of pool threads: neither class can occupy the
//   whole pool. The pool has at least two threads: with one, low-priority
//   work would never run, and whoever waits for it would wait for ever. Once
//   the agent exits, what is still queued runs without limits.
// - A low-priority request that a foreground request waits for can be
//   promoted to the foreground queue; it still counts as low priority while
//   it runs.
// - One cleanup thread joins and deletes finished threads. Every other agent
//   thread (per-connection request threads, kernel request threads, the
//   asynchronous update thread) registers here first thing and hands itself
//   to the cleanup queue last thing, so that shutdown can wait for all.
// - The exit flag, which every long-running loop polls, and the shutdown
//   pipe: setting the flag writes one byte that is never read, so that every
//   later wait_for_input (see OstrelAgent_Thread_Manager_Unix) reports 20038.
//
// Shutdown order in the agent: set_should_exit, drain_incomplete,
// wait_for_terminate; the connection listener runs terminate, which joins and
// deletes every registered thread and closes the pipe.
//
// Locks (lock order: g_request_mutex before m_queue_mutex, never the other
// way round):
// - g_request_mutex (static): the singleton's creation, m_terminated, and
//   the mutex of m_cond (idle pool threads) and m_terminate_cond;
// - m_queue_mutex: the three queues, the five counters and m_initialized;
//   the mutex of m_queue_cond (counter and queue changes).
// No lock of the manager is held while a request runs or is cancelled, nor
// while a thread is joined or deleted; the queue mutex is held while
// initialize starts its threads. Every condition is signalled with its mutex
// held, and every wait loops on its predicate. The exit flag is atomic and
// only ever goes from 0 to 1. None of the operations throws.

#include <atomic>
#include <cstddef>
#include <deque>
#include <list>
#include <string>

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_NorvaneThread;
class OstrelAgent_Request;
class OstrelAgent_Request_Thread;

class OstrelAgent_Thread_Manager_Base {
public:
    // A snapshot of the bookkeeping, taken under the queue mutex.
    struct Counts {
        int live;    // threads registered and not yet deleted
        int pending; // threads being started that have not registered yet
        int pool;    // pool threads registered and not yet exited
        int fg_busy; // pool threads running a request of priority 1
        int bg_busy; // pool threads running a request of another priority
        size_t fg_queued;
        size_t lowpri_queued;
        size_t cleanup_queued;
    };

    // The manager, made on first use (an OstrelAgent_Thread_Manager_Unix);
    // never deleted while the process runs.
    static OstrelAgent_Thread_Manager_Base* get_instance();

    virtual ~OstrelAgent_Thread_Manager_Base();

    OstrelAgent_Thread_Manager_Base(const OstrelAgent_Thread_Manager_Base&) = delete;
    OstrelAgent_Thread_Manager_Base& operator=(const OstrelAgent_Thread_Manager_Base&) = delete;

    // Makes the shutdown pipe, starts the cleanup thread and the pool of
    // ostrelNumVemri threads (a setting below 2 gives 2). 0; 20010 when the
    // pipe cannot be made, 20003 when a thread object cannot be made, 20041
    // when a thread does not start: the exit flag is then set. A second call
    // returns 0 and starts nothing. The tests' daemon makes the pool's
    // third thread fail to start, as a resource limit would (which the
    // sanitizers' address space does not allow), through its test hook
    // (platform/hooks/test_hooks.h).
    int initialize();

    // Queues `request` (ownership passes): priority 1 on the foreground
    // queue, any other on the low-priority queue, and wakes a pool thread.
    // Once the exit flag is set the request is cancelled and deleted at once.
    void process_request(OstrelAgent_Request* request);

    // Moves the first queued low-priority request for which
    // wanting->is_equivalent(queued) holds to the end of the foreground
    // queue (at most one), and wakes a pool thread in any case.
    void promote_dependency(const OstrelAgent_Request* wanting);

    // Blocks until the low-priority queue is empty and then until no
    // low-priority request runs. Must not be called from low-priority work.
    void wait_for_background();

    // Cancels and deletes every queued request, then waits until no
    // low-priority request runs (running foreground requests are not waited
    // for). Must not be called from low-priority work.
    void drain_incomplete();

    // Starts a one-off thread of the request-thread kind and takes ownership:
    // the thread registers with this manager and ends in its cleanup queue.
    // When it cannot be started it is deleted; the caller learns nothing.
    void start_op(OstrelAgent_Request_Thread* thread);

    // Called by a new thread first thing: counts it live, no longer pending.
    void register_thread(OstrelAgent_NorvaneThread* thread);
    // The same for a pool thread, which also counts in the pool.
    void register_pool_thread(OstrelAgent_NorvaneThread* thread);
    // Called by a finishing registered thread as its last step: queues it to
    // be joined and deleted.
    void push_into_cleanup_queue(OstrelAgent_NorvaneThread* thread);
    // The same; `pool` says whether the thread is a pool thread.
    void cleanup_thread(OstrelAgent_NorvaneThread* thread, bool pool);

    // Joins and deletes the threads in the cleanup queue. With `wait`
    // nonzero it goes on waiting and deleting until the exit flag is set.
    void do_cleanup(int wait);

    // The body of a pool thread (`self` is its own thread object): takes
    // requests by the class rules and runs them until the exit flag is set
    // and nothing is left for it. Returns 0.
    int pool_thread(OstrelAgent_NorvaneThread* self);

    // Sets the exit flag, stops the platform event loop (rt_shutdown), posts
    // the shutdown notice and wakes every waiting thread. The caller holds
    // neither mutex of the manager.
    void set_should_exit();

    // Marks termination as begun, then (when the manager was initialised or
    // has threads) joins and deletes threads until none is live or pending,
    // and closes the shutdown pipe. Requires the exit flag: without it the
    // failure is reported and the flag is set. Must not be called from a
    // thread registered with this manager.
    void terminate();

    // Blocks until terminate has begun (not finished).
    void wait_for_terminate();

    // Count a thread being started, or one that failed to start.
    void pending_thread();
    void failed_thread();

    // The exit flag: 0, or 1 once the agent exits.
    int should_exit() const { return m_should_exit.load(); }

    Counts get_counts();

    // The pool size that a configuration text gives: its leading decimal
    // digits (with an optional sign), 0 when there are none; clamped to the
    // range of int. initialize raises a result below POOL_SIZE_MIN to it.
    static int convert_pool_size(const std::string& text);

    // Makes the shutdown pipe readable for good.
    virtual void post_shutdown_notice() = 0;

    // The smallest pool that initialize starts.
    static const int POOL_SIZE_MIN = 2;

protected:
    OstrelAgent_Thread_Manager_Base();

    // The configured pool size text (key ostrelNumVemri).
    virtual std::string pool_size_setting() const;
    // The threads that initialize starts; null when one cannot be made.
    virtual OstrelAgent_NorvaneThread* make_cleanup_thread();
    virtual OstrelAgent_NorvaneThread* make_pool_thread();

    // Starts a thread of the manager's own; the caller holds the queue mutex
    // and sets the exit flag on failure, once it has released the mutex.
    // Takes ownership: a thread that is null or does not start gives 20003
    // or 20041 (and is deleted).
    int start_thread(OstrelAgent_NorvaneThread* thread);

    // Takes the front request that the class rules allow, or null. A pool
    // caller counts the request it takes as running; other callers (the
    // drain) take anything and count nothing.
    OstrelAgent_Request* pop_request(bool pool_caller);
    // A pool thread has finished `request`.
    void mark_idle(const OstrelAgent_Request* request);

    // Queue mutex held on entry and exit; released while each thread is
    // joined and deleted.
    void do_cleanup_locked();

    void lock_mutex();
    void unlock_mutex();
    void lock_queue();
    void unlock_queue();
    void cond_wait();
    void cond_signal();
    void queue_cond_wait();
    void queue_cond_broadcast();

    int make_shutdown_pipes();
    void cleanup_shutdown_pipes();
    // The event-loop handler of the pipe: the byte is never read, so that the
    // pipe stays readable; it only wakes the loop.
    static void cb_do_nothing(int fd, void* argument);

    // Read end, then write end; -1 when there is none. Read without a lock by
    // wait_for_input.
    std::atomic<int> m_shutdown_pipe[2];
    // Held while the shutdown notice is written and while the pipes are
    // closed, so a notice never goes to a descriptor closed meanwhile (and
    // perhaps already reused by another file).
    norvanethread_mutex_t m_pipe_mutex;

private:
    // Cancels `request` for good, containing any exception it throws.
    void cancel(OstrelAgent_Request* request);

    std::deque<OstrelAgent_Request*> m_fg_queue;
    std::list<OstrelAgent_Request*> m_lowpri_queue;
    std::deque<OstrelAgent_NorvaneThread*> m_cleanup_queue;
    norvanethread_cond_t m_cond;           // with g_request_mutex: work for idle pool threads
    norvanethread_cond_t m_terminate_cond; // with g_request_mutex: m_terminated set
    norvanethread_cond_t m_queue_cond;     // with m_queue_mutex: queue and counter changes
    norvanethread_mutex_t m_queue_mutex;
    int m_initialized;                     // guarded by m_queue_mutex
    std::atomic<int> m_should_exit;
    int m_terminated;                      // guarded by g_request_mutex
    int m_live;
    int m_pending;
    int m_pool;
    int m_bg_busy;
    int m_fg_busy;

protected:
    static std::atomic<OstrelAgent_Thread_Manager_Base*> g_instance;
    static norvanethread_mutex_t g_request_mutex;
};
