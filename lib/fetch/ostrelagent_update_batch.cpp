#include "lib/fetch/ostrelagent_update_batch.h"

#include <atomic>

#include "lib/ostreladb/ostrel_db.h"

namespace {
// In milliseconds; 0: MAX_AGE.
std::atomic<long long> g_max_age_for_test{0};
} // namespace

void OstrelAgent_Update_Batch::set_max_age_for_test(std::chrono::milliseconds age) {
    g_max_age_for_test = age.count();
}

OstrelAgent_Update_Batch::~OstrelAgent_Update_Batch() {
    if (is_open()) end(true);
}

int OstrelAgent_Update_Batch::begin() {
    m_lock.emplace();
    const int status = ostrel_db_batch_begin();
    if (status != 0) {
        m_lock.reset();
        return status;
    }
    m_started = std::chrono::steady_clock::now();
    return 0;
}

bool OstrelAgent_Update_Batch::is_broken() const { return is_open() && ostrel_db_batch_broken(); }

bool OstrelAgent_Update_Batch::is_due(std::size_t objects) const {
    const std::chrono::milliseconds test_age(g_max_age_for_test.load());
    const std::chrono::milliseconds max_age = test_age.count() != 0 ? test_age : MAX_AGE;
    return objects >= MAX_OBJECTS || std::chrono::steady_clock::now() - m_started >= max_age;
}

int OstrelAgent_Update_Batch::end_transaction(bool commit) { return ostrel_db_batch_end(commit); }
