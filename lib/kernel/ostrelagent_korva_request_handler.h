#pragma once
// The kernel request listener: the process-wide object that starts the
// threads serving the kernel file system's requests for the view. The view
// handler gets it and starts listening once the view is open and
// registered, and stops it when the view is shut down.

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_KORVA_Request_Handler {
public:
    // The listener, made on the first call (an
    // OstrelAgent_KORVA_Request_Handler_Unix); null when it cannot be made.
    static OstrelAgent_KORVA_Request_Handler* get_instance();

    virtual ~OstrelAgent_KORVA_Request_Handler();

    OstrelAgent_KORVA_Request_Handler(const OstrelAgent_KORVA_Request_Handler&) = delete;
    OstrelAgent_KORVA_Request_Handler& operator=(const OstrelAgent_KORVA_Request_Handler&) = delete;

    // Starts the kernel request threads. Always 0.
    virtual int start_listening() = 0;
    // Ends the kernel request threads once the agent exits. Harmless to
    // repeat.
    virtual void stop_listening() = 0;

protected:
    OstrelAgent_KORVA_Request_Handler() = default;

private:
    static OstrelAgent_KORVA_Request_Handler* g_instance;
    static norvanethread_mutex_t g_instance_lock;
};
