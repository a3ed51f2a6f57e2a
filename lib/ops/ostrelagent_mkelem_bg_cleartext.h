#pragma once
// The listener of the background cleartext fetch that Mkelem starts for a
// new file whose content it did not adopt. It only makes the fetch a
// background one: the reply has gone when the fetch ends, and a failure is
// the background request's to report.

#include "lib/fetch/ostrelagent_bg_cleartext_listener.h"

class OstrelAgent_Mkelem_BG_Cleartext : public OstrelAgent_BG_Cleartext_listener {
public:
    OstrelAgent_Mkelem_BG_Cleartext() = default;
    ~OstrelAgent_Mkelem_BG_Cleartext() override;
};
