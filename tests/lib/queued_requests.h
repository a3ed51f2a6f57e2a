#pragma once
// The request pool of a test program, run by hand: the process's request
// thread manager is one whose pool never starts, and the test runs what
// code queued on it (deferred flushes, background listings) on its own
// thread, when it chooses. Install it before anything else makes the
// process's manager.

#include <gtest/gtest.h>

#include <cstddef>

#include "lib/core/ostrelagent_request.h"
#include "lib/core/ostrelagent_thread_manager_unix.h"

namespace queued_requests {

class Queue_Runner : public OstrelAgent_Thread_Manager_Unix {
public:
    // The process's manager, made and installed on first use; null (a
    // failure is added) when another manager came first.
    static Queue_Runner* get() {
        static Queue_Runner* const runner = install();
        if (runner == nullptr) ADD_FAILURE() << "the process's request thread manager was made before the test's";
        return runner;
    }

    // Runs the queued foreground requests (deferred flushes), those they
    // queue too, until none is left; how many ran.
    size_t run_foreground() { return run(true); }
    // The same for every queued request, background work included.
    size_t run_all() { return run(false); }
    // Cancels what is queued, as a shutdown does.
    void cancel_all() {
        while (OstrelAgent_Request* request = pop_request(false)) {
            request->cancel_request();
            delete request;
        }
    }
    size_t foreground_queued() { return get_counts().fg_queued; }
    size_t background_queued() { return get_counts().lowpri_queued; }

private:
    static Queue_Runner* install() {
        auto* mine = new Queue_Runner;
        OstrelAgent_Thread_Manager_Base* expected = nullptr;
        if (g_instance.compare_exchange_strong(expected, mine)) return mine;
        delete mine;
        return dynamic_cast<Queue_Runner*>(expected);
    }

    size_t run(bool foreground_only) {
        size_t ran = 0;
        while (!foreground_only || foreground_queued() > 0) {
            OstrelAgent_Request* request = pop_request(false);
            if (request == nullptr) break;
            request->handle_request();
            delete request;
            ++ran;
        }
        return ran;
    }
};

} // namespace queued_requests
