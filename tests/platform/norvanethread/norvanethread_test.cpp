#include "platform/norvanethread/norvanethread.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

timespec deadline_after_ms(long ms) {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

void* ends_through_exit(void* argument) {
  norvanethread_exit(reinterpret_cast<void*>(reinterpret_cast<intptr_t>(argument) + 1));
}

void* returns_self_match(void* argument) {
  auto* creator = static_cast<norvanethread_t*>(argument);
  return reinterpret_cast<void*>(static_cast<intptr_t>(pthread_equal(*creator, norvanethread_self())));
}

}  // namespace

TEST(NorvanethreadThread, CreateJoinAndExitCarryTheResult) {
  norvanethread_t tid;
  ASSERT_EQ(0, norvanethread_create(&tid, nullptr, ends_through_exit, reinterpret_cast<void*>(41)));
  void* result = nullptr;
  ASSERT_EQ(0, norvanethread_join(tid, &result));
  EXPECT_EQ(42, reinterpret_cast<intptr_t>(result));

  norvanethread_t self = norvanethread_self();
  ASSERT_EQ(0, norvanethread_create(&tid, nullptr, returns_self_match, &self));
  ASSERT_EQ(0, norvanethread_join(tid, &result));
  EXPECT_EQ(0, reinterpret_cast<intptr_t>(result));  // the new thread is not its creator

  // A null result pointer is allowed; a missing body is refused.
  ASSERT_EQ(0, norvanethread_create(&tid, nullptr, ends_through_exit, nullptr));
  EXPECT_EQ(0, norvanethread_join(tid, nullptr));
  EXPECT_EQ(EINVAL, norvanethread_create(&tid, nullptr, nullptr, nullptr));
}

TEST(NorvanethreadFork, ChildAndParentSeeTheirResults) {
  pid_t pid = norvanethread_fork(2);
  if (pid == 0) _exit(17);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(17, WEXITSTATUS(status));
}

namespace {
norvanethread_mutex_t g_recursive = NORVANETHREAD_RECURSIVE_MUTEX_INITIALIZER;
}  // namespace

TEST(NorvanethreadMutex, RecursiveMutexIsHeldUntilTheLastUnlock) {
  auto other_try = [] {
    int result = -1;
    std::thread t([&] {
      result = norvanethread_mutex_trylock(&g_recursive);
      if (result == 0) norvanethread_mutex_unlock(&g_recursive);
    });
    t.join();
    return result;
  };
  ASSERT_EQ(0, norvanethread_mutex_lock(&g_recursive));
  ASSERT_EQ(0, norvanethread_mutex_lock(&g_recursive));  // the owner again
  EXPECT_EQ(EBUSY, other_try());
  ASSERT_EQ(0, norvanethread_mutex_unlock(&g_recursive));
  EXPECT_EQ(EBUSY, other_try());  // still held once
  ASSERT_EQ(0, norvanethread_mutex_unlock(&g_recursive));
  EXPECT_EQ(0, other_try());

  // The run-time initialised kind behaves the same.
  norvanethread_mutex_t m;
  ASSERT_EQ(0, norvanethread_mutex_init(&m, NORVANETHREAD_MUTEX_RECURSIVE));
  EXPECT_EQ(0, norvanethread_mutex_lock(&m));
  EXPECT_EQ(0, norvanethread_mutex_lock(&m));
  EXPECT_EQ(0, norvanethread_mutex_unlock(&m));
  EXPECT_EQ(0, norvanethread_mutex_unlock(&m));
  EXPECT_EQ(0, norvanethread_mutex_destroy(&m));
}

TEST(NorvanethreadCond, SignalWakesAWaiterAndTimedWaitTimesOut) {
  norvanethread_mutex_t m = NORVANETHREAD_MUTEX_INITIALIZER;
  norvanethread_cond_t c = NORVANETHREAD_COND_INITIALIZER;
  bool waiting = false;
  bool ready = false;
  int wait_result = -1;

  std::thread waiter([&] {
    timespec deadline = deadline_after_ms(20000);
    norvanethread_mutex_lock(&m);
    waiting = true;
    norvanethread_cond_signal(&c);
    while (!ready) {
      wait_result = norvanethread_cond_timedwait(&c, &m, &deadline);
      if (wait_result != 0) break;
    }
    norvanethread_mutex_unlock(&m);
  });
  timespec deadline = deadline_after_ms(20000);
  norvanethread_mutex_lock(&m);
  while (!waiting) {
    if (norvanethread_cond_timedwait(&c, &m, &deadline) == ETIMEDOUT) break;
  }
  // The waiter released the mutex inside its wait: it is waiting now.
  ready = true;
  norvanethread_cond_signal(&c);
  norvanethread_mutex_unlock(&m);
  waiter.join();
  EXPECT_EQ(0, wait_result);

  // Nobody signals: the timed wait reports ETIMEDOUT with the mutex held again.
  timespec soon = deadline_after_ms(30);
  norvanethread_mutex_lock(&m);
  EXPECT_EQ(ETIMEDOUT, norvanethread_cond_timedwait(&c, &m, &soon));
  EXPECT_EQ(0, norvanethread_mutex_unlock(&m));
}

TEST(NorvanethreadCond, BroadcastWakesEveryWaiter) {
  norvanethread_mutex_t m;
  norvanethread_cond_t c;
  ASSERT_EQ(0, norvanethread_mutex_init(&m));
  ASSERT_EQ(0, norvanethread_cond_init(&c));
  int generation = 0;
  int waiting = 0;
  int woken = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      timespec deadline = deadline_after_ms(20000);
      norvanethread_mutex_lock(&m);
      ++waiting;
      norvanethread_cond_broadcast(&c);  // tell the main thread
      while (generation == 0) {
        if (norvanethread_cond_timedwait(&c, &m, &deadline) == ETIMEDOUT) break;
      }
      if (generation != 0) ++woken;
      norvanethread_mutex_unlock(&m);
    });
  }
  timespec deadline = deadline_after_ms(20000);
  norvanethread_mutex_lock(&m);
  while (waiting < 4) {
    if (norvanethread_cond_timedwait(&c, &m, &deadline) == ETIMEDOUT) break;
  }
  generation = 1;
  norvanethread_cond_broadcast(&c);
  norvanethread_mutex_unlock(&m);
  for (auto& t : threads) t.join();
  EXPECT_EQ(4, woken);
  EXPECT_EQ(0, norvanethread_cond_destroy(&c));
  EXPECT_EQ(0, norvanethread_mutex_destroy(&m));
}

namespace {
std::atomic<int> g_once_runs{0};
norvanethread_once_t g_once = NORVANETHREAD_ONCE_INIT;
void once_body() { g_once_runs.fetch_add(1); }
}  // namespace

TEST(NorvanethreadOnce, RunsOnceAcrossThreads) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { EXPECT_EQ(0, norvanethread_once(&g_once, once_body)); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, g_once_runs.load());
}

namespace {
struct Block {
  int values[16];
};
std::atomic<int> g_freed{0};
void free_block(void* block) {
  norvanethread_free_tls(block);
  g_freed.fetch_add(1);
}
}  // namespace

TEST(NorvanethreadTls, BlocksArePerThreadZeroFilledAndFreedAtThreadEnd) {
  norvanethread_key_t key;
  ASSERT_EQ(0, norvanethread_key_create(&key, free_block));
  g_freed = 0;
  auto body = [&](int value) {
    EXPECT_EQ(nullptr, norvanethread_get_tls(key));
    auto* block = static_cast<Block*>(norvanethread_alloc_tls(sizeof(Block)));
    ASSERT_NE(nullptr, block);
    for (int v : block->values) EXPECT_EQ(0, v);
    block->values[0] = value;
    ASSERT_EQ(0, norvanethread_set_tls(key, block));
    std::this_thread::yield();
    EXPECT_EQ(value, static_cast<Block*>(norvanethread_get_tls(key))->values[0]);
  };
  std::thread a(body, 1), b(body, 2);
  a.join();
  b.join();
  EXPECT_EQ(2, g_freed.load());
  EXPECT_EQ(nullptr, norvanethread_get_tls(key));  // the main thread has none
  EXPECT_EQ(0, norvanethread_key_delete(key));
}
