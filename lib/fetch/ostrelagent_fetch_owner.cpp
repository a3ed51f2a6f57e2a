#include "lib/fetch/ostrelagent_fetch_owner.h"

norvanethread_mutex_t OstrelAgent_Fetch_Owner::g_blocking_lock = NORVANETHREAD_MUTEX_INITIALIZER;
int OstrelAgent_Fetch_Owner::g_blocking = 0;
int OstrelAgent_Fetch_Owner::g_rpc_complete = 0;
norvanethread_cond_t OstrelAgent_Fetch_Owner::g_update_done = NORVANETHREAD_COND_INITIALIZER;

OstrelAgent_Fetch_Owner::~OstrelAgent_Fetch_Owner() = default;
