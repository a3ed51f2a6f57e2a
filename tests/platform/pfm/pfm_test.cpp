#include "platform/pfm/pfm.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- helpers for tests that end a child process ------------------------------

struct ChildResult {
  std::string output;  // what the child wrote to its pipe
  int exit_status = -1;
  bool timed_out = false;
};

// Runs `body(write_fd)` in a forked child and collects what it writes to the
// pipe and how it ends. Every wait is bounded.
template <typename Body>
ChildResult run_in_child(Body body, std::chrono::seconds limit = std::chrono::seconds(20)) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    _exit(99);  // the body must end the process itself
  }
  close(fds[1]);
  ChildResult result;
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[256];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;  // EOF: every copy of the write end is closed
    result.output.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  if (result.timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

int g_hook_fd = -1;

void write_tagged(char tag, int status) {
  char text[16];
  int n = std::snprintf(text, sizeof text, "%c%d;", tag, status);
  ssize_t ignored = write(g_hook_fd, text, static_cast<size_t>(n));
  (void)ignored;
}

void hook_a(int status) { write_tagged('A', status); }
void hook_b(int status) { write_tagged('B', status); }
void hook_that_exits(int) {
  write_tagged('X', 5);
  pfm_exit(5);
}

}  // namespace

TEST(PfmExit, HooksRunOnceInReverseOrderWhenTwoThreadsExitTogether) {
  ChildResult r = run_in_child([](int fd) {
    g_hook_fd = fd;
    pfm_on_exit(hook_a, 0);
    pfm_on_exit(hook_b, 0);
    std::atomic<int> ready{0};
    auto racer = [&](int status) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      pfm_exit(status);
    };
    std::thread t1(racer, 7);
    std::thread t2(racer, 9);
    t1.join();  // never returns: pfm_exit ends the process
    t2.join();
  });
  ASSERT_FALSE(r.timed_out);
  ASSERT_TRUE(r.exit_status == 7 || r.exit_status == 9) << r.exit_status;
  std::string s = std::to_string(r.exit_status);
  EXPECT_EQ("B" + s + ";A" + s + ";", r.output);
}

TEST(PfmExit, HookThatExitsEndsTheProcessWithoutRunningHooksAgain) {
  ChildResult r = run_in_child([](int fd) {
    g_hook_fd = fd;
    pfm_on_exit(hook_a, 0);
    pfm_on_exit(hook_that_exits, 0);
    pfm_exit(3);
  });
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(5, r.exit_status);
  EXPECT_EQ("X5;", r.output);
}

TEST(PfmExit, FlushesBufferedOutputAndRefusesBadRegistrations) {
  ChildResult r = run_in_child([](int fd) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
    if (pfm_on_exit(nullptr, 0) == 0 || pfm_on_exit(hook_a, 1) == 0) _exit(50);
    std::printf("unflushed text");  // no newline: still in the stdio buffer
    pfm_exit(0);
  });
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("unflushed text", r.output);
}

TEST(PfmExit, WaitsForAWriteInProgressOnAnotherThreadAndLosesNothing) {
  // Another thread keeps standard output locked for a while, as one writing
  // to a slow reader does: the exit waits for it and then flushes.
  ChildResult r = run_in_child([](int fd) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
    std::printf("buffered");
    std::atomic<bool> holding{false};
    std::thread([&holding] {
      flockfile(stdout);
      holding = true;
      usleep(300 * 1000);
      std::fputs(" and more", stdout);
      funlockfile(stdout);
    }).detach();
    while (!holding.load()) usleep(1000);
    pfm_exit(8);
  });
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(8, r.exit_status);
  EXPECT_EQ("buffered and more", r.output);
}

TEST(PfmExit, EndsWhileAnotherThreadIsBlockedReadingStandardInput) {
  // The start-up request is read from standard input; an exit on another
  // thread meanwhile must not wait for that read, which holds the stream.
  ChildResult r = run_in_child(
      [](int fd) {
        int quiet[2];
        if (pipe(quiet) != 0) _exit(51);
        dup2(quiet[0], STDIN_FILENO);  // nothing will ever arrive
        dup2(fd, STDOUT_FILENO);
        close(fd);
        std::thread([] {
          char line[64];
          (void)std::fgets(line, sizeof line, stdin);
        }).detach();
        // Wait until the reader holds the stream.
        for (int i = 0; i < 5000 && ftrylockfile(stdin) == 0; ++i) {
          funlockfile(stdin);
          usleep(1000);
        }
        std::printf("pending");
        pfm_exit(6);
      },
      std::chrono::seconds(5));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(6, r.exit_status);
  EXPECT_EQ("pending", r.output);
}

namespace {

std::vector<std::string>* g_sink_lines = nullptr;

void collect(const char* text, void* context) {
  EXPECT_EQ(&g_sink_lines, context);
  g_sink_lines->push_back(text);
}

}  // namespace

TEST(PfmAssert, ReportsConditionSourceAndLineToStderrAndSinkThenReturns) {
  std::vector<std::string> lines;
  g_sink_lines = &lines;
  pfm_set_report_sink(collect, &g_sink_lines);
  testing::internal::CaptureStderr();
  pfm_assert_fail("m_should_exit", "lib/ostrelagent_thread_manager_base", 412);
  std::string err = testing::internal::GetCapturedStderr();
  pfm_set_report_sink(nullptr, nullptr);

  EXPECT_EQ("Assertion failed: m_should_exit, file lib/ostrelagent_thread_manager_base, line 412\n", err);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("Assertion failed: m_should_exit, file lib/ostrelagent_thread_manager_base, line 412",
            lines[0]);

  // Without a sink only standard error gets it; null texts do not crash.
  testing::internal::CaptureStderr();
  pfm_assert_fail(nullptr, nullptr, 1);
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("line 1"));
  EXPECT_EQ(1u, lines.size());
}

TEST(PfmPanicDeathTest, ReportsAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(pfm_panic("include/tls_impl", 140, "no thread block"),
               "Panic: no thread block, file include/tls_impl, line 140");
  EXPECT_DEATH(pfm_panic("include/tls_impl", 140), "Panic: file include/tls_impl, line 140");
}

namespace {

std::atomic<int> g_usr1_count{0};
void count_usr1(int) { g_usr1_count.fetch_add(1); }

bool is_pending(int sig) {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, sig) == 1;
}

bool is_blocked(int sig) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, sig) == 1;
}

}  // namespace

TEST(PfmInhibit, NestedInhibitDefersSignalsUntilTheOutermostEnable) {
  ASSERT_EQ(0, pfm_signal(SIGUSR1, count_usr1));
  // A signal the thread had blocked before stays blocked afterwards.
  sigset_t usr2;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
  g_usr1_count = 0;

  pfm_inhibit();
  pfm_inhibit();
  EXPECT_EQ(2, pfm_inhibit_depth());
  EXPECT_TRUE(is_blocked(SIGTERM));
  EXPECT_TRUE(is_blocked(SIGINT));
  EXPECT_FALSE(is_blocked(SIGSEGV));  // faults are never deferred
  pthread_kill(pthread_self(), SIGUSR1);
  EXPECT_TRUE(is_pending(SIGUSR1));
  EXPECT_EQ(0, g_usr1_count.load());

  pfm_enable();
  EXPECT_EQ(1, pfm_inhibit_depth());
  EXPECT_TRUE(is_pending(SIGUSR1));
  EXPECT_EQ(0, g_usr1_count.load());

  pfm_enable();  // delivered before pthread_sigmask returns
  EXPECT_EQ(0, pfm_inhibit_depth());
  EXPECT_EQ(1, g_usr1_count.load());
  EXPECT_FALSE(is_blocked(SIGTERM));
  EXPECT_TRUE(is_blocked(SIGUSR2));

  // An unmatched enable is reported and changes nothing.
  testing::internal::CaptureStderr();
  pfm_enable();
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Assertion failed"));
  EXPECT_EQ(0, pfm_inhibit_depth());
  EXPECT_TRUE(is_blocked(SIGUSR2));

  pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
  pfm_signal(SIGUSR1, nullptr);
}

TEST(PfmInhibit, DepthBelongsToTheCallingThread) {
  pfm_inhibit();
  int other_depth = -1;
  bool other_blocked = true;
  std::thread t([&] {
    other_depth = pfm_inhibit_depth();
    other_blocked = is_blocked(SIGTERM);
  });
  t.join();
  pfm_enable();
  EXPECT_EQ(0, other_depth);
  // A thread inherits its creator's mask, so this one started with TERM
  // blocked even though its own depth is 0.
  EXPECT_TRUE(other_blocked);
}

TEST(PfmSignal, IgnoreInstallAndDefault) {
  static std::atomic<int> seen{0};
  ASSERT_EQ(0, pfm_signal(SIGUSR2, PFM_SIG_IGNORE));
  raise(SIGUSR2);  // would end the process if not ignored
  ASSERT_EQ(0, pfm_signal(SIGUSR2, [](int sig) { seen = sig; }));
  raise(SIGUSR2);
  EXPECT_EQ(SIGUSR2, seen.load());
  ASSERT_EQ(0, pfm_signal(SIGUSR2, nullptr));
  struct sigaction current;
  sigaction(SIGUSR2, nullptr, &current);
  EXPECT_EQ(SIG_DFL, current.sa_handler);
  EXPECT_EQ(-1, pfm_signal(SIGKILL, PFM_SIG_IGNORE));
}

TEST(PfmInhibit, AWorkerThatLetsInOnlyWakeUpSignalsKeepsItsMaskUnlessAnotherSignalActs) {
  ASSERT_EQ(0, pfm_wake_signal(SIGURG));
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  std::atomic<bool> waiting{false}, woken{false};
  bool usr1_blocked = false, urg_blocked = true, urg_blocked_held = true, urg_blocked_acting = false,
       urg_blocked_after = true;
  std::thread worker([&] {
    ASSERT_EQ(0, pfm_block_signals());
    usr1_blocked = is_blocked(SIGUSR1);
    urg_blocked = is_blocked(SIGURG);
    pfm_inhibit();
    urg_blocked_held = is_blocked(SIGURG);
    // A wake-up signal still ends a wait inside the inhibited section.
    pollfd fd{ends[0], POLLIN, 0};
    waiting = true;
    woken = poll(&fd, 1, 10000) < 0 && errno == EINTR;
    pfm_enable();
    // Once the signal does something, it is held off again.
    pfm_signal(SIGURG, count_usr1);
    pfm_inhibit();
    urg_blocked_acting = is_blocked(SIGURG);
    pfm_enable();
    urg_blocked_after = is_blocked(SIGURG);
  });
  // Sent until the wait ends: a signal that comes before the wait began is lost.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!woken && std::chrono::steady_clock::now() < deadline) {
    if (waiting) pthread_kill(worker.native_handle(), SIGURG);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  worker.join();
  close(ends[0]);
  close(ends[1]);
  pfm_signal(SIGURG, nullptr);
  EXPECT_TRUE(usr1_blocked);
  EXPECT_FALSE(urg_blocked);
  EXPECT_FALSE(urg_blocked_held);
  EXPECT_TRUE(woken);
  EXPECT_TRUE(urg_blocked_acting);
  EXPECT_FALSE(urg_blocked_after);
}
