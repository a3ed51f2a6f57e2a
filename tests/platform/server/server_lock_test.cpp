#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/server/server.h"

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

class ServerLockTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/server_lock_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    lock_ = dir_ + "/.pid";
  }
  void TearDown() override { nftw(dir_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

  std::string contents() const {
    std::ifstream f(lock_);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }

  std::string dir_;
  std::string lock_;
};

// A child process that takes the lock, reports, and holds it until its
// release pipe closes; then it dies without clearing the lock.
struct LockHolder {
  pid_t pid = -1;
  int ready_read = -1;
  int release_write = -1;

  explicit LockHolder(const std::string& path) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(release[1]);
      alarm(30);  // never outlive a broken test
      pid_t owner = 0;
      char result = server_lock_set(path.c_str(), &owner) >= 0 ? 'y' : 'n';
      if (write(ready[1], &result, 1) != 1) _exit(2);
      char c;
      while (read(release[0], &c, 1) > 0) {
      }
      _exit(0);  // no server_lock_clear: the process ends holding the lock
    }
    close(ready[1]);
    close(release[0]);
    ready_read = ready[0];
    release_write = release[1];
  }

  bool locked() {
    pollfd p{ready_read, POLLIN, 0};
    char c = 0;
    return poll(&p, 1, 20000) == 1 && read(ready_read, &c, 1) == 1 && c == 'y';
  }

  // Lets the child end and reaps it.
  bool end() {
    close(release_write);
    release_write = -1;
    for (int i = 0; i < 2000; ++i) {
      int status;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }

  ~LockHolder() {
    if (release_write >= 0) end();
    if (ready_read >= 0) close(ready_read);
  }
};

// A child process that takes the lock with a bare fcntl call, so that its
// file holds no id yet, and `after_ms` later either writes its id and keeps
// the lock for a while (a holder that has just started), or ends, as a holder
// that has emptied the file on its way out. locked() says when it holds it.
struct SlowHolder {
  pid_t pid = -1;
  int ready_read = -1;

  SlowHolder(const std::string& path, bool writes_id, int after_ms) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      alarm(30);
      int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      char result = fd >= 0 && ftruncate(fd, 0) == 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 'y' : 'n';
      if (write(ready[1], &result, 1) != 1) _exit(2);
      usleep(static_cast<useconds_t>(after_ms) * 1000);
      if (!writes_id) _exit(0);
      const std::string id = std::to_string(getpid()) + "\n";
      if (pwrite(fd, id.data(), id.size(), 0) != static_cast<ssize_t>(id.size())) _exit(2);
      sleep(5);
      _exit(0);
    }
    close(ready[1]);
    ready_read = ready[0];
  }
  bool locked() {
    pollfd p{ready_read, POLLIN, 0};
    char c = 0;
    return poll(&p, 1, 20000) == 1 && read(ready_read, &c, 1) == 1 && c == 'y';
  }
  ~SlowHolder() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (ready_read >= 0) close(ready_read);
  }
};

}  // namespace

TEST_F(ServerLockTest, AHolderWithoutAnIdYetIsWaitedFor) {
  // Just taken: the id comes a little later and is the one reported.
  {
    SlowHolder starting(lock_, true, 300);
    ASSERT_TRUE(starting.locked());
    pid_t owner = 0;
    EXPECT_EQ(-2, server_lock_set(lock_.c_str(), &owner));
    EXPECT_EQ(starting.pid, owner);
  }
  // On its way out: the lock is free a little later, and taken.
  SlowHolder leaving(lock_, false, 300);
  ASSERT_TRUE(leaving.locked());
  pid_t owner = 0;
  int cookie = server_lock_set(lock_.c_str(), &owner);
  ASSERT_GE(cookie, 0) << "owner " << owner;
  EXPECT_EQ(std::to_string(getpid()) + "\n", contents());
  EXPECT_EQ(0, server_lock_clear(lock_.c_str(), cookie));
}

TEST_F(ServerLockTest, LiveHolderIsReportedAndADeadOneFreesTheLock) {
  LockHolder holder(lock_);
  ASSERT_GT(holder.pid, 0);
  ASSERT_TRUE(holder.locked());

  pid_t owner = 0;
  EXPECT_EQ(-2, server_lock_set(lock_.c_str(), &owner));
  EXPECT_EQ(holder.pid, owner);
  EXPECT_EQ(std::to_string(holder.pid) + "\n", contents());

  ASSERT_TRUE(holder.end());
  int cookie = server_lock_set(lock_.c_str(), &owner);
  ASSERT_GE(cookie, 0);
  EXPECT_EQ(std::to_string(getpid()) + "\n", contents());
  EXPECT_EQ(0, server_lock_clear(lock_.c_str(), cookie));
}

TEST_F(ServerLockTest, LockSurvivesOtherDescriptorsOfTheFileAndIsHeldOncePerProcess) {
  pid_t owner = 0;
  int cookie = server_lock_set(lock_.c_str(), &owner);
  ASSERT_GE(cookie, 0);

  // Reading the file through another descriptor and closing it must not drop
  // the lock (it would with a classic process lock).
  int other = open(lock_.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  close(other);

  // Another process still finds it taken, and learns who has it.
  int report[2];
  ASSERT_EQ(0, pipe(report));
  pid_t child = fork();
  if (child == 0) {
    pid_t seen = 0;
    int r = server_lock_set(lock_.c_str(), &seen);
    char verdict = (r == -2 && seen == getppid()) ? 'y' : 'n';
    _exit(write(report[1], &verdict, 1) == 1 ? 0 : 1);
  }
  close(report[1]);
  pollfd p{report[0], POLLIN, 0};
  char verdict = 0;
  ASSERT_EQ(1, poll(&p, 1, 20000));
  ASSERT_EQ(1, read(report[0], &verdict, 1));
  close(report[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ('y', verdict);

  // A second lock of the same process is refused with its own id.
  EXPECT_EQ(-2, server_lock_set(lock_.c_str(), &owner));
  EXPECT_EQ(getpid(), owner);

  // Clearing needs the right cookie and path; afterwards the file is empty
  // and the lock can be taken again.
  EXPECT_EQ(-1, server_lock_clear((dir_ + "/other").c_str(), cookie));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, server_lock_clear(lock_.c_str(), cookie + 1000));
  EXPECT_EQ(0, server_lock_clear(lock_.c_str(), cookie));
  EXPECT_EQ(-1, server_lock_clear(lock_.c_str(), cookie));
  EXPECT_EQ("", contents());
  int again = server_lock_set(lock_.c_str(), &owner);
  EXPECT_GE(again, 0);
  EXPECT_EQ(0, server_lock_clear(lock_.c_str(), again));
}

TEST_F(ServerLockTest, SystemErrorsGiveMinusOne) {
  pid_t owner = 0;
  EXPECT_EQ(-1, server_lock_set((dir_ + "/missing/.pid").c_str(), &owner));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, server_lock_set(nullptr, &owner));
  EXPECT_EQ(-1, server_lock_set(lock_.c_str(), nullptr));
}
