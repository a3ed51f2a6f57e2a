#pragma once
// An invalidation deferred to a pool worker (foreground queue): the
// namespace cache's and the kernel's copies of one object (its cached file
// status read again first), or of the whole view. Those who queue it may
// hold the namespace mutex, which the flush takes, or be inside a
// view-database transaction; nobody waits for it, so a failure goes to the
// operations log.
//
// Equal flushes merge: queue() drops a flush when an equal one (same object
// and kernel operation, or the whole view) is queued and has not started,
// since that one runs wholly after the asker's change. A flush leaves the
// pending set when it starts (or is cancelled or deleted unrun), so a flush
// asked while an equal one runs is queued anew.

#include <memory>

#include "lib/core/ostrelagent_request.h"
#include "platform/qel/qel.h"

class OstrelAgent_Metadata_BG_Flush final : public OstrelAgent_Request {
public:
    // One object of the VOB, invalidated with `op` for the kernel.
    OstrelAgent_Metadata_BG_Flush(const qel_uuid_s& vob, const qel_oid_s& oid, vob_op_t op);
    // The whole view.
    OstrelAgent_Metadata_BG_Flush();
    ~OstrelAgent_Metadata_BG_Flush() override;

    // Hands `flush` to the pool (ownership passes), unless an equal flush
    // waits there already: then it is deleted.
    static void queue(std::unique_ptr<OstrelAgent_Metadata_BG_Flush> flush);

    // 0, or the failure's agent status (logged).
    int handle_request() override;
    // Nothing: a flush that never runs leaves nothing waiting.
    int cancel_request() override;
    bool is_equivalent(const OstrelAgent_Request* other) const override;
    const char* toString() override { return "metadata flush"; }

    // Orders flushes by what they flush.
    struct key_less {
        bool operator()(const OstrelAgent_Metadata_BG_Flush* a, const OstrelAgent_Metadata_BG_Flush* b) const;
    };

private:
    // Leaves the pending set, if in it.
    void leave_pending();

    qel_uuid_s m_vob;
    qel_oid_s m_oid;
    vob_op_t m_op;
    bool m_whole_view;
    // In the pending set (guarded by its mutex).
    bool m_pending = false;
};
