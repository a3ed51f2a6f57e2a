#pragma once
// Holds a mutex of the product's thread library for a scope, and releases it
// however the scope is left. Inside the scope it can be released and taken
// again (a thread that drops its lock around a request or a join); the
// destructor releases it only when it is held.

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Mutex_Guard {
public:
    explicit OstrelAgent_Mutex_Guard(norvanethread_mutex_t& mutex) : m_mutex(mutex) { lock(); }
    // A guard that does not take the mutex yet.
    enum Deferred { DEFER };
    OstrelAgent_Mutex_Guard(norvanethread_mutex_t& mutex, Deferred) : m_mutex(mutex) {}
    ~OstrelAgent_Mutex_Guard() {
        if (m_held) unlock();
    }
    OstrelAgent_Mutex_Guard(const OstrelAgent_Mutex_Guard&) = delete;
    OstrelAgent_Mutex_Guard& operator=(const OstrelAgent_Mutex_Guard&) = delete;

    void lock() {
        norvanethread_mutex_lock(&m_mutex);
        m_held = true;
    }
    // Takes the mutex only when no other thread holds it.
    bool try_lock() {
        m_held = norvanethread_mutex_trylock(&m_mutex) == 0;
        return m_held;
    }
    void unlock() {
        m_held = false;
        norvanethread_mutex_unlock(&m_mutex);
    }
    bool held() const { return m_held; }

private:
    norvanethread_mutex_t& m_mutex;
    bool m_held = false;
};
