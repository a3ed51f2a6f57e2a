// Thread library: threads, fork, mutexes, condition variables, one-time
// initialisation and thread-local blocks, over POSIX threads.
//
// Results are 0 or an errno value, as with POSIX threads, unless said
// otherwise.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

// ---- threads -----------------------------------------------------------------

typedef pthread_t norvanethread_t;
typedef pthread_attr_t norvanethread_attr_t;
typedef void* (*norvanethread_start_t)(void* argument);

// Starts `body(argument)` on a new thread and stores its id in `*thread`
// before returning. A null `attributes` gives the defaults: a joinable thread.
int norvanethread_create(norvanethread_t* thread, const norvanethread_attr_t* attributes,
                         norvanethread_start_t body, void* argument);

// Waits for `thread` to end; its result goes to `*result` unless that is null.
int norvanethread_join(norvanethread_t thread, void** result);

// Ends the calling thread with `result` (what norvanethread_join hands back).
[[noreturn]] void norvanethread_exit(void* result);

norvanethread_t norvanethread_self();

// Forks the process. `kind` names the product's fork variant; every variant is
// the plain fork(2) here (the child has the calling thread only). -1 with errno
// on failure, 0 in the child, the child's process id in the parent.
pid_t norvanethread_fork(int kind);

// ---- mutexes -----------------------------------------------------------------

// A mutex. Failures of its calls are raised by default: a lock the owner takes
// again (without the recursive kind), an unlock by a thread that does not hold
// it, or any other failure ends the process through pfm_panic with the call and
// the error, since each is a programming fault. norvanethread_mutex_set_noraise
// switches a mutex to returning the error instead.
struct norvanethread_mutex_t {
  pthread_mutex_t mutex;
  int noraise;
};

enum norvanethread_mutex_kind_t {
  NORVANETHREAD_MUTEX_NORMAL = 0,
  NORVANETHREAD_MUTEX_RECURSIVE = 1,  // the owner may lock it again; unlocks must match
};

// Static initialisers: `static norvanethread_mutex_t m = NORVANETHREAD_MUTEX_INITIALIZER;`
inline constexpr norvanethread_mutex_t NORVANETHREAD_MUTEX_INITIALIZER = {
    PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP, 0};
inline constexpr norvanethread_mutex_t NORVANETHREAD_RECURSIVE_MUTEX_INITIALIZER = {
    PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP, 0};

int norvanethread_mutex_init(norvanethread_mutex_t* mutex,
                             norvanethread_mutex_kind_t kind = NORVANETHREAD_MUTEX_NORMAL);
int norvanethread_mutex_destroy(norvanethread_mutex_t* mutex);
int norvanethread_mutex_lock(norvanethread_mutex_t* mutex);
// 0 when taken, EBUSY when another thread holds it.
int norvanethread_mutex_trylock(norvanethread_mutex_t* mutex);
int norvanethread_mutex_unlock(norvanethread_mutex_t* mutex);
// From now on the mutex's calls return their errors instead of raising them.
void norvanethread_mutex_set_noraise(norvanethread_mutex_t* mutex);

// ---- condition variables -------------------------------------------------------

// The POSIX type itself, so that pthread_cond_signal and pthread_cond_init work
// on it as well. Timed waits measure CLOCK_REALTIME.
typedef pthread_cond_t norvanethread_cond_t;
inline constexpr pthread_cond_t NORVANETHREAD_COND_INITIALIZER = PTHREAD_COND_INITIALIZER;

int norvanethread_cond_init(norvanethread_cond_t* cond);
int norvanethread_cond_destroy(norvanethread_cond_t* cond);
// The caller holds `mutex` (once, also for a recursive mutex).
int norvanethread_cond_wait(norvanethread_cond_t* cond, norvanethread_mutex_t* mutex);
// As norvanethread_cond_wait, until the absolute CLOCK_REALTIME time
// `deadline`: ETIMEDOUT when it passed first.
int norvanethread_cond_timedwait(norvanethread_cond_t* cond, norvanethread_mutex_t* mutex,
                                 const struct timespec* deadline);
int norvanethread_cond_signal(norvanethread_cond_t* cond);
int norvanethread_cond_broadcast(norvanethread_cond_t* cond);

// ---- one-time initialisation ---------------------------------------------------

typedef pthread_once_t norvanethread_once_t;
inline constexpr pthread_once_t NORVANETHREAD_ONCE_INIT = PTHREAD_ONCE_INIT;

// Runs `init` exactly once per `once` in the process; other callers wait for it.
int norvanethread_once(norvanethread_once_t* once, void (*init)());

// ---- thread-local blocks -------------------------------------------------------

typedef pthread_key_t norvanethread_key_t;

// Creates a key; `destructor` (may be null) runs with a thread's non-null
// block when that thread ends.
int norvanethread_key_create(norvanethread_key_t* key, void (*destructor)(void* block));
int norvanethread_key_delete(norvanethread_key_t key);

// The calling thread's block for `key`, null when it has none.
void* norvanethread_get_tls(norvanethread_key_t key);
int norvanethread_set_tls(norvanethread_key_t key, const void* block);

// A zero-filled block for norvanethread_set_tls (null when memory runs out),
// and its release.
void* norvanethread_alloc_tls(size_t size);
void norvanethread_free_tls(void* block);
