// Whether a process holds a place, as korva_fuse tells the kernel before it
// unmounts a VOB: a process's working directory or open file at the place
// or beneath it holds it; a process whose entries the asker may not read
// (another user's, when korva_fuse runs as the view's owner) may hold it,
// and counts as holding it.

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tools/korva_fuse/korva_fuse_use.h"

namespace {

// A user that owns no process of the test.
constexpr uid_t kNobody = 65534;

class ProcessHoldsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korva_fuse_use.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    char* real = ::realpath(pattern, nullptr);
    ASSERT_NE(nullptr, real);
    dir_ = real;
    ::free(real);
    ASSERT_EQ(0, ::mkdir(held().c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(free_().c_str(), 0755));
  }
  void TearDown() override {
    endHolder();
    ::rmdir(held().c_str());
    ::rmdir(free_().c_str());
    ::rmdir(dir_.c_str());
  }

  std::string held() const { return dir_ + "/held"; }
  std::string free_() const { return dir_ + "/free"; }

  // Starts a process of root's, working in held() until endHolder().
  void startHolder() {
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(stay_));
    holder_ = ::fork();
    ASSERT_LE(0, holder_);
    if (holder_ == 0) {
      ::close(ready[0]);
      ::close(stay_[1]);
      if (::chdir(held().c_str()) != 0) ::_exit(1);
      char byte = 'x';
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      // Until the test closes its end.
      while (::read(stay_[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(stay_[0]);
    stay_[0] = -1;
    char byte = 0;
    ASSERT_EQ(1, ::read(ready[0], &byte, 1)) << "the holder never got to its directory";
    ::close(ready[0]);
  }
  void endHolder() {
    if (holder_ <= 0) return;
    ::close(stay_[1]);
    ::waitpid(holder_, nullptr, 0);
    holder_ = -1;
  }

  // processHolds(`path`) asked by a process of user kNobody: 1 when it
  // holds, 0 when not, else the child failed.
  static int askedByNobody(const std::string& path) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
          ::setresuid(kNobody, kNobody, kNobody) != 0) {
        ::_exit(2);
      }
      ::_exit(korva_fuse::processHolds(path) ? 1 : 0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  std::string dir_;
  pid_t holder_ = -1;
  int stay_[2] = {-1, -1};
};

TEST_F(ProcessHoldsTest, AProcessWhoseEntriesCannotBeReadCountsAsHolding) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the asker becomes another user";
  // Root reads every process's entries: only the holder's place is held.
  EXPECT_FALSE(korva_fuse::processHolds(held()));
  startHolder();
  EXPECT_TRUE(korva_fuse::processHolds(held()));
  EXPECT_TRUE(korva_fuse::processHolds(dir_)) << "a place beneath is held";
  EXPECT_FALSE(korva_fuse::processHolds(free_()));
  // Another user cannot read root's processes' entries: the place the
  // holder works in is held for it, and so is any other, as a process it
  // may not look at may hold it.
  EXPECT_EQ(1, askedByNobody(held()));
  EXPECT_EQ(1, askedByNobody(free_()));
}

}  // namespace
