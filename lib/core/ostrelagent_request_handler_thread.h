#pragma once
// A pool thread of the request thread manager: its run is the manager's
// pool_thread.

#include "lib/core/ostrelagent_norvane_thread.h"

class OstrelAgent_Thread_Manager_Base;

class OstrelAgent_Request_Handler_Thread : public OstrelAgent_NorvaneThread {
public:
    explicit OstrelAgent_Request_Handler_Thread(OstrelAgent_Thread_Manager_Base& manager);
    ~OstrelAgent_Request_Handler_Thread() override;

    // Serves requests until the agent exits; 0.
    int run() override;

private:
    OstrelAgent_Thread_Manager_Base& m_manager;
};
