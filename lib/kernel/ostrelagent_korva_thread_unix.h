#pragma once
// A kernel request thread. It will serve the kernel file system's requests
// on the view's message channel; until the kernel request service exists it
// waits for the agent to exit, so that the thread manager's shutdown has
// the same threads to end and join as it will have then.

#include "lib/core/ostrelagent_request_thread.h"

class OstrelAgent_KORVA_Thread_Unix : public OstrelAgent_Request_Thread {
public:
    OstrelAgent_KORVA_Thread_Unix();
    ~OstrelAgent_KORVA_Thread_Unix() override;

    // Returns once the agent exits. 0.
    int execute() override;
};
