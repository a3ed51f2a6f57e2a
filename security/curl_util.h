#pragma once
// TLS set-up of the remote client's transfers. init_common runs once per
// process: the transfer library's global initialisation and the thread
// callbacks of the TLS library. init_common_secopt applies the options that
// every transfer handle gets: peer and host verification (switched off only
// by NORVANE_NOVERIFY_PEER and NORVANE_NOVERIFY_HOST; their presence counts,
// an empty value too), the host's CA file "cacert.pem" in the product's host
// configuration directory, the cipher list, and HTTP and HTTPS as the only
// protocols. The per-server keystore comes on top, in the HTTP client.
//
// Locking: two process-wide mutexes, each held only for its one-time step;
// leaf locks.

#include <curl/curl.h>
#include <openssl/crypto.h>

#include "platform/norvanethread/norvanethread.h"

class Curl_Util {
public:
    Curl_Util() = delete;

    // The CA file's name in the host configuration directory.
    static constexpr const char* CA_FILE = "cacert.pem";
    // Ciphers allowed unless NORVANE_ENABLE_SSLV3 is set, which leaves the
    // TLS library's own choice.
    static constexpr const char* CIPHER_LIST = "DEFAULT:!LOW:!RC4";
    // The protocols a transfer may use.
    static constexpr const char* PROTOCOLS = "http,https";

    // The one-time process set-up; safe from any thread.
    static void init_common();

    // Applies the common TLS options to `handle`, stopping at the first that
    // fails: CURLE_OK or that option's code. The flag has no effect.
    static CURLcode init_common_secopt(CURL* handle, bool unused);
};

// Thread callbacks for a TLS library that asks its user to lock for it.
// Registered by init_common; the TLS library of this platform serialises
// its own state and takes no callbacks, so registering does nothing there.
//
// Locks or unlocks (mode bit 1: CRYPTO_LOCK) lock number `n` of the table
// that init_common sized by CRYPTO_num_locks.
void norvanethread_openssl_lock(int mode, int n, const char* file, int line);
// The calling thread's id.
void norvanethread_openssl_id(CRYPTO_THREADID* id);
// Dynamic locks: a new mutex, locked or unlocked by mode bit 1, destroyed.
struct CRYPTO_dynlock_value {
    norvanethread_mutex_t mutex;
};
CRYPTO_dynlock_value* norvanethread_openssl_dynlock_create(const char* file, int line);
void norvanethread_openssl_dynlock_lock(int mode, CRYPTO_dynlock_value* lock, const char* file,
                                        int line);
void norvanethread_openssl_dynlock_destroy(CRYPTO_dynlock_value* lock, const char* file, int line);
