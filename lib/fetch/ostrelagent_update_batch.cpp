#include "lib/fetch/ostrelagent_update_batch.h"

#include "lib/ostreladb/ostrel_db.h"

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
    return objects >= MAX_OBJECTS || std::chrono::steady_clock::now() - m_started >= MAX_AGE;
}

int OstrelAgent_Update_Batch::end_transaction(bool commit) { return ostrel_db_batch_end(commit); }
