// What korva_fuse opens of the files the daemon names, and with whose
// credentials it sends a caller's requests. A contents file is opened
// beneath its directory only: a link on the way (the last name or a
// directory), a path that leaves the directory, and anything but a regular
// file are refused, the outside file never read or written, a FIFO never
// waited on; both ways of following a path (openat2, and the walk for
// kernels without it) behave alike. A request whose caller cannot be named
// is refused with EACCES and nothing goes out, the connection kept.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tools/korva_fuse/korva_fuse_channel.h"
#include "tools/korva_fuse/korva_fuse_contents.h"
#include "xdr/ostrelxdr_view.h"

namespace {

using korva_fuse::Caller;
using korva_fuse::Channel;
using korva_fuse::Contents;
using korva_fuse::ContentsFile;
using korva_fuse::Resolve;

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ASSERT_EQ(0, ::chmod(path.c_str(), mode));
}

// A storage and, beside it, the files a link there may lead to.
class ContentsTest : public ::testing::TestWithParam<Resolve> {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/korva_fuse_contents_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(templ));
    top_ = templ;
    storage_ = top_ + "/storage";
    ASSERT_EQ(0, ::mkdir(storage_.c_str(), 0700));
    ASSERT_EQ(0, ::mkdir((storage_ + "/.s").c_str(), 0700));
    ASSERT_EQ(0, ::mkdir((storage_ + "/.s/00").c_str(), 0700));
    write(storage_ + "/.s/00/plain", "plain bytes", 0644);
    write(top_ + "/secret", "root-only bytes", 0600);
    write(top_ + "/owned", "root-owned bytes", 0644);
    ASSERT_EQ(0, ::symlink((top_ + "/secret").c_str(), (storage_ + "/.s/00/to-secret").c_str()));
    ASSERT_EQ(0, ::symlink((top_ + "/owned").c_str(), (storage_ + "/.s/00/to-owned").c_str()));
    ASSERT_EQ(0, ::symlink("plain", (storage_ + "/.s/00/to-plain").c_str()));
    ASSERT_EQ(0, ::mkfifo((storage_ + "/.s/00/fifo").c_str(), 0644));
    ASSERT_EQ(0, ::mkdir((top_ + "/outdir").c_str(), 0700));
    write(top_ + "/outdir/plain", "outside bytes", 0644);
    ASSERT_EQ(0, ::symlink((top_ + "/outdir").c_str(), (storage_ + "/.s/linked").c_str()));
  }
  void TearDown() override { std::system(("rm -rf '" + top_ + "'").c_str()); }

  std::string top_, storage_;
};

TEST_P(ContentsTest, OnlyARegularFileBeneathTheDirectoryIsOpenedAndNothingOutsideIsReadOrWritten) {
  Contents contents(storage_, top_ + "/no-cache");
  contents.resolveBy(GetParam());
  struct Case {
    const char* relative;
    int access;
    int error;
  } cases[] = {
      {".s/00/plain", O_RDONLY, 0},
      {".s/00/plain", O_RDWR, 0},
      {"./.s//00/plain", O_RDONLY, 0},
      {".s/00/to-secret", O_RDONLY, EIO},
      {".s/00/to-owned", O_WRONLY, EIO},
      {".s/00/to-plain", O_RDONLY, EIO},  // a link, even one that stays inside
      {".s/linked/plain", O_RDWR, EIO},   // a directory on the way is a link
      {".s/00/fifo", O_RDONLY, EIO},      // no wait for a writer
      {".s/00/fifo", O_WRONLY, EIO},
      {".s/00", O_RDONLY, EIO},
      {"../secret", O_RDONLY, EIO},
      {"/etc/passwd", O_RDONLY, EIO},
      {".s/00/missing", O_RDONLY, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    int fd = -1;
    EXPECT_EQ(c.error, contents.open(ContentsFile{false, c.relative}, c.access, &fd));
    if (c.error != 0) {
      EXPECT_EQ(-1, fd);
      continue;
    }
    ASSERT_GE(fd, 0);
    if (c.access != O_WRONLY) {
      EXPECT_EQ("plain bytes", readAll(fd));
    }
    EXPECT_EQ(c.access, ::fcntl(fd, F_GETFL) & O_ACCMODE);
    ::close(fd);
  }
  struct stat st;
  EXPECT_EQ(0, contents.status(ContentsFile{false, ".s/00/plain"}, &st));
  EXPECT_EQ(11, st.st_size);
  EXPECT_EQ(EIO, contents.status(ContentsFile{false, ".s/00/to-secret"}, &st));
  EXPECT_EQ(EIO, contents.status(ContentsFile{false, ".s/00/fifo"}, &st));
  // The cache is another directory: a path of the storage is not found there.
  int fd = -1;
  EXPECT_EQ(ENOENT, contents.open(ContentsFile{true, ".s/00/plain"}, O_RDONLY, &fd));
  EXPECT_EQ("root-only bytes", fileText(top_ + "/secret"));
  EXPECT_EQ("root-owned bytes", fileText(top_ + "/owned"));
  EXPECT_EQ("outside bytes", fileText(top_ + "/outdir/plain"));
}

TEST_P(ContentsTest, APathIsFollowedWithoutLinksAndNeverOutOfItsDirectory) {
  int dir = ::open(storage_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  struct Case {
    const char* relative;
    int error;
  } cases[] = {
      {".s/00/plain", 0},          {".s/00/to-plain", ELOOP}, {".s/linked/plain", ELOOP},
      {"../secret", EXDEV},        {"/etc/passwd", EXDEV},    {".s/00/missing", ENOENT},
      {".s/00/plain/more", ENOTDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    int fd = -1;
    EXPECT_EQ(c.error, korva_fuse::openPathBeneath(dir, c.relative, GetParam(), &fd));
    if (fd >= 0) ::close(fd);
  }
  ::close(dir);
}

INSTANTIATE_TEST_SUITE_P(Ways, ContentsTest, ::testing::Values(Resolve::kAny, Resolve::kWalk),
                         [](const ::testing::TestParamInfo<Resolve>& info) {
                           return info.param == Resolve::kAny ? std::string("Openat2") : std::string("Walk");
                         });

// A process id no process has: ids stay below the largest one.
pid_t absentPid() {
  long max = 4194304;
  std::ifstream in("/proc/sys/kernel/pid_max");
  in >> max;
  return static_cast<pid_t>(max);
}

// The credentials a packet came with; pid 0 when it came without.
ucred receivedFrom(int fd, std::string* packet) {
  char data[256];
  iovec iov{data, sizeof data};
  union {
    cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(ucred))];
  } control{};
  msghdr message{};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  ucred credentials{};
  ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
  if (n < 0) return credentials;
  packet->assign(data, static_cast<size_t>(n));
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS)
      std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
  }
  return credentials;
}

bool nothingWaits(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

TEST(CallerCredentials, ARequestWhoseCallerCannotBeNamedIsRefusedAndNothingIsSent) {
  if (::geteuid() != 0) GTEST_SKIP() << "naming another process's credentials needs root";
  int pair[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair));
  int on = 1;
  ASSERT_EQ(0, ::setsockopt(pair[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on));
  const unsigned char packet[] = "request";

  // A caller that has gone: its id names no process.
  Channel::callFor(Caller{absentPid(), 1000, 1000});
  errno = 0;
  EXPECT_EQ(-1, korva_fuse::sendAs(pair[0], packet, sizeof packet));
  EXPECT_EQ(EACCES, errno);
  EXPECT_TRUE(nothingWaits(pair[1]));

  // Without the right to name another process (the caller of a korva_fuse
  // that runs as an ordinary user): refused too, in a child of another user.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(4343, 4343, 4343) != 0 || ::setresuid(4242, 4242, 4242) != 0) ::_exit(2);
    Channel::callFor(Caller{1, 0, 0});
    errno = 0;
    const bool refused = korva_fuse::sendAs(pair[0], packet, sizeof packet) == -1 && errno == EACCES;
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(nothingWaits(pair[1]));

  // A caller that is there goes with its own credentials, korva_fuse's
  // own requests with korva_fuse's.
  Channel::callFor(Caller{::getpid(), 1000, 1001});
  ASSERT_EQ(static_cast<ssize_t>(sizeof packet), korva_fuse::sendAs(pair[0], packet, sizeof packet));
  std::string got;
  ucred from = receivedFrom(pair[1], &got);
  EXPECT_EQ(::getpid(), from.pid);
  EXPECT_EQ(1000u, from.uid);
  EXPECT_EQ(1001u, from.gid);
  Channel::callFor(Caller{});
  ASSERT_EQ(static_cast<ssize_t>(sizeof packet), korva_fuse::sendAs(pair[0], packet, sizeof packet));
  from = receivedFrom(pair[1], &got);
  EXPECT_EQ(::getpid(), from.pid);
  EXPECT_EQ(::getuid(), from.uid);
  EXPECT_TRUE(nothingWaits(pair[1]));
  ::close(pair[0]);
  ::close(pair[1]);
}

// The channel keeps its connection when a call is refused so: the next
// call goes out on it.
TEST(CallerCredentials, ARefusedCallLeavesTheConnectionInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "naming another process's credentials needs root";
  char templ[] = "/tmp/korva_fuse_channel_XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(templ));
  const std::string path = std::string(templ) + "/socket";
  int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(listener, 4));
  {
    int lost = 0;
    Channel channel(path, qel_uuid_s{}, nullptr, [&] { ++lost; });
    ASSERT_EQ(0, channel.connect());
    int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);
    int on = 1;
    ASSERT_EQ(0, ::setsockopt(server, SOL_SOCKET, SO_PASSCRED, &on, sizeof on));

    view_getattr_req_t request{};
    Channel::Call refused;
    Channel::callFor(Caller{absentPid(), 0, 0});
    EXPECT_EQ(EACCES, channel.start(&refused, 108, &request, xdr_view_getattr_req_t));
    view_getattr_reply_t reply{};
    EXPECT_EQ(EACCES, channel.finish(&refused, &reply, xdr_view_getattr_reply_t));

    Channel::Call sent;
    Channel::callFor(Caller{::getpid(), 0, 0});
    EXPECT_EQ(0, channel.start(&sent, 108, &request, xdr_view_getattr_req_t));
    // The one packet that came is the second call's, on the first connection.
    pollfd p{server, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 60000));
    std::string got;
    EXPECT_EQ(::getpid(), receivedFrom(server, &got).pid);
    EXPECT_FALSE(got.empty());
    EXPECT_TRUE(nothingWaits(server));
    EXPECT_TRUE(nothingWaits(listener));  // no second connection
    EXPECT_EQ(0, lost);
    channel.shutdown();
    EXPECT_EQ(EIO, channel.finish(&sent, &reply, xdr_view_getattr_reply_t));
    ::close(server);
  }
  ::close(listener);
  std::system(("rm -rf '" + std::string(templ) + "'").c_str());
}

}  // namespace
