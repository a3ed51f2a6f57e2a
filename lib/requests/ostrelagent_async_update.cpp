#include "lib/requests/ostrelagent_async_update.h"

#include "lib/core/ostrelagent_trace.h"
#include "lib/core/ostrelagent_view_base.h"
#include "lib/requests/ostrelagent_update.h"

OstrelAgent_Async_Update::OstrelAgent_Async_Update(OstrelAgent_Update* update) : m_update(update) {}

OstrelAgent_Async_Update::~OstrelAgent_Async_Update() {
    if (m_update) OstrelAgent_View_Base::update_end(m_update.get());
}

int OstrelAgent_Async_Update::execute() {
    OstrelAgent_Trace trace(OstrelAgent_Trace::OSTRELAGENT, "OstrelAgent_Async_Update", "execute");
    if (m_update) m_update->do_view_update(false);
    return 0;
}
