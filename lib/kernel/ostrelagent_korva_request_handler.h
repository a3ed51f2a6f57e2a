#pragma once
// The kernel request listener: the process-wide object that starts the
// threads serving the kernel file system's requests. The view handler gets
// it before it starts serving and stops it when the view is shut down.
//
// The kernel request service itself (decoding kernel messages and answering
// them from the namespace cache) comes with the kernel file-system service;
// until then its threads only wait for the agent to exit.

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_KORVA_Request_Handler {
public:
    // The listener, made on the first call (an
    // OstrelAgent_KORVA_Request_Handler_Unix); null when it cannot be made.
    static OstrelAgent_KORVA_Request_Handler* get_instance();

    virtual ~OstrelAgent_KORVA_Request_Handler();

    OstrelAgent_KORVA_Request_Handler(const OstrelAgent_KORVA_Request_Handler&) = delete;
    OstrelAgent_KORVA_Request_Handler& operator=(const OstrelAgent_KORVA_Request_Handler&) = delete;

    // Starts the kernel request threads on the thread manager. Always 0.
    virtual int start_listening() = 0;
    // Harmless to repeat; the threads end with the thread manager.
    virtual void stop_listening() = 0;

protected:
    OstrelAgent_KORVA_Request_Handler() = default;

private:
    static OstrelAgent_KORVA_Request_Handler* g_instance;
    static norvanethread_mutex_t g_instance_lock;
};
