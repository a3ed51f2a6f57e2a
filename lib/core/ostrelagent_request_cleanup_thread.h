#pragma once
// The request thread manager's cleanup thread: it joins and deletes finished
// threads until the agent exits, then hands itself to the cleanup queue (the
// manager's terminate deletes it).

#include "lib/core/ostrelagent_norvane_thread.h"

class OstrelAgent_Thread_Manager_Base;

class OstrelAgent_Request_Cleanup_Thread : public OstrelAgent_NorvaneThread {
public:
    explicit OstrelAgent_Request_Cleanup_Thread(OstrelAgent_Thread_Manager_Base& manager);
    ~OstrelAgent_Request_Cleanup_Thread() override;

    // 0.
    int run() override;

private:
    OstrelAgent_Thread_Manager_Base& m_manager;
};
