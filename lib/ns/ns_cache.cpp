#include "lib/ns/ns_cache.h"

#include <atomic>
#include <mutex>

#include "platform/pfm/pfm.h"

namespace {

constexpr int STATUS_INVALID = 1072;
constexpr unsigned int UNIT_BYTES = 392;

std::mutex g_sizing_lock;

std::mutex cred_mutex;
credutl_sid_credentials_t my_creds;
std::atomic<bool> my_creds_read{false};

// The budgets for `size` without the 4 MiB floor.
void set_budgets(unsigned int size) {
    view_cache_size = size;
    readdir_max = static_cast<unsigned int>(static_cast<unsigned long long>(size) * 4 / 10);
    unsigned int units = (size - readdir_max) / UNIT_BYTES;
    obj_cache_max = units * 200;
    fstat_max = units * 144;
    name_max = units * 48;
}

} // namespace

unsigned int view_cache_size = 0;
unsigned int readdir_max = 0;
unsigned int obj_cache_max = 0;
unsigned int fstat_max = 0;
unsigned int name_max = 0;

int cache_init() {
    std::lock_guard<std::mutex> guard(g_sizing_lock);
    set_budgets(view_cache_size < NS_CACHE_MIN_SIZE ? NS_CACHE_MIN_SIZE : view_cache_size);
    return 0;
}

int ns_cache_set_size(unsigned int size, bool raise) {
    std::lock_guard<std::mutex> guard(g_sizing_lock);
    if (raise && size < NS_CACHE_MIN_SIZE) size = NS_CACHE_MIN_SIZE;
    if (size != 0 && size < NS_CACHE_MIN_SIZE) return STATUS_INVALID;
    set_budgets(size);
    return 0;
}

const credutl_sid_credentials_t* ostrelagent_my_creds() {
    if (!my_creds_read.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(cred_mutex);
        if (!my_creds_read.load(std::memory_order_relaxed)) {
            if (credutl_get_sid_credentials(&my_creds) != 0)
                pfm_panic("lib/ns/ns_cache", __LINE__, "cannot read the agent's credentials");
            my_creds_read.store(true, std::memory_order_release);
        }
    }
    return &my_creds;
}
