#include "lib/core/ostrelagent_credentials.h"

#include <atomic>
#include <mutex>

#include "platform/pfm/pfm.h"

namespace {

std::mutex cred_mutex;
credutl_sid_credentials_t my_creds;
std::atomic<bool> my_creds_read{false};

} // namespace

const credutl_sid_credentials_t* ostrelagent_my_creds() {
    if (!my_creds_read.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(cred_mutex);
        if (!my_creds_read.load(std::memory_order_relaxed)) {
            if (credutl_get_sid_credentials(&my_creds) != 0)
                pfm_panic("lib/core/ostrelagent_credentials", __LINE__, "cannot read the agent's credentials");
            my_creds_read.store(true, std::memory_order_release);
        }
    }
    return &my_creds;
}

void ostrelagent_replace_fstat_identities(qel_fstat_db_s& fstat) {
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    fstat.usid = mine->user_sid;
    fstat.gsid = mine->group_sid;
}
