// Misuse of mutexes: ThreadSanitizer reports these on purpose, so they stay
// out of its run.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/norvanethread/norvanethread.h"

namespace {
norvanethread_mutex_t g_plain = NORVANETHREAD_MUTEX_INITIALIZER;
}  // namespace

TEST(NorvanethreadMutex, NoraiseMutexReturnsMisuseErrors) {
  norvanethread_mutex_t m;
  ASSERT_EQ(0, norvanethread_mutex_init(&m));
  norvanethread_mutex_set_noraise(&m);
  ASSERT_EQ(0, norvanethread_mutex_lock(&m));
  EXPECT_EQ(EDEADLK, norvanethread_mutex_lock(&m));  // a plain mutex is not re-entrant
  int foreign_unlock = 0;
  std::thread t([&] { foreign_unlock = norvanethread_mutex_unlock(&m); });
  t.join();
  EXPECT_EQ(EPERM, foreign_unlock);
  EXPECT_EQ(0, norvanethread_mutex_unlock(&m));
  EXPECT_EQ(EPERM, norvanethread_mutex_unlock(&m));
  EXPECT_EQ(0, norvanethread_mutex_destroy(&m));
}

TEST(NorvanethreadMutexDeathTest, MisuseOfARaisingMutexEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        norvanethread_mutex_lock(&g_plain);
        norvanethread_mutex_lock(&g_plain);
      },
      "norvanethread_mutex_lock failed");
  EXPECT_DEATH(norvanethread_mutex_unlock(&g_plain), "norvanethread_mutex_unlock failed");
}

