#pragma once
// What content fetch's update machinery knows of the operation it runs for
// (the Update and Restore requests, on the requests floor above): the
// operation's background cleartext fetches are counted while they are
// outstanding, so that the end of its run can wait for them, and each one
// that fails is reported to it. The count is class-wide: one update runs at
// a time (the view's update slot).
//
// Locks: g_blocking_lock guards g_blocking, g_rpc_complete and what an
// operation keeps of its fetches' failures; it is a leaf.

#include <string>

#include "platform/norvanethread/norvanethread.h"

class OstrelAgent_Fetch_Owner {
public:
    virtual ~OstrelAgent_Fetch_Owner();

    // A background cleartext fetch of this operation's run failed (called
    // on pool threads): `status` and `message` are the failure's.
    virtual void bg_error(int status, const std::string& message) = 0;

    // The running update's outstanding background fetches; set once its
    // remote call has returned, so that the last fetch to end wakes its end
    // on g_update_done.
    static norvanethread_mutex_t g_blocking_lock;
    static int g_blocking;
    static int g_rpc_complete;
    static norvanethread_cond_t g_update_done;
};
