#pragma once
// A run of an update's objects applied as one view-database transaction:
// one synchronised two-phase commit for the run instead of several per
// object. The batch holds the namespace mutex and then the database's mutex
// from its begin to its end, in that order (the objects' namespace calls
// take the first again, their database calls join the batch), so no other
// thread sees the namespace or the database halfway through it.
//
// Whoever drives a batch ends it before waiting for anything (the server's
// next bytes above all) and as soon as it is due: a kernel request waits
// for at most one batch.

#include <chrono>
#include <cstddef>
#include <optional>

#include "lib/ns/ns_cache.h"

class OstrelAgent_Update_Batch {
public:
    // A batch is due once it holds this many objects or is this old.
    static constexpr std::size_t MAX_OBJECTS = 256;
    static constexpr std::chrono::milliseconds MAX_AGE{100};
    // Tests that count commits by objects give batches more time than a
    // slow (sanitized) run needs; zero goes back to MAX_AGE.
    static void set_max_age_for_test(std::chrono::milliseconds age);

    OstrelAgent_Update_Batch() = default;
    // Commits a batch still open.
    ~OstrelAgent_Update_Batch();
    OstrelAgent_Update_Batch(const OstrelAgent_Update_Batch&) = delete;
    OstrelAgent_Update_Batch& operator=(const OstrelAgent_Update_Batch&) = delete;

    // Takes the locks and starts the transaction: 0, or the database's
    // status (nothing held then).
    int begin();
    bool is_open() const { return m_lock.has_value(); }
    // An operation inside failed and took the whole transaction with it.
    bool is_broken() const;
    bool is_due(std::size_t objects) const;
    // Commits (`commit`) or aborts the transaction and releases the locks:
    // 0, or the failure (nothing of the batch kept; 1008 for a broken one).
    // `before_unlock` runs while the locks are still held.
    template <typename Before>
    int end(bool commit, Before&& before_unlock) {
        const int status = end_transaction(commit);
        before_unlock(status);
        m_lock.reset();
        return status;
    }
    int end(bool commit) {
        return end(commit, [](int) {});
    }

private:
    int end_transaction(bool commit);

    std::optional<Ns_Cache_Lock> m_lock;
    std::chrono::steady_clock::time_point m_started;
};
