#pragma once
// Holds a norvanethread mutex for a scope.

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Mutex_Guard {
public:
    explicit OstrelAgent_Mutex_Guard(norvanethread_mutex_t* mutex) : m_mutex(mutex) {
        norvanethread_mutex_lock(m_mutex);
    }
    ~OstrelAgent_Mutex_Guard() { norvanethread_mutex_unlock(m_mutex); }
    OstrelAgent_Mutex_Guard(const OstrelAgent_Mutex_Guard&) = delete;
    OstrelAgent_Mutex_Guard& operator=(const OstrelAgent_Mutex_Guard&) = delete;

private:
    norvanethread_mutex_t* m_mutex;
};
