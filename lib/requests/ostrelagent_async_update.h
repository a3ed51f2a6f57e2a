#pragma once
// The thread of a full update's run. It owns the copy of the Update request
// that holds the view's update slot, runs the copy's update and, when it
// goes, frees the slot (when the copy still holds it) whatever became of the
// run: also when the thread never started.

#include <memory>

#include "lib/core/ostrelagent_request_thread.h"

class OstrelAgent_Update;

class OstrelAgent_Async_Update : public OstrelAgent_Request_Thread {
public:
    // Takes ownership of `update`.
    explicit OstrelAgent_Async_Update(OstrelAgent_Update* update);
    ~OstrelAgent_Async_Update() override;

    // The run; always 0 (its outcome is in the update log).
    int execute() override;

private:
    std::unique_ptr<OstrelAgent_Update> m_update;
};
