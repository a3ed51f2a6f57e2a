#pragma once
// The kernel request listener on POSIX systems: starts ostrelNumKorva
// kernel request threads (default 5) on the thread manager.

#include "lib/kernel/ostrelagent_korva_request_handler.h"

class OstrelAgent_KORVA_Request_Handler_Unix : public OstrelAgent_KORVA_Request_Handler {
public:
    OstrelAgent_KORVA_Request_Handler_Unix();
    ~OstrelAgent_KORVA_Request_Handler_Unix() override;

    int start_listening() override;
    void stop_listening() override;
};
