#include "security/curl_util.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/pfm/pfm.h"
#include "platform/qel/qel.h"

namespace {

const int LOCK_BIT = 1;

std::atomic<bool> g_initialized{false};
norvanethread_mutex_t g_init_crit = NORVANETHREAD_MUTEX_INITIALIZER;
norvanethread_mutex_t* g_openssl_mutexes = nullptr;
int g_openssl_mutex_count = 0;

bool g_secopt_initialized = false;
norvanethread_mutex_t g_secopt_crit = NORVANETHREAD_MUTEX_INITIALIZER;
std::string g_pem_pname;

bool env_set(const char* name) {
    return std::getenv(name) != nullptr;
}

void lock_or_unlock(int mode, norvanethread_mutex_t* mutex) {
    if ((mode & LOCK_BIT) != 0) {
        norvanethread_mutex_lock(mutex);
    } else {
        norvanethread_mutex_unlock(mutex);
    }
}

// The CA file's path, computed on the first call.
std::string pem_pname() {
    norvanethread_mutex_lock(&g_secopt_crit);
    if (!g_secopt_initialized) {
        g_pem_pname = std::string(qel_product_host_config_dir()) + "/" + Curl_Util::CA_FILE;
        g_secopt_initialized = true;
    }
    std::string path = g_pem_pname;
    norvanethread_mutex_unlock(&g_secopt_crit);
    return path;
}

} // namespace

void norvanethread_openssl_lock(int mode, int n, const char* /*file*/, int /*line*/) {
    if (g_openssl_mutexes == nullptr) {
        pfm_assert_fail("openssl_mutexes != NULL", "security/curl_util", __LINE__);
        return;
    }
    if (n < 0 || n >= g_openssl_mutex_count) {
        pfm_assert_fail("lock_idx < openssl_mutex_count", "security/curl_util", __LINE__);
        return;
    }
    lock_or_unlock(mode, &g_openssl_mutexes[n]);
}

void norvanethread_openssl_id(CRYPTO_THREADID* id) {
    (void)id;
    CRYPTO_THREADID_set_numeric(id, static_cast<unsigned long>(pthread_self()));
}

CRYPTO_dynlock_value* norvanethread_openssl_dynlock_create(const char* /*file*/, int /*line*/) {
    CRYPTO_dynlock_value* lock = new (std::nothrow) CRYPTO_dynlock_value;
    if (lock != nullptr) norvanethread_mutex_init(&lock->mutex);
    return lock;
}

void norvanethread_openssl_dynlock_lock(int mode, CRYPTO_dynlock_value* lock, const char* /*file*/,
                                        int /*line*/) {
    lock_or_unlock(mode, &lock->mutex);
}

void norvanethread_openssl_dynlock_destroy(CRYPTO_dynlock_value* lock, const char* /*file*/,
                                           int /*line*/) {
    norvanethread_mutex_destroy(&lock->mutex);
    delete lock;
}

void Curl_Util::init_common() {
    if (g_initialized.load(std::memory_order_acquire)) return;
    norvanethread_mutex_lock(&g_init_crit);
    if (!g_initialized.load(std::memory_order_relaxed)) {
        curl_global_init(CURL_GLOBAL_ALL);
        int count = CRYPTO_num_locks();
        g_openssl_mutexes = new norvanethread_mutex_t[count];
        for (int i = 0; i < count; ++i) {
            norvanethread_mutex_init(&g_openssl_mutexes[i]);
            norvanethread_mutex_set_noraise(&g_openssl_mutexes[i]);
        }
        g_openssl_mutex_count = count;
        CRYPTO_set_locking_callback(norvanethread_openssl_lock);
        CRYPTO_set_dynlock_create_callback(norvanethread_openssl_dynlock_create);
        CRYPTO_set_dynlock_lock_callback(norvanethread_openssl_dynlock_lock);
        CRYPTO_set_dynlock_destroy_callback(norvanethread_openssl_dynlock_destroy);
        (void)CRYPTO_THREADID_set_callback(norvanethread_openssl_id);
        g_initialized.store(true, std::memory_order_release);
    }
    norvanethread_mutex_unlock(&g_init_crit);
}

CURLcode Curl_Util::init_common_secopt(CURL* handle, bool /*unused*/) {
    init_common();
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, env_set("NORVANE_NOVERIFY_PEER") ? 0L : 1L);
    if (rc != CURLE_OK) return rc;
    rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, env_set("NORVANE_NOVERIFY_HOST") ? 0L : 2L);
    if (rc != CURLE_OK) return rc;
    std::string ca_file = pem_pname();
    rc = curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
    if (rc != CURLE_OK) return rc;
    // SSL version 3 itself is gone from the TLS library; the switch only
    // lifts the cipher restriction.
    if (!env_set("NORVANE_ENABLE_SSLV3")) {
        rc = curl_easy_setopt(handle, CURLOPT_SSL_CIPHER_LIST, CIPHER_LIST);
        if (rc != CURLE_OK) return rc;
    }
    return curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, PROTOCOLS);
}
