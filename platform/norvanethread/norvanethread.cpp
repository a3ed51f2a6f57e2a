#include "platform/norvanethread/norvanethread.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/pfm/pfm.h"

namespace {

// A mutex call failed: return the error in noraise mode, else end the process.
int checked(const norvanethread_mutex_t* mutex, const char* call, int error) {
  if (error == 0 || mutex->noraise) return error;
  char reason[128];
  std::snprintf(reason, sizeof reason, "%s failed: %s", call, std::strerror(error));
  pfm_panic("platform/norvanethread/norvanethread", __LINE__, reason);
}

}  // namespace

int norvanethread_create(norvanethread_t* thread, const norvanethread_attr_t* attributes,
                         norvanethread_start_t body, void* argument) {
  if (thread == nullptr || body == nullptr) return EINVAL;
  return pthread_create(thread, attributes, body, argument);
}

int norvanethread_join(norvanethread_t thread, void** result) {
  return pthread_join(thread, result);
}

void norvanethread_exit(void* result) { pthread_exit(result); }

norvanethread_t norvanethread_self() { return pthread_self(); }

pid_t norvanethread_fork(int /*kind*/) { return fork(); }

int norvanethread_mutex_init(norvanethread_mutex_t* mutex, norvanethread_mutex_kind_t kind) {
  if (mutex == nullptr) return EINVAL;
  pthread_mutexattr_t attributes;
  int error = pthread_mutexattr_init(&attributes);
  if (error != 0) return error;
  error = pthread_mutexattr_settype(&attributes, kind == NORVANETHREAD_MUTEX_RECURSIVE
                                                     ? PTHREAD_MUTEX_RECURSIVE
                                                     : PTHREAD_MUTEX_ERRORCHECK);
  if (error == 0) error = pthread_mutex_init(&mutex->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error == 0) mutex->noraise = 0;
  return error;
}

int norvanethread_mutex_destroy(norvanethread_mutex_t* mutex) {
  return checked(mutex, "norvanethread_mutex_destroy", pthread_mutex_destroy(&mutex->mutex));
}

int norvanethread_mutex_lock(norvanethread_mutex_t* mutex) {
  return checked(mutex, "norvanethread_mutex_lock", pthread_mutex_lock(&mutex->mutex));
}

int norvanethread_mutex_trylock(norvanethread_mutex_t* mutex) {
  int error = pthread_mutex_trylock(&mutex->mutex);
  return error == EBUSY ? EBUSY : checked(mutex, "norvanethread_mutex_trylock", error);
}

int norvanethread_mutex_unlock(norvanethread_mutex_t* mutex) {
  return checked(mutex, "norvanethread_mutex_unlock", pthread_mutex_unlock(&mutex->mutex));
}

void norvanethread_mutex_set_noraise(norvanethread_mutex_t* mutex) { mutex->noraise = 1; }

int norvanethread_cond_init(norvanethread_cond_t* cond) { return pthread_cond_init(cond, nullptr); }

int norvanethread_cond_destroy(norvanethread_cond_t* cond) { return pthread_cond_destroy(cond); }

int norvanethread_cond_wait(norvanethread_cond_t* cond, norvanethread_mutex_t* mutex) {
  return checked(mutex, "norvanethread_cond_wait", pthread_cond_wait(cond, &mutex->mutex));
}

int norvanethread_cond_timedwait(norvanethread_cond_t* cond, norvanethread_mutex_t* mutex,
                                 const struct timespec* deadline) {
  int error = pthread_cond_timedwait(cond, &mutex->mutex, deadline);
  return error == ETIMEDOUT ? ETIMEDOUT : checked(mutex, "norvanethread_cond_timedwait", error);
}

int norvanethread_cond_signal(norvanethread_cond_t* cond) { return pthread_cond_signal(cond); }

int norvanethread_cond_broadcast(norvanethread_cond_t* cond) {
  return pthread_cond_broadcast(cond);
}

int norvanethread_once(norvanethread_once_t* once, void (*init)()) {
  return pthread_once(once, init);
}

int norvanethread_key_create(norvanethread_key_t* key, void (*destructor)(void*)) {
  return pthread_key_create(key, destructor);
}

int norvanethread_key_delete(norvanethread_key_t key) { return pthread_key_delete(key); }

void* norvanethread_get_tls(norvanethread_key_t key) { return pthread_getspecific(key); }

int norvanethread_set_tls(norvanethread_key_t key, const void* block) {
  return pthread_setspecific(key, block);
}

void* norvanethread_alloc_tls(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

void norvanethread_free_tls(void* block) { std::free(block); }
